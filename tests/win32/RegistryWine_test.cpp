// TRegistry and the registration routines on the real registry, with refusals made by
// deny entries in keys' DACLs.
#include <gtest/gtest.h>

#include <ostream>

#include "support/messages.h"

#include <iostream>

#include "registration/Registry.h"
#include "registration/RegistryTools.h"
#include "registration/ShellNotice.h"
#include "win32/wine_registry.h"

namespace mf {
namespace {

using testing::MessageOf;

using testing::DeleteTree;
using testing::DenyRights;
using testing::KeyCleanup;
using testing::KeyExists;
using testing::MakeKey;
using testing::ReadString;

class TRegistryOnWine : public ::testing::Test {
  protected:
    TRegistryOnWine() { registry.SetRootKey(kHkeyCurrentUser); }

    static constexpr const wchar_t* kBase = L"Software\\MarblefinchTests";
    KeyCleanup cleanup{HKEY_CURRENT_USER, {kBase}};
    TRegistry registry;
};

TEST_F(TRegistryOnWine, OpenWithCreateMakesEveryLevel) {
    ASSERT_TRUE(registry.OpenKey(u"Software\\MarblefinchTests\\A\\B", true));
    EXPECT_EQ(registry.CurrentPath(), u"Software\\MarblefinchTests\\A\\B");
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software\\MarblefinchTests\\A\\B"));
    registry.WriteString(u"", u"v\u00e9");
    registry.WriteString(u"Named", u"");
    EXPECT_EQ(ReadString(HKEY_CURRENT_USER, L"Software\\MarblefinchTests\\A\\B"), L"v\u00e9");
    EXPECT_EQ(ReadString(HKEY_CURRENT_USER, L"Software\\MarblefinchTests\\A\\B", L"Named"), L"");
}

TEST_F(TRegistryOnWine, RelativeAndAbsolutePaths) {
    MakeKey(HKEY_CURRENT_USER, L"Software\\MarblefinchTests\\A\\B");
    ASSERT_TRUE(registry.OpenKey(u"Software\\MarblefinchTests", false));
    ASSERT_TRUE(registry.OpenKey(u"A", false));
    EXPECT_EQ(registry.CurrentPath(), u"Software\\MarblefinchTests\\A");
    ASSERT_TRUE(registry.OpenKey(u"\\Software\\MarblefinchTests\\A\\B", false));
    EXPECT_EQ(registry.CurrentPath(), u"Software\\MarblefinchTests\\A\\B");
    EXPECT_FALSE(registry.OpenKey(u"Missing", false));
    EXPECT_EQ(registry.CurrentPath(), u"Software\\MarblefinchTests\\A\\B");
    ASSERT_TRUE(registry.OpenKey(u"", true));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"Software\\MarblefinchTests\\A\\B\\B"));
    registry.CloseKey();
    EXPECT_EQ(registry.CurrentKey(), 0u);
    EXPECT_EQ(MessageOf([&] { registry.WriteString(u"", u"x"); }), u"Failed to set data for ''");
}

TEST_F(TRegistryOnWine, DenyEntriesDecideOpensTestsAndCreations) {
    DenyRights(HKEY_CURRENT_USER, L"Software\\MarblefinchTests\\NoRead", KEY_QUERY_VALUE);
    DenyRights(HKEY_CURRENT_USER, L"Software\\MarblefinchTests\\NoWrite", KEY_SET_VALUE);
    DenyRights(HKEY_CURRENT_USER, L"Software\\MarblefinchTests\\NoSub", KEY_CREATE_SUB_KEY);

    EXPECT_FALSE(registry.KeyExists(u"Software\\MarblefinchTests\\NoRead"));
    EXPECT_TRUE(registry.KeyExists(u"Software\\MarblefinchTests\\NoWrite"));
    EXPECT_FALSE(registry.KeyExists(u"Software\\MarblefinchTests\\Missing"));
    EXPECT_EQ(registry.Access(), kKeyAllAccess);

    EXPECT_FALSE(registry.OpenKey(u"Software\\MarblefinchTests\\NoWrite", false));
    EXPECT_FALSE(registry.OpenKey(u"Software\\MarblefinchTests\\NoWrite", true));
    EXPECT_EQ(MessageOf([&] { registry.CreateKey(u"\\Software\\MarblefinchTests\\NoRead"); }),
              u"Failed to create key \\Software\\MarblefinchTests\\NoRead");

    // Reading the key is allowed, so a read-only open of it gets a handle that cannot write.
    registry.SetAccess(kKeyRead);
    ASSERT_TRUE(registry.OpenKey(u"Software\\MarblefinchTests\\NoSub", false));
    EXPECT_EQ(MessageOf([&] { registry.WriteString(u"", u"x"); }), u"Failed to set data for ''");
}

