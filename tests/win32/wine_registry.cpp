#include "win32/wine_registry.h"

#include <sddl.h>

#include <cstdio>
#include <stdexcept>

namespace mf::testing {

namespace {

class LocalSecurityDescriptor {
  public:
    explicit LocalSecurityDescriptor(const std::wstring& sddl) {
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                  &sd_, nullptr)) {
            throw std::runtime_error("bad security descriptor");
        }
    }
    ~LocalSecurityDescriptor() { LocalFree(sd_); }
    LocalSecurityDescriptor(const LocalSecurityDescriptor&) = delete;
    LocalSecurityDescriptor& operator=(const LocalSecurityDescriptor&) = delete;
    PSECURITY_DESCRIPTOR get() const { return sd_; }

  private:
    PSECURITY_DESCRIPTOR sd_ = nullptr;
};

void SetDacl(HKEY root, const std::wstring& path, const std::wstring& sddl) {
    UniqueHkey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, WRITE_DAC, key.put()) != ERROR_SUCCESS) {
        return;
    }
    const LocalSecurityDescriptor sd(sddl);
    RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, sd.get());
}

// Lets only administrators and the system in, for the moment before a tree is deleted: on a
// machine that is kept, nobody else may rewrite a machine-wide class meanwhile.
const wchar_t kDeletableDacl[] = L"D:(A;;KA;;;BA)(A;;KA;;;SY)";

void ReopenEveryKey(HKEY root, const std::wstring& path) {
    SetDacl(root, path, kDeletableDacl);
    for (const std::wstring& child : SubKeys(root, path)) {
        ReopenEveryKey(root, path + L"\\" + child);
    }
}

}  // namespace

std::wstring Wide(const std::u16string& text) {
    return std::wstring(text.begin(), text.end());
}

void MakeKey(HKEY root, const std::wstring& path) {
    // No right the caller does not use: a key that is there (Directory\shell, say) is only
    // opened, whatever its DACL grants administrators beyond reading it.
    UniqueHkey key;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, READ_CONTROL, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot create a test key");
    }
}

namespace {

// The key's DACL, in the descriptor `found` that holds it.
PACL ReadDacl(HKEY key, std::vector<BYTE>& found) {
    DWORD size = 0;
    RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
    found.resize(size);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, found.data(), &size) != ERROR_SUCCESS ||
        !GetSecurityDescriptorDacl(found.data(), &present, &dacl, &defaulted) || !present ||
        dacl == nullptr) {
        throw std::runtime_error("a test key without a DACL of its own");
    }
    return dacl;
}

}  // namespace

std::vector<std::vector<BYTE>> DaclEntries(HKEY root, const std::wstring& path) {
    UniqueHkey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, READ_CONTROL, key.put()) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot read a test key's security");
    }
    std::vector<BYTE> found;
    const PACL dacl = ReadDacl(key.get(), found);
    std::vector<std::vector<BYTE>> entries;
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* ace = nullptr;
        if (GetAce(dacl, index, &ace)) {
            const auto* bytes = static_cast<const BYTE*>(ace);
            entries.emplace_back(bytes, bytes + static_cast<PACE_HEADER>(ace)->AceSize);
        }
    }
    return entries;
}

void DenyRights(HKEY root, const std::wstring& path, DWORD rights) {
    MakeKey(root, path);
    UniqueHkey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, READ_CONTROL | WRITE_DAC, key.put()) !=
        ERROR_SUCCESS) {
        throw std::runtime_error("cannot open a test key's security");
    }
    // The key's own DACL with one deny entry in front, as explicit denials go; nothing else
    // changes, so nobody gains a right they did not have.
    std::vector<BYTE> found;
    const PACL dacl = ReadDacl(key.get(), found);
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof everyone;
    CreateWellKnownSid(WinWorldSid, nullptr, everyone, &sidSize);
    const DWORD denySize = sizeof(ACCESS_DENIED_ACE) - sizeof(DWORD) + GetLengthSid(everyone);
    std::vector<BYTE> acl(dacl->AclSize + denySize);
    auto* denied = reinterpret_cast<PACL>(acl.data());
    bool built = InitializeAcl(denied, static_cast<DWORD>(acl.size()), ACL_REVISION) &&
                 AddAccessDeniedAce(denied, ACL_REVISION, rights, everyone);
    for (DWORD index = 0; built && index < dacl->AceCount; ++index) {
        void* ace = nullptr;
        built = GetAce(dacl, index, &ace) && AddAce(denied, ACL_REVISION_DS, MAXDWORD, ace,
                                                    static_cast<PACE_HEADER>(ace)->AceSize);
    }
    SECURITY_DESCRIPTOR sd{};
    if (!built || !InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&sd, TRUE, denied, FALSE) ||
        RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &sd) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot add a deny entry to a test key");
    }
}

bool KeyExists(HKEY root, const std::wstring& path, REGSAM view) {
    UniqueHkey key;
    return RegOpenKeyExW(root, path.c_str(), 0, READ_CONTROL | view, key.put()) == ERROR_SUCCESS;
}

std::optional<std::wstring> ReadString(HKEY root, const std::wstring& path,
                                       const std::wstring& name, REGSAM view) {
    UniqueHkey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    DWORD type = 0;
    DWORD size = 0;
    if (RegGetValueW(key.get(), nullptr, name.c_str(), RRF_RT_ANY, &type, nullptr, &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return std::nullopt;
    }
    std::wstring value(size / sizeof(wchar_t), L'\0');
    if (RegGetValueW(key.get(), nullptr, name.c_str(), RRF_RT_REG_SZ, nullptr, value.data(),
                     &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    value.resize(size / sizeof(wchar_t));
    while (!value.empty() && value.back() == L'\0') {
        value.pop_back();
    }
    return value;
}

std::vector<std::wstring> SubKeys(HKEY root, const std::wstring& path) {
    std::vector<std::wstring> names;
    UniqueHkey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_ENUMERATE_SUB_KEYS, key.put()) != ERROR_SUCCESS) {
        return names;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = 256;
        if (RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(name, length);
    }
    return names;
}

KeyCleanup::KeyCleanup(HKEY root, std::vector<std::wstring> paths)
    : root_(root), paths_(std::move(paths)) {
    Run();
}

KeyCleanup::~KeyCleanup() {
    Run();
}

void WriteString(HKEY root, const std::wstring& path, const std::wstring& name,
                 const std::wstring& value) {
    MakeKey(root, path);
    RegSetKeyValueW(root, path.c_str(), name.c_str(), REG_SZ, value.c_str(),
                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

std::wstring DumpTree(HKEY root, const std::wstring& path) {
    UniqueHkey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        return L"";
    }
    std::wstring dump = L"[" + path + L"]\n";
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD nameLength = 16384;
        DWORD type = 0;
        BYTE data[4096];
        DWORD size = sizeof data;
        if (RegEnumValueW(key.get(), index, name, &nameLength, nullptr, &type, data, &size) !=
            ERROR_SUCCESS) {
            break;
        }
        dump += std::wstring(name, nameLength) + L"=" + std::to_wstring(type) + L":";
        dump += std::wstring(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t));
        dump += L"\n";
    }
    for (const std::wstring& child : SubKeys(root, path)) {
        dump += DumpTree(root, path + L"\\" + child);
    }
    return dump;
}

void DeleteTree(HKEY root, const std::wstring& path) {
    ReopenEveryKey(root, path);
    RegDeleteTreeW(root, path.c_str());
}

void KeyCleanup::Run() const {
    for (const std::wstring& path : paths_) {
        DeleteTree(root_, path);
    }
}

}  // namespace mf::testing
