// The guard on the real registry: a state is arranged, saved, changed as the suites change
// it, restored, and must then read back exactly as before, twice over.
#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>
#include <winternl.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <thread>

#include "e2e/entries.h"
#include "kit/commands.h"
#include "kit/dump.h"
#include "kit/file_trust.h"
#include "kit/key_access.h"
#include "kit/key_records.h"
#include "kit/probe.h"
#include "kit/run_lock.h"
#include "kit/snapshot.h"
#include "kit/snapshot_file.h"
#include "platform/win32/WinHandles.h"

namespace mf::kit {
namespace {

using win32::UniqueHkey;
using win32::UniqueKernelHandle;

constexpr REGSAM kView = KEY_WOW64_64KEY;
const std::wstring kBase = L"Software\\Classes\\MarblefinchGuardTests";
const HKEY M = HKEY_LOCAL_MACHINE;
const HKEY U = HKEY_CURRENT_USER;

std::wstring At(const std::wstring& sub) {
    return sub.empty() ? kBase : kBase + L"\\" + sub;
}

void Make(HKEY hive, const std::wstring& sub) {
    UniqueHkey key;
    ASSERT_EQ(RegCreateKeyExW(hive, At(sub).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | kView, nullptr,
                              key.put(), nullptr),
              ERROR_SUCCESS)
        << "create " << ::testing::PrintToString(At(sub));
}

void Set(HKEY hive, const std::wstring& sub, const std::wstring& name, DWORD type,
         const std::vector<BYTE>& data) {
    Make(hive, sub);
    UniqueHkey key;
    ASSERT_EQ(RegOpenKeyExW(hive, At(sub).c_str(), 0, KEY_SET_VALUE | kView, key.put()),
              ERROR_SUCCESS);
    static const BYTE kNothing = 0;
    ASSERT_EQ(
        RegSetValueExW(key.get(), name.c_str(), 0, type, data.empty() ? &kNothing : data.data(),
                       static_cast<DWORD>(data.size())),
        ERROR_SUCCESS);
}

std::vector<BYTE> Bytes(const std::wstring& text) {
    const auto* begin = reinterpret_cast<const BYTE*>(text.c_str());
    return std::vector<BYTE>(begin, begin + (text.size() + 1) * sizeof(wchar_t));
}

void SetText(HKEY hive, const std::wstring& sub, const std::wstring& name, const std::wstring& text,
             DWORD type = REG_SZ) {
    Set(hive, sub, name, type, Bytes(text));
}

void RemoveValue(HKEY hive, const std::wstring& sub, const std::wstring& name) {
    ASSERT_EQ(RegDeleteKeyValueW(hive, At(sub).c_str(), name.c_str()), ERROR_SUCCESS);
}

// `sddl` may hold an owner (O:), a group (G:) and a DACL (D:); only those parts are set.
void Secure(HKEY hive, const std::wstring& path, const std::wstring& sddl) {
    SECURITY_INFORMATION parts = 0;
    REGSAM access = 0;
    if (sddl.find(L"O:") != std::wstring::npos) {
        parts |= OWNER_SECURITY_INFORMATION;
        access |= WRITE_OWNER;
    }
    if (sddl.find(L"G:") != std::wstring::npos) {
        parts |= GROUP_SECURITY_INFORMATION;
        access |= WRITE_OWNER;
    }
    if (sddl.find(L"D:") != std::wstring::npos) {
        parts |= DACL_SECURITY_INFORMATION;
        access |= WRITE_DAC;
    }
    UniqueHkey key;
    ASSERT_EQ(RegOpenKeyExW(hive, path.c_str(), 0, access | kView, key.put()), ERROR_SUCCESS);
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                     &sd, nullptr));
    const LONG status = RegSetKeySecurity(key.get(), parts, sd);
    LocalFree(sd);
    ASSERT_EQ(status, ERROR_SUCCESS) << ::testing::PrintToString(sddl);
}

void SecureSub(HKEY hive, const std::wstring& sub, const std::wstring& sddl) {
    Secure(hive, At(sub), sddl);
}

constexpr const wchar_t* kOpen = L"D:(A;;KA;;;BA)(A;;KA;;;SY)";
// Everyone, administrators included, is refused writing values, adding and deleting keys.
constexpr const wchar_t* kNoWrites = L"D:(D;;0x10006;;;WD)(A;;KA;;;BA)(A;;KA;;;SY)";

void DeleteTree(HKEY hive, const std::wstring& path) {
    {
        UniqueHkey key;
        if (RegOpenKeyExW(hive, path.c_str(), 0, WRITE_DAC | kView, key.put()) == ERROR_SUCCESS) {
            PSECURITY_DESCRIPTOR sd = nullptr;
            ConvertStringSecurityDescriptorToSecurityDescriptorW(kOpen, SDDL_REVISION_1, &sd,
                                                                 nullptr);
            RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, sd);
            LocalFree(sd);
        }
    }
    std::vector<std::wstring> children;
    {
        UniqueHkey key;
        if (RegOpenKeyExW(hive, path.c_str(), 0, KEY_READ | kView, key.put()) != ERROR_SUCCESS) {
            return;
        }
        wchar_t name[512];
        for (DWORD index = 0;; ++index) {
            DWORD length = 512;
            if (RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr,
                              nullptr) != ERROR_SUCCESS) {
                break;
            }
            children.emplace_back(name, length);
        }
    }
    for (const std::wstring& child : children) {
        DeleteTree(hive, path + L"\\" + child);
    }
    RegDeleteKeyExW(hive, path.c_str(), kView, 0);
}

std::wstring TempFolder() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH, path);
    return std::wstring(path, length) + L"MarblefinchGuardTests";
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    const UniqueKernelHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_NE(file.get(), INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(
        WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

std::string ReadBytes(const std::wstring& path) {
    const UniqueKernelHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (file.get() != INVALID_HANDLE_VALUE &&
           ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) {
        bytes.append(buffer, read);
    }
    return bytes;
}

// As save writes a snapshot: administrators and the system only, so that restore takes it.
constexpr const wchar_t* kGuardedFile = L"O:BAD:P(A;;FA;;;BA)(A;;FA;;;SY)";

void WriteGuarded(const std::wstring& path, const std::string& bytes) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(kGuardedFile, SDDL_REVISION_1,
                                                                     &sd, nullptr));
    SECURITY_ATTRIBUTES attributes{sizeof attributes, sd, FALSE};
    DeleteFileW(path.c_str());
    const UniqueKernelHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, &attributes,
                                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    LocalFree(sd);
    ASSERT_NE(file.get(), INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(
        WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

// `body` with the end line that save writes after it.
std::string Sealed(const std::string& body) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : body) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return body + "end " + text + "\n";
}

std::string Joined(const Problems& problems) {
    std::string text;
    for (const std::wstring& problem : problems) {
        text += ::testing::PrintToString(problem) + "\n";
    }
    return text;
}

bool Mentions(const Problems& problems, const std::wstring& part) {
    return std::any_of(problems.begin(), problems.end(), [&](const std::wstring& problem) {
        return problem.find(part) != std::wstring::npos;
    });
}

std::string TokenUserSid() {
    HANDLE raw = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw);
    const UniqueKernelHandle token(raw);
    BYTE buffer[256];
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size);
    wchar_t* text = nullptr;
    ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text);
    std::string sid;
    for (const wchar_t* c = text; c && *c; ++c) {
        sid += static_cast<char>(*c);
    }
    LocalFree(text);
    return sid;
}

std::wstring Widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

bool RunUnix(const std::wstring& program, const std::wstring& first,
             const std::wstring& second = L"");

