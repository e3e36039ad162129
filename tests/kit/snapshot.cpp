#include "kit/snapshot.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <utility>

#include "kit/touched_keys.h"
#include "platform/win32/WinHandles.h"

namespace mf::kit {

namespace {

using win32::UniqueHkey;
using win32::UniqueKernelHandle;

// The classes keys are shared between the 32- and 64-bit views; the 64-bit view shows them
// as they are, also to this 32-bit program on 64-bit Windows.
constexpr REGSAM kView = KEY_WOW64_64KEY;
constexpr SECURITY_INFORMATION kSecurityParts =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
// Lets administrators and the system in, for the moment a key is read, changed or deleted past
// its own DACL; nobody else gains anything meanwhile.
constexpr const wchar_t* kLiftedDacl = L"D:(A;;KA;;;BA)(A;;KA;;;SY)";
// The snapshot, the lock and their folder: administrators and the system only, nothing
// inherited from a folder that users may write.
constexpr const wchar_t* kGuardedFile = L"O:BAD:P(A;;FA;;;BA)(A;;FA;;;SY)";
constexpr const wchar_t* kGuardedFolder = L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";

TouchWatch g_watch = nullptr;

void Touched(const std::wstring& path, const std::wstring& liftedDacl) {
    if (g_watch) {
        g_watch(path, liftedDacl);
    }
}

std::wstring ErrorText(LONG code) {
    return L"error " + std::to_wstring(code);
}

bool SameName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Case-insensitive order as the registry sorts, exact order between names that tie.
bool NameLess(const std::wstring& a, const std::wstring& b) {
    const int order = CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                           static_cast<int>(b.size()), TRUE);
    return order == CSTR_EQUAL ? a < b : order == CSTR_LESS_THAN;
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

class LocalSecurity {
  public:
    explicit LocalSecurity(const std::wstring& sddl) {
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                  &sd_, nullptr)) {
            sd_ = nullptr;
        }
    }
    ~LocalSecurity() { LocalFree(sd_); }
    LocalSecurity(const LocalSecurity&) = delete;
    LocalSecurity& operator=(const LocalSecurity&) = delete;
    PSECURITY_DESCRIPTOR get() const { return sd_; }

  private:
    PSECURITY_DESCRIPTOR sd_ = nullptr;
};

// ---- Opening keys past their DACL -------------------------------------------------------

// Opens `name` below `parent`. Where the key's DACL refuses, tries again with
// REG_OPTION_BACKUP_RESTORE, which an administrator's backup and restore privileges pass.
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

// Makes the Administrators group the key's owner, which SeTakeOwnershipPrivilege allows
// whatever the DACL says; the owner may then rewrite the DACL.
bool TakeOwnership(HKEY parent, const std::wstring& name) {
    UniqueHkey key;
    if (OpenKey(parent, name, WRITE_OWNER, key) != ERROR_SUCCESS) {
        return false;
    }
    return WriteSecurity(key.get(), OWNER_SECURITY_INFORMATION, L"O:BA") == ERROR_SUCCESS;
}

// Opens the key for rewriting its security: with WRITE_OWNER where the privileges allow it,
// else as its owner; taking ownership as the last resort.
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

// A key opened with `access`, past a DACL that refuses it if need be: the DACL is opened up
// for as long as this lives and then put back as it was found, owner included.
class OpenedKey {
  public:
    OpenedKey(HKEY parent, std::wstring name, REGSAM access, const std::wstring& path,
              Problems& problems)
        : parent_(parent), name_(std::move(name)), path_(path), problems_(problems) {
        if (access & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY | WRITE_DAC | WRITE_OWNER | DELETE)) {
            Touched(path_, L"");
        }
        status_ = OpenKey(parent_, name_, access, key_);
        if (status_ != ERROR_ACCESS_DENIED) {
            return;
        }
        UniqueHkey security;
        if (OpenForSecurity(parent_, name_, true, security) != ERROR_SUCCESS) {
            return;
        }
        found_ = ReadSecurity(security.get());
        Touched(path_, kLiftedDacl);
        if (!found_ || WriteSecurity(security.get(), DACL_SECURITY_INFORMATION, kLiftedDacl) !=
                           ERROR_SUCCESS) {
            found_.reset();
            return;
        }
        status_ = OpenKey(parent_, name_, access, key_);
    }
    ~OpenedKey() {
        key_.reset();
        if (!found_) {
            return;
        }
        UniqueHkey security;
        const LONG status = OpenForSecurity(parent_, name_, true, security);
        if (status != ERROR_SUCCESS ||
            WriteSecurity(security.get(), kSecurityParts, *found_) != ERROR_SUCCESS) {
            problems_.push_back(path_ + L": cannot put its security back after opening it");
        }
    }
    OpenedKey(const OpenedKey&) = delete;
    OpenedKey& operator=(const OpenedKey&) = delete;

    HKEY get() const { return key_.get(); }
    LONG status() const { return status_; }

  private:
    HKEY parent_;
    std::wstring name_;
    std::wstring path_;
    Problems& problems_;
    UniqueHkey key_;
    LONG status_ = ERROR_SUCCESS;
    std::optional<std::wstring> found_;
};

// ---- Reading ------------------------------------------------------------------------------

std::vector<std::wstring> SubkeyNames(HKEY key, LONG& status) {
    std::vector<std::wstring> names;
    DWORD count = 0;
    DWORD longest = 0;
    status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) {
        return names;
    }
    std::vector<wchar_t> name(std::max<DWORD>(longest, 255) + 2);
    for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(name.size());
        const LONG result =
            RegEnumKeyExW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (result == ERROR_MORE_DATA) {
            name.resize(name.size() * 2);
            --index;
            continue;
        }
        if (result != ERROR_SUCCESS) {
            status = result;
            break;
        }
        names.emplace_back(name.data(), length);
    }
    return names;
}

std::vector<ValueRecord> ReadValues(HKEY key, LONG& status) {
    std::vector<ValueRecord> values;
    DWORD longestName = 0;
    DWORD longestData = 0;
    status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                              &longestName, &longestData, nullptr, nullptr);
    if (status != ERROR_SUCCESS) {
        return values;
    }
    std::vector<wchar_t> name(longestName + 2);
    std::vector<BYTE> data(std::max<DWORD>(longestData, 1));
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD size = static_cast<DWORD>(data.size());
        DWORD type = REG_NONE;
        const LONG result =
            RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &size);
        if (result == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (result == ERROR_MORE_DATA) {
            // Changed in between, or a name longer than reported: ask again with more room.
            name.resize(name.size() * 2 + 256);
            data.resize(std::max<std::size_t>(data.size() * 2, size));
            --index;
            continue;
        }
        if (result != ERROR_SUCCESS) {
            status = result;
            break;
        }
        values.push_back({std::wstring(name.data(), nameLength), type,
                          std::vector<BYTE>(data.begin(), data.begin() + size)});
    }
    return values;
}

// A key deleted after it was opened answers ERROR_KEY_DELETED, "An illegal operation was
// attempted on a registry key that is pending delete" (learn.microsoft.com/openspecs/
// windows_protocols/ms-rrp/53c0a480-f1c8-493e-abf8-6bb4de4d95eb).
bool Deleted(HKEY key) {
    return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr) == ERROR_KEY_DELETED;
}

