// Saves and restores registry trees and one folder, so that the Windows suites can run on a
// machine that is kept: what they change in the classes hive is put back afterwards.
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
Scope KitScope();
// The leaf name of the stand-in player's folder; restore removes no other folder.
inline constexpr const wchar_t* kStandInFolderName = L"Marblefinch Pl\u00e5yer \u64ad\u653e\u5668";

// Each key that restore opens for writing or lifts past its DACL, with the DACL it is lifted
// to (empty for a plain open for writing); null for none. Lets the tests see what is touched.
using TouchWatch = void (*)(const std::wstring& path, const std::wstring& liftedDacl);
void WatchTouches(TouchWatch watch);

// Reads the current state. A guarded key that is absent is recorded as its highest absent
// ancestor below the hive's first level, so that restore also removes parents a test created.
// A key deleted by another program while it is read is recorded absent. Without `mayLift`,
// as ReadRoot.
Snapshot Take(const Scope& scope, Problems& problems, bool mayLift = true);
// Reads `root`'s key again, as it is now; without `mayLift`, a key that refuses reading is
// named in `problems` rather than opened up past its DACL for the moment.
RootRecord ReadRoot(const RootRecord& root, Problems& problems, bool mayLift = true);
// Puts every root back as recorded, touching only what differs, then reads them again and
// names each key that still differs.
void Restore(const Snapshot& snapshot, Problems& problems);
// Differences between a recorded root and the same root as read now.
void Compare(const RootRecord& want, const RootRecord& have, Problems& problems);

std::string Serialize(const Snapshot& snapshot);
std::optional<Snapshot> Parse(const std::string& text, std::wstring& error);

// Text of a tree sorted by name without regard to case; stable byte for byte.
std::string Render(const std::wstring& path, const KeyRecord& key);

// Deletes a folder and what it holds; a link inside is removed itself, never followed, and a
// folder that is itself a link is left alone. `failed` names the first thing that stays.
bool RemoveFolder(const std::wstring& folder, std::wstring* failed = nullptr);
// Why others than administrators, SYSTEM and TrustedInstaller may change the kit in `kit`: it,
// tests\ or a file in either is a link or lets another write it; or a folder above lets another
// rename it or rewrite a DACL. Nothing when none does.
std::optional<std::wstring> OpenToOthers(const std::wstring& kit);
// Writes a file whole, over one that is there. A new file's DACL comes from its folder.
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
// A path's folder, and its last part.
std::wstring ParentOf(const std::wstring& path);
std::wstring LeafOf(const std::wstring& path);
// A file's bytes; nothing when it cannot be read.
std::optional<std::string> ReadFileBytes(const std::wstring& path);
// An environment variable's value, empty when it is not set.
std::wstring EnvironmentVariable(const wchar_t* name);

// The commands of kit_guard.
int ElevatedCommand(Problems& problems);
int SaveCommand(const std::wstring& file, const Scope& scope, Problems& problems);
int RestoreCommand(const std::wstring& file, Problems& problems);
// Names in `differences` each guarded key that differs now from the snapshot in `file`, which
// must be one that restore would take; changes nothing.
int DifferencesCommand(const std::wstring& file, Problems& differences, Problems& problems);
// Writes the guarded keys of KitScope() (a key that is absent as such), or with `whole` both
// classes halves, each key with its security, as Render does; changes nothing.
int DumpCommand(const std::wstring& file, bool whole, Problems& problems);

// A process as a lock names it: its id and its creation time, which tells it from a later
// process that was given the same id.
struct RunOwner {
    DWORD pid = 0;
    std::uint64_t created = 0;
};
// `pid` as it is now, if it is alive.
std::optional<RunOwner> LiveProcess(DWORD pid);

// Takes DIR\run.lock for `owner`, making DIR (administrators and SYSTEM only) if missing:
// kBusy when the lock names another live process, kRefused when DIR is not ours.
int LockCommand(const std::wstring& dir, const RunOwner& owner, Problems& problems);
// Drops `owner`'s lock (or a stale one), then DIR if it is empty: kBusy when the lock names
// another live process.
int UnlockCommand(const std::wstring& dir, const RunOwner& owner, Problems& problems);

}  // namespace mf::kit