// Both halves of the test base, each as a guarded root: arranged, saved, changed, restored.
class Guard : public ::testing::Test {
  protected:
    Guard() {
        Clean();
        Make(M, L"");
        Make(U, L"");
        CreateDirectoryW(TempFolder().c_str(), nullptr);
        // Restore takes no other folder than this machine's stand-in one.
        scope_.folder = KitScope().folder;
        for (const wchar_t* hive : {L"HKLM\\", L"HKCU\\"}) {
            for (const wchar_t* sub : {L"Item", L"Tree\\Deep\\Deeper"}) {
                scope_.keys.push_back(hive + At(sub));
            }
        }
    }
    ~Guard() override { Clean(); }

    static void Clean() {
        DeleteTree(M, kBase);
        DeleteTree(U, kBase);
        RemoveFolder(TempFolder());
        // Wine can neither see nor remove a Unix link that points nowhere, as the link tests
        // may leave one.
        if (FileExists(TempFolder()) && RunUnix(L"rm -rf", TempFolder())) {
            for (int wait = 0; wait < 100 && FileExists(TempFolder()); ++wait) {
                Sleep(50);
            }
        }
    }

    // The whole test base in both halves, sorted, every byte and each key's security.
    static std::string State() {
        std::string state;
        for (const wchar_t* hive : {L"HKLM", L"HKCU"}) {
            Problems problems;
            const RootRecord root =
                ReadRoot({hive, L"Software\\Classes", L"MarblefinchGuardTests", {}}, problems);
            EXPECT_TRUE(problems.empty()) << Joined(problems);
            state += root.key ? Render(hive, *root.key) : "(absent)\n";
        }
        return state;
    }

    void Save() {
        Problems problems;
        ASSERT_EQ(SaveCommand(snapshot_, scope_, problems), kOk) << Joined(problems);
        WriteGuarded(copy_, ReadBytes(snapshot_));
    }

    int RestoreFrom(const std::wstring& file, Problems& problems) {
        return RestoreCommand(file, problems);
    }

    Scope scope_;
    const std::wstring snapshot_ = TempFolder() + L"\\snapshot \u00e9\u64ad.txt";
    const std::wstring copy_ = TempFolder() + L"\\copy.txt";
};

struct Change {
    const char* name;
    std::function<void()> arrange;
    std::function<void()> mutate;
};

std::ostream& operator<<(std::ostream& out, const Change& change) {
    return out << change.name;
}

class GuardRestores : public Guard, public ::testing::WithParamInterface<Change> {};

TEST_P(GuardRestores, WhatWasThereExactlyAndASecondRestoreChangesNothing) {
    GetParam().arrange();
    ASSERT_FALSE(HasFatalFailure());
    const std::string before = State();
    Save();
    GetParam().mutate();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_NE(State(), before) << "the change changed nothing";

    Problems problems;
    EXPECT_EQ(RestoreFrom(snapshot_, problems), kOk) << Joined(problems);
    EXPECT_EQ(State(), before);
    EXPECT_FALSE(FileExists(snapshot_));

    EXPECT_EQ(RestoreFrom(copy_, problems), kOk) << Joined(problems);
    EXPECT_EQ(State(), before);
}

const std::wstring kUmlautValue = L"W\u00e4rme \u64ad";
const std::wstring kUmlautValueUpper = L"W\u00c4RME \u64ad";

std::vector<BYTE> Large() {
    std::vector<BYTE> data(200000);
    for (std::size_t index = 0; index < data.size(); ++index) {
        data[index] = static_cast<BYTE>(index * 7 % 251);
    }
    return data;
}

INSTANTIATE_TEST_SUITE_P(
    Changes, GuardRestores,
    ::testing::Values(
        Change{"ForeignValuesAndVerbAdded",
               [] {
                   SetText(M, L"Item", L"", L"Original.File");
                   Set(M, L"Item", L"Count", REG_DWORD, {7, 0, 0, 0});
               },
               [] {
                   SetText(M, L"Item", L"", L"Marblefinch.mp3");
                   SetText(M, L"Item", L"Content Type", L"audio/x-foreign");
                   SetText(M, L"Item\\Shell\\Open\\Command", L"", L"\"x.exe\" \"%1\"");
               }},
        Change{"DenyEntryPlantedOnExistingKey", [] { SetText(M, L"Item", L"", L"Original.File"); },
               [] {
                   SetText(M, L"Item", L"Planted", L"x");
                   SecureSub(M, L"Item", kNoWrites);
               }},
        Change{"TreeDeletedWhoseSubkeysHadTheirOwnDacls",
               [] {
                   SetText(M, L"Item\\A\\B", L"", L"deep");
                   SecureSub(M, L"Item\\A\\B", L"D:P(A;;KA;;;BA)(A;;KA;;;SY)(A;;KR;;;WD)");
                   SecureSub(M, L"Item\\A", L"D:(A;;KA;;;BA)(A;;KA;;;SY)(A;;KR;;;BU)");
                   Make(M, L"Item\\C");
               },
               [] { DeleteTree(M, At(L"Item")); }},
        Change{"ValueChangedInTypeOnly",
               [] { SetText(M, L"Item", L"Path", L"%SystemRoot%\\x.exe"); },
               [] { SetText(M, L"Item", L"Path", L"%SystemRoot%\\x.exe", REG_EXPAND_SZ); }},
        Change{"ValueChangedInDataOnly",
               [] {
                   SetText(M, L"Item", L"", L"Original.File");
                   Set(M, L"Item", L"Count", REG_DWORD, {1, 0, 0, 0});
               },
               [] {
                   SetText(M, L"Item", L"", L"Original.Filf");
                   Set(M, L"Item", L"Count", REG_DWORD, {2, 0, 0, 0});
               }},
        Change{"BinaryAndOddDataWithEmbeddedNuls",
               [] {
                   Set(M, L"Item", L"Binary", REG_BINARY, {0, 1, 0, 0, 255});
                   Set(M, L"Item", L"Odd", REG_SZ, {'a', 0, 0, 0, 'b', 0, 7});
                   Set(M, L"Item", L"Empty", REG_NONE, {});
                   Set(M, L"Item", L"Large", REG_BINARY, Large());
               },
               [] {
                   Set(M, L"Item", L"Binary", REG_BINARY, {0, 1, 0});
                   Set(M, L"Item", L"Odd", REG_SZ, {'a', 0});
                   Set(M, L"Item", L"Empty", REG_NONE, {0});
                   std::vector<BYTE> large = Large();
                   large[123456] ^= 1;
                   Set(M, L"Item", L"Large", REG_BINARY, large);
               }},
        Change{"NonAsciiNamesComeBackInOtherCase",
               [] {
                   SetText(M, L"Item", kUmlautValue, L"warm");
                   SetText(M, L"Item\\Schl\u00fcssel \u64ad", L"", L"inner");
               },
               [] {
                   RemoveValue(M, L"Item", kUmlautValue);
                   SetText(M, L"Item", kUmlautValueUpper, L"warm");
                   DeleteTree(M, At(L"Item\\Schl\u00fcssel \u64ad"));
                   SetText(M, L"Item\\SCHL\u00dcSSEL \u64ad", L"", L"inner");
               }},
        Change{"KeyOnlyInTheUserHalf", [] { SetText(U, L"Item", L"", L"User.Choice"); },
               [] {
                   SetText(M, L"Item", L"", L"Marblefinch.mp3");
                   SetText(U, L"Item", L"", L"Marblefinch.mp3");
               }},
        Change{"NewTreeWithParentsAndADenyEntry", [] {},
               [] {
                   SetText(M, L"Tree\\Deep\\Deeper", L"", L"new");
                   SecureSub(M, L"Tree\\Deep\\Deeper", kNoWrites);
                   SetText(U, L"Tree\\Deep", L"", L"new");
               }},
        Change{"OwnerChanged",
               [] {
                   Make(M, L"Item");
                   SecureSub(M, L"Item", L"O:BA");
               },
               [] { SecureSub(M, L"Item", L"O:" + Widen(TokenUserSid())); }},
        Change{"DaclProtectionAndInheritanceFlagsChanged",
               [] {
                   Make(M, L"Item");
                   SecureSub(M, L"Item", L"D:PAI(A;;KA;;;BA)(A;;KA;;;SY)(A;;KR;;;WD)");
               },
               [] { SecureSub(M, L"Item", kOpen); }},
        Change{"RecordedDaclRefusesTheChangesBack",
               [] {
                   SetText(M, L"Item", L"", L"Original.File");
                   Make(M, L"Item\\Kept");
                   SecureSub(M, L"Item", kNoWrites);
               },
               [] {
                   SecureSub(M, L"Item", kOpen);
                   SetText(M, L"Item", L"", L"Marblefinch.mp3");
                   DeleteTree(M, At(L"Item\\Kept"));
                   Make(M, L"Item\\Added");
                   SecureSub(M, L"Item", kNoWrites);
               }},
        Change{"KeyWhoseRecordedDaclRefusesWritesDeleted",
               [] {
                   SetText(M, L"Item\\Kept", L"", L"inner");
                   SetText(M, L"Item", L"", L"Original.File");
                   SecureSub(M, L"Item", kNoWrites);
               },
               [] { DeleteTree(M, At(L"Item")); }}),
    [](const ::testing::TestParamInfo<Change>& info) { return std::string(info.param.name); });

