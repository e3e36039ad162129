// The real executable, started with real command lines, checked from outside the way the
// player and the user see it: registry entries, exit code, windows and the error box.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>

#include <string>
#include <tuple>
#include <vector>

#include "e2e/entries.h"
#include "e2e/tool_process.h"
#include "shared/constants.h"
#include "win32/wine_registry.h"

namespace mf::testing {
namespace {

class ToolTest : public ::testing::Test {
  protected:
    ToolTest() {
        SeedDirectoryShell();
        verbsBefore = SubKeys(HKEY_CLASSES_ROOT, L"Directory\\shell");
    }
    ~ToolTest() override { SeedDirectoryShell(); }

    static int TypesRegistered(const std::wstring& exe) {
        int complete = 0;
        for (const std::wstring& type : AllTypes()) {
            complete += FileTypeEntries(type, exe) == 5;
        }
        return complete;
    }
    static int TypesTouched() {
        int touched = 0;
        for (const std::wstring& type : AllTypes()) {
            touched += KeyExists(HKEY_CLASSES_ROOT, L"Marblefinch" + type);
        }
        return touched;
    }

    KeyCleanup cleanup{HKEY_CLASSES_ROOT, KeysTheToolWrites()};
    std::vector<std::wstring> verbsBefore;
};

TEST_F(ToolTest, RegallWritesAllHundredAndTwelveValuesAndExitsQuietly) {
    const std::wstring player = L"C:\\Program Files\\P\\player.exe";
    ToolProcess tool(ToolPath(), L"\"" + player + L"\" regall \"Play with Marblefinch\"");
    EXPECT_EQ(tool.WaitForExit(), 0u);

    int values = 0;
    for (const std::wstring& type : AllTypes()) {
        values += FileTypeEntries(type, player);
    }
    values += ReadString(HKEY_CLASSES_ROOT, kVerbKey) == L"Play with Marblefinch";
    values +=
        ReadString(HKEY_CLASSES_ROOT, std::wstring(kVerbKey) + L"\\command") == OpenCommand(player);
    EXPECT_EQ(values, 112);
    // The folder verbs that were there are still there beside ours.
    for (const std::wstring& verb : verbsBefore) {
        EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Directory\\shell\\" + verb)) << verb;
    }
}

struct RunCase {
    const char* name;
    const wchar_t* arguments;
    const wchar_t* exe;  // the path the entries must carry
    int types;
    const wchar_t* caption;  // nullptr: no folder verb
};

// Parameters print as their names (not as raw bytes, padding included).
void PrintTo(const RunCase& c, std::ostream* out) {
    *out << c.name;
}

class CommandLines : public ToolTest, public ::testing::WithParamInterface<RunCase> {};

TEST_P(CommandLines, RegisterWhatTheWordAsksFor) {
    const RunCase& c = GetParam();
    ToolProcess tool(ToolPath(), c.arguments);
    ASSERT_EQ(tool.WaitForExit(), 0u);
    EXPECT_EQ(TypesRegistered(c.exe), c.types);
    EXPECT_EQ(TypesTouched(), c.types);
    if (c.caption != nullptr) {
        EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kVerbKey), c.caption);
        EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, std::wstring(kVerbKey) + L"\\command"),
                  OpenCommand(c.exe));
    } else {
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kVerbKey));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Words, CommandLines,
    ::testing::Values(
        RunCase{"regtype", L"C:\\P\\player.exe regtype", L"C:\\P\\player.exe", 22, nullptr},
        RunCase{"regfolder", L"C:\\P\\player.exe regfolder", L"C:\\P\\player.exe", 0, L""},
        RunCase{"extra_arguments", L"C:\\P\\player.exe regfolder Play extra more",
                L"C:\\P\\player.exe", 0, L"Play"},
        RunCase{"non_ascii_quoted_path",
                L"\"C:\\Progr\u00e4mme\\\u64ad\u653e\u5668 P\\pl\u00e4yer.exe\" regall "
                L"\"Mit Marblefinch \u00f6ffnen\"",
                L"C:\\Progr\u00e4mme\\\u64ad\u653e\u5668 P\\pl\u00e4yer.exe", 22,
                L"Mit Marblefinch \u00f6ffnen"},
        RunCase{"unknown_word", L"C:\\P\\player.exe register x", L"", 0, nullptr},
        RunCase{"miscased_word", L"C:\\P\\player.exe RegAll x", L"", 0, nullptr},
        RunCase{"slashed_word", L"C:\\P\\player.exe /regall x", L"", 0, nullptr},
        RunCase{"path_only", L"C:\\P\\player.exe", L"", 0, nullptr},
        RunCase{"no_arguments", L"", L"", 0, nullptr},
        RunCase{"empty_pair_shifts_arguments", L"\"\" regall x", L"", 0, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ToolTest, RefusedTableTypeIsPassedOverInSilence) {
    DenyRights(HKEY_CLASSES_ROOT, L".wv", KEY_SET_VALUE);
    ToolProcess tool(ToolPath(), L"C:\\P\\player.exe regall Play");
    EXPECT_EQ(tool.WaitForExit(), 0u);
    EXPECT_EQ(TypesRegistered(L"C:\\P\\player.exe"), 21);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Marblefinch.wv"));
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kVerbKey), L"Play");
}

