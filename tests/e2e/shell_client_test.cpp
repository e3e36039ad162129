// The shell as the client of what the tool wrote: files opened the way a double-click opens
// them, the icons the shell reports, the folder verb as the shell finds it, and, on 64-bit
// Windows, what 64-bit readers and the 64-bit shell see of the 32-bit tool's entries.
// A stand-in player records every command line it is started with.
#include <gtest/gtest.h>

#include <windows.h>

#include <objbase.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <versionhelpers.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "e2e/entries.h"
#include "e2e/tool_process.h"
#include "shared/text.h"
#include "win32/running_on.h"
#include "win32/wine_registry.h"

namespace mf::testing {
namespace {

using win32::UniqueKernelHandle;

constexpr const wchar_t* kCaption = L"Play with Marblefinch";

// What the shell was asked and answered as it should, printed when the run ends.
struct Tally {
    int launches = 0;
    int iconLookups = 0;
    int verbLookups = 0;
    int typeLookups = 0;
};
Tally tally;

bool IsWow64() {
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    return wow64 != FALSE;
}

// Asked of Windows itself: a 64-bit process, or a 32-bit one under WoW64.
bool SixtyFourBitWindows() {
    return sizeof(void*) == 8 || IsWow64();
}

std::wstring EnvironmentVariable(const wchar_t* name) {
    std::wstring value(32767, L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size())));
    return value;
}

// For the kit check, which ends or stops a run while this suite certainly runs: with
// MF_KIT_HOLD naming a file, the suite makes it before its first test and waits while it is
// there, ten minutes at most. Only a new file: one that is there is neither held on nor touched.
void HoldWhileAsked() {
    const std::wstring file = EnvironmentVariable(L"MF_KIT_HOLD");
    if (file.empty()) {
        return;
    }
    // Closed at once, so that whoever ends the hold can delete it.
    const UniqueKernelHandle made(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (made.get() == INVALID_HANDLE_VALUE) {
        std::fwprintf(stderr, L"e2e_tests: MF_KIT_HOLD: cannot make %ls; not holding\n",
                      file.c_str());
        return;
    }
    std::fwprintf(stderr, L"e2e_tests: holding while %ls is there (MF_KIT_HOLD)\n", file.c_str());
    for (int waited = 0;
         waited < 600000 && GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES;
         waited += 50) {
        Sleep(50);
    }
}

// COM for the shell's sake ("COM should be initialized before ShellExecuteEx is called",
// learn.microsoft.com, the ShellExecuteExW page), and the tally when the run ends.
class ShellEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        HoldWhileAsked();
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    }
    void TearDown() override {
        CoUninitialize();
        std::cout << "shell as client (" << (SixtyFourBitWindows() ? "64" : "32")
                  << "-bit Windows): " << tally.launches << " launches, " << tally.iconLookups
                  << " icon look-ups, " << tally.typeLookups << " type look-ups, "
                  << tally.verbLookups << " verb look-ups checked\n";
    }
};
[[maybe_unused]] ::testing::Environment* const kShellEnvironment =
    ::testing::AddGlobalTestEnvironment(new ShellEnvironment);

