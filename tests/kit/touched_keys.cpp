#include "kit/touched_keys.h"

#include "e2e/entries.h"

namespace mf::kit {

std::vector<std::wstring> TouchedClassKeys() {
    // Taken from the suites' own list, so that a type added to the tool is guarded too.
    std::vector<std::wstring> keys = testing::KeysTheToolWrites();
    // A type owned by another program, planted by the shell tests.
    keys.push_back(L"OtherPlayer.mp3");
    // Seeded, denied and deleted by the suites; holds the folder verb.
    keys.push_back(L"Directory\\shell");
    // The guard's own tests work here, in both halves: a crash in them is put right too.
    keys.push_back(L"MarblefinchGuardTests");
    return keys;
}

}  // namespace mf::kit