TEST_F(Guard, SaveRefusesToOverwriteASnapshot) {
    CreateDirectoryW(TempFolder().c_str(), nullptr);
    WriteBytes(snapshot_, "earlier run");
    Problems problems;
    EXPECT_EQ(SaveCommand(snapshot_, scope_, problems), kRefused);
    EXPECT_EQ(ReadBytes(snapshot_), "earlier run");
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_TRUE(Mentions(problems, snapshot_)) << Joined(problems);
}

TEST_F(Guard, UnusableSnapshotIsRefusedAndChangesNothing) {
    SetText(M, L"Item", L"", L"Original.File");
    Save();
    const std::string good = ReadBytes(copy_);
    SetText(M, L"Item", L"", L"Marblefinch.mp3");
    SetText(U, L"Tree\\Deep", L"", L"new");
    const std::string changed = State();

    std::string flipped = good;
    flipped[flipped.size() / 2] = flipped[flipped.size() / 2] == '0' ? '1' : '0';
    // As written before snapshots named their user: no user line, sealed all the same.
    const std::size_t user = good.find('\n') + 1;
    const std::size_t rest = good.find('\n', user) + 1;
    const std::string body = good.substr(rest, good.rfind("end ") - rest);
    const std::string older = Sealed("kit_guard snapshot 1\n" + body);
    const struct {
        const char* name;
        std::optional<std::string> bytes;  // none: no file at all
    } cases[] = {
        {"missing", std::nullopt},
        {"empty", std::string()},
        {"cut off", good.substr(0, good.size() / 2)},
        {"cut before its last newline", good.substr(0, good.size() - 1)},
        {"one digit changed", flipped},
        {"something else", std::string("REGEDIT4\n\n[HKEY_CLASSES_ROOT\\.mp3]\n")},
        {"older, without its user", older},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(snapshot_.c_str());
        if (c.bytes) {
            WriteGuarded(snapshot_, *c.bytes);
        }
        Problems problems;
        EXPECT_EQ(RestoreFrom(snapshot_, problems), kRefused);
        EXPECT_EQ(problems.size(), 1u) << Joined(problems);
        EXPECT_TRUE(Mentions(problems, snapshot_)) << Joined(problems);
        EXPECT_EQ(State(), changed);
        EXPECT_EQ(FileExists(snapshot_), c.bytes.has_value());
    }
}

TEST_F(Guard, KeyThatCannotBePutBackIsNamedAndTheSnapshotKept) {
    SetText(M, L"Item", L"", L"Original.File");
    const std::string before = State();
    Save();
    std::wstring error;
    std::optional<Snapshot> snapshot = Parse(ReadBytes(snapshot_), error);
    ASSERT_TRUE(snapshot) << ::testing::PrintToString(error);
    // Longer than any key name the registry takes: refused when created.
    const std::wstring tooLong(300, L'x');
    // Created without complaint, as two keys: only reading back shows it.
    const std::wstring split = L"Split\\Name";
    for (RootRecord& root : snapshot->roots) {
        if (root.hive == L"HKLM" && root.key) {
            root.key->subkeys.push_back({tooLong, root.key->security, {}, {}});
            root.key->subkeys.push_back({split, root.key->security, {}, {}});
        }
    }
    DeleteFileW(snapshot_.c_str());
    WriteGuarded(snapshot_, Serialize(*snapshot));
    SetText(M, L"Item", L"", L"Marblefinch.mp3");

    Problems problems;
    EXPECT_EQ(RestoreFrom(snapshot_, problems), kFailed);
    EXPECT_TRUE(Mentions(problems, L"HKLM\\" + At(L"Item\\") + tooLong)) << Joined(problems);
    EXPECT_TRUE(Mentions(problems, L"HKLM\\" + At(L"Item\\") + split)) << Joined(problems);
    EXPECT_TRUE(FileExists(snapshot_));
    // The rest is put back all the same.
    EXPECT_NE(State().find("Original.File"), std::string::npos);

    problems.clear();
    EXPECT_EQ(RestoreFrom(copy_, problems), kOk) << Joined(problems);
    EXPECT_FALSE(FileExists(copy_));
    EXPECT_EQ(State(), before);
}

// HKEY_CURRENT_USER is another hive for another user: a snapshot saved for one user is not
// put back into another's.
TEST_F(Guard, SnapshotOfAnotherUserIsRefusedAndChangesNothing) {
    SetText(U, L"Item", L"", L"Original.File");
    Save();
    std::wstring error;
    std::optional<Snapshot> snapshot = Parse(ReadBytes(snapshot_), error);
    ASSERT_TRUE(snapshot) << ::testing::PrintToString(error);
    EXPECT_EQ(snapshot->user, Widen(TokenUserSid()));
    const std::wstring other = L"S-1-5-21-1004336348-1177238915-682003330-1001";
    snapshot->user = other;
    DeleteFileW(snapshot_.c_str());
    WriteGuarded(snapshot_, Serialize(*snapshot));
    SetText(U, L"Item", L"", L"Marblefinch.mp3");
    const std::string changed = State();

    Problems problems;
    EXPECT_EQ(RestoreFrom(snapshot_, problems), kRefused);
    EXPECT_EQ(problems.size(), 1u) << Joined(problems);
    EXPECT_TRUE(Mentions(problems, other)) << Joined(problems);
    EXPECT_TRUE(Mentions(problems, Widen(TokenUserSid()))) << Joined(problems);
    EXPECT_EQ(State(), changed);
    EXPECT_TRUE(FileExists(snapshot_));

    problems.clear();
    EXPECT_EQ(RestoreFrom(copy_, problems), kOk) << Joined(problems);
}

