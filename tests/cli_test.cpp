// The built program run as a user runs it: arguments, input bytes, and the
// exact output, diagnostics and status.
#include <gtest/gtest.h>

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
    {"prefix", "horlet -f 'T '", "ab\n\ncd", "T ab\n\nT cd", "", 0},
    {"suffix", "horlet -s -f 'T '", "ab\n\ncd", "abT \n\ncd", "", 0},
    {"prefix_cr_line", "horlet -f 'T '", "\r\n", "T \r\n", "", 0},
    {"suffix_cr_line", "horlet -s -f 'T '", "\r\n", "\rT \n", "", 0},
    {"nul_is_content", "horlet -f 'T '", "\0\n\0"s, "T \0\nT \0"s, "", 0},
    {"leading_newlines", "horlet -f 'T '", "\n\nx\n", "\n\nT x\n", "", 0},
    {"suffix_one_byte_lines", "horlet -s -f T", "a\nb\n\nc\n", "aT\nbT\n\ncT\n", "", 0},
    {"empty_input", "horlet -f 'T '", "", "", "", 0},
    {"only_newlines", "horlet -s -f 'T '", "\n\n\n", "\n\n\n", "", 0},
    {"newline_in_stamp_starts_no_line", "horlet -f $'T\\n'", "a\nb\n", "T\na\nT\nb\n", "", 0},
    {"suffix_newline_in_stamp", "horlet -s -f $'\\n'", "a\nb", "a\n\nb", "", 0},
    {"repeated_flags", "horlet -s -s -f 'T '", "a\n", "aT \n", "", 0},
};
INSTANTIATE_TEST_SUITE_P(placement, cli, testing::ValuesIn(placement), row_name);

// The format: -f, -w, the overflow marker.
const sh_case formats[] = {
    {"last_f_wins", "horlet -f A -f 'B '", "a\n", "B a\n", "", 0},
    {"w_underscores", "horlet -f 'T_%%_' -w _", "a\n", "T % a\n", "", 0},
    {"w_before_f", "horlet -w _ -f '_T_'", "a\n", " T a\n", "", 0},
    {"w_first_byte_only", "horlet -f 'x_y ' -w _x", "a\n", "x y a\n", "", 0},
    {"w_empty_replaces_nothing", "horlet -f 'T_' -w ''", "a\n", "T_a\n", "", 0},
    {"w_last_wins", "horlet -f 'x_y ' -w x -w _", "a\n", "x y a\n", "", 0},
    {"w_empty_cancels_earlier", "horlet -f 'x_y ' -w _ -w ''", "a\n", "x_y a\n", "", 0},
    // The format is edited, not its expansion: "%%" becomes two spaces.
    {"w_edits_format_not_expansion", "horlet -f 'T%%' -w %", "a\n", "T  a\n", "", 0},
    {"empty_format_overflows", "horlet -f ''", "a\nb", "[OVERFLOW]: a\n[OVERFLOW]: b", "", 0},
    {"expansion_511_whole", "horlet -f " + std::string(511, 'x'), "a\n",
     std::string(511, 'x') + "a\n", "", 0},
    {"expansion_512_overflows", "horlet -f " + std::string(512, 'x'), "a\n", "[OVERFLOW]: a\n", "",
     0},
    // -u names its zone GMT, whatever TZ says, and %s stays the true
    // seconds since the epoch.
    {"utc_zone_is_gmt", "horlet -u -f '%Z %z '", "a\n", "GMT +0000 a\n", "", 0},
    {"utc_whatever_tz", "TZ=EST5 horlet -u -f '%Z %z '", "a\n", "GMT +0000 a\n", "", 0},
    {"utc_epoch_is_true",
     "TZ=EST5 horlet -u -f '%s ' | { read -r s a; n=$(date +%s); echo $a $(((n - s) / 60)); }",
     "a\n", "a 0\n", "", 0},
    {"local_zone_from_tz", "TZ=EST5 horlet -f '%Z %z '", "a\n", "EST -0500 a\n", "", 0},
    // A summer time without a rule follows glibc's, with either C library.
    {"summer_time_without_rule",
     "for z in EST5EDT PST8PDT CET-1CEST GMT0BST; do a=$(TZ=$z date +%Z%z); "
     "b=$(echo x | TZ=$z horlet -f '%Z%z '); [ \"$b\" = \"$a x\" ] || echo \"$z: $b\"; done",
     "", "", "", 0},
    {"expansion_511_from_conversions", "horlet -f \"$(printf '%%%.0s' {1..1022})\"", "a\n",
     std::string(511, '%') + "a\n", "", 0},
};
INSTANTIATE_TEST_SUITE_P(formats, cli, testing::ValuesIn(formats), row_name);

