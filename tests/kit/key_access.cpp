#include "kit/key_access.h"

#include <utility>

namespace mf::kit {

namespace {

using win32::UniqueHkey;
using win32::UniqueKernelHandle;

TouchWatch g_watch = nullptr;

// Makes the Administrators group the key's owner, which SeTakeOwnershipPrivilege allows
// whatever the DACL says; the owner may then rewrite the DACL.
bool TakeOwnership(HKEY parent, const std::wstring& name) {
    UniqueHkey key;
    if (OpenKey(parent, name, WRITE_OWNER, key) != ERROR_SUCCESS) {
        return false;
    }
    return WriteSecurity(key.get(), OWNER_SECURITY_INFORMATION, L"O:BA") == ERROR_SUCCESS;
}

}  // namespace

void WatchTouches(TouchWatch watch) {
    g_watch = watch;
}

void Touched(const std::wstring& path, const std::wstring& liftedDacl) {
    if (g_watch) {
        g_watch(path, liftedDacl);
    }
}

HKEY HiveKey(const std::wstring& hive) {
    if (hive == L"HKLM") {
        return HKEY_LOCAL_MACHINE;
    }
    if (hive == L"HKCU") {
        return HKEY_CURRENT_USER;
    }
    return nullptr;
}

LONG OpenKey(HKEY parent, const std::wstring& name, REGSAM access, UniqueHkey& key) {
    const LONG status = RegOpenKeyExW(parent, name.c_str(), 0, access | kView, key.put());
    if (status != ERROR_ACCESS_DENIED) {
        return status;
    }
    // The fallback below creates what is missing: it is given the last name only, below a
    // parent opened on its own, so that it can never make the keys in between.
    UniqueHkey above;
    HKEY base = parent;
    std::wstring leaf = name;
    const std::size_t cut = name.rfind(L'\\');
    if (cut != std::wstring::npos) {
        const LONG opened = OpenKey(parent, name.substr(0, cut), KEY_QUERY_VALUE, above);
        if (opened != ERROR_SUCCESS) {
            return opened == ERROR_FILE_NOT_FOUND ? opened : status;
        }
        base = above.get();
        leaf = name.substr(cut + 1);
    }
    UniqueHkey backup;
    DWORD disposition = 0;
    if (RegCreateKeyExW(base, leaf.c_str(), 0, nullptr, REG_OPTION_BACKUP_RESTORE, access | kView,
                        nullptr, backup.put(), &disposition) != ERROR_SUCCESS) {
        return status;
    }
    if (disposition == REG_CREATED_NEW_KEY) {
        // Gone in between: leave nothing behind that was not there.
        backup.reset();
        RegDeleteKeyExW(base, leaf.c_str(), kView, 0);
        return ERROR_FILE_NOT_FOUND;
    }
    key = std::move(backup);
    return ERROR_SUCCESS;
}

std::optional<std::wstring> ReadSecurity(HKEY key) {
    DWORD size = 256;
    std::vector<BYTE> buffer;
    LONG status = ERROR_MORE_DATA;
    while (status == ERROR_MORE_DATA || status == ERROR_INSUFFICIENT_BUFFER) {
        buffer.resize(size);
        status = RegGetKeySecurity(key, kSecurityParts, buffer.data(), &size);
        if ((status == ERROR_MORE_DATA || status == ERROR_INSUFFICIENT_BUFFER) &&
            size <= buffer.size()) {
            size = static_cast<DWORD>(buffer.size() * 2);
        }
    }
    if (status != ERROR_SUCCESS) {
        return std::nullopt;
    }
    wchar_t* text = nullptr;
    ULONG length = 0;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(buffer.data(), SDDL_REVISION_1,
                                                              kSecurityParts, &text, &length)) {
        return std::nullopt;
    }
    std::wstring sddl(text);
    LocalFree(text);
    return sddl;
}

LONG WriteSecurity(HKEY key, SECURITY_INFORMATION parts, const std::wstring& sddl) {
    const LocalSecurity sd(sddl);
    if (!sd.get()) {
        return ERROR_INVALID_PARAMETER;
    }
    return RegSetKeySecurity(key, parts, sd.get());
}

LONG OpenForSecurity(HKEY parent, const std::wstring& name, bool withOwner, UniqueHkey& key) {
    LONG status = ERROR_ACCESS_DENIED;
    if (withOwner) {
        status = OpenKey(parent, name, READ_CONTROL | WRITE_DAC | WRITE_OWNER, key);
    }
    if (status == ERROR_ACCESS_DENIED) {
        status = OpenKey(parent, name, READ_CONTROL | WRITE_DAC, key);
    }
    if (status == ERROR_ACCESS_DENIED && TakeOwnership(parent, name)) {
        status = OpenKey(parent, name, READ_CONTROL | WRITE_DAC, key);
    }
    return status;
}

void SetPrivileges(DWORD attributes) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw)) {
        return;
    }
    const UniqueKernelHandle token(raw);
    for (const wchar_t* name : {SE_BACKUP_NAME, SE_RESTORE_NAME, SE_TAKE_OWNERSHIP_NAME}) {
        TOKEN_PRIVILEGES privileges{};
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = attributes;
        if (LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) {
            AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
        }
    }
}

}  // namespace mf::kit