// A parent that is there but cannot be listed says nothing about the key below it: save
// names it and writes nothing, restore names it and keeps the snapshot. Where the backup
// privilege reads past the DACL, the key is simply seen as it is.
TEST_F(Guard, KeyBelowAParentThatCannotBeListedIsNotTakenForAbsent) {
    constexpr const wchar_t* kNoListing = L"D:(D;;0x9;;;WD)(A;;KA;;;BA)(A;;KA;;;SY)";
    const std::wstring leaf = L"HKLM\\" + At(L"Closed\\Item");
    scope_.keys = {leaf};
    const auto close = [] { SecureSub(M, L"Closed", kNoListing); };
    const auto open = [] { SecureSub(M, L"Closed", kOpen); };

    SetText(M, L"Closed\\Item", L"", L"Original.File");
    close();
    Problems problems;
    const int saved = SaveCommand(snapshot_, scope_, problems);
    open();
    if (saved == kOk) {
        std::wstring error;
        const std::optional<Snapshot> snapshot = Parse(ReadBytes(snapshot_), error);
        ASSERT_TRUE(snapshot) << ::testing::PrintToString(error);
        ASSERT_EQ(snapshot->roots.size(), 1u);
        EXPECT_TRUE(snapshot->roots[0].key) << "recorded absent";
    } else {
        EXPECT_EQ(saved, kFailed);
        EXPECT_TRUE(Mentions(problems, L"HKLM\\" + At(L"Closed"))) << Joined(problems);
        EXPECT_FALSE(FileExists(snapshot_));
    }

    // Saved while absent; a test then makes it below a parent that refuses listing.
    DeleteTree(M, At(L"Closed\\Item"));
    DeleteFileW(snapshot_.c_str());
    problems.clear();
    ASSERT_EQ(SaveCommand(snapshot_, scope_, problems), kOk) << Joined(problems);
    SetText(M, L"Closed\\Item", L"", L"Marblefinch.mp3");
    close();
    problems.clear();
    const int restored = RestoreFrom(snapshot_, problems);
    open();
    if (restored == kOk) {
        UniqueHkey item;
        EXPECT_EQ(RegOpenKeyExW(M, At(L"Closed\\Item").c_str(), 0, KEY_READ | kView, item.put()),
                  ERROR_FILE_NOT_FOUND);
    } else {
        EXPECT_EQ(restored, kFailed);
        EXPECT_TRUE(Mentions(problems, L"HKLM\\" + At(L"Closed"))) << Joined(problems);
        EXPECT_TRUE(FileExists(snapshot_));
    }
}

// A key named through the native API may hold a NUL, where the registry functions cut its
// name: a save names it rather than taking it for absent, and a restore never deletes the
// sibling that its cut name opens.
TEST_F(Guard, KeyNamedWithANulIsNeitherAbsentNorDeletedByItsCutName) {
    SetText(M, L"Item\\A", L"", L"sibling");
    Save();
    const auto native = [](const char* function, auto... arguments) {
        const FARPROC address = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), function);
        return reinterpret_cast<LONG(NTAPI*)(decltype(arguments)...)>(
            reinterpret_cast<void*>(address))(arguments...);
    };
    UniqueHkey item;
    UniqueHkey nul;
    ASSERT_EQ(RegOpenKeyExW(M, At(L"Item").c_str(), 0, KEY_ALL_ACCESS | kView, item.put()), 0);
    wchar_t name[] = L"A\0B";
    UNICODE_STRING counted{6, sizeof name, name};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE, item.get(), nullptr);
    void* const none = nullptr;
    ASSERT_EQ(native("NtCreateKey", nul.put(), ACCESS_MASK{KEY_ALL_ACCESS}, &attributes, ULONG{0},
                     none, ULONG{0}, none),
              0);
    // Deleted whatever the checks below find: no registry function could delete it later.
    const auto deleteNul = [&] { EXPECT_EQ(native("NtDeleteKey", nul.get()), 0); };
    struct AtEnd {
        decltype(deleteNul)& run;
        ~AtEnd() { run(); }
    } atEnd{deleteNul};

    Problems problems;
    EXPECT_EQ(RestoreFrom(snapshot_, problems), kFailed);
    EXPECT_TRUE(Mentions(problems, L"HKLM\\" + At(L"Item\\A<NUL>"))) << Joined(problems);
    UniqueHkey sibling;
    EXPECT_EQ(RegOpenKeyExW(M, At(L"Item\\A").c_str(), 0, KEY_READ | kView, sibling.put()), 0)
        << "the sibling was deleted";

    DeleteTree(M, At(L"Item\\A"));
    DeleteFileW(snapshot_.c_str());
    problems.clear();
    EXPECT_EQ(SaveCommand(snapshot_, scope_, problems), kFailed);
    EXPECT_TRUE(Mentions(problems, L"HKLM\\" + At(L"Item\\A"))) << Joined(problems);
}

// The stand-in player's folder goes when it was not there at save time, and only then; a
// player.exe that something holds open for a moment goes too, and one held on is named.
TEST_F(Guard, FolderIsRemovedOnlyWhenTheRunMadeIt) {
    ASSERT_FALSE(FileExists(scope_.folder)) << "the stand-in is installed: not a clean start";
    const struct {
        const char* name;
        bool existed;
        DWORD heldFor;  // milliseconds that player.exe is held open for while restoring
        bool remains;
    } cases[] = {
        {"made by the run", false, 0, false},
        {"there before", true, 0, true},
        {"held open for a second", false, 1000, false},
        {"held open throughout", false, INFINITE, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveFolder(scope_.folder);
        if (c.existed) {
            CreateDirectoryW(scope_.folder.c_str(), nullptr);
        }
        Save();
        const std::wstring player = scope_.folder + L"\\player.exe";
        CreateDirectoryW(scope_.folder.c_str(), nullptr);
        CreateDirectoryW((scope_.folder + L"\\sub").c_str(), nullptr);
        WriteBytes(player, "MZ");
        WriteBytes(scope_.folder + L"\\sub\\log.txt", "x");
        SetFileAttributesW(player.c_str(), FILE_ATTRIBUTE_READONLY);
        // Open as a scanner may open it: for reading, and not for deleting.
        UniqueKernelHandle held(c.heldFor == 0
                                    ? INVALID_HANDLE_VALUE
                                    : CreateFileW(player.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                  nullptr, OPEN_EXISTING, 0, nullptr));
        std::thread release([&] {
            if (c.heldFor != INFINITE) {
                Sleep(c.heldFor);
                held.reset();
            }
        });
        Problems problems;
        EXPECT_EQ(RestoreFrom(snapshot_, problems), c.heldFor == INFINITE ? kFailed : kOk)
            << Joined(problems);
        release.join();
        held.reset();
        EXPECT_EQ(FileExists(scope_.folder), c.remains);
        if (c.heldFor == INFINITE) {
            EXPECT_TRUE(Mentions(problems, player)) << Joined(problems);
        }
        SetFileAttributesW(player.c_str(), FILE_ATTRIBUTE_NORMAL);
        RemoveFolder(scope_.folder);
        DeleteFileW(copy_.c_str());
        DeleteFileW(snapshot_.c_str());
    }
}

// What restore opens for writing or lifts past its DACL, as the guard reports it.
std::vector<std::pair<std::wstring, std::wstring>> g_touches;

void RecordTouch(const std::wstring& path, const std::wstring& liftedDacl) {
    g_touches.emplace_back(path, liftedDacl);
}

// Every SID that `sddl`'s DACL grants anything.
std::vector<std::wstring> Grantees(const std::wstring& sddl) {
    std::vector<std::wstring> sids;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd,
                                                              nullptr)) {
        return {L"(unparsable)"};
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
    for (DWORD index = 0; dacl && index < dacl->AceCount; ++index) {
        void* ace = nullptr;
        GetAce(dacl, index, &ace);
        if (static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            wchar_t* text = nullptr;
            ConvertSidToStringSidW(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, &text);
            sids.emplace_back(text);
            LocalFree(text);
        }
    }
    LocalFree(sd);
    return sids;
}

