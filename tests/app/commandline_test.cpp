#include "app/commandline.h"

#include <gtest/gtest.h>

#include <ostream>

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

}  // namespace
}  // namespace mf