void RemoveFolder(const std::wstring& folder) {
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            DeleteFileW((folder + L"\\" + found.cFileName).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

// The stand-in installed where a player is installed: a folder under Program Files ("Program
// Files (x86)" for a 32-bit program on 64-bit Windows) whose name has spaces and characters
// outside ASCII.
class StandInPlayer {
  public:
    StandInPlayer()
        : folder_(EnvironmentVariable(L"ProgramFiles") +
                  L"\\Marblefinch Pl\u00e5yer \u64ad\u653e\u5668"),
          exe_(folder_ + L"\\player.exe"),
          log_(folder_ + L"\\commandlines.txt") {
        RemoveFolder(folder_);
        CreateDirectoryW(folder_.c_str(), nullptr);
        if (!CopyFileW(StandInPlayerPath().c_str(), exe_.c_str(), FALSE)) {
            ADD_FAILURE() << "cannot install the stand-in player";
        }
    }
    ~StandInPlayer() { RemoveFolder(folder_); }
    StandInPlayer(const StandInPlayer&) = delete;
    StandInPlayer& operator=(const StandInPlayer&) = delete;

    const std::wstring& Exe() const { return exe_; }

    // The command lines recorded since the last call, oldest first.
    std::vector<std::wstring> TakeStarts() const {
        std::wstring text;
        {
            const UniqueKernelHandle file(CreateFileW(log_.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                      nullptr, OPEN_EXISTING, 0, nullptr));
            if (file.get() == INVALID_HANDLE_VALUE) {
                return {};
            }
            text.resize(GetFileSize(file.get(), nullptr) / sizeof(wchar_t));
            DWORD read = 0;
            ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)),
                     &read, nullptr);
            text.resize(read / sizeof(wchar_t));
        }
        // Closed first: an open file cannot be deleted.
        if (!DeleteFileW(log_.c_str())) {
            ADD_FAILURE() << "cannot clear the stand-in's record";
        }
        std::vector<std::wstring> starts;
        for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
            end = text.find(L'\n', start);
            if (end == std::wstring::npos) {
                end = text.size();
            }
            starts.push_back(text.substr(start, end - start));
        }
        return starts;
    }

  private:
    std::wstring folder_;
    std::wstring exe_;
    std::wstring log_;
};

// A folder of audio files, one per type, with spaces and characters outside ASCII in the
// names.
class MediaFolder {
  public:
    MediaFolder() : folder_(TempFolder() + L"M\u00fcrbe Musik \u97f3\u4e50") {
        RemoveFolder(folder_);
        CreateDirectoryW(folder_.c_str(), nullptr);
        for (const std::wstring& type : AllTypes()) {
            const UniqueKernelHandle file(CreateFileW(File(type).c_str(), GENERIC_WRITE, 0, nullptr,
                                                      CREATE_ALWAYS, 0, nullptr));
        }
    }
    ~MediaFolder() { RemoveFolder(folder_); }
    MediaFolder(const MediaFolder&) = delete;
    MediaFolder& operator=(const MediaFolder&) = delete;

    const std::wstring& Path() const { return folder_; }
    std::wstring File(const std::wstring& type) const { return folder_ + L"\\Track 1" + type; }

  private:
    std::wstring folder_;
};

// The tool run as the player runs it, with the stand-in's path, over a seeded classes hive;
// `seed` adds what other programs wrote before. Everything is removed again at the end.
class Installation {
  public:
    explicit Installation(const std::function<void(const MediaFolder&)>& seed = {}) {
        SeedDirectoryShell();
        verbsBefore = SubKeys(HKEY_CLASSES_ROOT, L"Directory\\shell");
        if (seed) {
            seed(media);
        }
        ToolProcess tool(ToolPath(),
                         L"\"" + player.Exe() + L"\" regall \"" + std::wstring(kCaption) + L"\"");
        EXPECT_EQ(tool.WaitForExit(), 0u);
    }

    KeyCleanup cleanup{HKEY_CLASSES_ROOT, KeysTheToolWrites()};
    StandInPlayer player;
    MediaFolder media;
    std::vector<std::wstring> verbsBefore;  // the folder verbs that were there before the run
};

// Waits for a started process; false when it did not end in time.
bool Finished(HANDLE process) {
    return WaitForSingleObject(process, 20000) == WAIT_OBJECT_0;
}

