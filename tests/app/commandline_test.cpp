#include "app/commandline.h"

#include <gtest/gtest.h>

#include <ostream>
#include <tuple>

#include "shared/text.h"

namespace mf {
namespace {

struct SplitCase {
    const char* name;
    Text commandLine;
    std::vector<Text> expected;
};

std::ostream& operator<<(std::ostream& out, const SplitCase& c) {
    return out << c.name;
}

class SplitCommandLineTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLineTest, YieldsTheArgumentsAfterTheProgramName) {
    EXPECT_EQ(SplitCommandLine(GetParam().commandLine), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SplitCommandLineTest,
    ::testing::Values(
        SplitCase{"program_only", u"tool.exe", {}}, SplitCase{"empty_line", u"", {}},
        SplitCase{"typical_player_call",
                  u"\"C:\\T\\tool.exe\" \"C:\\Program Files\\P\\player.exe\" regall \"Play with "
                  u"Marblefinch\"",
                  {u"C:\\Program Files\\P\\player.exe", u"regall", u"Play with Marblefinch"}},
        SplitCase{"doubled_quote_at_token_start_is_skipped",
                  u"tool.exe \"\" regall x",
                  {u"regall", u"x"}},
        SplitCase{"doubled_quotes_repeat", u"tool.exe \"\"\"\"a", {u"a"}},
        SplitCase{"doubled_then_quoted", u"tool.exe \"\"\"a b\"", {u"a b"}},
        SplitCase{"empty_quoted_run_inside_token", u"tool.exe a\"\"b", {u"ab"}},
        SplitCase{"token_goes_on_after_closing_quote", u"tool.exe \"a b\"c d", {u"a bc", u"d"}},
        SplitCase{"quoted_run_in_the_middle", u"tool.exe x\"y z\"w", {u"xy zw"}},
        SplitCase{"unterminated_quote_runs_to_the_end", u"tool.exe \"a b", {u"a b"}},
        SplitCase{"lone_quote_is_an_empty_token", u"tool.exe a \"", {u"a"}},
        SplitCase{
            "backslashes_are_plain", u"tool.exe C:\\dir\\ \\\"a b\\\"", {u"C:\\dir\\", u"\\a b\\"}},
        SplitCase{"control_characters_separate",
                  u"tool.exe\x01\x1F"
                  u"a\tb\r\nc",
                  {u"a", u"b", u"c"}},
        SplitCase{"quoted_run_keeps_controls", u"tool.exe \"a\tb\x01\"", {u"a\tb\x01"}},
        SplitCase{"nul_ends_the_line", Text(u"tool.exe a\0b", 12), {u"a"}},
        SplitCase{"nul_inside_quotes_ends_the_line", Text(u"tool.exe \"a\0b\" c", 16), {u"a"}},
        SplitCase{"non_ascii_is_part_of_tokens",
                  u"tool.exe \"C:\\M\u00fcsik\\\u64ad\u653e.exe\" \u00a0x\u3000y",
                  {u"C:\\M\u00fcsik\\\u64ad\u653e.exe", u"\u00a0x\u3000y"}},
        SplitCase{"quoted_program_name_with_spaces", u"\"C:\\My Tools\\tool.exe\" a", {u"a"}},
        SplitCase{"quoted_space_is_a_token", u"tool.exe \" \" b", {u" ", u"b"}},
        SplitCase{"trailing_blanks", u"tool.exe a   \t  ", {u"a"}},
        SplitCase{"extra_arguments_are_kept",
                  u"tool.exe p regall cap extra more",
                  {u"p", u"regall", u"cap", u"extra", u"more"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SplitCommandLine, MaximalLineIsCutWithoutLoss) {
    // 32767 units is the longest command line Windows passes to a process.
    Text line = u"tool.exe ";
    std::size_t expectedTokens = 0;
    while (line.size() + 4 <= 32767) {
        line += u"\"a\" ";
        ++expectedTokens;
    }
    const auto arguments = SplitCommandLine(line);
    ASSERT_EQ(arguments.size(), expectedTokens);
    for (const Text& argument : arguments) {
        EXPECT_EQ(argument, u"a");
    }
}

// Well-formed text converts both ways. A lone surrogate, and every byte of an ill-formed
// UTF-8 sequence (cut short, overlong, a surrogate, above U+10FFFF), becomes one U+FFFD.
TEST(Utf8, ConvertsWellFormedTextBothWaysAndReplacesTheRest) {
    enum Way { kBoth, kToUtf8, kFromUtf8 };
    const Text fffd3(3, u'\uFFFD');
    const std::tuple<Way, Text, std::string> cases[] = {
        {kBoth, u"regall x", "regall x"},
        {kBoth, u"\u0080\u00e4\u07ff", "\xC2\x80\xC3\xA4\xDF\xBF"},
        {kBoth, u"\u0800\ud7ff\ue000\uffff", "\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF"},
        {kBoth, u"\U00010000\U0001F3B5\U0010FFFF",
         "\xF0\x90\x80\x80\xF0\x9F\x8E\xB5\xF4\x8F\xBF\xBF"},
        {kToUtf8, u"\xDC00\xD800!\xD800", "\xEF\xBF\xBD\xEF\xBF\xBD!\xEF\xBF\xBD"},
        {kFromUtf8, u"\uFFFD-\uFFFD\uFFFD\uFFFD", "\xC3-\x80\xE2\x82"},
        {kFromUtf8, u"\uFFFD\uFFFD\uFFFD\uFFFD", "\xC0\x80\xC1\xBF"},
        {kFromUtf8, fffd3 + u"\uFFFD" + fffd3, "\xE0\x9F\xBF\xF0\x8F\xBF\xBF"},
        {kFromUtf8, fffd3, "\xED\xA0\x80"},
        {kFromUtf8, fffd3 + fffd3 + u"\uFFFD\uFFFD", "\xF4\x90\x80\x80\xF5\x80\x80\x80"},
        {kFromUtf8, u"\uFFFD\uFFFDz", "\xF8\xFFz"},
    };
    for (const auto& [way, utf16, utf8] : cases) {
        if (way != kFromUtf8) {
            EXPECT_EQ(ToUtf8(utf16), utf8);
        }
        if (way != kToUtf8) {
            EXPECT_EQ(FromUtf8(utf8), utf16) << ::testing::PrintToString(utf8);
        }
    }
}

}  // namespace
}  // namespace mf