TEST_F(ToolTest, SignedToolLeavesTheSameEntriesAsTheUnsigned) {
    // Only the build machine signs (with a throwaway certificate); there the run that
    // includes this test asks for the copy and a missing one is a failure.
    if (GetFileAttributesW(SignedToolPath().c_str()) == INVALID_FILE_ATTRIBUTES) {
        ASSERT_EQ(std::getenv("MF_REQUIRE_SIGNED_TOOL"), nullptr)
            << "the signing test left no signed tool in signed\\ beside the tool";
        GTEST_SKIP() << "the signed copy of the tool is made on the build machine only";
    }
    std::vector<std::wstring> dumps;
    for (const std::wstring& exe : {ToolPath(), SignedToolPath()}) {
        cleanup.Run();
        ToolProcess tool(exe, L"C:\\P\\player.exe regall Play");
        EXPECT_EQ(tool.WaitForExit(), 0u);
        EXPECT_EQ(TypesRegistered(L"C:\\P\\player.exe"), 22);
        std::wstring dump;
        for (const std::wstring& key : KeysTheToolWrites()) {
            dump += DumpTree(HKEY_CLASSES_ROOT, key);
        }
        dumps.push_back(dump);
    }
    EXPECT_EQ(dumps[1], dumps[0]);
}

bool Visible(HWND window) {
    return IsWindowVisible(window) != FALSE;
}

BOOL CALLBACK CollectButtonId(HWND child, LPARAM ids) {
    if (_wcsicmp(ClassOf(child).c_str(), L"Button") == 0) {
        reinterpret_cast<std::vector<int>*>(ids)->push_back(GetDlgCtrlID(child));
    }
    return TRUE;
}

// EnumFontFamiliesExW "enumerates all fonts with the specified name"; Wine also enumerates a
// FontSubstitutes entry under the name it replaces, which then counts as installed.
// https://learn.microsoft.com/en-us/windows/win32/api/wingdi/nf-wingdi-enumfontfamiliesexw
BOOL CALLBACK NoteFont(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
    *reinterpret_cast<bool*>(found) = true;
    return FALSE;
}
bool FontInstalled(const wchar_t* face) {
    LOGFONTW wanted{};
    wanted.lfCharSet = DEFAULT_CHARSET;
    wcsncpy(wanted.lfFaceName, face, LF_FACESIZE - 1);
    bool found = false;
    const win32::ScreenDc screen;
    EnumFontFamiliesExW(screen.get(), &wanted, &NoteFont, reinterpret_cast<LPARAM>(&found), 0);
    return found;
}

