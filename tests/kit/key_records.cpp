#include "kit/key_records.h"

#include <algorithm>
#include <map>
#include <utility>

#include "kit/file_trust.h"
#include "kit/key_access.h"
#include "kit/touched_keys.h"

namespace mf::kit {

namespace {

using win32::UniqueHkey;

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

// Win32 names end at their first NUL, but the native API's are counted: "there is a class of
// names that can be referenced using the Native API, but that cannot be described using the
// Win32 API" (learn.microsoft.com/sysinternals/downloads/reghide). Cut short, such a name would
// open, set or delete another key or value; it is named in `problems` instead.
bool Unnameable(const std::wstring& name, const std::wstring& path, Problems& problems) {
    if (name.find(L'\0') == std::wstring::npos) {
        return false;
    }
    problems.push_back(std::wstring(path.c_str()) + L"<NUL>...: its name holds a NUL character, " +
                       L"which would cut it short: not read or changed by it");
    return true;
}

// Whether `name`, exactly, is no longer listed below `parent` (or the parent went with it). A
// name still listed that cannot be opened by that name is not absent.
bool Unlisted(HKEY parent, const std::wstring& name) {
    LONG status = ERROR_SUCCESS;
    const std::vector<std::wstring> names = SubkeyNames(parent, status);
    return status == ERROR_KEY_DELETED ||
           (status == ERROR_SUCCESS && std::find(names.begin(), names.end(), name) == names.end());
}

// The key and all below it; nothing, and no problem, for a key that is gone when it is read
// (listed, then deleted by another program before it was opened or while it was read): it
// is absent, as a read a moment later would find it, and added to `gone` if given. A key that
// is there and cannot be read is named in `problems`.
std::optional<KeyRecord> ReadTree(HKEY parent, const std::wstring& name, const std::wstring& path,
                                  bool mayLift, Problems& problems, Problems* gone) {
    const auto went = [&] {
        if (gone) {
            gone->push_back(path);
        }
        return std::nullopt;
    };
    if (Unnameable(name, path, problems)) {
        return std::nullopt;
    }
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
    if ((status == ERROR_FILE_NOT_FOUND || status == ERROR_KEY_DELETED) && Unlisted(parent, name)) {
        return went();
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
            return std::nullopt;
        }
        return went();
    }
    record.security = *security;
    bool lost = false;
    for (const std::wstring& child : names) {
        const std::size_t known = problems.size();
        std::optional<KeyRecord> sub =
            ReadTree(key, child, path + L"\\" + child, mayLift, problems, gone);
        if (sub) {
            record.subkeys.push_back(std::move(*sub));
        } else if (problems.size() != known) {
            return std::nullopt;
        }
        lost = lost || !sub;
    }
    // A subkey may have gone with this key: then it is gone as a whole.
    if (lost && Deleted(key)) {
        return went();
    }
    return record;
}

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

RootRecord ReadRootWith(const RootRecord& root, ParentNames& parents, Problems& problems,
                        bool mayLift = true, Problems* gone = nullptr) {
    RootRecord now{root.hive, root.parent, root.name, std::nullopt};
    const HKEY hive = HiveKey(root.hive);
    bool listed = true;
    const std::optional<std::wstring> stored =
        parents.Find(hive, root.hive, root.parent, root.name, problems, listed);
    if (!stored) {
        return now;
    }
    UniqueHkey parent;
    // Listed again should the root be gone when opened: RegQueryInfoKey's key "must have been
    // opened with the KEY_QUERY_VALUE access right" (learn.microsoft.com/windows/win32/api/
    // winreg/nf-winreg-regqueryinfokeyw).
    if (OpenKey(hive, root.parent, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE, parent) !=
        ERROR_SUCCESS) {
        problems.push_back(root.hive + L"\\" + root.parent + L": cannot open");
        return now;
    }
    now.key = ReadTree(parent.get(), *stored, RootPath(root), mayLift, problems, gone);
    return now;
}

void DeleteTree(HKEY parent, const std::wstring& name, const std::wstring& path,
                Problems& problems) {
    if (Unnameable(name, path, problems)) {
        return;
    }
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
        if (recorded(value.name) == want.end() &&
            !Unnameable(value.name, path + L", value \"" + value.name, problems)) {
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
        if ((current != have.end() && SameValue(*current, value)) ||
            Unnameable(value.name, path + L", value \"" + value.name, problems)) {
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
    if ((stored && have && Matches(want, *have)) || Unnameable(want.name, path, problems)) {
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

}  // namespace

std::wstring RootPath(const RootRecord& root) {
    return root.hive + L"\\" + (root.parent.empty() ? L"" : root.parent + L"\\") + root.name;
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

Snapshot Take(const Scope& scope, Problems& problems, bool mayLift, Problems* gone) {
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
            snapshot.roots.push_back(ReadRootWith(root, parents, problems, mayLift, gone));
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
            if (OpenKey(hive, root.parent, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE, reader) ==
                ERROR_SUCCESS) {
                have = ReadTree(reader.get(), *stored, path, false, unreadable, nullptr);
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

}  // namespace mf::kit
