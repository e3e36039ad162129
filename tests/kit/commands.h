// The commands of kit_guard that save a snapshot, put it back, and compare the machine with
// it; and the check that the process is elevated.
#pragma once

#include "kit/snapshot.h"

namespace mf::kit {

int ElevatedCommand(Problems& problems);
int SaveCommand(const std::wstring& file, const Scope& scope, Problems& problems);
int RestoreCommand(const std::wstring& file, Problems& problems);
// Names in `differences` each guarded key that differs now from the snapshot in `file`, which
// must be one that restore would take; changes nothing.
int DifferencesCommand(const std::wstring& file, Problems& differences, Problems& problems);

}  // namespace mf::kit