// Opens `file` as the shell does for a double-click (no verb: the default one) or with the
// verb named, and waits for what it started. With `progId`, the file is opened as that class,
// whatever its type resolves to or the user chose (assumed: A8, docs/assumptions.md). False
// when the shell started nothing, with why in `why`.
bool ShellOpen(const std::wstring& file, const wchar_t* verb = nullptr,
               const wchar_t* progId = nullptr, std::string* why = nullptr) {
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI |
                 (progId != nullptr ? SEE_MASK_CLASSNAME : 0);
    info.lpVerb = verb;
    info.lpFile = file.c_str();
    info.lpClass = progId;
    info.nShow = SW_SHOWNORMAL;
    // Marked, so that a failure tells what the shell set and what it left alone.
    constexpr INT_PTR kUnset = -1;
    info.hInstApp = reinterpret_cast<HINSTANCE>(kUnset);
    SetLastError(ERROR_SUCCESS);
    const BOOL done = ShellExecuteExW(&info);
    const DWORD error = GetLastError();
    if (!done || info.hProcess == nullptr) {
        if (why != nullptr) {
            const INT_PTR instance = reinterpret_cast<INT_PTR>(info.hInstApp);
            *why = (done ? "no process handle" : "failed, error " + std::to_string(error)) +
                   ", hInstApp " + (instance == kUnset ? "not set" : std::to_string(instance));
        }
        return false;
    }
    const UniqueKernelHandle process(info.hProcess);
    if (!Finished(process.get())) {
        if (why != nullptr) {
            *why = "what it started did not end within 20 s";
        }
        return false;
    }
    return true;
}

// What the shell's association functions answer for a type or class, without opening
// anything: the command of its default verb, or its icon.
std::wstring Assoc(ASSOCSTR what, const std::wstring& typeOrClass) {
    wchar_t text[4096];
    DWORD length = 4096;
    if (AssocQueryStringW(ASSOCF_NONE, what, typeOrClass.c_str(), nullptr, text, &length) != S_OK) {
        return L"(none)";
    }
    return text;
}

// Since Windows 8 the user is "offered the option to change their default handler after
// installing new apps that can handle a file type" (https://learn.microsoft.com/en-us/windows/
// compatibility/file-type-and-protocol-associations-model); under "File association changes in
// Windows 10", a notification comes "each time a new application registers a file extension"
// (https://techcommunity.microsoft.com/blog/askperf/
// how-to-configure-file-associations-for-it-pros/1313151; Windows 11 assumed alike: A7,
// docs/assumptions.md). Opening a file by its path may wait on that question, so there the
// suites open files as the tool's class and look the type up without opening anything.
bool OpensByPathWithoutAsking() {
    return IsWine() || !IsWindows8OrGreater();
}

std::string Utf8(const std::wstring& text) {
    return ToUtf8(std::u16string(text.begin(), text.end()));
}

// Starts a command line as the shell starts a verb's command, and waits for it.
bool Launch(const wchar_t* application, std::wstring commandLine, bool* sixtyFourBit = nullptr) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(application, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &info)) {
        return false;
    }
    const UniqueKernelHandle thread(info.hThread);
    const UniqueKernelHandle process(info.hProcess);
    if (sixtyFourBit != nullptr) {
        // On 64-bit Windows a process that is not under WoW64 is a 64-bit one.
        BOOL wow64 = TRUE;
        IsWow64Process(process.get(), &wow64);
        *sixtyFourBit = SixtyFourBitWindows() && !wow64;
    }
    return Finished(process.get());
}

// `text` after a round trip through the ANSI code page: what cannot be written there
// becomes "?".
std::wstring ThroughAnsiCodePage(const std::wstring& text) {
    const int length = static_cast<int>(text.size());
    std::string ansi(static_cast<std::size_t>(length) * 4, '\0');
    ansi.resize(static_cast<std::size_t>(
        WideCharToMultiByte(CP_ACP, 0, text.data(), length, ansi.data(),
                            static_cast<int>(ansi.size()), nullptr, nullptr)));
    std::wstring back(ansi.size(), L'\0');
    back.resize(static_cast<std::size_t>(
        MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), back.data(),
                            static_cast<int>(back.size()))));
    return back;
}

// Windows reports an icon location as registered (assumed: A11, docs/assumptions.md); Wine's
// SHGetFileInfoW passes it through the ANSI code page, so characters outside it come back as "?".
bool IconLocationKeepsEveryCharacter() {
    return !IsWine();
}