// Runs the tool into its error box, checks the box and the windows around it, presses OK,
// checks the tool window that then comes up and closes it.
void ExpectErrorBoxThenCloseable(ToolProcess& tool, const std::wstring& caption,
                                 const std::wstring& text) {
    const HWND box = tool.FindErrorBox();
    ASSERT_NE(box, nullptr) << "no error box";
    ASSERT_TRUE(WaitUntil(10000, &Visible, box)) << "the box is set up before it shows";
    EXPECT_EQ(WindowText(box), caption);
    EXPECT_EQ(MessageBoxText(box), text);
    // MB_OK: one button, OK (the icon flag is pinned in the call itself, check_notices.py).
    std::vector<int> buttons;
    EnumChildWindows(box, &CollectButtonId, reinterpret_cast<LPARAM>(&buttons));
    EXPECT_EQ(buttons, std::vector<int>{IDOK});

    const HWND form = tool.FindWindowOfClass(L"TfmRegTypes", 0);
    const HWND hidden = tool.FindWindowOfClass(L"MarblefinchAssociateApp", 0);
    ASSERT_NE(form, nullptr);
    ASSERT_NE(hidden, nullptr);
    EXPECT_FALSE(IsWindowVisible(form)) << "the work runs before the window is on screen";
    EXPECT_FALSE(IsWindowEnabled(form)) << "the box is modal to the thread's windows";
    EXPECT_EQ(GetWindow(box, GW_OWNER), hidden);
    EXPECT_FALSE(IsWindowVisible(hidden));
    EXPECT_EQ(WindowText(hidden), L"");

    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
    ASSERT_TRUE(WaitUntil(10000, &Visible, form)) << "the window comes up after OK";
    EXPECT_TRUE(IsWindowEnabled(form));
    EXPECT_EQ(WindowText(form), L"Register file types");
    EXPECT_EQ(GetWindow(form, GW_OWNER), nullptr);

    const LONG_PTR style = GetWindowLongPtrW(form, GWL_STYLE);
    const LONG_PTR exStyle = GetWindowLongPtrW(form, GWL_EXSTYLE);
    EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME));
    EXPECT_TRUE(exStyle & WS_EX_TOOLWINDOW);
    EXPECT_TRUE(exStyle & WS_EX_APPWINDOW);
    EXPECT_TRUE(GetWindowLongPtrW(hidden, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);

    RECT client{};
    GetClientRect(form, &client);
    EXPECT_EQ(client.right - client.left, 303);
    EXPECT_EQ(client.bottom - client.top, 47);
    const HWND label = FindWindowExW(form, nullptr, L"Static", nullptr);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(WindowText(label), L"Associating Marblefinch Player with files and folders");
    RECT labelRect{};
    GetWindowRect(label, &labelRect);
    MapWindowPoints(HWND_DESKTOP, form, reinterpret_cast<POINT*>(&labelRect), 2);
    EXPECT_EQ(labelRect.left, 8);
    EXPECT_EQ(labelRect.top, 16);
    // Its font as asked for, installed or not: a substitute of the same size passes the size
    // checks below. The handle is the tool's, so a hook reads it on the tool's thread.
    const HMODULE probe = LoadLibraryW(L"font_probe.dll");
    ASSERT_NE(probe, nullptr) << "font_probe.dll is not beside the suite";
    auto& font =
        *static_cast<LOGFONTW*>(reinterpret_cast<void*>(GetProcAddress(probe, "probedFont")));
    font = {};
    const HHOOK hook = SetWindowsHookExW(
        WH_CALLWNDPROC,
        reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(probe, "ProbeFont"))),
        probe, GetWindowThreadProcessId(label, nullptr));
    SendMessageW(label, RegisterWindowMessageW(L"MarblefinchProbeFont"), 0, 0);
    UnhookWindowsHookEx(hook);
    EXPECT_STREQ(font.lfFaceName, L"Tahoma");
    EXPECT_EQ(font.lfWeight, FW_NORMAL);
    EXPECT_EQ(font.lfHeight, MulDiv(-11, GetDeviceCaps(win32::ScreenDc().get(), LOGPIXELSY), 96));
    // Sized to its caption in Tahoma 8 pt: one line, all of it inside the window.
    const bool tahoma = FontInstalled(L"Tahoma");
    if (tahoma) {
        EXPECT_EQ(labelRect.bottom - labelRect.top, 13);
        EXPECT_GE(labelRect.right - labelRect.left, 200);
        EXPECT_LE(labelRect.right, 303);
    }

    PostMessageW(form, WM_CLOSE, 0, 0);
    EXPECT_EQ(tool.WaitForExit(), 0u);
    if (!tahoma) {
        GTEST_SKIP() << "the label's size was not checked: Tahoma, the window's font, is not "
                        "installed on this machine (a Wine prefix made by wineboot alone lacks "
                        "it; scripts/wine-prefix.sh copies it in)";
    }
}

