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

const wchar_t kOpenDacl[] = L"D:(A;;KA;;;WD)(A;;KA;;;BA)(A;;KA;;;SY)";

void ReopenEveryKey(HKEY root, const std::wstring& path) {
    SetDacl(root, path, kOpenDacl);
    for (const std::wstring& child : SubKeys(root, path)) {
        ReopenEveryKey(root, path + L"\\" + child);
    }
}

}  // namespace

std::wstring Wide(const std::u16string& text) {
    return std::wstring(text.begin(), text.end());
}

void MakeKey(HKEY root, const std::wstring& path) {
    UniqueHkey key;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot create a test key");
    }
}

void DenyRights(HKEY root, const std::wstring& path, DWORD rights) {
    MakeKey(root, path);
    wchar_t sddl[128];
    std::swprintf(sddl, 128, L"D:(D;;0x%lx;;;WD)(A;;KA;;;WD)(A;;KA;;;BA)(A;;KA;;;SY)",
                  static_cast<unsigned long>(rights));
    SetDacl(root, path, sddl);
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