// The icon location the shell reports for a type whose icon is `exe`, index 0.
std::pair<std::wstring, int> ExpectedIcon(const std::wstring& exe) {
    return {IconLocationKeepsEveryCharacter() ? exe : ThroughAnsiCodePage(exe), 0};
}

std::optional<std::pair<std::wstring, int>> IconLocation(const std::wstring& file) {
    SHFILEINFOW info{};
    if (SHGetFileInfoW(file.c_str(), 0, &info, sizeof info, SHGFI_ICONLOCATION) == 0) {
        return std::nullopt;
    }
    return std::pair<std::wstring, int>{info.szDisplayName, info.iIcon};
}

std::wstring Quoted(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

// Expects one start of the stand-in since the last look, with `path` after its own path as
// the open command puts them; counts the launch when so.
void ExpectStartedWith(const StandInPlayer& player, const std::wstring& path) {
    const std::vector<std::wstring> expected{Quoted(player.Exe()) + L" " + Quoted(path)};
    const std::vector<std::wstring> starts = player.TakeStarts();
    EXPECT_EQ(starts, expected);
    tally.launches += starts == expected;
}

// Expects the shell to report the player's icon for `file`; counts the look-up when so.
void ExpectPlayerIcon(const std::wstring& file, const StandInPlayer& player) {
    const auto icon = IconLocation(file);
    EXPECT_EQ(icon, ExpectedIcon(player.Exe()));
    tally.iconLookups += icon == ExpectedIcon(player.Exe());
}

// Expects the type to name the player's command and icon, as the shell looks it up; counts the
// look-up when so.
void ExpectTypeNamesThePlayer(const std::wstring& type, const StandInPlayer& player) {
    const std::wstring command = Assoc(ASSOCSTR_COMMAND, type);
    const std::wstring icon = Assoc(ASSOCSTR_DEFAULTICON, type);
    EXPECT_EQ(command, OpenCommand(player.Exe())) << Utf8(type);
    EXPECT_EQ(icon, player.Exe() + L",0") << Utf8(type);
    tally.typeLookups += command == OpenCommand(player.Exe()) && icon == player.Exe() + L",0";
}

// Why the checks through a type cannot be made, if the user chose a default app for it.
std::optional<std::string> UsersChoiceOwns(const std::wstring& type) {
    if (const std::optional<std::wstring> choice = UserChoice(type)) {
        return "the user's choice for " + Utf8(type) + " is " + Utf8(*choice);
    }
    return std::nullopt;
}

class ShellClient : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { installation = std::make_unique<Installation>(); }
    static void TearDownTestSuite() { installation.reset(); }

    static const StandInPlayer& Player() { return installation->player; }
    static const MediaFolder& Media() { return installation->media; }

    static inline std::unique_ptr<Installation> installation;
};

TEST_F(ShellClient, PlayerIsInstalledWhereAProgramOfItsKindGoes) {
    // A 32-bit program on 64-bit Windows goes to "Program Files (x86)".
    EXPECT_EQ(Player().Exe().find(L"\\Program Files (x86)\\") != std::wstring::npos, IsWow64());
    // The build names the Wine prefix it made for this run; it must be the Windows asked for.
    if (const char* arch = std::getenv("MF_PREFIX_ARCH"); arch != nullptr) {
        EXPECT_EQ(SixtyFourBitWindows(), std::string(arch) == "win64") << arch;
    }
}

class FileTypes : public ShellClient, public ::testing::WithParamInterface<std::wstring> {};

