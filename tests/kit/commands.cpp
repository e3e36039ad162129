#include "kit/commands.h"

#include <algorithm>

#include "kit/file_trust.h"
#include "kit/key_access.h"
#include "kit/key_records.h"
#include "kit/snapshot_file.h"

namespace mf::kit {

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

int ElevatedCommand(Problems& problems) {
    // What the run needs is the Administrators group enabled in its token. CheckTokenMembership
    // counts a SID only "if the SID is present and has the SE_GROUP_ENABLED attribute"
    // (learn.microsoft.com/windows/win32/api/securitybaseapi/nf-securitybaseapi-
    // checktokenmembership). Assumed (A20, docs/assumptions.md): under UAC a token that was not
    // elevated holds the group for deny only, if at all; where UAC is off (as on hosted runners:
    // "configured to run as administrators with User Account Control (UAC) disabled",
    // docs.github.com/en/actions/reference/runners/github-hosted-runners) an administrator's
    // token is not split and holds it enabled. TokenIsElevated is not asked: no page says what it
    // gives for such a token.
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
    // Restore deletes what the record lacks. A key gone while it was read tells of changes
    // under the read (a key replaced, or renamed to a name already passed): read once more, and
    // save only a read in which nothing went.
    Problems gone;
    Snapshot snapshot = Take(scope, problems, true, &gone);
    if (problems.empty() && !gone.empty()) {
        gone.clear();
        snapshot = Take(scope, problems, true, &gone);
        for (const std::wstring& key : gone) {
            problems.push_back(key + L": deleted while it was read, twice over; nothing saved");
        }
    }
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

}  // namespace mf::kit