// The key and all below it; nothing, and no problem, for a key that is gone when it is read
// (listed, then deleted by another program before it was opened or while it was read): it
// is absent, as a read a moment later would find it. A key that is there and cannot be read
// is named in `problems`.
std::optional<KeyRecord> ReadTree(HKEY parent, const std::wstring& name, const std::wstring& path,
                                  bool mayLift, Problems& problems) {
    std::optional<OpenedKey> liftable;
    UniqueHkey plain;
    HKEY key = nullptr;
    LONG status = ERROR_SUCCESS;
    constexpr REGSAM kAccess = KEY_READ | READ_CONTROL;
    if (mayLift) {
        liftable.emplace(parent, name, kAccess, path, problems);
        key = liftable->get();
        status = liftable->status();
    } else {
        status = OpenKey(parent, name, kAccess, plain);
        key = plain.get();
    }
    // ERROR_KEY_DELETED: the parent went first.
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_KEY_DELETED) {
        return std::nullopt;
    }
    if (status != ERROR_SUCCESS) {
        problems.push_back(path + L": cannot open to read (" + ErrorText(status) + L")");
        return std::nullopt;
    }
    KeyRecord record;
    record.name = name;
    LONG valuesStatus = ERROR_SUCCESS;
    LONG subkeysStatus = ERROR_SUCCESS;
    record.values = ReadValues(key, valuesStatus);
    const std::vector<std::wstring> names = SubkeyNames(key, subkeysStatus);
    const std::optional<std::wstring> security = ReadSecurity(key);
    if (valuesStatus != ERROR_SUCCESS || subkeysStatus != ERROR_SUCCESS || !security) {
        if (!Deleted(key)) {
            problems.push_back(path + L": cannot read it whole");
        }
        return std::nullopt;
    }
    record.security = *security;
    bool lost = false;
    for (const std::wstring& child : names) {
        const std::size_t known = problems.size();
        std::optional<KeyRecord> sub =
            ReadTree(key, child, path + L"\\" + child, mayLift, problems);
        if (sub) {
            record.subkeys.push_back(std::move(*sub));
        } else if (problems.size() != known) {
            return std::nullopt;
        }
        lost = lost || !sub;
    }
    // A subkey may have gone with this key: then it is gone as a whole.
    if (lost && Deleted(key)) {
        return std::nullopt;
    }
    return record;
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

namespace {

std::size_t Depth(const std::wstring& path) {
    return path.empty() ? 0 : std::count(path.begin(), path.end(), L'\\') + 1;
}

// The subkeys of each parent, read once per pass: Software\Classes has thousands.
class ParentNames {
  public:
    // The name of `name` under `parent` as stored, if it exists. A parent that is there but
    // cannot be listed tells nothing: it is named in `problems` (once a pass), and `listed`
    // is false.
    std::optional<std::wstring> Find(HKEY hive, const std::wstring& hiveName,
                                     const std::wstring& parent, const std::wstring& name,
                                     Problems& problems, bool& listed) {
        const std::wstring id = hiveName + L"\\" + parent;
        auto found = names_.find(id);
        if (found == names_.end()) {
            std::optional<std::vector<std::wstring>> names(std::in_place);
            UniqueHkey key;
            LONG status = OpenKey(hive, parent, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE, key);
            if (status == ERROR_SUCCESS) {
                names = SubkeyNames(key.get(), status);
            }
            if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
                problems.push_back(id + L": cannot list its subkeys (" + ErrorText(status) + L")");
                names.reset();
            }
            found = names_.emplace(id, std::move(names)).first;
        }
        listed = found->second.has_value();
        if (!listed) {
            return std::nullopt;
        }
        for (const std::wstring& candidate : *found->second) {
            if (SameName(candidate, name)) {
                return candidate;
            }
        }
        return std::nullopt;
    }
    void Forget() { names_.clear(); }

  private:
    std::map<std::wstring, std::optional<std::vector<std::wstring>>> names_;
};

std::wstring RootPath(const RootRecord& root) {
    return root.hive + L"\\" + (root.parent.empty() ? L"" : root.parent + L"\\") + root.name;
}

RootRecord ReadRootWith(const RootRecord& root, ParentNames& parents, Problems& problems,
                        bool mayLift = true) {
    RootRecord now{root.hive, root.parent, root.name, std::nullopt};
    const HKEY hive = HiveKey(root.hive);
    bool listed = true;
    const std::optional<std::wstring> stored =
        parents.Find(hive, root.hive, root.parent, root.name, problems, listed);
    if (!stored) {
        return now;
    }
    UniqueHkey parent;
    if (OpenKey(hive, root.parent, KEY_ENUMERATE_SUB_KEYS, parent) != ERROR_SUCCESS) {
        problems.push_back(root.hive + L"\\" + root.parent + L": cannot open");
        return now;
    }
    now.key = ReadTree(parent.get(), *stored, RootPath(root), mayLift, problems);
    return now;
}

// ---- Restoring ----------------------------------------------------------------------------

void DeleteTree(HKEY parent, const std::wstring& name, const std::wstring& path,
                Problems& problems) {
    // Tests leave deny entries behind: open each key's DACL before deleting it.
    {
        UniqueHkey security;
        Touched(path, kLiftedDacl);
        if (OpenForSecurity(parent, name, false, security) == ERROR_SUCCESS) {
            WriteSecurity(security.get(), DACL_SECURITY_INFORMATION, kLiftedDacl);
        }
    }
    UniqueHkey key;
    LONG status = OpenKey(parent, name, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE, key);
    if (status == ERROR_FILE_NOT_FOUND) {
        return;
    }
    if (status == ERROR_SUCCESS) {
        for (const std::wstring& child : SubkeyNames(key.get(), status)) {
            DeleteTree(key.get(), child, path + L"\\" + child, problems);
        }
        key.reset();
    }
    status = RegDeleteKeyExW(parent, name.c_str(), kView, 0);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        problems.push_back(path + L": cannot delete (" + ErrorText(status) + L")");
    }
}

// Renames a key whose name differs from the record in case only, keeping its contents.
bool RenameKey(HKEY parent, const std::wstring& from, const std::wstring& to) {
    using RenameFunction = LONG(WINAPI*)(HKEY, LPCWSTR, LPCWSTR);
    const auto rename = reinterpret_cast<RenameFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "RegRenameKey")));
    if (!rename || rename(parent, from.c_str(), to.c_str()) != ERROR_SUCCESS) {
        return false;
    }
    // A rename to the same name in other case may succeed and change nothing.
    LONG status = ERROR_SUCCESS;
    const std::vector<std::wstring> names = SubkeyNames(parent, status);
    return std::find(names.begin(), names.end(), to) != names.end();
}

bool SameValue(const ValueRecord& a, const ValueRecord& b) {
    return a.name == b.name && a.type == b.type && a.data == b.data;
}