// On a machine that is kept, a refusal must not open a key to anyone: the key's own DACL
// gains one deny entry in front and keeps every other entry as it was.
TEST_F(TRegistryOnWine, ARefusalAddsOneDenyEntryAndGrantsNothing) {
    const std::wstring key = L"Software\\MarblefinchTests\\Refusing";
    MakeKey(HKEY_CURRENT_USER, key);
    const std::vector<std::vector<BYTE>> before = testing::DaclEntries(HKEY_CURRENT_USER, key);
    DenyRights(HKEY_CURRENT_USER, key, KEY_SET_VALUE);
    const std::vector<std::vector<BYTE>> after = testing::DaclEntries(HKEY_CURRENT_USER, key);
    ASSERT_EQ(after.size(), before.size() + 1);
    EXPECT_EQ(std::vector<std::vector<BYTE>>(after.begin() + 1, after.end()), before);
    const auto* deny = reinterpret_cast<const ACCESS_DENIED_ACE*>(after.front().data());
    EXPECT_EQ(deny->Header.AceType, ACCESS_DENIED_ACE_TYPE);
    EXPECT_EQ(deny->Mask, static_cast<DWORD>(KEY_SET_VALUE));
    EXPECT_TRUE(IsWellKnownSid(const_cast<DWORD*>(&deny->SidStart), WinWorldSid));
}

// Creation is checked against the key's security, not the handle's rights: "even if hKey
// was opened with a samDesired of KEY_READ, it can be used in operations that modify the
// registry if allowed by its security descriptor"
// (https://learn.microsoft.com/en-us/windows/win32/api/winreg/nf-winreg-regcreatekeyexw).
TEST_F(TRegistryOnWine, NewSubkeyThroughAReadOnlyHandle) {
    MakeKey(HKEY_CURRENT_USER, kBase);
    registry.SetAccess(kKeyRead);
    ASSERT_TRUE(registry.OpenKey(u"Software\\MarblefinchTests", false));
    EXPECT_EQ(MessageOf([&] { registry.CreateKey(u"Child"); }), u"<no error>");
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software\\MarblefinchTests\\Child"));
}

// TRegistry makes non-volatile keys, which outlive a restart: below a volatile key, where the
// registry allows only volatile ones, its creations are refused.
TEST_F(TRegistryOnWine, KeysAreMadeNonVolatile) {
    MakeKey(HKEY_CURRENT_USER, kBase);
    win32::UniqueHkey temporary;
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\MarblefinchTests\\Volatile", 0, nullptr,
                        REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, temporary.put(), nullptr),
        ERROR_SUCCESS);
    win32::UniqueHkey probe;
    ASSERT_EQ(RegCreateKeyExW(temporary.get(), L"Probe", 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, probe.put(), nullptr),
              ERROR_CHILD_MUST_BE_VOLATILE);
    EXPECT_FALSE(registry.OpenKey(u"Software\\MarblefinchTests\\Volatile\\Child", true));
    EXPECT_EQ(
        MessageOf([&] { registry.CreateKey(u"\\Software\\MarblefinchTests\\Volatile\\Child"); }),
        u"Failed to create key \\Software\\MarblefinchTests\\Volatile\\Child");
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"Software\\MarblefinchTests\\Volatile\\Child"));
}

