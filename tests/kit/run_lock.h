// The one-run lock: DIR\run.lock names the process whose run holds it; a lock whose process
// is gone is stale, and taken over.
#pragma once

#include "kit/snapshot.h"

namespace mf::kit {

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
