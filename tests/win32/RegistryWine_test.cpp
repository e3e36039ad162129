// TRegistry and the registration routines on the real registry, with refusals made by
// deny entries in keys' DACLs.
#include <gtest/gtest.h>

#include "registration/Registry.h"
#include "registration/RegistryTools.h"
#include "registration/ShellNotice.h"
#include "win32/wine_registry.h"

namespace mf {
namespace {

using testing::DenyRights;
using testing::KeyCleanup;
using testing::KeyExists;
using testing::MakeKey;
using testing::ReadString;

template <typename Action>
Text MessageOf(Action action) {
    try {
        action();
    } catch (const ERegistryException& e) {
        return e.Message();
    }
    return u"<no error>";
}

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
    // Windows would also refuse a new subkey through this handle; Wine does not check the
    // parent handle's rights on creation, so that case is covered on the substitute store.
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