TEST_F(TRegistryOnWine, RootKeyChangeClosesTheKey) {
    ASSERT_TRUE(registry.OpenKey(u"Software\\MarblefinchTests", true));
    registry.SetRootKey(kHkeyCurrentUser);
    EXPECT_NE(registry.CurrentKey(), 0u);
    registry.SetRootKey(kHkeyClassesRoot);
    EXPECT_EQ(registry.CurrentKey(), 0u);
    EXPECT_EQ(registry.CurrentPath(), u"");
}

class RoutinesOnWine : public ::testing::Test {
  protected:
    RoutinesOnWine() { MakeKey(HKEY_CLASSES_ROOT, L"Directory\\shell"); }

    KeyCleanup cleanup{HKEY_CLASSES_ROOT,
                       {L".mp3", L"Marblefinch.mp3", L"Directory\\shell\\Marblefinch.Play"}};
    NoticeRecorder notices;
    ScopedShellNotifierOverride useRecorder{notices};
};

TEST_F(RoutinesOnWine, FileTypeWritesTheFiveEntries) {
    RegisterFileType(u".mp3", u"Marblefinch.mp3", u"", u"C:\\Program Files\\P\\player.exe", -3,
                     true);
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L".mp3"), L"Marblefinch.mp3");
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L"Marblefinch.mp3"), L"");
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L"Marblefinch.mp3\\DefaultIcon"),
              L"C:\\Program Files\\P\\player.exe,-3");
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L"Marblefinch.mp3\\Shell\\Open"), L"&Open");
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L"Marblefinch.mp3\\Shell\\Open\\Command"),
              L"\"C:\\Program Files\\P\\player.exe\" \"%1\"");
    EXPECT_EQ(notices.Count(), 1);
}

TEST_F(RoutinesOnWine, RefusedStepKeepsEarlierEntriesAndSendsNoNotice) {
    DenyRights(HKEY_CLASSES_ROOT, L"Marblefinch.mp3\\Shell\\Open", KEY_SET_VALUE);
    EXPECT_EQ(
        MessageOf([] { RegisterFileType(u".mp3", u"Marblefinch.mp3", u"", u"p.exe", 0, true); }),
        u"Failed to set data for ''");
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L"Marblefinch.mp3\\DefaultIcon"), L"p.exe,0");
    EXPECT_FALSE(ReadString(HKEY_CLASSES_ROOT, L"Marblefinch.mp3\\Shell\\Open").has_value());
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Marblefinch.mp3\\Shell\\Open\\Command"));
    EXPECT_EQ(notices.Count(), 0);
}

TEST_F(RoutinesOnWine, FolderVerbAndItsRefusals) {
    RegisterFolderVerb(u"C:\\P\\player.exe", u"Play with Marblefinch");
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L"Directory\\shell\\Marblefinch.Play"),
              L"Play with Marblefinch");
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L"Directory\\shell\\Marblefinch.Play\\command"),
              L"\"C:\\P\\player.exe\" \"%1\"");
    EXPECT_EQ(notices.Count(), 0);

    cleanup.Run();
    DenyRights(HKEY_CLASSES_ROOT, L"Directory\\shell\\Marblefinch.Play\\command", KEY_QUERY_VALUE);
    EXPECT_EQ(MessageOf([] { RegisterFolderVerb(u"p.exe", u"Play"); }),
              u"Failed to create key command");
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L"Directory\\shell\\Marblefinch.Play"), L"Play");

    cleanup.Run();
    DenyRights(HKEY_CLASSES_ROOT, L"Directory\\shell\\Marblefinch.Play", KEY_QUERY_VALUE);
    EXPECT_EQ(MessageOf([] { RegisterFolderVerb(u"p.exe", u"Play"); }),
              u"Failed to create key Marblefinch.Play");
}

}  // namespace
}  // namespace mf

#include "app/regtypesmain.h"
#include "shared/constants.h"

