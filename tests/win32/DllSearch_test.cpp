// Where the tool lets DLLs come from: a DLL planted beside the program or in the current
// folder is found by an ordinary search, and no longer once the search is restricted.
// A restricted search cannot be widened again for the process, so each case runs in a child
// process of its own: this binary starts itself with a filter naming one case of
// RestrictDllSearchInChild, which does nothing unless it was started that way.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "platform/win32/DllSearch.h"
#include "platform/win32/WinHandles.h"
#include "win32/running_on.h"

namespace mf::win32 {
namespace {

// Set in a child's environment by the parent test that starts it.
constexpr wchar_t kChildVariable[] = L"MF_DLL_SEARCH_CHILD";
constexpr wchar_t kInCurrentFolder[] = L"mf_in_current_folder.dll";

std::wstring ThisExe() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::wstring ModuleFolder() {
    const std::wstring exe = ThisExe();
    return exe.substr(0, exe.find_last_of(L'\\') + 1);
}

std::wstring TempFolder() {
    wchar_t buffer[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    return std::wstring(buffer, length);
}

bool InChild() {
    return GetEnvironmentVariableW(kChildVariable, nullptr, 0) != 0;
}

bool Loads(const wchar_t* name) {
    const HMODULE module = LoadLibraryW(name);
    if (module == nullptr) {
        return false;
    }
    FreeLibrary(module);
    return true;
}

struct ChildRun {
    DWORD exitCode = STILL_ACTIVE;
    std::string output;
};

// Runs one case of RestrictDllSearchInChild in a new process of this binary, with `folder` as
// its current folder, and collects what it prints.
ChildRun RunChild(const std::wstring& test, const std::wstring& folder) {
    ChildRun run;
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        run.output = "CreatePipe failed";
        return run;
    }
    const UniqueKernelHandle reader(readEnd);
    UniqueKernelHandle writer(writeEnd);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    // One pass, in order, whatever the parent was asked to do.
    std::wstring commandLine = L"\"" + ThisExe() + L"\" --gtest_filter=RestrictDllSearchInChild." +
                               test + L" --gtest_repeat=1 --gtest_shuffle=0";
    PROCESS_INFORMATION info{};
    SetEnvironmentVariableW(kChildVariable, L"1");
    const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, folder.c_str(), &startup, &info);
    SetEnvironmentVariableW(kChildVariable, nullptr);
    if (!started) {
        run.output = "CreateProcessW failed: " + std::to_string(GetLastError());
        return run;
    }
    const UniqueKernelHandle process(info.hProcess);
    CloseHandle(info.hThread);
    writer.reset();  // the pipe ends when the child's copies close

    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got != 0) {
        run.output.append(buffer, got);
    }
    if (WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 1);
        run.output += "\n(the child did not end within 60 s)";
    }
    GetExitCodeProcess(process.get(), &run.exitCode);
    return run;
}

// The child passed its one case: it ran, rather than being skipped or filtered away.
void ExpectChildPassed(const ChildRun& run) {
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_NE(run.output.find("[  PASSED  ] 1 test."), std::string::npos) << run.output;
}

TEST(RestrictDllSearch, WithoutTheNewerCallTheCurrentFolderLeavesTheSearch) {
    // Per process, so that runs side by side do not share the folder.
    const std::wstring folder =
        TempFolder() + L"mf planted " + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring planted = folder + L"\\" + kInCurrentFolder;
    const bool copied =
        CopyFileW((ModuleFolder() + L"planted.dll").c_str(), planted.c_str(), FALSE) != FALSE;
    const ChildRun run = copied ? RunChild(L"CurrentFolderLeavesTheSearch", folder) : ChildRun{};
    DeleteFileW(planted.c_str());
    RemoveDirectoryW(folder.c_str());
    ASSERT_TRUE(copied) << "planted.dll beside the test binary";
    ExpectChildPassed(run);
}

TEST(RestrictDllSearch, WithKernel32OnlyTheSystemFolderIsSearched) {
    ExpectChildPassed(RunChild(L"OnlyTheSystemFolder", ModuleFolder()));
}

// Windows takes the current folder out of the search after SetDllDirectoryW(L""); Wine keeps
// searching it.
bool EmptyDllDirectoryRemovesTheCurrentFolder() {
    return !testing::IsWine();
}

TEST(RestrictDllSearchInChild, CurrentFolderLeavesTheSearch) {
    if (!InChild()) {
        GTEST_SKIP() << "runs in a process of its own, started by RestrictDllSearch";
    }
    EXPECT_TRUE(Loads(kInCurrentFolder)) << "an ordinary search finds it";
    // The program's own module lacks the export, as kernel32 does on an unpatched Windows 7.
    EXPECT_EQ(RestrictDllSearch(GetModuleHandleW(nullptr)), DllSearch::CurrentFolderRemoved);
    if (EmptyDllDirectoryRemovesTheCurrentFolder()) {
        EXPECT_FALSE(Loads(kInCurrentFolder));
    }
}

TEST(RestrictDllSearchInChild, OnlyTheSystemFolder) {
    if (!InChild()) {
        GTEST_SKIP() << "runs in a process of its own, started by RestrictDllSearch";
    }
    EXPECT_TRUE(Loads(L"planted.dll")) << "an ordinary search finds it beside the program";
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    // Windows 7 has the newer call only with KB2533623 (learn.microsoft.com, the
    // SetDefaultDllDirectories page); without it the fallback is what the tool gets, and the
    // program's own folder stays first in the search (the SetDllDirectoryW page).
    if (GetProcAddress(kernel32, "SetDefaultDllDirectories") == nullptr) {
        EXPECT_EQ(RestrictDllSearch(kernel32), DllSearch::CurrentFolderRemoved);
        EXPECT_TRUE(Loads(L"planted.dll")) << "the fallback keeps the program's folder";
        return;
    }
    EXPECT_EQ(RestrictDllSearch(kernel32), DllSearch::SystemFolderOnly);
    EXPECT_FALSE(Loads(L"planted.dll"));
    EXPECT_TRUE(Loads(L"shell32.dll")) << "the system folder is still searched";
}

}  // namespace
}  // namespace mf::win32
