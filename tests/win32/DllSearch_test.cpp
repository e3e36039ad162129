// Where the tool lets DLLs come from: a DLL planted beside the program or in the current
// folder is found by an ordinary search, and no longer once the search is restricted.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "platform/win32/DllSearch.h"
#include "win32/running_on.h"

namespace mf::win32 {
namespace {

std::wstring ModuleFolder() {
    std::wstring path(MAX_PATH, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), MAX_PATH));
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

bool Loads(const wchar_t* name) {
    const HMODULE module = LoadLibraryW(name);
    if (module == nullptr) {
        return false;
    }
    FreeLibrary(module);
    return true;
}

// Both cases run in this one process, in this order: the search cannot be widened again.
TEST(RestrictDllSearch, WithoutTheNewerCallTheCurrentFolderLeavesTheSearch) {
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring folder = std::wstring(temp) + L"mf planted";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring planted = folder + L"\\mf_in_current_folder.dll";
    ASSERT_TRUE(CopyFileW((ModuleFolder() + L"planted.dll").c_str(), planted.c_str(), FALSE));
    ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str()));
    EXPECT_TRUE(Loads(L"mf_in_current_folder.dll")) << "an ordinary search finds it";

    // The program's own module lacks the export, as kernel32 does on an unpatched Windows 7.
    EXPECT_EQ(RestrictDllSearch(GetModuleHandleW(nullptr)), DllSearch::CurrentFolderRemoved);
    // Wine keeps searching the current folder after SetDllDirectoryW(L""); Windows does not.
    if (!testing::IsWine()) {
        EXPECT_FALSE(Loads(L"mf_in_current_folder.dll"));
    }

    SetCurrentDirectoryW(temp);
    DeleteFileW(planted.c_str());
    RemoveDirectoryW(folder.c_str());
}

TEST(RestrictDllSearch, WithKernel32OnlyTheSystemFolderIsSearched) {
    EXPECT_TRUE(Loads(L"planted.dll")) << "an ordinary search finds it beside the program";
    EXPECT_EQ(RestrictDllSearch(GetModuleHandleW(L"kernel32.dll")), DllSearch::SystemFolderOnly);
    EXPECT_FALSE(Loads(L"planted.dll"));
    EXPECT_TRUE(Loads(L"shell32.dll")) << "the system folder is still searched";
}

}  // namespace
}  // namespace mf::win32