TEST_P(FileTypes, OpenAsTheToolsClassAndNamedByTheType) {
    const std::wstring& type = GetParam();
    const std::wstring file = Media().File(type);
    const std::wstring progId = L"Marblefinch" + type;
    // As the tool's own class, on every Windows; a failure says what the shell answered.
    std::string why;
    ASSERT_TRUE(ShellOpen(file, nullptr, progId.c_str(), &why))
        << why << "; the class's command now: " << Utf8(Assoc(ASSOCSTR_COMMAND, progId));
    ExpectStartedWith(Player(), file);
    EXPECT_EQ(Assoc(ASSOCSTR_DEFAULTICON, progId), Player().Exe() + L",0");
    // Through the type, as Explorer looks it up; nothing is opened.
    if (const auto reason = UsersChoiceOwns(type)) {
        GTEST_SKIP() << *reason;
    }
    ExpectTypeNamesThePlayer(type, Player());
    ExpectPlayerIcon(file, Player());
}

TEST_P(FileTypes, DoubleClickStartsThePlayerWithTheFile) {
    const std::wstring& type = GetParam();
    if (!OpensByPathWithoutAsking()) {
        GTEST_SKIP() << "Windows 8 and later may ask how to open a newly registered type";
    }
    if (const auto reason = UsersChoiceOwns(type)) {
        GTEST_SKIP() << *reason;
    }
    const std::wstring file = Media().File(type);
    ASSERT_TRUE(ShellOpen(file));
    ExpectStartedWith(Player(), file);
}

INSTANTIATE_TEST_SUITE_P(AllTypes, FileTypes, ::testing::ValuesIn(AllTypes()),
                         [](const auto& info) {
                             return std::string(info.param.begin() + 1, info.param.end());
                         });

TEST_F(ShellClient, OpenVerbNamedStartsThePlayer) {
    const std::wstring file = Media().File(L".flac");
    ASSERT_TRUE(ShellOpen(file, L"open", L"Marblefinch.flac"));
    ExpectStartedWith(Player(), file);
}

// Windows looks a folder's verbs up under "Directory" before "Folder", and its context menu
// starts a verb as ShellExecuteExW does (assumed: A10, docs/assumptions.md); Wine's
// ShellExecuteExW looks under "Folder" only (with our verb named it reports success and starts
// something else), so on Wine a folder opened with the verb cannot check these entries.
bool ShellOpensFolderVerbsFromDirectory() {
    return !IsWine();
}

TEST_F(ShellClient, FolderVerbIsFoundUnderDirectoryAndHandsTheFolderToThePlayer) {
    wchar_t command[4096];
    DWORD length = 4096;
    ASSERT_EQ(AssocQueryStringW(ASSOCF_NONE, ASSOCSTR_COMMAND, L"Directory", L"Marblefinch.Play",
                                command, &length),
              S_OK);
    ASSERT_EQ(std::wstring(command), OpenCommand(Player().Exe()));
    tally.verbLookups += 1;

    if (ShellOpensFolderVerbsFromDirectory()) {
        // As the folder's context menu starts it.
        ASSERT_TRUE(ShellOpen(Media().Path(), L"Marblefinch.Play"));
    } else {
        // The command the shell found, started as the shell starts a verb's command.
        std::wstring commandLine = command;
        commandLine.replace(commandLine.find(L"%1"), 2, Media().Path());
        ASSERT_TRUE(Launch(nullptr, commandLine));
    }
    ExpectStartedWith(Player(), Media().Path());
    // The folder verbs that were there stay beside it.
    for (const std::wstring& verb : installation->verbsBefore) {
        EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Directory\\shell\\" + verb)) << verb;
    }
}

TEST_F(ShellClient, SixtyFourBitReadersSeeTheEntriesAndNoWow64Copy) {
    if (!SixtyFourBitWindows()) {
        GTEST_SKIP() << "32-bit Windows has a single registry view";
    }
    for (const std::wstring& type : AllTypes()) {
        EXPECT_EQ(FileTypeEntries(type, Player().Exe(), KEY_WOW64_64KEY), 5) << type;
    }
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kVerbKey, L"", KEY_WOW64_64KEY), kCaption);
    EXPECT_EQ(
        ReadString(HKEY_CLASSES_ROOT, std::wstring(kVerbKey) + L"\\command", L"", KEY_WOW64_64KEY),
        OpenCommand(Player().Exe()));

    // Classes of file types are shared between the views: nothing may land in the 32-bit
    // view's own node, where 64-bit Explorer would not look.
    for (const std::wstring& key : KeysTheToolWrites()) {
        for (const wchar_t* node :
             {L"Software\\Classes\\Wow6432Node\\", L"Software\\Wow6432Node\\Classes\\"}) {
            EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, node + key, KEY_WOW64_64KEY)) << key;
        }
    }
}

