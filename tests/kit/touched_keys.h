// The classes keys that the Windows suites write or delete, relative to
// HKEY_CLASSES_ROOT. The guard saves and restores each in both halves of the merged view.
#pragma once

#include <string>
#include <vector>

namespace mf::kit {

std::vector<std::wstring> TouchedClassKeys();

}  // namespace mf::kit
