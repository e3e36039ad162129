#include "reference_split.h"

namespace mf::fuzz {

namespace {

// The character at i, or NUL past the end or at an embedded NUL's position.
char16_t At(const std::u16string& line, std::size_t i) {
    return i < line.size() ? line[i] : 0;
}

}  // namespace

std::vector<std::u16string> ReferenceTokens(const std::u16string& line) {
    std::vector<std::u16string> tokens;
    std::size_t i = 0;
    bool programName = true;
    while (true) {
        // Skip blanks and control characters, and doubled quotes.
        while (true) {
            while (At(line, i) != 0 && At(line, i) <= 32) {
                i = i + 1;
            }
            if (At(line, i) == '"' && At(line, i + 1) == '"') {
                i = i + 2;
            } else {
                break;
            }
        }
        std::u16string token;
        while (At(line, i) > 32) {
            if (At(line, i) == '"') {
                i = i + 1;
                while (At(line, i) != 0 && At(line, i) != '"') {
                    token.push_back(At(line, i));
                    i = i + 1;
                }
                if (At(line, i) == '"') {
                    i = i + 1;
                }
            } else {
                token.push_back(At(line, i));
                i = i + 1;
            }
        }
        if (programName) {
            programName = false;
            continue;
        }
        tokens.push_back(token);
        if (token.empty()) {
            return tokens;
        }
    }
}

}  // namespace mf::fuzz
