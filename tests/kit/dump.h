// The dump: keys with their values and security as stable text, to compare a machine before
// and after.
#pragma once

#include "kit/snapshot.h"

namespace mf::kit {

// Text of a tree sorted by name without regard to case; stable byte for byte.
std::string Render(const std::wstring& path, const KeyRecord& key);
// Writes the guarded keys of KitScope() (a key that is absent as such), or with `whole` both
// classes halves, each key with its security, as Render does; changes nothing.
int DumpCommand(const std::wstring& file, bool whole, Problems& problems);

}  // namespace mf::kit
