// The built program run as a user runs it: arguments, input bytes, and the
// exact output, diagnostics and status.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "frame.hpp"
#include "harness.hpp"

using namespace horlet;
using namespace std::string_literals;

namespace
{

class cli : public testing::TestWithParam<sh_case>
{
};

TEST_P(cli, behaves)
{
	expect_run(GetParam());
}

// The binary's directory leads PATH, so argv[0] is "horlet" as a user types
// it and getopt's messages read the same on any machine.
#define H "horlet "

const std::string usage = "Usage: horlet [OPTION]... [FILE]\n"
                          "add timestamps at the beginning of each line\n"
                          "\n"
                          "  -a                 append to FILE, instead of overwriting it\n"
                          "  -f FORMAT          strftime(3) format for timestamps\n"
                          "  -s                 add timestamp to the end of each line\n"
                          "  -u                 report times in UTC\n"
                          "  -w CHR             replace CHR with a horizontal space in FORMAT\n"
                          "\n"
                          "Default FORMAT is \"%Y-%m-%d %H:%M:%S: \"\n"
                          "\n"
                          "Report bugs to <horlet-bugs@example.org>\n";

// Where stamps go, with a format that converts nothing.
const sh_case placement[] = {
    {"prefix", H "-f 'T '", "ab\n\ncd", "T ab\n\nT cd", "", 0},
    {"suffix", H "-s -f 'T '", "ab\n\ncd", "abT \n\ncd", "", 0},
    {"prefix_cr_line", H "-f 'T '", "\r\n", "T \r\n", "", 0},
    {"suffix_cr_line", H "-s -f 'T '", "\r\n", "\rT \n", "", 0},
    {"nul_is_content", H "-f 'T '", "\0\n\0"s, "T \0\nT \0"s, "", 0},
    {"leading_newlines", H "-f 'T '", "\n\nx\n", "\n\nT x\n", "", 0},
    {"suffix_one_byte_lines", H "-s -f T", "a\nb\n\nc\n", "aT\nbT\n\ncT\n", "", 0},
    {"empty_input", H "-f 'T '", "", "", "", 0},
    {"only_newlines", H "-s -f 'T '", "\n\n\n", "\n\n\n", "", 0},
    {"newline_in_stamp_starts_no_line", H "-f $'T\\n'", "a\nb\n", "T\na\nT\nb\n", "", 0},
    {"suffix_newline_in_stamp", H "-s -f $'\\n'", "a\nb", "a\n\nb", "", 0},
    {"repeated_flags", H "-s -s -f 'T '", "a\n", "aT \n", "", 0},
};
INSTANTIATE_TEST_SUITE_P(placement, cli, testing::ValuesIn(placement),
                         [](const auto &i) { return std::string(i.param.name); });

// The format: -f, -w, the overflow marker.
const sh_case formats[] = {
    {"last_f_wins", H "-f A -f 'B '", "a\n", "B a\n", "", 0},
    {"w_underscores", H "-f 'T_%%_' -w _", "a\n", "T % a\n", "", 0},
    {"w_before_f", H "-w _ -f '_T_'", "a\n", " T a\n", "", 0},
    {"w_first_byte_only", H "-f 'x_y ' -w _x", "a\n", "x y a\n", "", 0},
    {"w_empty_replaces_nothing", H "-f 'T_' -w ''", "a\n", "T_a\n", "", 0},
    {"w_last_wins", H "-f 'x_y ' -w x -w _", "a\n", "x y a\n", "", 0},
    {"w_empty_cancels_earlier", H "-f 'x_y ' -w _ -w ''", "a\n", "x_y a\n", "", 0},
    // The format is edited, not its expansion: "%%" becomes two spaces.
    {"w_edits_format_not_expansion", H "-f 'T%%' -w %", "a\n", "T  a\n", "", 0},
    {"empty_format_overflows", H "-f ''", "a\nb", "[OVERFLOW]: a\n[OVERFLOW]: b", "", 0},
    {"expansion_511_whole", H "-f " + std::string(511, 'x'), "a\n", std::string(511, 'x') + "a\n",
     "", 0},
    {"expansion_512_overflows", H "-f " + std::string(512, 'x'), "a\n", "[OVERFLOW]: a\n", "", 0},
    // -u names its zone GMT, whatever TZ says, and %s stays the true
    // seconds since the epoch.
    {"utc_zone_is_gmt", H "-u -f '%Z %z '", "a\n", "GMT +0000 a\n", "", 0},
    {"utc_whatever_tz", "TZ=EST5 " H "-u -f '%Z %z '", "a\n", "GMT +0000 a\n", "", 0},
    {"utc_epoch_is_true",
     "TZ=EST5 " H "-u -f '%s ' | { read -r s a; n=$(date +%s); echo $a $(((n - s) / 60)); }", "a\n",
     "a 0\n", "", 0},
    {"local_zone_from_tz", "TZ=EST5 " H "-f '%Z %z '", "a\n", "EST -0500 a\n", "", 0},
    {"expansion_511_from_conversions", H "-f \"$(printf '%%%.0s' {1..1022})\"", "a\n",
     std::string(511, '%') + "a\n", "", 0},
};
INSTANTIATE_TEST_SUITE_P(formats, cli, testing::ValuesIn(formats),
                         [](const auto &i) { return std::string(i.param.name); });

// Options, operands, usage and their errors.  "; cat" after a failure shows
// that nothing was read from standard input.
const sh_case command_line[] = {
    {"usage", H "-?", "", usage, "", 0, false},
    {"usage_after_options", H "-a -f X -s -?", "", usage, "", 0, false},
    {"usage_shows_name_as_typed", "mkdir bin; ln -s \"$H\" bin; ./bin/horlet -?", "",
     "Usage: ./bin/horlet" + usage.substr(usage.find(' ', 7)), "", 0, false},
    {"usage_stops_scan", H "-? -x", "", usage, "", 0, false},
    {"error_before_usage", H "-x -?; s=$?; cat; exit $s", "a\n", "a\n",
     "horlet: invalid option -- 'x'\n", 1, false},
    {"error_status", H "-x", "", "", "horlet: invalid option -- 'x'\n", 1, false},
    {"f_without_value", H "-f", "", "", "horlet: option requires an argument -- 'f'\n", 1, false},
    {"w_without_value", H "-f x -w", "", "", "horlet: option requires an argument -- 'w'\n", 1,
     false},
    {"option_after_operand", H "out.log -a; s=$?; ls; exit $s", "", "",
     "out.log: too many arguments\n", 1},
    {"option_after_operand_posixly_correct", "POSIXLY_CORRECT=1 " H "out.log -a; s=$?; ls; exit $s",
     "", "", "out.log: too many arguments\n", 1},
    {"usage_after_operand", H "out.log -?; s=$?; ls; exit $s", "", "",
     "out.log: too many arguments\n", 1},
    {"two_operands", H "a b; s=$?; ls; cat; exit $s", "x\n", "x\n", "a: too many arguments\n", 1},
    {"double_dash_ends_options", H "-f 'T ' -- -s && cat ./-s", "a\n", "T a\n", "", 0},
    {"lone_dash_is_a_file", H "-f 'T ' - && cat ./-", "a\n", "T a\n", "", 0},
    {"a_without_file", H "-a -f 'T '", "a\n", "T a\n", "", 0},
    {"file_truncated", "echo old > f; " H "-f 'T ' f && cat f", "a\n", "T a\n", "", 0},
    {"file_appended", "printf 'old\\n' > f; " H "-a -f 'T ' f && cat f", "a", "old\nT a", "", 0},
    {"empty_input_creates_file", H "f && wc -c < f", "", "0\n", "", 0},
    {"empty_input_empties_file", "echo old > f; " H "f && wc -c < f", "", "0\n", "", 0},
    {"missing_directory", H "no/such/f; s=$?; cat; exit $s", "a\n", "a\n",
     "no/such/f: No such file or directory\n", 1},
    {"empty_operand", H "''", "", "", "No such file or directory\n", 1},
    {"file_is_directory", "mkdir d; " H "d", "", "", "d: Is a directory\n", 1},
    {"file_mode_follows_umask",
     "umask 022; " H "f < /dev/null && umask 0 && " H "g < /dev/null && stat -c %a f g", "",
     "644\n666\n", "", 0},
    // Diagnostics name their object whole, however long, in one line.
    {"long_first_operand", H "\"$(printf 'x%.0s' {1..5000})\" other", "", "",
     std::string(5000, 'x') + ": too many arguments\n", 1},
    {"long_file_name", H "\"$(printf 'x%.0s' {1..5000})\"", "", "",
     std::string(5000, 'x') + ": File name too long\n", 1},
    {"long_missing_path", H "\"$(printf 'd/%.0s' {1..2044})f\"", "", "",
     repeat("d/", 2044) + "f: No such file or directory\n", 1},
    {"unwritable_file",
     "touch ro; chmod 444 ro; setpriv --bounding-set=-dac_override " H "ro; s=$?; cat; exit $s",
     "a\n", "a\n", "ro: Permission denied\n", 1},
};
INSTANTIATE_TEST_SUITE_P(command_line, cli, testing::ValuesIn(command_line),
                         [](const auto &i) { return std::string(i.param.name); });

// The parse itself, where the kernel cannot reach it: Linux turns an exec
// with no arguments at all into one with an empty program name.
TEST(parse, empty_argument_vector_goes_on_with_the_defaults)
{
	char *argv[] = {nullptr};
	run_settings rs;
	EXPECT_FALSE(parse_command_line(0, argv, rs).has_value());
	EXPECT_STREQ(rs.format, default_fmt);
	EXPECT_EQ(rs.trans, &prefix_trans);
	EXPECT_EQ(rs.out, STDOUT_FILENO);
}

} // namespace
