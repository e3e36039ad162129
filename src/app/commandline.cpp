#include "app/commandline.h"

#include <algorithm>

namespace mf {

namespace {

constexpr char16_t kQuote = u'"';
constexpr char16_t kSpace = u' ';

// The line as a range without NULs: the first NUL ends it, as it ends the platform's text.
struct Range {
    const char16_t* pos;
    const char16_t* end;

    char16_t Peek() const { return pos < end ? *pos : u'\0'; }
    bool StartsWithDoubledQuote() const {
        return end - pos >= 2 && pos[0] == kQuote && pos[1] == kQuote;
    }
};

bool InUnquotedRun(char16_t c) {
    return c > kSpace && c != kQuote;
}

// Walks one token, handing each run of its characters to `emit`, and returns how many
// characters it has; 0 when the line has nothing more to give.
template <typename Emit>
std::size_t WalkToken(Range& line, Emit&& emit) {
    for (;;) {
        while (line.pos < line.end && *line.pos <= kSpace) {
            ++line.pos;
        }
        if (!line.StartsWithDoubledQuote()) {
            break;
        }
        line.pos += 2;
    }
    std::size_t length = 0;
    while (line.Peek() > kSpace) {
        const bool quoted = *line.pos == kQuote;
        const char16_t* start;
        if (quoted) {
            // Inside quotes everything but the closing quote belongs to the token.
            start = ++line.pos;
            line.pos = std::find(line.pos, line.end, kQuote);
        } else {
            start = line.pos;
            while (line.pos < line.end && InUnquotedRun(*line.pos)) {
                ++line.pos;
            }
        }
        length += static_cast<std::size_t>(line.pos - start);
        emit(start, line.pos);
        if (quoted && line.pos < line.end) {
            ++line.pos;  // the closing quote
        }
    }
    return length;
}

}  // namespace

std::vector<Text> SplitCommandLine(TextView commandLine) {
    const char16_t* const begin = commandLine.data();
    Range line{begin, std::find(begin, begin + commandLine.size(), u'\0')};
    WalkToken(line, [](const char16_t*, const char16_t*) {});  // the program name

    // Every token takes a character and a separator, so this is enough room for all of them
    // (and the empty one that ends the line): the vector never grows, no argument is moved.
    std::vector<Text> arguments;
    arguments.reserve(static_cast<std::size_t>(line.end - line.pos) / 2 + 2);
    for (;;) {
        Text& argument = arguments.emplace_back();
        const std::size_t length =
            WalkToken(line, [&argument](const char16_t* from, const char16_t* to) {
                argument.append(from, static_cast<std::size_t>(to - from));
            });
        if (length == 0) {
            arguments.pop_back();
            return arguments;
        }
    }
}

}  // namespace mf
