// Where the tool's values land when the user has registered a type for themselves: the
// tool writes through HKEY_CLASSES_ROOT, which Windows puts together from the machine's
// classes and the user's.
#include <gtest/gtest.h>

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "e2e/entries.h"
#include "e2e/tool_process.h"
#include "win32/running_on.h"
#include "win32/wine_registry.h"

namespace mf::testing {
namespace {

constexpr wchar_t kClasses[] = L"Software\\Classes\\";

// Windows reads HKEY_CLASSES_ROOT as HKCU\Software\Classes over HKLM\Software\Classes, and a
// value written through it goes to the user's half where the key exists there. Wine 8 maps
// HKEY_CLASSES_ROOT to HKLM\Software\Classes alone (docs/wine-divergences.md).
bool ClassesRootMergesTheUsersHalf() {
    return !IsWine();
}

std::vector<std::wstring> UnderClasses(const std::vector<std::wstring>& keys) {
    std::vector<std::wstring> paths;
    for (const std::wstring& key : keys) {
        paths.push_back(kClasses + key);
    }
    return paths;
}

class ClassesView : public ::testing::Test {
  protected:
    // Both halves, named directly: deleting through the view would reach one of them only.
    KeyCleanup machine{HKEY_LOCAL_MACHINE, UnderClasses(KeysTheToolWrites())};
    KeyCleanup user{HKEY_CURRENT_USER, UnderClasses(KeysTheToolWrites())};
};

TEST_F(ClassesView, ATypeTheUserRegisteredGetsTheValueInTheHalfTheViewWritesTo) {
    const std::wstring ogg = std::wstring(kClasses) + L".ogg";  // in either half
    WriteString(HKEY_CURRENT_USER, ogg, L"", L"UserPlayer.ogg");
    const bool merged = ClassesRootMergesTheUsersHalf();
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L".ogg"),
              merged ? std::optional<std::wstring>(L"UserPlayer.ogg") : std::nullopt)
        << "before the run";

    ToolProcess tool(ToolPath(), L"C:\\P\\player.exe regtype");
    ASSERT_EQ(tool.WaitForExit(), 0u);

    if (merged) {
        EXPECT_EQ(ReadString(HKEY_CURRENT_USER, ogg), L"Marblefinch.ogg");
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, ogg));
    } else {
        EXPECT_EQ(ReadString(HKEY_CURRENT_USER, ogg), L"UserPlayer.ogg");
        EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, ogg), L"Marblefinch.ogg");
    }
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, L".ogg"), L"Marblefinch.ogg");

    // A type and a class the user has no key for are new keys: the machine's half, everywhere.
    for (const wchar_t* key : {L".wav", L"Marblefinch.wav", L"Marblefinch.ogg"}) {
        EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kClasses + std::wstring(key))) << key;
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kClasses + std::wstring(key))) << key;
    }
    EXPECT_EQ(FileTypeEntries(L".wav", L"C:\\P\\player.exe"), 5);
}

}  // namespace
}  // namespace mf::testing