TEST_F(ToolTest, RefusedCueSheetShowsTheErrorAndSkipsTheVerb) {
    DenyRights(HKEY_CLASSES_ROOT, L".cue", KEY_SET_VALUE);
    ToolProcess tool(ToolPath(), L"C:\\P\\player.exe regall Play");
    ExpectErrorBoxThenCloseable(tool, L"Marblefinch_associate", L"Failed to set data for ''");
    EXPECT_EQ(TypesRegistered(L"C:\\P\\player.exe"), 21);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kVerbKey));
}

TEST_F(ToolTest, RefusedVerbKeyCreationIsReportedWithAFullStop) {
    DenyRights(HKEY_CLASSES_ROOT, kVerbKey, KEY_QUERY_VALUE);
    ToolProcess tool(ToolPath(), L"C:\\P\\player.exe regfolder Play");
    ExpectErrorBoxThenCloseable(tool, L"Marblefinch_associate",
                                L"Failed to create key Marblefinch.Play.");
}

TEST_F(ToolTest, MissingFolderShellKeyIsReported) {
    if (!MayRemoveDirectoryShell()) {
        GTEST_SKIP() << "this case removes Directory\\shell, which only a throwaway Wine prefix "
                        "may lose";
    }
    DeleteTree(HKEY_CLASSES_ROOT, L"Directory\\shell");
    ToolProcess tool(ToolPath(), L"C:\\P\\player.exe regfolder Play");
    ExpectErrorBoxThenCloseable(tool, L"Marblefinch_associate", L"Failed to set data for ''");
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Directory\\shell"));
}

TEST_F(ToolTest, ErrorBoxCaptionComesFromTheExecutableName) {
    DenyRights(HKEY_CLASSES_ROOT, L".cue", KEY_SET_VALUE);
    const std::wstring folder = TempFolder();
    for (const auto& [name, caption] : {std::pair<std::wstring, std::wstring>{
                                            L"Marblefinch_Associate.exe", L"Marblefinch_associate"},
                                        {L"SETUP.Helper.EXE", L"Setup"}}) {
        const std::wstring copy = folder + name;
        ASSERT_TRUE(CopyFileW(ToolPath().c_str(), copy.c_str(), FALSE));
        {
            ToolProcess tool(copy, L"C:\\P\\player.exe regtype");
            const HWND box = tool.FindErrorBox();
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(WindowText(box), caption);
        }
        DeleteFileW(copy.c_str());
    }
}

TEST_F(ToolTest, StartedMinimisedOrMaximisedTheWindowComesUpSo) {
    DenyRights(HKEY_CLASSES_ROOT, L".cue", KEY_SET_VALUE);
    for (const auto& [show, name, state] : {std::tuple{SW_SHOWMINNOACTIVE, "minimised", &IsIconic},
                                            std::tuple{SW_SHOWMAXIMIZED, "maximised", &IsZoomed}}) {
        ToolProcess tool(ToolPath(), L"C:\\P\\player.exe regtype", show);
        const HWND box = tool.FindErrorBox();
        ASSERT_NE(box, nullptr) << name;
        const HWND form = tool.FindWindowOfClass(L"TfmRegTypes", 0);
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
        ASSERT_TRUE(WaitUntil(10000, &Visible, form)) << name;
        EXPECT_TRUE(state(form)) << "started " << name;
        PostMessageW(form, WM_CLOSE, 0, 0);
        EXPECT_EQ(tool.WaitForExit(), 0u) << name;
    }
}

}  // namespace
}  // namespace mf::testing