namespace mf {
namespace {

// A few rows of the fault matrix again, on the real registry: a deny entry on one key, a
// whole "regall" in this process, and what it leaves.
struct WineFault {
    const char* name;
    const wchar_t* deniedKey;
    DWORD denied;
    int completeTypes;
    int notices;
    const char16_t* error;  // nullptr: none leaves DoRegistration
    bool caption;
    bool command;
};

// Parameters print as their names (not as raw bytes, padding included).
void PrintTo(const WineFault& c, std::ostream* out) {
    *out << c.name;
}

class RegallOnWine : public ::testing::TestWithParam<WineFault> {
  protected:
    static std::vector<std::wstring> Keys() {
        std::vector<std::wstring> keys;
        for (const char16_t* ext : constants::AudioExtensions) {
            keys.push_back(testing::Wide(ext));
            keys.push_back(L"Marblefinch" + testing::Wide(ext));
        }
        keys.insert(keys.end(),
                    {L".cue", L"Marblefinch.cue", L"Directory\\shell\\Marblefinch.Play"});
        return keys;
    }
    static int CompleteTypes() {
        int complete = 0;
        std::vector<std::wstring> types;
        for (const char16_t* ext : constants::AudioExtensions) {
            types.push_back(testing::Wide(ext));
        }
        types.push_back(L".cue");
        for (const std::wstring& ext : types) {
            complete +=
                ReadString(HKEY_CLASSES_ROOT, L"Marblefinch" + ext + L"\\Shell\\Open\\Command") ==
                L"\"p.exe\" \"%1\"";
        }
        return complete;
    }

