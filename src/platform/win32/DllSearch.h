// Keeps DLL loading out of the folders a planted DLL could come from.
#pragma once

#include <windows.h>

namespace mf::win32 {

enum class DllSearch {
    SystemFolderOnly,      // SetDefaultDllDirectories: only the system folder is searched
    CurrentFolderRemoved,  // SetDllDirectoryW(L""): the current folder is left out
    Unchanged,             // neither call took effect
};

// Looks SetDefaultDllDirectories up at run time in `kernel32`: a static import of it would
// stop the program from starting at all on a Windows 7 without the update that added it.
// Where it is missing, takes the current folder out of the search instead.
DllSearch RestrictDllSearch(HMODULE kernel32);

}  // namespace mf::win32
