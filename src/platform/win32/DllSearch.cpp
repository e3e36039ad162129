#include "platform/win32/DllSearch.h"

namespace mf::win32 {
namespace {

// Windows 8's headers define it; the build targets Windows 7, where the flag exists only
// with the update that added SetDefaultDllDirectories, which is looked up at run time below.
constexpr DWORD LoadLibrarySearchSystem32 = 0x00000800;

}  // namespace

DllSearch RestrictDllSearch(HMODULE kernel32) {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    // Through void*: GetProcAddress returns a generic function pointer.
    const auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void*>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
    if (setDefaultDllDirectories != nullptr &&
        setDefaultDllDirectories(LoadLibrarySearchSystem32)) {
        return DllSearch::SystemFolderOnly;
    }
    return SetDllDirectoryW(L"") ? DllSearch::CurrentFolderRemoved : DllSearch::Unchanged;
}

}  // namespace mf::win32
