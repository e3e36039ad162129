// Cutting the process command line into arguments, by the rules the player relies on.
// These are not CommandLineToArgvW's or the C runtime's rules: backslashes are plain
// characters and a doubled quote at a token's start is skipped.
#pragma once

#include <vector>

#include "shared/text.h"

namespace mf {

// Arguments after the program name, up to the first empty token. A NUL ends the line.
std::vector<Text> SplitCommandLine(TextView commandLine);

}  // namespace mf