// A Windows tree that matches its record is never opened for writing, so its owner's DACL
// (TrustedInstaller's, on Windows: assumed, A37) is never lifted; where a key must be lifted, only
// administrators and the system are let in meanwhile.
TEST_F(Guard, RestoreTouchesOnlyWhatDiffersAndLiftsForAdministratorsOnly) {
    SetText(M, L"Item", L"", L"Original.File");
    SetText(M, L"Item\\Protected\\Verb", L"", L"cmd");
    SecureSub(M, L"Item\\Protected", kNoWrites);
    SecureSub(M, L"Item\\Protected\\Verb", kNoWrites);
    SetText(M, L"Item\\Refusing", L"", L"Original.File");
    SecureSub(M, L"Item\\Refusing", kNoWrites);
    SetText(U, L"Item", L"", L"User.Choice");
    SecureSub(U, L"Item", kNoWrites);
    const std::string before = State();
    Save();
    SetText(M, L"Item", L"", L"Marblefinch.mp3");
    SecureSub(M, L"Item\\Refusing", kOpen);
    SetText(M, L"Item\\Refusing", L"", L"Marblefinch.mp3");
    SecureSub(M, L"Item\\Refusing", kNoWrites);
    SetText(M, L"Item\\Added", L"", L"new");
    SecureSub(M, L"Item\\Added", kNoWrites);

    g_touches.clear();
    WatchTouches(RecordTouch);
    Problems problems;
    const int code = RestoreFrom(snapshot_, problems);
    WatchTouches(nullptr);
    EXPECT_EQ(code, kOk) << Joined(problems);
    EXPECT_EQ(State(), before);

    const std::wstring item = L"HKLM\\" + At(L"Item");
    bool lifted = false;
    for (const auto& [path, dacl] : g_touches) {
        SCOPED_TRACE(::testing::PrintToString(path) + " " + ::testing::PrintToString(dacl));
        EXPECT_EQ(path.find(item + L"\\Protected"), std::wstring::npos) << "matches its record";
        EXPECT_EQ(path.find(L"HKCU\\"), std::wstring::npos) << "matches its record";
        for (const std::wstring& sid : Grantees(dacl)) {
            EXPECT_TRUE(sid == L"S-1-5-32-544" || sid == L"S-1-5-18")
                << ::testing::PrintToString(sid);
        }
        lifted = lifted || !dacl.empty();
    }
    const auto touched = [&](const std::wstring& path) {
        return std::any_of(g_touches.begin(), g_touches.end(),
                           [&](const auto& touch) { return touch.first == path; });
    };
    // The ones that differ are worked on, past their deny entries.
    EXPECT_TRUE(touched(item));
    EXPECT_TRUE(touched(item + L"\\Refusing"));
    EXPECT_TRUE(touched(item + L"\\Added"));
    EXPECT_TRUE(lifted);
}

// Whether this file system keeps the owner set on a file (Wine's reports its Unix owner).
bool FileOwnersAreKept() {
    const std::wstring probe = TempFolder() + L"\\owner.probe";
    WriteGuarded(probe, "x");
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    GetNamedSecurityInfoW(probe.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                          nullptr, nullptr, nullptr, &sd);
    const bool kept = owner && IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
    LocalFree(sd);
    DeleteFileW(probe.c_str());
    return kept;
}

void SetFileSecurityText(const std::wstring& path, const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                     &sd, nullptr));
    SECURITY_INFORMATION parts = DACL_SECURITY_INFORMATION;
    if (sddl.rfind(L"O:", 0) == 0) {
        parts |= OWNER_SECURITY_INFORMATION;
    }
    const BOOL set = SetFileSecurityW(path.c_str(), parts, sd);
    LocalFree(sd);
    ASSERT_TRUE(set) << GetLastError();
}

// %ProgramData% is writable by users: a snapshot planted there, or one that names anything but
// the guarded keys and the stand-in's folder, changes nothing.
TEST_F(Guard, PlantedSnapshotIsRefusedAndChangesNothing) {
    SetText(M, L"Item", L"", L"Original.File");
    Save();
    std::wstring error;
    const std::optional<Snapshot> good = Parse(ReadBytes(copy_), error);
    ASSERT_TRUE(good) << ::testing::PrintToString(error);
    SetText(M, L"Item", L"", L"Marblefinch.mp3");
    // Not guarded, one of them named as if below a guarded key: each would be deleted.
    const std::wstring outside = L"Software\\Classes\\MarblefinchGuardTestsOutside";
    UniqueHkey key;
    ASSERT_EQ(RegCreateKeyExW(M, outside.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | kView, nullptr,
                              key.put(), nullptr),
              ERROR_SUCCESS);
    key.reset();
    const std::wstring elsewhere = TempFolder() + L"\\" + kStandInFolderName;
    ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
    const std::string changed = State();

    const auto with = [&](const std::function<void(Snapshot&)>& edit) {
        Snapshot snapshot = *good;
        edit(snapshot);
        return Serialize(snapshot);
    };
    const std::wstring user = Widen(TokenUserSid());
    const bool ownersKept = FileOwnersAreKept();
    const struct {
        const char* name;
        std::string bytes;
        std::wstring security;  // set on the file after writing; none: as save writes it
    } cases[] = {
        {"a key the kit does not guard", with([&](Snapshot& s) {
             s.roots.push_back({L"HKCU", L"Software", L"MarblefinchGuardTestsOutside", {}});
         }),
         L""},
        {"a key whose name only begins like a guarded one", with([&](Snapshot& s) {
             s.roots.push_back(
                 {L"HKLM", L"Software\\Classes", L"MarblefinchGuardTestsOutside", {}});
         }),
         L""},
        {"the stand-in's name in another folder", with([&](Snapshot& s) { s.folder = elsewhere; }),
         L""},
        {"writable by everyone", with([](Snapshot&) {}),
         L"D:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;FW;;;WD)"},
        {"owned by a user", with([](Snapshot&) {}),
         ownersKept ? L"O:" + user + L"D:P(A;;FA;;;BA)(A;;FA;;;SY)" : L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (std::string(c.name) == "owned by a user" && !ownersKept) {
            // Wine keeps no owner: every file reads as this user's, so only Windows checks it.
            continue;
        }
        WriteGuarded(snapshot_, c.bytes);
        if (!c.security.empty()) {
            SetFileSecurityText(snapshot_, c.security);
        }
        Problems problems;
        EXPECT_EQ(RestoreFrom(snapshot_, problems), kRefused);
        EXPECT_EQ(problems.size(), 1u) << Joined(problems);
        EXPECT_TRUE(Mentions(problems, snapshot_)) << Joined(problems);
        EXPECT_EQ(State(), changed);
        EXPECT_EQ(RegOpenKeyExW(M, outside.c_str(), 0, KEY_READ | kView, key.put()), ERROR_SUCCESS);
        key.reset();
        EXPECT_TRUE(FileExists(elsewhere));
        EXPECT_TRUE(FileExists(snapshot_));
    }
    DeleteTree(M, outside);
}

// Under Wine: runs the Unix program `program` on the Unix names of `paths`.
bool RunUnix(const std::wstring& program, const std::wstring& first, const std::wstring& second) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName) {
        return false;
    }
    const auto unix = [&](const std::wstring& windows) {
        // The folder's name, for a link that is not there yet or points nowhere.
        const std::size_t cut = windows.rfind(L'\\');
        char* name = unixName(windows.substr(0, cut).c_str());
        std::wstring result;
        for (const char* c = name; c && *c; ++c) {
            result += static_cast<wchar_t>(static_cast<unsigned char>(*c));
        }
        HeapFree(GetProcessHeap(), 0, name);
        return L" \"" + result + L"/" + windows.substr(cut + 1) + L"\"";
    };
    std::wstring command = program + unix(first) + (second.empty() ? L"" : unix(second));
    const std::wstring exe = L"Z:\\bin\\" + program.substr(0, program.find(L' '));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return false;
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return true;
}

