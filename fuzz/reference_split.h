// A second, deliberately plain cutter for the same command-line rules, to check the real one
// against: character by character, with an index, no views and no helpers.
#pragma once

#include <string>
#include <vector>

namespace mf::fuzz {

// Every token after the program name, up to and including the first empty one.
std::vector<std::u16string> ReferenceTokens(const std::u16string& line);

}  // namespace mf::fuzz
