// Fuzzes the command-line cutter and the argument capture. The input's bytes are read as
// UTF-16LE code units. Invariants checked on every input:
//   - the cutter agrees with a plainly written second implementation of the same rules;
//   - no argument is empty, or holds a double quote or a NUL, so an argument can never break
//     the quoting of the open command;
//   - the number of arguments never exceeds the number of tokens;
//   - capture takes arguments 1-3 exactly as the rules say.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "app/commandline.h"
#include "app/regtypesmain.h"
#include "reference_split.h"
#include "registration/RegistryTools.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::u16string line(size / 2, u'\0');
    for (std::size_t i = 0; i < line.size(); ++i) {
        line[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    }

    const std::vector<mf::Text> arguments = mf::SplitCommandLine(line);
    const std::vector<std::u16string> tokens = mf::fuzz::ReferenceTokens(line);

    Check(arguments.size() < tokens.size());  // the reference keeps the closing empty token
    Check(tokens.back().empty());
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        Check(arguments[i] == tokens[i]);
        Check(!arguments[i].empty());
        Check(arguments[i].find(u'"') == mf::Text::npos);
        Check(arguments[i].find(u'\0') == mf::Text::npos);
        // The open command keeps its own four quotes whatever the path is.
        const mf::Text command = mf::OpenCommand(arguments[i]);
        std::size_t quotes = 0;
        for (char16_t c : command) {
            quotes += c == u'"';
        }
        Check(quotes == 4);
    }

    mf::regtypesmain::ResetArguments();
    mf::regtypesmain::CaptureArguments(arguments);
    const std::size_t n = arguments.size();
    Check(mf::regtypesmain::ExePath == (n > 1 ? arguments[0] : mf::Text()));
    Check(mf::regtypesmain::CommandWord == (n > 1 ? arguments[1] : mf::Text()));
    Check(mf::regtypesmain::VerbCaption == (n > 2 ? arguments[2] : mf::Text()));
    return 0;
}