// Makes `link` a link to the folder `target`: a junction on Windows, a Unix symbolic link
// under Wine, which cannot make junctions. False when neither can be made here.
bool MakeFolderLink(const std::wstring& link, const std::wstring& target) {
    if (CreateDirectoryW(link.c_str(), nullptr)) {
        UniqueKernelHandle folder(
            CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        const std::wstring substitute = L"\\??\\" + target;
        std::vector<BYTE> buffer(16 + (substitute.size() + target.size() + 2) * 2);
        auto* header = reinterpret_cast<DWORD*>(buffer.data());
        header[0] = IO_REPARSE_TAG_MOUNT_POINT;
        auto* words = reinterpret_cast<USHORT*>(buffer.data() + 4);
        words[0] = static_cast<USHORT>(buffer.size() - 8);
        words[2] = 0;
        words[3] = static_cast<USHORT>(substitute.size() * 2);
        words[4] = static_cast<USHORT>((substitute.size() + 1) * 2);
        words[5] = static_cast<USHORT>(target.size() * 2);
        auto* path = reinterpret_cast<wchar_t*>(buffer.data() + 16);
        std::copy(substitute.begin(), substitute.end(), path);
        std::copy(target.begin(), target.end(), path + substitute.size() + 1);
        DWORD returned = 0;
        if (DeviceIoControl(folder.get(), FSCTL_SET_REPARSE_POINT, buffer.data(),
                            static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr)) {
            return true;
        }
        folder.reset();
        RemoveDirectoryW(link.c_str());
    }
    // Wine can start Unix programs.
    if (!RunUnix(L"ln -s", target, link)) {
        return false;
    }
    // Its handle may end before the Unix program does.
    for (int wait = 0; wait < 100; ++wait) {
        const DWORD attributes = GetFileAttributesW(link.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        }
        Sleep(50);
    }
    return false;
}

// Removes the link itself, whichever kind it is.
void RemoveLink(const std::wstring& link) {
    if (!RemoveDirectoryW(link.c_str())) {
        DeleteFileW(link.c_str());
    }
    // Wine removes a Unix link's target, or nothing, and then cannot see the link itself
    // except by listing its folder.
    const auto listed = [&] {
        WIN32_FIND_DATAW found;
        const HANDLE search = FindFirstFileW(link.c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) {
            return false;
        }
        FindClose(search);
        return true;
    };
    if (!listed() || !RunUnix(L"rm -f", link)) {
        return;
    }
    for (int wait = 0; wait < 100 && listed(); ++wait) {
        Sleep(50);
    }
}

// A stand-in folder that is a link is not followed: what it points to stays, and so does the
// snapshot, for a person to look at.
TEST_F(Guard, StandInFolderThatIsALinkIsNotFollowed) {
    ASSERT_FALSE(FileExists(scope_.folder)) << "the stand-in is installed: not a clean start";
    Save();
    const std::wstring target = TempFolder() + L"\\elsewhere";
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    WriteBytes(target + L"\\precious.txt", "x");
    if (!MakeFolderLink(scope_.folder, target)) {
        RemoveLink(scope_.folder);
        GTEST_SKIP() << "no folder link can be made here";
    }
    Problems problems;
    EXPECT_EQ(RestoreFrom(snapshot_, problems), kFailed);
    EXPECT_TRUE(Mentions(problems, L"link")) << Joined(problems);
    EXPECT_TRUE(FileExists(target + L"\\precious.txt"));
    EXPECT_TRUE(FileExists(snapshot_));
    // Nor is one given to RemoveFolder, as results\ or work\ swapped for a link would be.
    EXPECT_FALSE(RemoveFolder(scope_.folder));
    EXPECT_TRUE(FileExists(target + L"\\precious.txt"));
    RemoveLink(scope_.folder);
    EXPECT_FALSE(FileExists(scope_.folder));
}

RunOwner Self() {
    const std::optional<RunOwner> self = LiveProcess(GetCurrentProcessId());
    return self.value_or(RunOwner{});
}

// A process that has ended, as a lock left by a cut-off run names it.
RunOwner Gone() {
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    std::wstring command = L"cmd.exe /c exit";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW((std::wstring(system) + L"\\cmd.exe").c_str(), command.data(), nullptr,
                        nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
        ADD_FAILURE() << "cannot start cmd.exe: " << GetLastError();
        return {};
    }
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    GetProcessTimes(process.hProcess, &created, &exited, &kernel, &user);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return {process.dwProcessId,
            std::uint64_t{created.dwHighDateTime} << 32 | created.dwLowDateTime};
}

class GuardLock : public Guard {
  protected:
    const std::wstring dir_ = TempFolder() + L"\\state \u00e9\u64ad";
    const std::wstring lock_ = dir_ + L"\\run.lock";
};

TEST_F(GuardLock, OneRunAtATimeAndAStaleLockIsTakenOver) {
    const RunOwner self = Self();
    ASSERT_NE(self.created, 0u);
    const RunOwner gone = Gone();
    // The same id, started at another time: a later process that was given a gone one's id.
    const RunOwner reused{self.pid, self.created - 1};
    Problems problems;
    ASSERT_EQ(LockCommand(dir_, gone, problems), kOk) << Joined(problems);
    EXPECT_TRUE(FileExists(lock_));

    // Held by a process that is gone, or by one whose id was reused: taken over.
    for (const RunOwner& taker : {reused, self, self}) {
        EXPECT_EQ(LockCommand(dir_, taker, problems), kOk) << Joined(problems);
    }
    // Held by a live run: refused, and the lock stays its.
    EXPECT_EQ(LockCommand(dir_, gone, problems), kBusy);
    EXPECT_EQ(problems.size(), 1u) << Joined(problems);
    EXPECT_TRUE(Mentions(problems,
                         L"another run is under way (process " + std::to_wstring(self.pid) + L")"))
        << Joined(problems);
    problems.clear();
    EXPECT_EQ(UnlockCommand(dir_, gone, problems), kBusy);
    EXPECT_TRUE(FileExists(lock_));

    // Its own run unlocks: the lock and the emptied folder go; a folder that holds a kept
    // snapshot stays.
    problems.clear();
    WriteGuarded(dir_ + L"\\snapshot.txt", "kept");
    EXPECT_EQ(UnlockCommand(dir_, self, problems), kOk) << Joined(problems);
    EXPECT_FALSE(FileExists(lock_));
    EXPECT_TRUE(FileExists(dir_));
    DeleteFileW((dir_ + L"\\snapshot.txt").c_str());
    ASSERT_EQ(LockCommand(dir_, self, problems), kOk) << Joined(problems);
    EXPECT_EQ(UnlockCommand(dir_, self, problems), kOk) << Joined(problems);
    EXPECT_FALSE(FileExists(dir_));
    EXPECT_TRUE(problems.empty()) << Joined(problems);
}

// A lock that another process has open may be in the middle of being taken over: it is
// live, never stale, whatever it names.
TEST_F(GuardLock, LockHeldOpenByAnotherIsNeverTakenOver) {
    const RunOwner self = Self();
    const RunOwner gone = Gone();
    Problems problems;
    ASSERT_EQ(LockCommand(dir_, gone, problems), kOk) << Joined(problems);
    const std::string stale = ReadBytes(lock_);
    for (const DWORD share : {DWORD{0}, DWORD{FILE_SHARE_READ | FILE_SHARE_DELETE}}) {
        SCOPED_TRACE(share);
        {
            const UniqueKernelHandle held(CreateFileW(lock_.c_str(), GENERIC_READ, share, nullptr,
                                                      OPEN_EXISTING, 0, nullptr));
            ASSERT_NE(held.get(), INVALID_HANDLE_VALUE);
            problems.clear();
            EXPECT_EQ(LockCommand(dir_, self, problems), kBusy) << Joined(problems);
        }
        EXPECT_EQ(ReadBytes(lock_), stale);
    }
    problems.clear();
    EXPECT_EQ(LockCommand(dir_, self, problems), kOk) << Joined(problems);
    EXPECT_EQ(UnlockCommand(dir_, self, problems), kOk) << Joined(problems);
}

TEST_F(GuardLock, FolderMadeForAdministratorsOnlyAndAForeignOneRefused) {
    Problems problems;
    ASSERT_EQ(LockCommand(dir_, Self(), problems), kOk) << Joined(problems);
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(dir_.c_str(), SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                    nullptr, &dacl, nullptr, &sd),
              ERROR_SUCCESS);
    wchar_t* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1,
                                                         DACL_SECURITY_INFORMATION, &text, nullptr);
    const std::wstring sddl = text;
    LocalFree(text);
    LocalFree(sd);
    for (const std::wstring& sid : Grantees(sddl)) {
        // Wine derives a DACL from the Unix mode and names its owner, this user.
        EXPECT_TRUE(sid == L"S-1-5-32-544" || sid == L"S-1-5-18" ||
                    (!FileOwnersAreKept() && sid == Widen(TokenUserSid())))
            << ::testing::PrintToString(sddl);
    }
    ASSERT_EQ(UnlockCommand(dir_, Self(), problems), kOk) << Joined(problems);
    ASSERT_FALSE(FileExists(dir_));

    // A folder a user made, or planted as a link elsewhere: neither used.
    const std::wstring target = TempFolder() + L"\\elsewhere";
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    const bool linked = MakeFolderLink(dir_, target);
    if (linked) {
        EXPECT_EQ(LockCommand(dir_, Self(), problems), kRefused);
        EXPECT_TRUE(Mentions(problems, L"link")) << Joined(problems);
        EXPECT_FALSE(FileExists(target + L"\\run.lock"));
    }
    RemoveLink(dir_);
    ASSERT_EQ(GetFileAttributesW(dir_.c_str()), INVALID_FILE_ATTRIBUTES);
    if (FileOwnersAreKept()) {
        ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr));
        SetFileSecurityText(dir_, L"O:" + Widen(TokenUserSid()) + L"D:(A;OICI;FA;;;WD)");
        problems.clear();
        EXPECT_EQ(LockCommand(dir_, Self(), problems), kRefused);
        EXPECT_TRUE(Mentions(problems, L"someone else")) << Joined(problems);
        EXPECT_FALSE(FileExists(lock_));
    }
}

