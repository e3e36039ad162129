// The registry records: the guarded keys read, compared with a record, and put back as
// recorded.
#pragma once

#include "kit/snapshot.h"

namespace mf::kit {

std::wstring RootPath(const RootRecord& root);
// Reads the current state. A guarded key that is absent is recorded as its highest absent
// ancestor below the hive's first level, so that restore also removes parents a test created.
// A key deleted by another program while it is read is recorded absent, and its path added to
// `gone` if given. Without `mayLift`, as ReadRoot.
Snapshot Take(const Scope& scope, Problems& problems, bool mayLift = true,
              Problems* gone = nullptr);
// Reads `root`'s key again, as it is now; without `mayLift`, a key that refuses reading is
// named in `problems` rather than opened up past its DACL for the moment.
RootRecord ReadRoot(const RootRecord& root, Problems& problems, bool mayLift = true);
// Puts every root back as recorded, touching only what differs, then reads them again and
// names each key that still differs.
void Restore(const Snapshot& snapshot, Problems& problems);
// Differences between a recorded root and the same root as read now.
void Compare(const RootRecord& want, const RootRecord& have, Problems& problems);

}  // namespace mf::kit