void RestoreValues(HKEY key, const std::vector<ValueRecord>& want, const std::wstring& path,
                   Problems& problems) {
    LONG status = ERROR_SUCCESS;
    const std::vector<ValueRecord> have = ReadValues(key, status);
    if (status != ERROR_SUCCESS) {
        problems.push_back(path + L": cannot read its values (" + ErrorText(status) + L")");
        return;
    }
    const auto recorded = [&](const std::wstring& name) {
        return std::find_if(want.begin(), want.end(),
                            [&](const ValueRecord& value) { return value.name == name; });
    };
    for (const ValueRecord& value : have) {
        // A name that differs in case only is deleted too, so that it comes back as recorded.
        if (recorded(value.name) == want.end()) {
            status = RegDeleteValueW(key, value.name.c_str());
            if (status != ERROR_SUCCESS) {
                problems.push_back(path + L": cannot delete value \"" + value.name + L"\" (" +
                                   ErrorText(status) + L")");
            }
        }
    }
    for (const ValueRecord& value : want) {
        const auto current = std::find_if(
            have.begin(), have.end(), [&](const ValueRecord& v) { return v.name == value.name; });
        if (current != have.end() && SameValue(*current, value)) {
            continue;
        }
        static const BYTE kNothing = 0;
        status = RegSetValueExW(key, value.name.c_str(), 0, value.type,
                                value.data.empty() ? &kNothing : value.data.data(),
                                static_cast<DWORD>(value.data.size()));
        if (status != ERROR_SUCCESS) {
            problems.push_back(path + L": cannot set value \"" + value.name + L"\" (" +
                               ErrorText(status) + L")");
        }
    }
}

void CompareKeys(const std::wstring& path, const KeyRecord& want, const KeyRecord& have,
                 Problems& problems);

bool Matches(const KeyRecord& want, const KeyRecord& have) {
    Problems differences;
    CompareKeys(L"", want, have, differences);
    return differences.empty();
}

// The key's own security and values, and its subkeys' names, are as recorded.
bool OwnPartMatches(const KeyRecord& want, const KeyRecord& have) {
    const auto sameValues = [&] {
        return want.values.size() == have.values.size() &&
               std::all_of(want.values.begin(), want.values.end(), [&](const ValueRecord& value) {
                   return std::any_of(have.values.begin(), have.values.end(),
                                      [&](const ValueRecord& v) { return SameValue(v, value); });
               });
    };
    const auto sameNames = [&] {
        return want.subkeys.size() == have.subkeys.size() &&
               std::all_of(want.subkeys.begin(), want.subkeys.end(), [&](const KeyRecord& sub) {
                   return std::any_of(have.subkeys.begin(), have.subkeys.end(),
                                      [&](const KeyRecord& k) { return k.name == sub.name; });
               });
    };
    return want.security == have.security && sameValues() && sameNames();
}

// Puts one recorded key back below `parent`. `stored` is its name as it is now, if it exists;
// `have` is the key as read now without opening anything up, null when it could not be read.
// What already matches is left alone: not opened for writing, its DACL never lifted.
void RestoreKey(HKEY parent, std::optional<std::wstring> stored, const KeyRecord& want,
                const KeyRecord* have, const std::wstring& path, Problems& problems) {
    if (stored && have && Matches(want, *have)) {
        return;
    }
    if (stored && *stored != want.name && !RenameKey(parent, *stored, want.name)) {
        // Its name differs in case and cannot be renamed: build it again from the record.
        DeleteTree(parent, *stored, path, problems);
        stored.reset();
    }
    if (!stored) {
        have = nullptr;
        UniqueHkey created;
        const LONG status = RegCreateKeyExW(parent, want.name.c_str(), 0, nullptr, 0,
                                            READ_CONTROL | kView, nullptr, created.put(), nullptr);
        if (status != ERROR_SUCCESS) {
            problems.push_back(path + L": cannot create (" + ErrorText(status) + L")");
            return;
        }
    }
    // The recorded security first: it lifts a test's deny entries.
    if (!have || have->security != want.security) {
        Touched(path, L"");
        UniqueHkey security;
        LONG status = OpenForSecurity(parent, want.name, true, security);
        const std::optional<std::wstring> now =
            status == ERROR_SUCCESS ? ReadSecurity(security.get()) : std::nullopt;
        if (now != want.security) {
            if (status == ERROR_SUCCESS) {
                status = WriteSecurity(security.get(), kSecurityParts, want.security);
                if (status != ERROR_SUCCESS) {
                    // At least the DACL, so that the rest can be put back.
                    WriteSecurity(security.get(),
                                  GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                  want.security);
                }
            }
            if (status != ERROR_SUCCESS) {
                problems.push_back(path + L": cannot set its security (" + ErrorText(status) +
                                   L")");
            }
        }
    }
    // A key whose own part matches is only read, to reach its subkeys. Else, where the
    // recorded security refuses this process, it is opened for the changes and set again last,
    // when the OpenedKey goes.
    const bool onlyBelow = have && OwnPartMatches(want, *have);
    std::optional<OpenedKey> writable;
    UniqueHkey readable;
    HKEY key = nullptr;
    LONG status = ERROR_SUCCESS;
    if (onlyBelow) {
        status = OpenKey(parent, want.name, KEY_READ, readable);
        key = readable.get();
    } else {
        writable.emplace(parent, want.name, KEY_READ | KEY_WRITE | READ_CONTROL, path, problems);
        status = writable->status();
        key = writable->get();
    }
    if (status != ERROR_SUCCESS) {
        problems.push_back(path + L": cannot open to restore (" + ErrorText(status) + L")");
        return;
    }
    const std::vector<std::wstring> names = SubkeyNames(key, status);
    if (status != ERROR_SUCCESS) {
        problems.push_back(path + L": cannot list its subkeys (" + ErrorText(status) + L")");
        return;
    }
    for (const std::wstring& name : names) {
        const bool kept =
            std::any_of(want.subkeys.begin(), want.subkeys.end(),
                        [&](const KeyRecord& sub) { return SameName(sub.name, name); });
        if (!kept) {
            DeleteTree(key, name, path + L"\\" + name, problems);
        }
    }
    for (const KeyRecord& sub : want.subkeys) {
        std::optional<std::wstring> current;
        for (const std::wstring& name : names) {
            if (SameName(name, sub.name)) {
                current = name;
            }
        }
        const KeyRecord* now = nullptr;
        if (have && current) {
            for (const KeyRecord& candidate : have->subkeys) {
                if (candidate.name == *current) {
                    now = &candidate;
                }
            }
        }
        RestoreKey(key, current, sub, now, path + L"\\" + sub.name, problems);
    }
    if (!onlyBelow) {
        RestoreValues(key, want.values, path, problems);
    }
}

void CompareKeys(const std::wstring& path, const KeyRecord& want, const KeyRecord& have,
                 Problems& problems) {
    if (want.name != have.name) {
        problems.push_back(path + L": named \"" + have.name + L"\", recorded \"" + want.name +
                           L"\"");
    }
    if (want.security != have.security) {
        problems.push_back(path + L": security is " + have.security + L", recorded " +
                           want.security);
    }
    for (const ValueRecord& value : want.values) {
        const auto found = std::find_if(have.values.begin(), have.values.end(),
                                        [&](const ValueRecord& v) { return SameValue(v, value); });
        if (found == have.values.end()) {
            problems.push_back(path + L": value \"" + value.name + L"\" differs from the record");
        }
    }
    for (const ValueRecord& value : have.values) {
        const bool recorded =
            std::any_of(want.values.begin(), want.values.end(),
                        [&](const ValueRecord& v) { return v.name == value.name; });
        if (!recorded) {
            problems.push_back(path + L": value \"" + value.name + L"\" is not in the record");
        }
    }
    for (const KeyRecord& sub : want.subkeys) {
        const auto found =
            std::find_if(have.subkeys.begin(), have.subkeys.end(),
                         [&](const KeyRecord& k) { return SameName(k.name, sub.name); });
        if (found == have.subkeys.end()) {
            problems.push_back(path + L"\\" + sub.name + L": missing");
        } else {
            CompareKeys(path + L"\\" + sub.name, sub, *found, problems);
        }
    }
    for (const KeyRecord& sub : have.subkeys) {
        const bool recorded =
            std::any_of(want.subkeys.begin(), want.subkeys.end(),
                        [&](const KeyRecord& k) { return SameName(k.name, sub.name); });
        if (!recorded) {
            problems.push_back(path + L"\\" + sub.name + L": is not in the record");
        }
    }
}