TEST(GuardRender, SortsWithoutRegardToCaseAndShowsExactBytes) {
    KeyRecord key{L"Root", L"O:BAG:SYD:(A;;KA;;;BA)", {}, {}};
    key.values = {
        {L"b", REG_SZ, Bytes(L"t\u00e9\"x")},
        {L"A", REG_SZ, {'a', 0, 'b', 0}},  // no terminating NUL: shown as bytes
        {L"", REG_DWORD, {1, 0, 0, 0}},
        {L"C", REG_EXPAND_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0}},  // a NUL inside
    };
    key.subkeys = {{L"b", L"D:", {}, {}}, {L"A\u00e4", L"D:", {}, {}}, {L"a", L"D:", {}, {}}};
    EXPECT_EQ(Render(L"HKLM\\X", key),
              "[HKLM\\X]\n"
              "security=O:BAG:SYD:(A;;KA;;;BA)\n"
              "\"\"=4:01000000\n"
              "\"A\"=1:61006200\n"
              "\"b\"=1:\"t\\u00e9\\u0022x\"\n"
              "\"C\"=2:6100000062000000\n"
              "[HKLM\\X\\a]\n"
              "security=D:\n"
              "[HKLM\\X\\A\\u00e4]\n"
              "security=D:\n"
              "[HKLM\\X\\b]\n"
              "security=D:\n");
}

// ---- kit_guard.exe on the keys the suites touch ------------------------------------------

std::wstring GuardExe() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring exe(path, length);
    return exe.substr(0, exe.rfind(L'\\') + 1) + L"kit_guard.exe";
}

// Runs kit_guard with `arguments`; its standard error lands in `errors`.
int RunGuard(const std::wstring& arguments, std::string& errors) {
    const std::wstring errorFile = TempFolder() + L"\\stderr.txt";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    UniqueKernelHandle error(CreateFileW(errorFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                         &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = error.get();
    startup.hStdError = error.get();
    std::wstring commandLine = L"\"" + GuardExe() + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(GuardExe().c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &process)) {
        ADD_FAILURE() << "cannot start kit_guard.exe: " << GetLastError();
        return -1;
    }
    error.reset();
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    errors = ReadBytes(errorFile);
    return static_cast<int>(code);
}

std::wstring Quoted(const std::wstring& path) {
    return L"\"" + path + L"\"";
}

std::wstring ProgramFilesFolder() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"ProgramFiles", path, MAX_PATH);
    return std::wstring(path, length) + L"\\" + kStandInFolderName;
}

