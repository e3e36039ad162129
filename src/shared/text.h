// Text as the registry and the command line see it: UTF-16 on every platform.
#pragma once

#include <string>
#include <string_view>

namespace mf {

using Text = std::u16string;
using TextView = std::u16string_view;

// UTF-8 for places that only take narrow text (exception what(), test output).
// Unpaired surrogates become U+FFFD; so does each byte of ill-formed UTF-8 (cut short,
// overlong, a surrogate, above U+10FFFF).
std::string ToUtf8(TextView text);
Text FromUtf8(std::string_view text);

}  // namespace mf
