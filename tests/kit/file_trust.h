// The kit's files and folders: read, written and removed, and whether others than
// administrators may have written them or may change them.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/win32/WinHandles.h"

namespace mf::kit {

// The snapshot, the lock and their folder: administrators and the system only, nothing
// inherited from a folder that users may write.
inline constexpr const wchar_t* kGuardedFile = L"O:BAD:P(A;;FA;;;BA)(A;;FA;;;SY)";
// A path's folder, and its last part.
std::wstring ParentOf(const std::wstring& path);
std::wstring LeafOf(const std::wstring& path);
bool FileExists(const std::wstring& path);
// A file's bytes; nothing when it cannot be read.
std::optional<std::string> ReadFileBytes(const std::wstring& path);
// Writes a file whole, over one that is there. A new file's DACL comes from its folder.
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
// A new file only: one that is there keeps its own security, whatever `sddl` says.
win32::UniqueKernelHandle CreateNewFile(const std::wstring& path, const wchar_t* sddl);
// Writes beside `path` first and renames it into place only when all of it is on disk; over
// a file already there only when `replace`.
bool WriteFileAtomically(const std::wstring& path, const std::string& bytes, bool replace,
                         const wchar_t* sddl = nullptr);
// An environment variable's value, empty when it is not set.
std::wstring EnvironmentVariable(const wchar_t* name);

// NT SERVICE\TrustedInstaller (winnt.h's SECURITY_TRUSTED_INSTALLER_RID1-5).
inline constexpr const wchar_t* kTrustedInstallerSid =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
std::wstring SidText(PSID sid);
std::vector<BYTE> ProcessUser();
// The user that Wine reports as the owner of every file in `folder` (as FileOwnersAreKept
// says); none where owners are kept.
std::vector<BYTE> OwnerStandIn(const std::wstring& folder);
// What changes a file or a folder: a folder's FILE_DELETE_CHILD deletes or renames what is in
// it ("delete child permission in the parent directory", MoveFileEx's remarks,
// learn.microsoft.com/windows/win32/api/winbase/nf-winbase-movefileexw).
inline constexpr ACCESS_MASK kWrites = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD |
                                       WRITE_DAC | WRITE_OWNER | DELETE | GENERIC_WRITE |
                                       GENERIC_ALL | MAXIMUM_ALLOWED;
// Why the file or folder open as `handle` may have been written or planted by someone other
// than an administrator, the system or TrustedInstaller, or be open to `writes` by another;
// nothing when it cannot. `standIn` counts as an administrator (OwnerStandIn). With
// `passedOn`, what a folder's entries pass to what is made in it later counts as well.
std::optional<std::wstring> Untrusted(HANDLE handle, const std::vector<BYTE>& standIn,
                                      ACCESS_MASK writes = kWrites, bool passedOn = false);
// Opens a file or folder as it is, a link itself rather than what it points to.
win32::UniqueKernelHandle OpenAsIs(const std::wstring& path, DWORD access);
// The snapshot's bytes, read only from a file that nobody but an administrator or the
// system can have written; else `why` says what is wrong with it.
std::optional<std::string> ReadGuardedFile(const std::wstring& path, std::wstring& why);
// A link anywhere from `path` up to `top` (both included) could lead a removal elsewhere.
bool LinkOnTheWay(std::wstring path, const std::wstring& top);

// Deletes a folder and what it holds; a link inside is removed itself, never followed, and a
// folder that is itself a link is left alone. `failed` names the first thing that stays.
bool RemoveFolder(const std::wstring& folder, std::wstring* failed = nullptr);
// Why others than administrators, SYSTEM and TrustedInstaller may change the kit in `kit`: it,
// tests\ or a file in either is a link or lets another write it; or a folder above lets another
// rename it or rewrite a DACL. Nothing when none does.
std::optional<std::wstring> OpenToOthers(const std::wstring& kit);

}  // namespace mf::kit
