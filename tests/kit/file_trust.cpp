#include "kit/file_trust.h"

#include <aclapi.h>
#include <sddl.h>

#include <utility>

#include "kit/key_access.h"
#include "kit/snapshot.h"

namespace mf::kit {

namespace {

using win32::UniqueKernelHandle;

// What is left to read of an open file.
std::string ReadAll(HANDLE file) {
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        bytes.append(buffer, read);
    }
    return bytes;
}

// Whether the file system in `folder` keeps the owner set on a new file. Wine's does not: it
// reports every file of the Unix user as owned by this process's user, whatever was set, and
// derives the DACL from the mode bits. Only there does that user count as an administrator
// below; where the probe cannot be made, owners count as kept.
bool FileOwnersAreKept(const std::wstring& folder) {
    const std::wstring probe =
        folder + L"\\kit_guard-" + std::to_wstring(GetCurrentProcessId()) + L".probe";
    const LocalSecurity security(kGuardedFile);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, security.get(), FALSE};
    const UniqueKernelHandle file(
        CreateFileW(probe.c_str(), GENERIC_WRITE | READ_CONTROL | DELETE, 0, &attributes,
                    CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        return true;
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(file.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return true;
    }
    // Where the descriptor "does not contain an owner", the owner comes back NULL (as
    // GetSecurityDescriptorOwner gives it, learn.microsoft.com/windows/win32/api/
    // securitybaseapi/nf-securitybaseapi-getsecuritydescriptorowner): not Administrators.
    const bool kept = owner && IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
    LocalFree(descriptor);
    return kept;
}

bool IsLink(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

void CloseSearch(HANDLE search) {
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    }
}
using UniqueSearch = win32::UniqueHandle<HANDLE, CloseSearch>;

// What a folder holds, "." and ".." left out.
std::vector<WIN32_FIND_DATAW> Listing(const std::wstring& folder) {
    std::vector<WIN32_FIND_DATAW> entries;
    WIN32_FIND_DATAW found;
    const UniqueSearch search(FindFirstFileW((folder + L"\\*").c_str(), &found));
    for (bool more = search.get() != INVALID_HANDLE_VALUE; more;
         more = FindNextFileW(search.get(), &found)) {
        if (std::wstring(found.cFileName) != L"." && std::wstring(found.cFileName) != L"..") {
            entries.push_back(found);
        }
    }
    return entries;
}

}  // namespace

std::wstring ParentOf(const std::wstring& path) {
    const std::size_t cut = path.rfind(L'\\');
    return cut == std::wstring::npos ? L"" : path.substr(0, cut);
}

std::wstring LeafOf(const std::wstring& path) {
    const std::size_t cut = path.rfind(L'\\');
    return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

UniqueKernelHandle CreateNewFile(const std::wstring& path, const wchar_t* sddl) {
    std::optional<LocalSecurity> security;
    if (sddl) {
        security.emplace(sddl);
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, security ? security->get() : nullptr, FALSE};
    return UniqueKernelHandle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool WriteFileAtomically(const std::wstring& path, const std::string& bytes, bool replace,
                         const wchar_t* sddl) {
    const std::wstring partial = path + L".partial";
    {
        DeleteFileW(partial.c_str());
        const UniqueKernelHandle file = CreateNewFile(partial, sddl);
        if (file.get() == INVALID_HANDLE_VALUE) {
            return false;
        }
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                       nullptr) ||
            written != bytes.size() || !FlushFileBuffers(file.get())) {
            DeleteFileW(partial.c_str());
            return false;
        }
    }
    if (!MoveFileExW(partial.c_str(), path.c_str(),
                     (replace ? MOVEFILE_REPLACE_EXISTING : 0) | MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = GetLastError();
        DeleteFileW(partial.c_str());
        SetLastError(error);
        return false;
    }
    return true;
}

std::wstring SidText(PSID sid) {
    wchar_t* text = nullptr;
    if (!sid || !ConvertSidToStringSidW(sid, &text)) {
        return L"(unknown)";
    }
    std::wstring result(text);
    LocalFree(text);
    return result;
}

std::vector<BYTE> ProcessUser() {
    HANDLE raw = nullptr;
    std::vector<BYTE> sid;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        return sid;
    }
    const UniqueKernelHandle token(raw);
    BYTE buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    DWORD size = 0;
    if (GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size)) {
        const PSID user = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
        const auto* begin = static_cast<const BYTE*>(user);
        sid.assign(begin, begin + GetLengthSid(user));
    }
    return sid;
}

std::vector<BYTE> OwnerStandIn(const std::wstring& folder) {
    return FileOwnersAreKept(folder) ? std::vector<BYTE>() : ProcessUser();
}