TEST_F(ShellClient, SixtyFourBitShellOpensAFileWithThePlayer) {
    if (!SixtyFourBitWindows()) {
        GTEST_SKIP() << "no 64-bit shell on 32-bit Windows";
    }
    // "start" is built into cmd.exe (no start.exe: assumed, A12, docs/assumptions.md). From a
    // 32-bit process "sysnative" names the 64-bit system folder; a 64-bit process finds it as
    // system32.
    const std::wstring cmd = EnvironmentVariable(L"windir") +
                             (IsWow64() ? L"\\sysnative" : L"\\system32") + L"\\cmd.exe";
    if (const auto reason = UsersChoiceOwns(L".mp3")) {
        GTEST_SKIP() << *reason;
    }
    if (!OpensByPathWithoutAsking()) {
        GTEST_SKIP() << "Windows 8 and later may ask how to open a newly registered type";
    }
    const std::wstring file = Media().File(L".mp3");
    bool sixtyFourBit = false;
    ASSERT_TRUE(Launch(cmd.c_str(), L"cmd.exe /c start \"\" /wait " + Quoted(file), &sixtyFourBit));
    EXPECT_TRUE(sixtyFourBit) << "cmd.exe ran as a 32-bit process";
    ExpectStartedWith(Player(), file);
}

// A type another program owned before the run: afterwards the type names the player and
// opens with it, and the other program's own keys are as they were.
TEST(ShellClientTakeover, TypeOwnedByAnotherProgramOpensWithThePlayerAfterTheRun) {
    const KeyCleanup other(HKEY_CLASSES_ROOT, {L"OtherPlayer.mp3"});
    const std::wstring otherExe = L"C:\\Other Player\\other.exe";
    std::wstring otherKeys;
    std::wstring iconBefore;

    const Installation installation([&](const MediaFolder&) {
        WriteString(HKEY_CLASSES_ROOT, L".mp3", L"", L"OtherPlayer.mp3");
        WriteString(HKEY_CLASSES_ROOT, L"OtherPlayer.mp3", L"", L"Other player's track");
        WriteString(HKEY_CLASSES_ROOT, L"OtherPlayer.mp3\\DefaultIcon", L"", otherExe + L",2");
        WriteString(HKEY_CLASSES_ROOT, L"OtherPlayer.mp3\\shell\\open\\command", L"",
                    OpenCommand(otherExe));
        otherKeys = DumpTree(HKEY_CLASSES_ROOT, L"OtherPlayer.mp3");
        // The shell saw the other program as the owner before the run.
        iconBefore = Assoc(ASSOCSTR_DEFAULTICON, L".mp3");
    });
    EXPECT_EQ(DumpTree(HKEY_CLASSES_ROOT, L"OtherPlayer.mp3"), otherKeys);
    if (const auto reason = UsersChoiceOwns(L".mp3")) {
        GTEST_SKIP() << *reason;
    }
    EXPECT_EQ(iconBefore, otherExe + L",2");
    ExpectTypeNamesThePlayer(L".mp3", installation.player);
    const std::wstring file = installation.media.File(L".mp3");
    ExpectPlayerIcon(file, installation.player);
    if (!OpensByPathWithoutAsking()) {
        GTEST_SKIP() << "Windows 8 and later may ask how to open a newly registered type";
    }
    ASSERT_TRUE(ShellOpen(file));
    ExpectStartedWith(installation.player, file);
}

}  // namespace
}  // namespace mf::testing
