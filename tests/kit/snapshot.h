// What a snapshot holds: the guarded registry trees and one folder, saved so that the Windows
// suites can run on a machine that is kept and what they change in the classes hive is put back.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mf::kit {

struct ValueRecord {
    std::wstring name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct KeyRecord {
    std::wstring name;  // as stored, case included
    // SDDL of owner, group and DACL, with the DACL's control flags (protected, auto-inherited).
    std::wstring security;
    std::vector<ValueRecord> values;
    std::vector<KeyRecord> subkeys;
};

// One guarded key: `name` below `parent` in `hive` ("HKLM" or "HKCU"); no `key` when absent.
struct RootRecord {
    std::wstring hive;
    std::wstring parent;
    std::wstring name;
    std::optional<KeyRecord> key;
};

struct Snapshot {
    // SID of the user whose HKEY_CURRENT_USER was read; restore writes only to the same one.
    std::wstring user;
    std::vector<RootRecord> roots;
    std::wstring folder;
    bool folderExisted = false;
};

// What to guard: keys as "HKLM\\Software\\Classes\\.mp3", and a folder that the suites create.
struct Scope {
    std::vector<std::wstring> keys;
    std::wstring folder;
};

// One line per problem, each naming the key or file it concerns.
using Problems = std::vector<std::wstring>;

// Exit codes of the commands.
inline constexpr int kOk = 0;
inline constexpr int kFailed = 1;
inline constexpr int kRefused = 2;
inline constexpr int kBusy = 4;

// The classes keys the suites touch, in both halves, the tests' own key, the stand-in's folder.
// What the shell records of the files opened lies outside them (assumed: A24, docs/assumptions.md).
Scope KitScope();
// The leaf name of the stand-in player's folder; restore removes no other folder.
inline constexpr const wchar_t* kStandInFolderName = L"Marblefinch Pl\u00e5yer \u64ad\u653e\u5668";

inline std::wstring ErrorText(LONG code) {
    return L"error " + std::to_wstring(code);
}
inline bool SameName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace mf::kit