// Options, operands, usage and their errors.  "also cat" after a failure
// shows that nothing was read from standard input.
const sh_case command_line[] = {
    {"usage", "horlet -?", "", usage, "", 0, false},
    {"usage_after_options", "horlet -a -f X -s -?", "", usage, "", 0, false},
    {"usage_shows_name_as_typed", "mkdir bin; ln -s \"$H\" bin; ./bin/horlet -?", "",
     "Usage: ./bin/horlet" + usage.substr(usage.find(' ', 7)), "", 0, false},
    {"usage_stops_scan", "horlet -? -x", "", usage, "", 0, false},
    {"error_before_usage", "horlet -x -?; also cat", "a\n", "a\n",
     "horlet: invalid option -- 'x'\n", 1, false},
    {"error_status", "horlet -x", "", "", "horlet: invalid option -- 'x'\n", 1, false},
    {"f_without_value", "horlet -f", "", "", "horlet: option requires an argument -- 'f'\n", 1,
     false},
    {"w_without_value", "horlet -f x -w", "", "", "horlet: option requires an argument -- 'w'\n", 1,
     false},
    {"option_after_operand", "horlet out.log -a; also ls", "", "", "out.log: too many arguments\n",
     1},
    {"option_after_operand_posixly_correct", "POSIXLY_CORRECT=1 horlet out.log -a; also ls", "", "",
     "out.log: too many arguments\n", 1},
    {"usage_after_operand", "horlet out.log -?; also ls", "", "", "out.log: too many arguments\n",
     1},
    {"two_operands", "horlet a b; also ls; also cat", "x\n", "x\n", "a: too many arguments\n", 1},
    {"double_dash_ends_options", "horlet -f 'T ' -- -s && cat ./-s", "a\n", "T a\n", "", 0},
    {"lone_dash_is_a_file", "horlet -f 'T ' - && cat ./-", "a\n", "T a\n", "", 0},
    {"a_without_file", "horlet -a -f 'T '", "a\n", "T a\n", "", 0},
    {"file_truncated", "echo old > f; horlet -f 'T ' f && cat f", "a\n", "T a\n", "", 0},
    {"file_appended", "printf 'old\\n' > f; horlet -a -f 'T ' f && cat f", "a", "old\nT a", "", 0},
    // The README's recipe: standard output and standard error stamped apart
    // into one log, interleaved by arrival.
    {"out_and_err_into_one_log",
     "job() { echo o1; sleep 0.3; echo e1 >&2; sleep 0.3; echo o2; }; "
     "{ job 2>&1 1>&3 3>&- | horlet -a -f 'err: ' log; } 3>&1 1>&2 | horlet -a -f 'out: ' log; "
     "cat log",
     "", "out: o1\nerr: e1\nout: o2\n", "", 0, false},
    {"empty_input_creates_file", "horlet f && wc -c < f", "", "0\n", "", 0},
    {"empty_input_empties_file", "echo old > f; horlet f && wc -c < f", "", "0\n", "", 0},
    {"missing_directory", "horlet no/such/f; also cat", "a\n", "a\n",
     "no/such/f: No such file or directory\n", 1},
    {"empty_operand", "horlet ''", "", "", "No such file or directory\n", 1},
    {"file_is_directory", "mkdir d; horlet d", "", "", "d: Is a directory\n", 1},
    {"file_mode_follows_umask",
     "umask 022; horlet f < /dev/null && umask 0 && horlet g < /dev/null && stat -c %a f g", "",
     "644\n666\n", "", 0},
    // Diagnostics name their object whole, however long, in one line.
    {"long_first_operand", "horlet \"$(printf 'x%.0s' {1..5000})\" other", "", "",
     std::string(5000, 'x') + ": too many arguments\n", 1},
    {"long_file_name", "horlet \"$(printf 'x%.0s' {1..5000})\"", "", "",
     std::string(5000, 'x') + ": File name too long\n", 1},
    {"long_missing_path", "horlet \"$(printf 'd/%.0s' {1..2044})f\"", "", "",
     repeat("d/", 2044) + "f: No such file or directory\n", 1},
    {"unwritable_file",
     "touch ro; chmod 444 ro; setpriv --bounding-set=-dac_override horlet ro; also cat", "a\n",
     "a\n", "ro: Permission denied\n", 1},
};
INSTANTIATE_TEST_SUITE_P(command_line, cli, testing::ValuesIn(command_line), row_name);

// An exec with no arguments at all: Linux 5.18 and later hands the program
// an empty name instead (argc 1), so this checks that case; the guard for a
// true argc 0 is tested on the parser itself.
TEST(parse, empty_program_name_runs_with_defaults)
{
	run_result r = run_argv({}, "x\n");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "");
	EXPECT_FALSE(regex_groups(r.out, "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}: x\n").empty())
	    << dump(r.out);
}

} // namespace