namespace mf::testing {
namespace {

#pragma pack(push, 2)
struct IconGroupHeader {
    WORD reserved;
    WORD type;
    WORD count;
};
struct IconGroupEntry {
    BYTE width;
    BYTE height;
    BYTE colorCount;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytesInRes;
    WORD id;
};
#pragma pack(pop)

class ImageResources : public ::testing::Test {
  protected:
    ImageResources()
        : module_(LoadLibraryExW(ToolPath().c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
    ~ImageResources() override {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }
    std::string Resource(const wchar_t* name, const wchar_t* type) const {
        HRSRC found = FindResourceW(module_, name, type);
        if (found == nullptr) {
            return {};
        }
        const auto* data = static_cast<const char*>(LockResource(LoadResource(module_, found)));
        return std::string(data, SizeofResource(module_, found));
    }

    HMODULE module_;
};

TEST_F(ImageResources, IconGroupHasEightImagesInOrder) {
    ASSERT_NE(module_, nullptr);
    const std::string group = Resource(L"MAINICON", RT_GROUP_ICON);
    ASSERT_GE(group.size(), sizeof(IconGroupHeader));
    const auto* header = reinterpret_cast<const IconGroupHeader*>(group.data());
    ASSERT_EQ(header->count, 8);
    ASSERT_EQ(group.size(), sizeof(IconGroupHeader) + 8 * sizeof(IconGroupEntry));
    const auto* entries = reinterpret_cast<const IconGroupEntry*>(header + 1);
    const int sizes[] = {48, 32, 24, 16};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(entries[i].width, sizes[i % 4]) << i;
        EXPECT_EQ(entries[i].height, sizes[i % 4]) << i;
        EXPECT_EQ(entries[i].bitCount, i < 4 ? 8 : 32) << i;
    }
}

TEST_F(ImageResources, ManifestAsksForAdministratorAndVisualStyles) {
    ASSERT_NE(module_, nullptr);
    const std::string manifest =
        Resource(MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24) /* RT_MANIFEST */);
    for (const char* part : {"version=\"" MF_PROJECT_VERSION
                             "\" processorArchitecture=\"" MF_MANIFEST_ARCHITECTURE "\"",
                             "type=\"*\"", "<description>elevate execution level</description>",
                             "level=\"requireAdministrator\" uiAccess=\"false\"",
                             "name=\"Microsoft.Windows.Common-Controls\"", "version=\"6.0.0.0\"",
                             "publicKeyToken=\"6595b64144ccf1df\"", "language=\"*\""}) {
        EXPECT_NE(manifest.find(part), std::string::npos) << part;
    }
}

// A version string of the image's version resource, US English, Unicode.
std::wstring VersionString(const std::vector<BYTE>& info, const std::wstring& name) {
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(info.data(), (L"\\StringFileInfo\\040904B0\\" + name).c_str(), &value,
                        &length) ||
        length == 0) {
        return L"";
    }
    return std::wstring(static_cast<const wchar_t*>(value), length - 1);
}

std::wstring Dotted(DWORD high, DWORD low) {
    return std::to_wstring(HIWORD(high)) + L"." + std::to_wstring(LOWORD(high)) + L"." +
           std::to_wstring(HIWORD(low)) + L"." + std::to_wstring(LOWORD(low));
}

TEST_F(ImageResources, VersionResourceNamesTheToolAndAgreesWithTheManifest) {
    const std::wstring path = ToolPath();
    DWORD ignored = 0;
    std::vector<BYTE> info(GetFileVersionInfoSizeW(path.c_str(), &ignored));
    ASSERT_FALSE(info.empty());
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));

    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", &value, &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(static_cast<const WORD*>(value)[0], 0x0409);  // US English
    EXPECT_EQ(static_cast<const WORD*>(value)[1], 1200);    // Unicode

    const std::wstring tool = Wide(constants::AssociateToolName);
    for (const auto& [name, expected] : std::vector<std::pair<std::wstring, std::wstring>>{
             {L"FileVersion", L"" MF_PROJECT_VERSION},
             {L"ProductVersion", Wide(constants::PlayerVersion)},
             {L"ProductName", Wide(constants::PlayerDisplayName)},
             {L"InternalName", tool},
             {L"OriginalFilename", tool + L".exe"},
             {L"CompanyName", L"Marblefinch"},
             {L"FileDescription", L"Associates Marblefinch Player with audio files and folders"}}) {
        EXPECT_EQ(VersionString(info, name), expected) << name;
    }

    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", &value, &length));
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(fixed->dwSignature, VS_FFI_SIGNATURE);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
    // The numbers say what the texts say, and the manifest carries the same file version.
    EXPECT_EQ(Dotted(fixed->dwFileVersionMS, fixed->dwFileVersionLS), L"" MF_PROJECT_VERSION);
    EXPECT_EQ(Dotted(fixed->dwProductVersionMS, fixed->dwProductVersionLS),
              Wide(constants::PlayerVersion) + L".0.0");
    const std::string manifest =
        Resource(MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24) /* RT_MANIFEST */);
    EXPECT_NE(manifest.find("<assemblyIdentity version=\"" MF_PROJECT_VERSION "\""),
              std::string::npos);
}

}  // namespace
}  // namespace mf::testing