    KeyCleanup cleanup{HKEY_CLASSES_ROOT, Keys()};
    NoticeRecorder notices;
    ScopedShellNotifierOverride useRecorder{notices};
};

TEST_P(RegallOnWine, LeavesWhatTheRulesSay) {
    const WineFault& c = GetParam();
    MakeKey(HKEY_CLASSES_ROOT, L"Directory\\shell");
    DenyRights(HKEY_CLASSES_ROOT, c.deniedKey, c.denied);
    regtypesmain::ResetArguments();
    regtypesmain::CaptureArguments({u"p.exe", u"regall", u"Play"});
    const Text error = MessageOf([] { regtypesmain::DoRegistration(); });
    regtypesmain::ResetArguments();

    EXPECT_EQ(error, c.error != nullptr ? Text(c.error) : Text(u"<no error>"));
    EXPECT_EQ(CompleteTypes(), c.completeTypes);
    EXPECT_EQ(notices.Count(), c.notices);
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L"Directory\\shell\\Marblefinch.Play").has_value(),
              c.caption);
    EXPECT_EQ(
        ReadString(HKEY_CLASSES_ROOT, L"Directory\\shell\\Marblefinch.Play\\command").has_value(),
        c.command);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, RegallOnWine,
    ::testing::Values(WineFault{"table_icon_write", L"Marblefinch.flac\\DefaultIcon", KEY_SET_VALUE,
                                21, 21, nullptr, true, true},
                      WineFault{"table_progid_refuses_subkeys", L"Marblefinch.ogg",
                                KEY_CREATE_SUB_KEY, 21, 21, nullptr, true, true},
                      WineFault{"cue_extension_write", L".cue", KEY_SET_VALUE, 21, 21,
                                u"Failed to set data for ''", false, false},
                      WineFault{"cue_command_write", L"Marblefinch.cue\\Shell\\Open\\Command",
                                KEY_SET_VALUE, 21, 21, u"Failed to set data for ''", false, false},
                      WineFault{"verb_unreadable", L"Directory\\shell\\Marblefinch.Play",
                                KEY_QUERY_VALUE, 22, 22, u"Failed to create key Marblefinch.Play",
                                false, false},
                      WineFault{"verb_command_unreadable",
                                L"Directory\\shell\\Marblefinch.Play\\command", KEY_QUERY_VALUE, 22,
                                22, u"Failed to create key command", true, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace mf

namespace mf {
namespace {

// Passes every call to the real registry and counts the key handles still open.
class CountingRegistry final : public RegistryFunctions {
  public:
    explicit CountingRegistry(RegistryFunctions& real) : real_(real) {}
    RegStatus CreateKeyEx(RegHandle key, const char16_t* subKey, std::uint32_t options,
                          RegSam access, RegHandle* result, std::uint32_t* disposition) override {
        const RegStatus status =
            real_.CreateKeyEx(key, subKey, options, access, result, disposition);
        open_ += status == kErrorSuccess;
        return status;
    }
    RegStatus OpenKeyEx(RegHandle key, const char16_t* subKey, std::uint32_t options, RegSam access,
                        RegHandle* result) override {
        const RegStatus status = real_.OpenKeyEx(key, subKey, options, access, result);
        open_ += status == kErrorSuccess;
        return status;
    }
    RegStatus SetValueEx(RegHandle key, const char16_t* name, std::uint32_t type,
                         const std::uint8_t* data, std::uint32_t size) override {
        return real_.SetValueEx(key, name, type, data, size);
    }
    RegStatus CloseKey(RegHandle key) override {
        const RegStatus status = real_.CloseKey(key);
        open_ -= status == kErrorSuccess;
        return status;
    }
    RegStatus FlushKey(RegHandle key) override { return real_.FlushKey(key); }
    int Open() const { return open_; }

  private:
    RegistryFunctions& real_;
    int open_ = 0;
};

// The value of a fresh kernel handle: handles are handed out lowest free slot first, so a
// leak between two probes shows as a different value even where the platform's handle
// count is not kept (Wine reports 0).
HANDLE ProbeHandle() {
    const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    CloseHandle(event);
    return event;
}

// After whole "regall" runs with the real registry and the real shell notice, this process
// holds no more key handles, kernel handles, GDI objects or USER objects than before.
TEST(ResourceDiscipline, RegallGivesBackEveryHandle) {
    KeyCleanup cleanup{HKEY_CLASSES_ROOT, {L".mp3", L"Marblefinch.mp3"}};
    MakeKey(HKEY_CLASSES_ROOT, L"Directory\\shell");
    CountingRegistry counting(PlatformRegistry());
    const ScopedRegistryOverride useCounting(counting);
    const auto run = [] {
        regtypesmain::ResetArguments();
        regtypesmain::CaptureArguments({u"p.exe", u"regall", u"Play"});
        regtypesmain::DoRegistration();
        regtypesmain::ResetArguments();
    };
    run();  // first use loads and caches what the platform keeps for the process
    EXPECT_EQ(counting.Open(), 0);

    DWORD handlesBefore = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &handlesBefore));
    const HANDLE probeBefore = ProbeHandle();
    const DWORD gdiBefore = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    const DWORD userBefore = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
    for (int i = 0; i < 5; ++i) {
        run();
    }
    DWORD handlesAfter = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &handlesAfter));
    EXPECT_EQ(counting.Open(), 0);
    EXPECT_EQ(ProbeHandle(), probeBefore);
    EXPECT_EQ(handlesAfter, handlesBefore);
    EXPECT_EQ(GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS), gdiBefore);
    EXPECT_EQ(GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS), userBefore);
    std::cout << "kernel handles " << handlesBefore << " -> " << handlesAfter << ", probe "
              << probeBefore << ", GDI " << gdiBefore << ", USER " << userBefore << "\n";
    for (const char16_t* ext : constants::AudioExtensions) {
        DeleteTree(HKEY_CLASSES_ROOT, testing::Wide(ext));
        DeleteTree(HKEY_CLASSES_ROOT, L"Marblefinch" + testing::Wide(ext));
    }
    DeleteTree(HKEY_CLASSES_ROOT, L".cue");
    DeleteTree(HKEY_CLASSES_ROOT, L"Marblefinch.cue");
    DeleteTree(HKEY_CLASSES_ROOT, L"Directory\\shell\\Marblefinch.Play");
}

}  // namespace
}  // namespace mf