// ---- The snapshot file --------------------------------------------------------------------

constexpr const char* kHeader = "kit_guard snapshot 2";
// Written before snapshots said whose HKEY_CURRENT_USER they hold.
constexpr const char* kOldHeader = "kit_guard snapshot 1";

std::string Hex(const BYTE* bytes, std::size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    if (size == 0) {
        return "-";
    }
    std::string text;
    text.reserve(size * 2);
    for (std::size_t index = 0; index < size; ++index) {
        text += kDigits[bytes[index] >> 4];
        text += kDigits[bytes[index] & 15];
    }
    return text;
}

// UTF-16 code units, four digits each: any name survives, unpaired surrogates included.
std::string HexText(const std::wstring& text) {
    if (text.empty()) {
        return "-";
    }
    std::string hex;
    char unit[5];
    for (const wchar_t c : text) {
        std::snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(c));
        hex += unit;
    }
    return hex;
}

int Digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::optional<std::vector<BYTE>> ParseHex(const std::string& text) {
    std::vector<BYTE> bytes;
    if (text == "-") {
        return bytes;
    }
    if (text.empty() || text.size() % 2 != 0) {
        return std::nullopt;
    }
    for (std::size_t index = 0; index < text.size(); index += 2) {
        const int high = Digit(text[index]);
        const int low = Digit(text[index + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<BYTE>(high * 16 + low));
    }
    return bytes;
}

std::optional<std::wstring> ParseHexText(const std::string& text) {
    const std::optional<std::vector<BYTE>> bytes = ParseHex(text);
    if (!bytes || bytes->size() % 2 != 0) {
        return std::nullopt;
    }
    std::wstring result;
    for (std::size_t index = 0; index < bytes->size(); index += 2) {
        result += static_cast<wchar_t>((*bytes)[index] << 8 | (*bytes)[index + 1]);
    }
    return result;
}

std::uint64_t Checksum(const std::string& text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

std::string ChecksumText(std::uint64_t hash) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

void SerializeKey(const KeyRecord& key, int depth, std::string& out) {
    out += "key " + std::to_string(depth) + " " + HexText(key.name) + " " + HexText(key.security) +
           "\n";
    for (const ValueRecord& value : key.values) {
        out += "value " + HexText(value.name) + " " + std::to_string(value.type) + " " +
               Hex(value.data.data(), value.data.size()) + "\n";
    }
    for (const KeyRecord& sub : key.subkeys) {
        SerializeKey(sub, depth + 1, out);
    }
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (start <= line.size()) {
        const std::size_t end = std::min(line.find(' ', start), line.size());
        fields.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return fields;
}

std::optional<unsigned long> ParseNumber(const std::string& text) {
    if (text.empty() || text.size() > 10 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    const unsigned long long number = std::stoull(text);
    if (number > 0xffffffffull) {
        return std::nullopt;
    }
    return static_cast<unsigned long>(number);
}

// ---- Dump ---------------------------------------------------------------------------------

std::string Escaped(const std::wstring& text) {
    std::string out;
    char unit[8];
    for (const wchar_t c : text) {
        if (c >= 0x20 && c < 0x7f && c != L'\\' && c != L'"') {
            out += static_cast<char>(c);
        } else {
            std::snprintf(unit, sizeof unit, "\\u%04x", static_cast<unsigned>(c));
            out += unit;
        }
    }
    return out;
}

// Key names hold no backslash: the separators are kept as they are.
std::string EscapedPath(const std::wstring& path) {
    std::string out;
    std::size_t start = 0;
    for (std::size_t cut = path.find(L'\\'); cut != std::wstring::npos;
         cut = path.find(L'\\', start)) {
        out += Escaped(path.substr(start, cut - start)) + "\\";
        start = cut + 1;
    }
    return out + Escaped(path.substr(start));
}

void RenderKey(const std::string& path, const KeyRecord& key, std::string& out) {
    out += "[" + path + "]\n";
    out += "security=" + Escaped(key.security) + "\n";
    std::vector<const ValueRecord*> values;
    for (const ValueRecord& value : key.values) {
        values.push_back(&value);
    }
    std::sort(values.begin(), values.end(), [](const ValueRecord* a, const ValueRecord* b) {
        return NameLess(a->name, b->name);
    });
    for (const ValueRecord* value : values) {
        out += "\"" + Escaped(value->name) + "\"=" + std::to_string(value->type) + ":";
        // Strings as text where that is exact: even length, one terminating NUL, no other.
        const std::size_t units = value->data.size() / 2;
        std::wstring text(units, L'\0');
        std::copy(value->data.begin(), value->data.begin() + units * 2,
                  reinterpret_cast<BYTE*>(text.data()));
        const bool isText = (value->type == REG_SZ || value->type == REG_EXPAND_SZ) &&
                            value->data.size() % 2 == 0 && units > 0 && text.back() == L'\0' &&
                            text.find(L'\0') == units - 1;
        if (isText) {
            text.pop_back();
            out += "\"" + Escaped(text) + "\"\n";
        } else {
            out += Hex(value->data.data(), value->data.size()) + "\n";
        }
    }
    std::vector<const KeyRecord*> subkeys;
    for (const KeyRecord& sub : key.subkeys) {
        subkeys.push_back(&sub);
    }
    std::sort(subkeys.begin(), subkeys.end(),
              [](const KeyRecord* a, const KeyRecord* b) { return NameLess(a->name, b->name); });
    for (const KeyRecord* sub : subkeys) {
        RenderKey(path + "\\" + Escaped(sub->name), *sub, out);
    }
}

// ---- Files --------------------------------------------------------------------------------

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

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

// A new file only: one that is there keeps its own security, whatever `sddl` says.
UniqueKernelHandle CreateNewFile(const std::wstring& path, const wchar_t* sddl) {
    std::optional<LocalSecurity> security;
    if (sddl) {
        security.emplace(sddl);
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, security ? security->get() : nullptr, FALSE};
    return UniqueKernelHandle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Writes beside `path` first and renames it into place only when all of it is on disk; over
// a file already there only when `replace`.
bool WriteFileAtomically(const std::wstring& path, const std::string& bytes, bool replace,
                         const wchar_t* sddl = nullptr) {
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

// ---- Who may have written a file ---------------------------------------------------------

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

// The user that Wine reports as the owner of every file in `folder` (see above); none where
// owners are kept.
std::vector<BYTE> OwnerStandIn(const std::wstring& folder) {
    return FileOwnersAreKept(folder) ? std::vector<BYTE>() : ProcessUser();
}

// What changes a file or a folder: a folder's FILE_DELETE_CHILD deletes or renames what is in
// it ("delete child permission in the parent directory", MoveFileEx's remarks,
// learn.microsoft.com/windows/win32/api/winbase/nf-winbase-movefileexw).
constexpr ACCESS_MASK kWrites = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | WRITE_DAC |
                                WRITE_OWNER | DELETE | GENERIC_WRITE | GENERIC_ALL |
                                MAXIMUM_ALLOWED;
// Why the file or folder open as `handle` may have been written or planted by someone other
// than an administrator, the system or TrustedInstaller, or be open to `writes` by another;
// nothing when it cannot. `standIn` counts as an administrator (OwnerStandIn). With
// `passedOn`, what a folder's entries pass to what is made in it later counts as well.
std::optional<std::wstring> Untrusted(HANDLE handle, const std::vector<BYTE>& standIn,
                                      ACCESS_MASK writes = kWrites, bool passedOn = false) {
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
               // NT SERVICE\TrustedInstaller (winnt.h's SECURITY_TRUSTED_INSTALLER_RID1-5), as
               // which no unelevated process runs; assumed, not seen here, to be let write the
               // folders made under Program Files.
               SidText(sid) == L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464" ||
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

// Opens a file or folder as it is, a link itself rather than what it points to.
UniqueKernelHandle OpenAsIs(const std::wstring& path, DWORD access) {
    return UniqueKernelHandle(CreateFileW(
        path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// The snapshot's bytes, read only from a file that nobody but an administrator or the
// system can have written; else `why` says what is wrong with it.
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

bool IsLink(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// A link anywhere from `path` up to `top` (both included) could lead a removal elsewhere.
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

// The state folder, made for administrators and the system only when missing; one that is
// there must be a plain folder that an administrator or the system owns.
int PrepareStateFolder(const std::wstring& dir, bool create, Problems& problems) {
    if (create) {
        const LocalSecurity security(kGuardedFolder);
        SECURITY_ATTRIBUTES attributes{sizeof attributes, security.get(), FALSE};
        if (CreateDirectoryW(dir.c_str(), &attributes)) {
            return kOk;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            problems.push_back(dir + L": cannot create (" +
                               ErrorText(static_cast<LONG>(GetLastError())) + L")");
            return kFailed;
        }
    }
    const UniqueKernelHandle folder = OpenAsIs(dir, READ_CONTROL | FILE_READ_ATTRIBUTES);
    BY_HANDLE_FILE_INFORMATION information{};
    if (folder.get() == INVALID_HANDLE_VALUE ||
        !GetFileInformationByHandle(folder.get(), &information)) {
        problems.push_back(dir + L": cannot open (" + ErrorText(static_cast<LONG>(GetLastError())) +
                           L")");
        return kFailed;
    }
    // Wine shows a Unix link by its path only, not through a handle.
    const DWORD attributes = GetFileAttributesW(dir.c_str());
    if ((information.dwFileAttributes | attributes) & FILE_ATTRIBUTE_REPARSE_POINT) {
        problems.push_back(dir + L": a link (reparse point), not followed; refused");
        return kRefused;
    }
    if (!(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        problems.push_back(dir + L": not a folder; refused");
        return kRefused;
    }
    if (const std::optional<std::wstring> untrusted =
            Untrusted(folder.get(), OwnerStandIn(ParentOf(dir)))) {
        problems.push_back(dir + L": made by someone else: it is " + *untrusted + L"; refused");
        return kRefused;
    }
    return kOk;
}

constexpr const char* kLockHeader = "kit_guard lock 1";

std::optional<RunOwner> ParseLock(const std::string& text) {
    const std::string head = std::string(kLockHeader) + "\n";
    if (text.size() <= head.size() || text.compare(0, head.size(), head) != 0 ||
        text.back() != '\n') {
        return std::nullopt;
    }
    const std::vector<std::string> fields =
        Fields(text.substr(head.size(), text.size() - head.size() - 1));
    if (fields.size() != 2) {
        return std::nullopt;
    }
    const std::optional<unsigned long> pid = ParseNumber(fields[0]);
    const std::optional<std::vector<BYTE>> created = ParseHex(fields[1]);
    if (!pid || !created || created->size() != 8) {
        return std::nullopt;
    }
    RunOwner owner{static_cast<DWORD>(*pid), 0};
    for (const BYTE byte : *created) {
        owner.created = owner.created << 8 | byte;
    }
    return owner;
}

std::string LockText(const RunOwner& owner) {
    BYTE created[8];
    for (int index = 0; index < 8; ++index) {
        created[index] = static_cast<BYTE>(owner.created >> (56 - 8 * index));
    }
    return std::string(kLockHeader) + "\n" + std::to_string(owner.pid) + " " + Hex(created, 8) +
           "\n";
}

// The run that the lock's text names, while it is still under way.
std::optional<RunOwner> LiveHolderOf(const std::optional<std::string>& text) {
    const std::optional<RunOwner> holder = text ? ParseLock(*text) : std::nullopt;
    if (!holder) {
        return std::nullopt;
    }
    const std::optional<RunOwner> now = LiveProcess(holder->pid);
    // A creation time that cannot be read counts as the same: better a refused run than two.
    if (!now || (now->created != 0 && now->created != holder->created)) {
        return std::nullopt;
    }
    return holder;
}

std::optional<RunOwner> LiveHolder(const std::wstring& lock) {
    return LiveHolderOf(ReadFileBytes(lock));
}

std::optional<RunOwner> LiveHolder(HANDLE lock) {
    std::string bytes;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(lock, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        bytes.append(buffer, read);
    }
    return LiveHolderOf(bytes);
}

bool SameOwner(const RunOwner& a, const RunOwner& b) {
    return a.pid == b.pid && a.created == b.created;
}

}  // namespace

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

namespace {

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

// Deletes a folder and what it holds; a link inside is removed itself, never followed, and a
// folder that is itself a link is left alone. `failed` names the first thing that stays.
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

// ---- Public -------------------------------------------------------------------------------

void WatchTouches(TouchWatch watch) {
    g_watch = watch;
}

Scope KitScope() {
    Scope scope;
    for (const wchar_t* hive : {L"HKLM", L"HKCU"}) {
        for (const std::wstring& key : TouchedClassKeys()) {
            scope.keys.push_back(std::wstring(hive) + L"\\Software\\Classes\\" + key);
        }
    }
    scope.keys.push_back(L"HKCU\\Software\\MarblefinchTests");
    const std::wstring programFiles = EnvironmentVariable(L"ProgramFiles");
    if (!programFiles.empty()) {
        scope.folder = programFiles + L"\\" + kStandInFolderName;
    }
    return scope;
}

namespace {

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

// The backup, restore and take-ownership privileges only for as long as a command needs them,
// so that no suite, nor the tool a suite starts, is started while they are enabled.
class Privileged {
  public:
    Privileged() { SetPrivileges(SE_PRIVILEGE_ENABLED); }
    ~Privileged() { SetPrivileges(0); }
    Privileged(const Privileged&) = delete;
    Privileged& operator=(const Privileged&) = delete;
};

}  // namespace

Snapshot Take(const Scope& scope, Problems& problems, bool mayLift) {
    Snapshot snapshot;
    ParentNames parents;
    std::vector<RootRecord> roots;
    for (const std::wstring& full : scope.keys) {
        const std::size_t cut = full.find(L'\\');
        const std::wstring hiveName = full.substr(0, cut);
        const HKEY hive = HiveKey(hiveName);
        if (!hive || cut == std::wstring::npos) {
            problems.push_back(full + L": not below HKLM or HKCU");
            continue;
        }
        std::wstring path = full.substr(cut + 1);
        // A parent that cannot be listed is named in `problems`, which fails the save.
        const auto exists = [&](const std::wstring& key) {
            bool listed = true;
            return parents.Find(hive, hiveName, ParentOf(key), LeafOf(key), problems, listed)
                .has_value();
        };
        // An absent key is recorded as its highest absent ancestor, so that restore also
        // removes the parents a test created for it; but never a class itself or anything
        // above one (Software\\Classes\\NAME), which restore would refuse as not guarded.
        if (!exists(path)) {
            while (Depth(ParentOf(path)) > 3 && !exists(ParentOf(path))) {
                path = ParentOf(path);
            }
        }
        roots.push_back({hiveName, ParentOf(path), LeafOf(path), std::nullopt});
    }
    // A root below another root is saved with it.
    const auto covers = [](const RootRecord& outer, const RootRecord& inner) {
        if (outer.hive != inner.hive) {
            return false;
        }
        const std::wstring a = outer.parent + L"\\" + outer.name;
        const std::wstring b = inner.parent + L"\\" + inner.name;
        return SameName(a, b) ? &outer < &inner
                              : b.size() > a.size() && b[a.size()] == L'\\' &&
                                    SameName(a, b.substr(0, a.size()));
    };
    for (const RootRecord& root : roots) {
        const bool covered = std::any_of(roots.begin(), roots.end(), [&](const RootRecord& other) {
            return &other != &root && covers(other, root);
        });
        if (!covered) {
            snapshot.roots.push_back(ReadRootWith(root, parents, problems, mayLift));
            // Record the name as given when absent, as stored when present.
            if (snapshot.roots.back().key) {
                snapshot.roots.back().name = snapshot.roots.back().key->name;
            }
        }
    }
    snapshot.folder = scope.folder;
    snapshot.folderExisted = !scope.folder.empty() && FileExists(scope.folder);
    const std::vector<BYTE> user = ProcessUser();
    if (user.empty()) {
        problems.push_back(L"cannot tell whose HKEY_CURRENT_USER this is");
    } else {
        snapshot.user = SidText(const_cast<BYTE*>(user.data()));
    }
    return snapshot;
}

RootRecord ReadRoot(const RootRecord& root, Problems& problems, bool mayLift) {
    ParentNames parents;
    return ReadRootWith(root, parents, problems, mayLift);
}

void Compare(const RootRecord& want, const RootRecord& have, Problems& problems) {
    const std::wstring path = RootPath(want);
    if (want.key && !have.key) {
        problems.push_back(path + L": missing");
    } else if (!want.key && have.key) {
        problems.push_back(path + L": present, recorded absent");
    } else if (want.key && have.key) {
        CompareKeys(path, *want.key, *have.key, problems);
    }
}

void Restore(const Snapshot& snapshot, Problems& problems) {
    ParentNames parents;
    for (const RootRecord& root : snapshot.roots) {
        const std::wstring path = RootPath(root);
        const HKEY hive = HiveKey(root.hive);
        bool listed = true;
        const std::optional<std::wstring> stored =
            parents.Find(hive, root.hive, root.parent, root.name, problems, listed);
        if (!listed || (!root.key && !stored)) {
            continue;
        }
        // Read as it is first, opening nothing up: a root that matches is left alone.
        std::optional<KeyRecord> have;
        if (root.key && stored) {
            UniqueHkey reader;
            Problems unreadable;
            if (OpenKey(hive, root.parent, KEY_ENUMERATE_SUB_KEYS, reader) == ERROR_SUCCESS) {
                have = ReadTree(reader.get(), *stored, path, false, unreadable);
            }
            if (!unreadable.empty()) {
                have.reset();
            }
            if (have && Matches(*root.key, *have)) {
                continue;
            }
        }
        UniqueHkey parent;
        LONG status = OpenKey(hive, root.parent, KEY_READ | KEY_WRITE, parent);
        if (status == ERROR_FILE_NOT_FOUND && root.key) {
            status = RegCreateKeyExW(hive, root.parent.c_str(), 0, nullptr, 0,
                                     KEY_READ | KEY_WRITE | kView, nullptr, parent.put(), nullptr);
        }
        if (status != ERROR_SUCCESS) {
            problems.push_back(path + L": cannot open its parent (" + ErrorText(status) + L")");
            continue;
        }
        if (root.key) {
            RestoreKey(parent.get(), stored, *root.key, have ? &*have : nullptr, path, problems);
        } else {
            DeleteTree(parent.get(), *stored, path, problems);
        }
    }
    // What counts is what is there now: read every root again.
    parents.Forget();
    for (const RootRecord& root : snapshot.roots) {
        Compare(root, ReadRootWith(root, parents, problems), problems);
    }
}

std::string Serialize(const Snapshot& snapshot) {
    std::string out = std::string(kHeader) + "\n";
    out += "user " + HexText(snapshot.user) + "\n";
    out += "folder " + std::string(snapshot.folderExisted ? "1" : "0") + " " +
           HexText(snapshot.folder) + "\n";
    for (const RootRecord& root : snapshot.roots) {
        out += "root " + HexText(root.hive) + " " + HexText(root.parent) + " " +
               HexText(root.name) + (root.key ? " present\n" : " absent\n");
        if (root.key) {
            SerializeKey(*root.key, 0, out);
        }
    }
    out += "end " + ChecksumText(Checksum(out)) + "\n";
    return out;
}

std::optional<Snapshot> Parse(const std::string& text, std::wstring& error) {
    const auto fail = [&](std::size_t line, const wchar_t* what) {
        error = L"line " + std::to_wstring(line) + L": " + what;
        return std::nullopt;
    };
    const std::size_t endLine = text.rfind("end ");
    if (endLine == std::string::npos || (endLine != 0 && text[endLine - 1] != '\n') ||
        text.back() != '\n') {
        error = L"no end line: cut off";
        return std::nullopt;
    }
    if (text.substr(endLine) != "end " + ChecksumText(Checksum(text.substr(0, endLine))) + "\n") {
        error = L"checksum does not match: damaged";
        return std::nullopt;
    }
    Snapshot snapshot;
    // The open keys of the current root, one per depth.
    std::vector<KeyRecord*> open;
    bool sawFolder = false;
    std::size_t number = 0;
    std::size_t start = 0;
    while (start < endLine) {
        const std::size_t stop = text.find('\n', start);
        const std::string line = text.substr(start, stop - start);
        start = stop + 1;
        ++number;
        const std::vector<std::string> fields = Fields(line);
        if (number == 1) {
            if (line == kOldHeader) {
                return fail(number,
                            L"an older snapshot that does not say whose HKEY_CURRENT_USER "
                            L"it holds");
            }
            if (line != kHeader) {
                return fail(number, L"not a kit_guard snapshot");
            }
            continue;
        }
        if (number == 2) {
            const std::optional<std::wstring> user =
                fields.size() == 2 && fields[0] == "user" ? ParseHexText(fields[1]) : std::nullopt;
            if (!user || user->empty()) {
                return fail(number, L"no user recorded");
            }
            snapshot.user = *user;
            continue;
        }
        if (fields[0] == "folder" && fields.size() == 3 && !sawFolder &&
            (fields[1] == "0" || fields[1] == "1")) {
            const std::optional<std::wstring> folder = ParseHexText(fields[2]);
            if (!folder) {
                return fail(number, L"bad folder");
            }
            snapshot.folder = *folder;
            snapshot.folderExisted = fields[1] == "1";
            sawFolder = true;
        } else if (fields[0] == "root" && fields.size() == 5 && sawFolder) {
            if (!snapshot.roots.empty() && snapshot.roots.back().key && open.empty()) {
                return fail(number, L"present root without its key");
            }
            const std::optional<std::wstring> hive = ParseHexText(fields[1]);
            const std::optional<std::wstring> parent = ParseHexText(fields[2]);
            const std::optional<std::wstring> name = ParseHexText(fields[3]);
            if (!hive || !HiveKey(*hive) || !parent || !name || name->empty() ||
                (fields[4] != "present" && fields[4] != "absent")) {
                return fail(number, L"bad root");
            }
            snapshot.roots.push_back({*hive, *parent, *name, std::nullopt});
            if (fields[4] == "present") {
                snapshot.roots.back().key.emplace();
            }
            open.clear();
        } else if (fields[0] == "key" && fields.size() == 4 && !snapshot.roots.empty() &&
                   snapshot.roots.back().key) {
            const std::optional<unsigned long> depth = ParseNumber(fields[1]);
            const std::optional<std::wstring> name = ParseHexText(fields[2]);
            const std::optional<std::wstring> security = ParseHexText(fields[3]);
            if (!depth || *depth > open.size() || (*depth == 0) != open.empty() || !name ||
                name->empty() || !security || !LocalSecurity(*security).get()) {
                return fail(number, L"bad key");
            }
            open.resize(*depth);
            KeyRecord* key = nullptr;
            if (open.empty()) {
                key = &*snapshot.roots.back().key;
            } else {
                open.back()->subkeys.emplace_back();
                key = &open.back()->subkeys.back();
            }
            key->name = *name;
            key->security = *security;
            open.push_back(key);
        } else if (fields[0] == "value" && fields.size() == 4 && !open.empty()) {
            const std::optional<std::wstring> name = ParseHexText(fields[1]);
            const std::optional<unsigned long> type = ParseNumber(fields[2]);
            const std::optional<std::vector<BYTE>> data = ParseHex(fields[3]);
            if (!name || !type || !data) {
                return fail(number, L"bad value");
            }
            open.back()->values.push_back({*name, static_cast<DWORD>(*type), *data});
        } else {
            return fail(number, L"unexpected line");
        }
    }
    if (!sawFolder || (!snapshot.roots.empty() && snapshot.roots.back().key && open.empty())) {
        return fail(number, L"incomplete");
    }
    return snapshot;
}

std::string Render(const std::wstring& path, const KeyRecord& key) {
    std::string out;
    RenderKey(EscapedPath(path), key, out);
    return out;
}

int ElevatedCommand(Problems& problems) {
    // What the run needs is the Administrators group enabled in its token. CheckTokenMembership
    // counts a SID only "if the SID is present and has the SE_GROUP_ENABLED attribute"
    // (learn.microsoft.com/windows/win32/api/securitybaseapi/nf-securitybaseapi-
    // checktokenmembership); under UAC a token that was not elevated holds the group for deny
    // only, if at all (assumed: no Microsoft reference page found says which). TokenIsElevated
    // is not asked: where UAC is off (as on hosted runners: "configured to run as administrators
    // with User Account Control (UAC) disabled", docs.github.com/en/actions/reference/runners/
    // github-hosted-runners) an administrator's token is assumed not split, and no page says
    // that it then counts as elevated.
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    BOOL member = FALSE;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &sidSize) ||
        !CheckTokenMembership(nullptr, sid, &member)) {
        problems.push_back(L"cannot read this process's token (" + ErrorText(GetLastError()) +
                           L")");
        return kFailed;
    }
    if (!member) {
        problems.push_back(
            L"not elevated: run this from a command prompt started with \"Run as "
            L"administrator\", as a member of Administrators");
        return kFailed;
    }
    return kOk;
}

int SaveCommand(const std::wstring& file, const Scope& scope, Problems& problems) {
    if (FileExists(file)) {
        problems.push_back(file + L": a snapshot is already there; restore it first");
        return kRefused;
    }
    const Privileged privileged;
    const Snapshot snapshot = Take(scope, problems);
    if (!problems.empty()) {
        return kFailed;
    }
    // Never over another run's snapshot, one that appeared since the check above.
    if (!WriteFileAtomically(file, Serialize(snapshot), false, kGuardedFile)) {
        const DWORD error = GetLastError();
        problems.push_back(
            file + (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS
                        ? std::wstring(L": another run wrote a snapshot meanwhile; "
                                       L"it is kept, this one is not written")
                        : L": cannot write (" + ErrorText(static_cast<LONG>(error)) + L")"));
        return kFailed;
    }
    return kOk;
}

namespace {

// The snapshot in `file`, if it is one that save wrote on this machine for this user: only
// the guarded keys, or keys below them, and the stand-in's folder. Anything else was planted.
std::optional<Snapshot> LoadSnapshot(const std::wstring& file, Problems& problems) {
    std::wstring why;
    const std::optional<std::string> bytes = ReadGuardedFile(file, why);
    if (!bytes) {
        problems.push_back(file + L": " + why);
        return std::nullopt;
    }
    std::wstring error;
    std::optional<Snapshot> snapshot = Parse(*bytes, error);
    if (!snapshot) {
        problems.push_back(file + L": not a usable snapshot, nothing changed: " + error);
        return std::nullopt;
    }
    const Scope kit = KitScope();
    for (const RootRecord& root : snapshot->roots) {
        const std::wstring path = RootPath(root);
        const bool guarded = std::any_of(kit.keys.begin(), kit.keys.end(), [&](const auto& key) {
            return SameName(path, key) || (path.size() > key.size() && path[key.size()] == L'\\' &&
                                           SameName(path.substr(0, key.size()), key));
        });
        if (!guarded) {
            problems.push_back(file + L": names " + path +
                               L", which the kit does not guard; refused, nothing changed");
            return std::nullopt;
        }
    }
    // HKEY_CURRENT_USER is another user's hive when the user differs.
    const std::vector<BYTE> user = ProcessUser();
    const std::wstring current =
        user.empty() ? L"(unknown)" : SidText(const_cast<BYTE*>(user.data()));
    if (snapshot->user != current) {
        problems.push_back(file + L": saved for user " + snapshot->user + L", but this is user " +
                           current + L"; refused, nothing changed");
        return std::nullopt;
    }
    if (snapshot->folder != kit.folder) {
        problems.push_back(file + L": names the folder " + snapshot->folder + L", not " +
                           kit.folder + L"; refused, nothing changed");
        return std::nullopt;
    }
    return snapshot;
}

// The stand-in's folder is there now, and was not when the snapshot was taken.
bool FolderAdded(const Snapshot& snapshot) {
    return !snapshot.folderExisted && !snapshot.folder.empty() && FileExists(snapshot.folder);
}

}  // namespace

int RestoreCommand(const std::wstring& file, Problems& problems) {
    const std::optional<Snapshot> snapshot = LoadSnapshot(file, problems);
    if (!snapshot) {
        return kRefused;
    }
    const Scope kit = KitScope();
    const Privileged privileged;
    Restore(*snapshot, problems);
    if (FolderAdded(*snapshot)) {
        if (LinkOnTheWay(snapshot->folder, ParentOf(kit.folder))) {
            problems.push_back(snapshot->folder +
                               L": it or a folder above it is a link (reparse point): not "
                               L"followed, not removed");
        } else {
            // Explorer, the indexer or a scanner may hold player.exe open for a while, and "a
            // file cannot be deleted until all handles to it are closed" ("Closing and Deleting
            // Files", learn.microsoft.com/windows/win32/fileio/closing-and-deleting-files).
            std::wstring stays;
            for (int tries = 1; !RemoveFolder(snapshot->folder, &stays); ++tries) {
                if (tries == 25) {
                    problems.push_back(snapshot->folder + L": cannot remove it in 5 seconds of " +
                                       L"tries; a program may hold it open: " + stays);
                    break;
                }
                stays.clear();
                Sleep(200);
            }
        }
    }
    if (!problems.empty()) {
        problems.push_back(file + L": kept, for another try");
        return kFailed;
    }
    if (!DeleteFileW(file.c_str())) {
        problems.push_back(file + L": restored, but cannot delete it (" +
                           ErrorText(GetLastError()) + L")");
        return kFailed;
    }
    return kOk;
}

int DifferencesCommand(const std::wstring& file, Problems& differences, Problems& problems) {
    const std::optional<Snapshot> snapshot = LoadSnapshot(file, problems);
    if (!snapshot) {
        return kRefused;
    }
    // Read only: a key that refuses reading is named, never opened up, so that this changes
    // nothing, not even a DACL for a moment.
    const Privileged privileged;
    for (const RootRecord& root : snapshot->roots) {
        Problems unreadable;
        const RootRecord now = ReadRoot(root, unreadable, false);
        for (const std::wstring& key : unreadable) {
            differences.push_back(key + L"; it may differ");
        }
        if (unreadable.empty()) {
            Compare(root, now, differences);
        }
    }
    if (FolderAdded(*snapshot)) {
        differences.push_back(snapshot->folder + L": present, recorded absent");
    }
    return problems.empty() ? kOk : kFailed;
}

int DumpCommand(const std::wstring& file, bool whole, Problems& problems) {
    const Privileged privileged;
    // Read only: a key that refuses reading is named, not opened up.
    std::vector<RootRecord> roots;
    if (whole) {
        for (const wchar_t* hive : {L"HKLM", L"HKCU"}) {
            roots.push_back(
                ReadRoot({hive, L"Software", L"Classes", std::nullopt}, problems, false));
        }
    } else {
        roots = Take(KitScope(), problems, false).roots;
    }
    std::string out;
    for (const RootRecord& root : roots) {
        const std::string path = EscapedPath(RootPath(root));
        if (root.key) {
            RenderKey(path, *root.key, out);
        } else {
            out += "[" + path + "]\nabsent\n";
        }
    }
    if (!problems.empty()) {
        return kFailed;
    }
    if (!WriteFileAtomically(file, out, true)) {
        problems.push_back(file + L": cannot write (" + ErrorText(GetLastError()) + L")");
        return kFailed;
    }
    return kOk;
}

}  // namespace mf::kit

namespace mf::kit {

std::optional<RunOwner> LiveProcess(DWORD pid) {
    const UniqueKernelHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid));
    if (!process) {
        // No such process; any other refusal means it is there but closed to us.
        if (GetLastError() == ERROR_INVALID_PARAMETER) {
            return std::nullopt;
        }
        return RunOwner{pid, 0};
    }
    // A process that ended lingers while anything holds a handle to it.
    if (WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) {
        return std::nullopt;
    }
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) {
        return RunOwner{pid, 0};
    }
    return RunOwner{pid, std::uint64_t{created.dwHighDateTime} << 32 | created.dwLowDateTime};
}

int LockCommand(const std::wstring& dir, const RunOwner& owner, Problems& problems) {
    const int prepared = PrepareStateFolder(dir, true, problems);
    if (prepared != kOk) {
        return prepared;
    }
    const std::wstring lock = dir + L"\\run.lock";
    const std::wstring partial = lock + L"." + std::to_wstring(GetCurrentProcessId());
    // Written whole beside it and renamed into place, never over another: of two runs that
    // start together, one takes the lock.
    for (int attempt = 0; attempt < 3; ++attempt) {
        DeleteFileW(partial.c_str());
        {
            const std::string text = LockText(owner);
            const UniqueKernelHandle file = CreateNewFile(partial, kGuardedFile);
            DWORD written = 0;
            if (file.get() == INVALID_HANDLE_VALUE ||
                !WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                           nullptr) ||
                written != text.size()) {
                problems.push_back(lock + L": cannot write (" +
                                   ErrorText(static_cast<LONG>(GetLastError())) + L")");
                DeleteFileW(partial.c_str());
                return kFailed;
            }
        }
        if (MoveFileExW(partial.c_str(), lock.c_str(), MOVEFILE_WRITE_THROUGH)) {
            return kOk;
        }
        DeleteFileW(partial.c_str());
        // Opened for nobody else: a lock that another process has open may be being taken
        // over by it, so it counts as live; and the one read here is the one deleted.
        const UniqueKernelHandle held(CreateFileW(lock.c_str(), GENERIC_READ | DELETE, 0, nullptr,
                                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                                  nullptr));
        if (held.get() == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND) {
                continue;
            }
            if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) {
                problems.push_back(lock + L": another run has it open");
                return kBusy;
            }
            problems.push_back(lock + L": cannot open (" + ErrorText(static_cast<LONG>(error)) +
                               L")");
            return kFailed;
        }
        const std::optional<RunOwner> holder = LiveHolder(held.get());
        if (holder && SameOwner(*holder, owner)) {
            return kOk;
        }
        if (holder) {
            problems.push_back(L"another run is under way (process " +
                               std::to_wstring(holder->pid) + L")");
            return kBusy;
        }
        // Left by a run that was cut off: deleted as read, then taken over by the rename
        // above, which fails for all but one of the runs that got this far.
        FILE_DISPOSITION_INFO disposition{TRUE};
        if (!SetFileInformationByHandle(held.get(), FileDispositionInfo, &disposition,
                                        sizeof disposition)) {
            problems.push_back(lock + L": cannot delete the stale lock (" +
                               ErrorText(static_cast<LONG>(GetLastError())) + L")");
            return kFailed;
        }
    }
    problems.push_back(lock + L": cannot take it");
    return kFailed;
}

int UnlockCommand(const std::wstring& dir, const RunOwner& owner, Problems& problems) {
    if (!FileExists(dir)) {
        return kOk;
    }
    const int prepared = PrepareStateFolder(dir, false, problems);
    if (prepared != kOk) {
        return prepared;
    }
    const std::wstring lock = dir + L"\\run.lock";
    const std::optional<RunOwner> holder = LiveHolder(lock);
    if (holder && !SameOwner(*holder, owner)) {
        problems.push_back(L"another run is under way (process " + std::to_wstring(holder->pid) +
                           L"); its lock stays");
        return kBusy;
    }
    if (FileExists(lock) && !DeleteFileW(lock.c_str())) {
        problems.push_back(lock + L": cannot delete (" +
                           ErrorText(static_cast<LONG>(GetLastError())) + L")");
        return kFailed;
    }
    // Kept while it holds anything else: a snapshot that could not be restored.
    RemoveDirectoryW(dir.c_str());
    return kOk;
}

}  // namespace mf::kit