namespace mf::testing {
namespace {

class NothingLost : public ToolTest {};

TEST_F(NothingLost, ForeignEntriesSurviveAndASecondRunChangesNothing) {
    WriteString(HKEY_CLASSES_ROOT, L".mp3", L"", L"OtherPlayer.mp3");
    WriteString(HKEY_CLASSES_ROOT, L".mp3", L"Content Type", L"audio/mpeg");
    WriteString(HKEY_CLASSES_ROOT, L".mp3", L"PerceivedType", L"audio");
    WriteString(HKEY_CLASSES_ROOT, L".mp3\\OpenWithProgids", L"OtherPlayer.mp3", L"");
    WriteString(HKEY_CLASSES_ROOT, L"Marblefinch.mp3\\Shell\\Enqueue\\command", L"",
                L"q.exe \"%1\"");

    const auto runAndDump = [] {
        ToolProcess tool(ToolPath(), L"C:\\P\\player.exe regall Play");
        EXPECT_EQ(tool.WaitForExit(), 0u);
        std::wstring dump;
        for (const wchar_t* key :
             {L".mp3", L"Marblefinch.mp3", L".cue", L"Marblefinch.cue", L"Directory\\shell"}) {
            dump += DumpTree(HKEY_CLASSES_ROOT, key);
        }
        return dump;
    };
    const std::wstring first = runAndDump();
    EXPECT_EQ(runAndDump(), first);

    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L".mp3"), L"Marblefinch.mp3");
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L".mp3", L"Content Type"), L"audio/mpeg");
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L".mp3", L"PerceivedType"), L"audio");
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L".mp3\\OpenWithProgids", L"OtherPlayer.mp3"), L"");
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L"Marblefinch.mp3\\Shell\\Enqueue\\command"),
              L"q.exe \"%1\"");
    for (const std::wstring& verb : verbsBefore) {
        EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Directory\\shell\\" + verb)) << verb;
    }
}

// The folder class's shell key spelt with a capital S, as some systems have it: the verb
// goes inside it and no second key appears.
TEST_F(NothingLost, VerbLandsInsideADifferentlySpeltShellKey) {
    if (!MayRemoveDirectoryShell()) {
        GTEST_SKIP() << "this case removes Directory\\shell, which only a throwaway Wine prefix "
                        "may lose";
    }
    DeleteTree(HKEY_CLASSES_ROOT, L"Directory\\shell");
    WriteString(HKEY_CLASSES_ROOT, L"Directory\\Shell\\cmd\\command", L"", L"cmd.exe");
    ToolProcess tool(ToolPath(), L"C:\\P\\player.exe regfolder Play");
    EXPECT_EQ(tool.WaitForExit(), 0u);
    EXPECT_EQ(SubKeys(HKEY_CLASSES_ROOT, L"Directory"), std::vector<std::wstring>{L"Shell"});
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L"Directory\\Shell\\Marblefinch.Play"), L"Play");
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L"Directory\\Shell\\cmd\\command"), L"cmd.exe");
    DeleteTree(HKEY_CLASSES_ROOT, L"Directory\\Shell");
}

}  // namespace
}  // namespace mf::testing