void MakeClass(HKEY hive, const std::wstring& path, const std::wstring& value) {
    UniqueHkey key;
    ASSERT_EQ(RegCreateKeyExW(hive, (L"Software\\Classes\\" + path).c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS | kView, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(
        RegSetValueExW(key.get(), L"", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
        ERROR_SUCCESS);
}

// What the suites do to a machine, undone by the program itself; judged by its own dump of
// both classes halves, which must come back byte for byte.
TEST_F(Guard, ProgramPutsBackWhatTheSuitesChange) {
    testing::SeedDirectoryShell();
    const std::wstring dumpBefore = TempFolder() + L"\\before.txt";
    const std::wstring dumpAfter = TempFolder() + L"\\after.txt";
    const std::wstring guarded = TempFolder() + L"\\guarded.txt";
    std::string errors;
    // What the workflow asks for the keys it records.
    ASSERT_EQ(RunGuard(L"scope", errors), kOk) << errors;
    EXPECT_NE(errors.find("HKLM\\Software\\Classes\\.mp3\n"), std::string::npos) << errors;
    EXPECT_NE(errors.find("HKCU\\Software\\MarblefinchTests\n"), std::string::npos) << errors;
    ASSERT_EQ(RunGuard(L"dump /all " + Quoted(dumpBefore), errors), kOk) << errors;
    ASSERT_EQ(RunGuard(L"dump " + Quoted(guarded), errors), kOk) << errors;
    EXPECT_NE(ReadBytes(guarded).find("[HKLM\\Software\\Classes\\Marblefinch.wav]\nabsent\n"),
              std::string::npos);
    ASSERT_FALSE(FileExists(ProgramFilesFolder()))
        << "the stand-in is installed: not a clean start";

    ASSERT_EQ(RunGuard(L"save " + Quoted(snapshot_), errors), kOk) << errors;
    EXPECT_EQ(RunGuard(L"save " + Quoted(snapshot_), errors), kRefused);
    EXPECT_NE(errors.find("already"), std::string::npos) << errors;
    WriteGuarded(copy_, ReadBytes(snapshot_));

    for (const std::wstring& type : testing::AllTypes()) {
        MakeClass(M, type, L"Marblefinch" + type);
        MakeClass(M, L"Marblefinch" + type + L"\\Shell\\Open\\Command", L"\"p.exe\" \"%1\"");
    }
    MakeClass(U, L".ogg", L"Per.User");
    MakeClass(M, L"OtherPlayer.mp3\\DefaultIcon", L"other.exe,0");
    MakeClass(M, std::wstring(testing::kVerbKey) + L"\\command", L"\"p.exe\" \"%1\"");
    Secure(M, L"Software\\Classes\\Directory\\shell", kNoWrites);
    UniqueHkey tests;
    ASSERT_EQ(RegCreateKeyExW(U, L"Software\\MarblefinchTests\\A", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, tests.put(), nullptr),
              ERROR_SUCCESS);
    tests.reset();
    ASSERT_TRUE(CreateDirectoryW(ProgramFilesFolder().c_str(), nullptr));
    WriteBytes(ProgramFilesFolder() + L"\\player.exe", "MZ");
    // What the guard's own tests leave when they crash.
    MakeClass(M, L"MarblefinchGuardTests\\Crashed", L"x");
    MakeClass(U, L"MarblefinchGuardTests\\Crashed", L"x");
    // The plain dump holds what changed in the guarded keys, and nothing outside them.
    ASSERT_EQ(RunGuard(L"dump " + Quoted(guarded), errors), kOk) << errors;
    const std::string changed = ReadBytes(guarded);
    EXPECT_NE(changed.find("[HKLM\\Software\\Classes\\Marblefinch.wav\\Shell\\Open\\Command]"),
              std::string::npos);
    EXPECT_NE(changed.find("[HKCU\\Software\\MarblefinchTests\\A]"), std::string::npos);
    EXPECT_EQ(changed.find("[HKLM\\Software\\Classes\\CLSID"), std::string::npos);

    // A start that finds the snapshot only reads: a key that refuses reading is named, and
    // its DACL is not opened up even for a moment.
    Secure(M, L"Software\\Classes\\Marblefinch.wav", L"D:(D;;0x9;;;WD)(A;;KA;;;BA)(A;;KA;;;SY)");
    g_touches.clear();
    WatchTouches(RecordTouch);
    Problems differences;
    Problems unread;
    EXPECT_EQ(DifferencesCommand(snapshot_, differences, unread), kOk) << Joined(unread);
    WatchTouches(nullptr);
    EXPECT_TRUE(g_touches.empty()) << g_touches.front().first;
    EXPECT_TRUE(Mentions(differences, L"Marblefinch.wav")) << Joined(differences);

    EXPECT_EQ(RunGuard(L"restore " + Quoted(snapshot_), errors), kOk) << errors;
    EXPECT_FALSE(FileExists(snapshot_));
    EXPECT_FALSE(FileExists(ProgramFilesFolder()));
    ASSERT_EQ(RunGuard(L"dump /all " + Quoted(dumpAfter), errors), kOk) << errors;
    EXPECT_TRUE(ReadBytes(dumpBefore) == ReadBytes(dumpAfter)) << "the classes hive differs";

    EXPECT_EQ(RunGuard(L"restore " + Quoted(copy_), errors), kOk) << errors;
    ASSERT_EQ(RunGuard(L"dump /all " + Quoted(dumpAfter), errors), kOk) << errors;
    EXPECT_TRUE(ReadBytes(dumpBefore) == ReadBytes(dumpAfter)) << "the second restore changed it";

    EXPECT_EQ(RunGuard(L"restore " + Quoted(snapshot_), errors), kRefused);
    EXPECT_NE(errors.find("cannot read the snapshot"), std::string::npos) << errors;
    for (const wchar_t* wrong : {L"rest0re x", L"dump /all", L"dump /al x", L"scope x"}) {
        EXPECT_EQ(RunGuard(wrong, errors), kRefused) << ::testing::PrintToString(wrong);
        EXPECT_NE(errors.find("usage"), std::string::npos) << errors;
    }
}

}  // namespace
}  // namespace mf::kit

// Each probe's verdict, on what Windows is assumed to show and on what would prove it wrong.
TEST(GuardProbe, VerdictsFollowTheObservation) {
    const std::wstring ti = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    const mf::kit::AceSeen creatorAll{L"S-1-3-0", GENERIC_ALL, 0x0b};
    const mf::kit::AceSeen creatorReads{L"S-1-3-0", GENERIC_READ, 0x0b};
    const mf::kit::AceSeen creatorNotInherited{L"S-1-3-0", GENERIC_ALL, 0};
    const mf::kit::AceSeen usersAddFolder{L"S-1-5-32-545", FILE_APPEND_DATA, 0x10};
    const mf::kit::AceSeen usersRead{L"S-1-5-32-545", FILE_GENERIC_READ, 0x10};
    const mf::kit::AceSeen usersInheritOnly{L"S-1-5-32-545", GENERIC_ALL, 0x1b};
    const mf::kit::AceSeen adminsAll{L"S-1-5-32-544", GENERIC_ALL, 0x10};
    const mf::kit::AceSeen adminsRead{L"S-1-5-32-544", KEY_READ, 0x10};
    const mf::kit::AceSeen everyoneAll{L"S-1-1-0", GENERIC_ALL, 0x03};
    const mf::kit::RunSeen missing{1, L"ERROR: The system was unable to find the key."};
    const mf::kit::RunSeen denied{1, L"ERROR: Access is denied."};
    const struct {
        const char* what;
        bool verdict;
        bool holds;
    } cases[] = {
        {"no start.exe", mf::kit::NoStartExe(false), true},
        {"a start.exe", mf::kit::NoStartExe(true), false},
        {"owned by Administrators", mf::kit::OwnedByAdministrators(L"S-1-5-32-544"), true},
        {"owned by the user", mf::kit::OwnedByAdministrators(L"S-1-5-21-1-2-3-500"), false},
        {"creator owner may write", mf::kit::CreatorOwnerMayWrite({adminsAll, creatorAll}), true},
        {"creator owner reads only", mf::kit::CreatorOwnerMayWrite({creatorReads}), false},
        {"creator owner not inherited", mf::kit::CreatorOwnerMayWrite({creatorNotInherited}),
         false},
        {"no creator owner", mf::kit::CreatorOwnerMayWrite({adminsAll}), false},
        {"users may add folders", mf::kit::OthersMayChange({adminsAll, usersAddFolder}), true},
        {"users read only", mf::kit::OthersMayChange({adminsAll, usersRead}), false},
        {"users' entry for what is made inside", mf::kit::OthersMayChange({usersInheritOnly}),
         false},
        {"only administrators", mf::kit::OthersMayChange({adminsAll}), false},
        {"9009 both ways", mf::kit::CmdGives9009(9009, 9009), true},
        {"1 for a folder", mf::kit::CmdGives9009(1, 9009), false},
        {"1 for no command", mf::kit::CmdGives9009(9009, 1), false},
        {"mp3 as assumed", mf::kit::Mp3AsAssumed(L"audio/mpeg", L"audio"), true},
        {"mp3 as audio/mp3", mf::kit::Mp3AsAssumed(L"audio/mp3", L"audio"), false},
        {"mp3 without a PerceivedType", mf::kit::Mp3AsAssumed(L"audio/mpeg", std::nullopt), false},
        {"export tells them apart", mf::kit::ExportTellsApart(missing, denied), true},
        {"export says the same", mf::kit::ExportTellsApart(missing, missing), false},
        {"export gives 2 when denied", mf::kit::ExportTellsApart(missing, {2, denied.said}), false},
        {"export of the unreadable passes", mf::kit::ExportTellsApart(missing, {0, L"done"}),
         false},
        {"delete fails and says so", mf::kit::DeleteSaysItFailed(missing), true},
        {"delete gives 0", mf::kit::DeleteSaysItFailed({0, L"done"}), false},
        {"delete fails silently", mf::kit::DeleteSaysItFailed({1, L""}), false},
        {"TrustedInstaller keeps all",
         mf::kit::KeptByTrustedInstaller({{ti, {adminsRead}}, {ti, {}}}), true},
        {"one owned by Administrators",
         mf::kit::KeptByTrustedInstaller({{ti, {}}, {L"S-1-5-32-544", {}}}), false},
        {"administrators may write one", mf::kit::KeptByTrustedInstaller({{ti, {adminsAll}}}),
         false},
        {"a null DACL's stand-in", mf::kit::KeptByTrustedInstaller({{ti, {everyoneAll}}}), false},
        {"none read", mf::kit::KeptByTrustedInstaller({}), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.verdict, c.holds) << c.what;
    }
    // A line stays one line of exactly its fields, whatever a command printed.
    EXPECT_EQ(mf::kit::ProbeLine(L"A28", L"code 1 \"a|b\r\n\"", L"holds", L"no owner"),
              L"A28 | code 1 \"a/b//\" | holds | Wine: no owner");
    EXPECT_EQ(mf::kit::ProbeLine(L"A37", L"", L"could not look: x", L""),
              L"A37 | (nothing) | could not look: x");
}
