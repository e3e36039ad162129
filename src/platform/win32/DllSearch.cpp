#include "platform/win32/DllSearch.h"

namespace mf::win32 {

DllSearch RestrictDllSearch(HMODULE kernel32) {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    // Through void*: GetProcAddress returns a generic function pointer.
    const auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void*>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
    if (setDefaultDllDirectories != nullptr &&
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        return DllSearch::SystemFolderOnly;
    }
    return SetDllDirectoryW(L"") ? DllSearch::CurrentFolderRemoved : DllSearch::Unchanged;
}

}  // namespace mf::win32