std::optional<std::wstring> Untrusted(HANDLE handle, const std::vector<BYTE>& standIn,
                                      ACCESS_MASK writes, bool passedOn) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD status = GetSecurityInfo(handle, SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                         &owner, nullptr, &dacl, nullptr, &descriptor);
    if (status != ERROR_SUCCESS) {
        return L"cannot read its security (" + ErrorText(static_cast<LONG>(status)) + L")";
    }
    const auto trusted = [&](PSID sid) {
        return IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
               IsWellKnownSid(sid, WinLocalSystemSid) ||
               // (assumed: A19, docs/assumptions.md)
               SidText(sid) == kTrustedInstallerSid ||
               (!standIn.empty() && EqualSid(sid, const_cast<BYTE*>(standIn.data())));
    };
    std::optional<std::wstring> why;
    if (!owner || !trusted(owner)) {
        why = L"owned by " + SidText(owner) + L", not by Administrators or SYSTEM";
    } else if (!dacl) {
        why = L"has no DACL: anyone may write it";
    } else {
        for (DWORD index = 0; index < dacl->AceCount && !why; ++index) {
            void* entry = nullptr;
            if (!GetAce(dacl, index, &entry)) {
                why = L"has a DACL that cannot be read";
                break;
            }
            const auto* header = static_cast<const ACE_HEADER*>(entry);
            // The kit's results\ and work\ are made after the check; CREATOR OWNER passes on
            // to their maker, whom the run makes Administrators.
            const bool inheritOnly = header->AceFlags & INHERIT_ONLY_ACE;
            if (header->AceType == ACCESS_DENIED_ACE_TYPE ||
                (inheritOnly && !(passedOn && (header->AceFlags &
                                               (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE))))) {
                continue;
            }
            if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
                why = L"has a DACL entry of a kind not checked here";
                break;
            }
            const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
            const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
            if ((allowed->Mask & writes) && !trusted(sid) &&
                !(inheritOnly && IsWellKnownSid(sid, WinCreatorOwnerSid))) {
                why = L"lets " + SidText(sid) + L" write it";
            }
        }
    }
    LocalFree(descriptor);
    return why;
}

UniqueKernelHandle OpenAsIs(const std::wstring& path, DWORD access) {
    return UniqueKernelHandle(CreateFileW(
        path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

std::optional<std::string> ReadGuardedFile(const std::wstring& path, std::wstring& why) {
    const UniqueKernelHandle file(CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL,
                                              FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        why = L"cannot read the snapshot (" + ErrorText(static_cast<LONG>(GetLastError())) + L")";
        return std::nullopt;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file.get(), &information) ||
        ((information.dwFileAttributes | GetFileAttributesW(path.c_str())) &
         FILE_ATTRIBUTE_REPARSE_POINT)) {
        why = L"the snapshot is a link: not followed; nothing changed";
        return std::nullopt;
    }
    if (const std::optional<std::wstring> untrusted =
            Untrusted(file.get(), OwnerStandIn(ParentOf(path)))) {
        why = L"the snapshot may have been written by someone else: it is " + *untrusted +
              L"; nothing changed";
        return std::nullopt;
    }
    return ReadAll(file.get());
}

bool LinkOnTheWay(std::wstring path, const std::wstring& top) {
    for (;;) {
        if (IsLink(path)) {
            return true;
        }
        if (SameName(path, top) || ParentOf(path).empty()) {
            return false;
        }
        path = ParentOf(path);
    }
}

std::optional<std::string> ReadFileBytes(const std::wstring& path) {
    const UniqueKernelHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    return ReadAll(file.get());
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    return WriteFileAtomically(path, bytes, true);
}

std::wstring EnvironmentVariable(const wchar_t* name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) {
        return L"";
    }
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), size));
    return value;
}

bool RemoveFolder(const std::wstring& folder, std::wstring* failed) {
    const auto stays = [&](const std::wstring& what, std::wstring why = L"") {
        if (failed && failed->empty()) {
            why = why.empty() ? ErrorText(static_cast<LONG>(GetLastError())) : why;
            *failed = what + L" (" + why + L")";
        }
        return false;
    };
    if (IsLink(folder)) {
        return stays(folder, L"a link (reparse point), not followed");
    }
    for (const WIN32_FIND_DATAW& found : Listing(folder)) {
        const std::wstring path = folder + L"\\" + found.cFileName;
        const DWORD attributes = found.dwFileAttributes;
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            RemoveFolder(path, failed);
        } else if (!((attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path.c_str())
                                                             : DeleteFileW(path.c_str()))) {
            stays(path);
        }
    }
    return RemoveDirectoryW(folder.c_str()) || stays(folder) || !FileExists(folder);
}

std::optional<std::wstring> OpenToOthers(const std::wstring& kit) {
    wchar_t volume[MAX_PATH];
    if (!GetVolumePathNameW(kit.c_str(), volume, MAX_PATH)) {
        return kit + L": cannot tell its volume (" + ErrorText(GetLastError()) + L")";
    }
    std::vector<std::pair<std::wstring, ACCESS_MASK>> checks;
    for (const std::wstring& folder : {kit, kit + L"\\tests"}) {
        checks.emplace_back(folder, kWrites);
        for (const WIN32_FIND_DATAW& found : Listing(folder)) {
            checks.emplace_back(folder + L"\\" + found.cFileName, kWrites);
        }
    }
    // Above the kit, what could put another kit in its place: deleting or renaming it, or
    // rewriting a DACL. Adding a folder beside it changes nothing.
    constexpr ACCESS_MASK kReplaces = DELETE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER |
                                      GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;
    const std::wstring root = volume;
    for (std::wstring above = ParentOf(kit); above.size() >= root.size(); above = ParentOf(above)) {
        checks.emplace_back(above, kReplaces);
    }
    checks.emplace_back(root, kReplaces);
    const std::vector<BYTE> standIn = OwnerStandIn(kit);
    for (const auto& [path, writes] : checks) {
        const UniqueKernelHandle handle = OpenAsIs(path, READ_CONTROL);
        const std::optional<std::wstring> why =
            handle.get() == INVALID_HANDLE_VALUE
                ? L"cannot be opened (" + ErrorText(GetLastError()) + L")"
            : IsLink(path) ? L"a link (reparse point), whose target is not checked"
                           : Untrusted(handle.get(), standIn, writes, writes == kWrites);
        if (why) {
            return path + L": " + *why;
        }
    }
    return std::nullopt;
}

}  // namespace mf::kit
