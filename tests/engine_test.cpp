// The pure pieces: a stamp rendered for a given clock reading, and the copy
// loop over a byte string fed in blocks of any size.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/time.h>

#include <csignal>
#include <thread>

#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "harness.hpp"
#include "oracle.hpp"
#include "read.hpp"

using namespace horlet;
using namespace std::string_literals;

namespace
{

// TZ set for as long as it lives, then as it was.
struct tz_for_test {
	std::optional<std::string> saved;
	explicit tz_for_test(const char *tz)
	{
		if (const char *old = getenv("TZ"))
			saved = old;
		setenv("TZ", tz, 1);
		tzset();
	}
	~tz_for_test()
	{
		if (saved)
			setenv("TZ", saved->c_str(), 1);
		else
			unsetenv("TZ");
		tzset();
	}
	tz_for_test(const tz_for_test &) = delete;
	tz_for_test &operator=(const tz_for_test &) = delete;
};

// 2026-01-02 03:04:05 UTC, a Friday.
constexpr time_t t0 = 1767323045;

std::string render(const run_settings &rs, stamp_cache &c, time_t sec, suseconds_t usec)
{
	timeval tv{sec, usec};
	return std::string(render_stamp(rs, c, tv));
}

struct render_case {
	const char *name;
	std::string format;
	time_t sec;
	suseconds_t usec;
	std::string stamp;
};

const render_case render_cases[] = {
    {"default", default_fmt, t0, 5, "2026-01-02 03:04:05: "},
    {"usec_padded", "%%@", t0, 7, "000007"},
    {"usec_max", "%%@", t0, 999999, "999999"},
    {"usec_twice_same_digits", "%S.%%@ %%@", t0, 42, "05.000042 000042"},
    {"marker_then_at", "%%@@", t0, 42, "000042@"},
    {"no_overlap", "%%%%@", t0, 42, "%000042"},
    {"percent_at_split", "%%@%%", t0, 1, "000001%"},
    {"weekday_posix_locale", "%A %B %p", t0, 0, "Friday January AM"},
    {"511_whole", std::string(511, 'x'), t0, 0, std::string(511, 'x')},
    {"512_overflow", std::string(512, 'x'), t0, 0, "[OVERFLOW]: "},
    {"empty_overflow", "", t0, 0, "[OVERFLOW]: "},
    {"conversion_fails", "%Y", LLONG_MAX, 0, "[OVERFLOW]: "},
    // Past 2038, where a 32-bit time_t ends: 32-bit ARM builds use 64 bits.
    {"after_2038", "%F %T ", 2240611200, 0, "2041-01-01 00:00:00 "},
};

void PrintTo(const render_case &c, std::ostream *os)
{
	*os << c.name;
}

class render_test : public testing::TestWithParam<render_case>
{
};

TEST_P(render_test, renders)
{
	const render_case &c = GetParam();
	run_settings rs;
	rs.format = c.format.c_str();
	rs.to_broken_down = gmtime_r;
	stamp_cache cache;
	EXPECT_EQ(render(rs, cache, c.sec, c.usec), c.stamp);
}

INSTANTIATE_TEST_SUITE_P(stamp, render_test, testing::ValuesIn(render_cases), row_name);

TEST(render, marker_limits)
{
	// 255 markers and one byte: the longest stamp there is.
	std::string fmt;
	for (int i = 0; i < 255; ++i)
		fmt += "%%@";
	fmt += 'x';
	run_settings rs;
	rs.format = fmt.c_str();
	rs.to_broken_down = gmtime_r;
	stamp_cache c;
	std::string want;
	for (int i = 0; i < 255; ++i)
		want += "123456";
	EXPECT_EQ(render(rs, c, t0, 123456), want + "x");
	// Out-of-range microseconds still give six digits.
	EXPECT_EQ(render(rs, c, t0, -1).size(), want.size() + 1);
	EXPECT_EQ(render(rs, c, t0, 1234567).substr(0, 6), "234567");
}

TEST(render, local_time_follows_tz)
{
	tz_for_test tz("JST-9");
	run_settings rs;
	stamp_cache c;
	EXPECT_EQ(render(rs, c, t0, 0), "2026-01-02 12:04:05: ");
	rs.to_broken_down = gmtime_r;
	stamp_cache u;
	EXPECT_EQ(render(rs, u, t0, 0), "2026-01-02 03:04:05: ");
}

// Rendering as the program would without a cache: a fresh conversion and
// expansion, then every "%@" found with strstr, left to right.
std::string render_uncached(const char *format, broken_down_fn conv, timeval tv)
{
	char buf[STAMP_BUF_SIZE];
	struct tm tm;
	std::size_t n = conv(&tv.tv_sec, &tm) ? strftime(buf, sizeof buf, format, &tm) : 0;
	if (n == 0)
		n = std::string_view("[OVERFLOW]: ").copy(buf, sizeof buf);
	buf[n] = '\0';
	char usec[16];
	snprintf(usec, sizeof usec, "%06ld", static_cast<long>(tv.tv_usec));
	std::string out;
	const char *p = buf;
	for (const char *m; (m = strstr(p, "%@")) != nullptr; p = m + 2)
		out.append(p, m).append(usec);
	return out + p;
}

TEST(render, cache_matches_uncached_rendering)
{
	const char *formats[] = {default_fmt, "%s.%%@ ", "%H:%M:%S %%@|%%@|%%%%@ ", "%c %Z %z %%@",
	                         "%%@%%@%%@", "", "no conversion", "%%@ %j %U %G %V",
	                         // Expansions of 32 and 33 bytes: the longest
	                         // copied whole, and one byte more.
	                         "%Y-%m-%d %H:%M:%S 123456789012",
	                         "%Y-%m-%d %H:%M:%S 1234567890123"};
	// Readings within one second, across a change of second, and back.
	const timeval clock[] = {{t0, 0},
	                         {t0, 1},
	                         {t0, 999999},
	                         {t0 + 1, 0},
	                         {t0 + 1, 500000},
	                         {t0 + 3600, 42},
	                         {t0, 123456},
	                         {t0 - 86400 * 200, 7},
	                         {t0 - 86400 * 200, 8},
	                         {0, 0}};
	tz_for_test tz("CET-1CEST,M3.5.0,M10.5.0/3");
	for (broken_down_fn conv : {local_time, broken_down_fn(gmtime_r)}) {
		for (const char *f : formats) {
			run_settings rs;
			rs.format = f;
			rs.to_broken_down = conv;
			stamp_cache c;
			for (const timeval &tv : clock)
				EXPECT_EQ(render(rs, c, tv.tv_sec, tv.tv_usec),
				          render_uncached(f, conv, tv))
				    << "format " << dump(f) << " at " << tv.tv_sec << "."
				    << tv.tv_usec;
		}
	}
}

// Every way of scanning this CPU can run.
std::vector<scan_path> paths()
{
	std::vector<scan_path> v;
	for (scan_path p : all_scan_paths)
		if (can_run(p))
			v.push_back(p);
	return v;
}

// The way of scanning this CPU must take, as the test set-up tells it
// (HORLET_EXPECT_PATH, from the CPU's flags or the emulated model), never
// as the program's own CPU checks say: a row wired to the wrong check
// would otherwise pass on every machine, running a slower path or one
// the CPU lacks.  Every path up to it must run here too.
TEST(dispatch, takes_the_path_the_cpu_calls_for)
{
	const char *want = std::getenv("HORLET_EXPECT_PATH");
	if (want == nullptr)
		GTEST_SKIP() << "HORLET_EXPECT_PATH is not set: no expectation for this CPU";
	EXPECT_EQ(name_of(best_scan_path()), want);
	bool below = true;
	for (scan_path p : all_scan_paths) {
		EXPECT_EQ(can_run(p), below) << name_of(p);
		if (name_of(p) == want)
			below = false;
	}
}

// A line that comes alone in a read takes the short loop of each way of
// scanning, and a long block the other; each entry says which it is, so
// that one wired in the other's place fails here.
TEST(dispatch, short_blocks_take_the_short_loop)
{
	for (scan_path path : paths()) {
		run_settings rs;
		rs.format = "T ";
		rs.out = open("/dev/null", O_WRONLY | O_CLOEXEC);
		auto s = std::make_unique<copy_state>();
		auto buf = std::make_unique<char[]>(OUT_BUF_SIZE);
		start_copy(*s, rs, path, buf.get(), OUT_BUF_SIZE);
		std::string in = "a line\n" + std::string(4 * CHUNK, 'x') + "\n";
		in.resize(in.size() + SCAN_REACH, '\n');
		scan_ran short_one = copy_block(*s, {0, 0}, in.data(), 7, in.size() - 7);
		flush_lines(s->out);
		scan_ran long_one = copy_block(*s, {0, 0}, in.data(), 4 * CHUNK + 8, SCAN_REACH);
		flush_all(s->out);
		close(rs.out);
		EXPECT_TRUE(short_one.path == path && short_one.few) << name_of(path);
		EXPECT_TRUE(long_one.path == path && !long_one.few) << name_of(path);
	}
}

// The copy loop's output, or a failure if it reported an error.
std::string stamp_blocks(const trans_table &t, const std::vector<std::string> &blocks,
                         scan_path path, const feed_opts &f = {})
{
	feed_result r = feed_blocks(t, {blocks.begin(), blocks.end()}, path, f);
	EXPECT_EQ(r.err, 0);
	EXPECT_TRUE(r.path_ran) << "another way of scanning ran for " << name_of(path);
	return r.out;
}

// Every number of stamp steps a chunk may take without a branch; the
// output must be the same with each.  The fewest and the most, for the
// tests that try every split or every room left.
std::vector<int> all_steps()
{
	std::vector<int> v;
	for (int i = 0; i <= MAX_STEPS; ++i)
		v.push_back(i);
	return v;
}
constexpr int edge_steps[] = {0, MAX_STEPS};

// How a feed was set up, for failure messages.
std::string where(scan_path path, const feed_opts &f)
{
	return std::string("path ") + std::string(name_of(path)) + ", slack " +
	       std::to_string(f.slack) + ", stamp " + dump(f.format) + ", steps " +
	       std::to_string(f.steps);
}

// Rows of input and what each table makes of it.  A scanned table without
// an expectation here is held to the byte-at-a-time walk of its own rule.
struct machine_case {
	const char *name;
	std::string in;
	std::vector<std::pair<const trans_table *, std::string>> out;
	std::string expected(const trans_table *t) const
	{
		for (const auto &[table, text] : out)
			if (table == t)
				return text;
		return table_walk(*t, in, "T ");
	}
};

const machine_case machine_cases[] = {
    {"lines_and_empty_line",
     "a\n\nb",
     {{&prefix_trans, "T a\n\nT b"}, {&suffix_trans, "aT \n\nb"}}},
    {"cr_is_content", "\r\n", {{&prefix_trans, "T \r\n"}, {&suffix_trans, "\rT \n"}}},
    {"nul_is_content",
     "\0\n\0\0"s,
     {{&prefix_trans, "T \0\nT \0\0"s}, {&suffix_trans, "\0T \n\0\0"s}}},
    {"leading_newlines", "\n\n\nx", {{&prefix_trans, "\n\n\nT x"}, {&suffix_trans, "\n\n\nx"}}},
    {"one_byte_lines",
     "a\nb\nc\n",
     {{&prefix_trans, "T a\nT b\nT c\n"}, {&suffix_trans, "aT \nbT \ncT \n"}}},
    {"empty", "", {{&prefix_trans, ""}, {&suffix_trans, ""}}},
    {"one_byte", "x", {{&prefix_trans, "T x"}, {&suffix_trans, "x"}}},
    {"only_newline", "\n", {{&prefix_trans, "\n"}, {&suffix_trans, "\n"}}},
    // Dense short lines, over several chunks of the scan.
    {"short_lines",
     repeat("a\n\nbcd\n", 40),
     {{&prefix_trans, repeat("T a\n\nT bcd\n", 40)},
      {&suffix_trans, repeat("aT \n\nbcdT \n", 40)}}},
    {"long_run",
     std::string(1000, 'z') + "\n",
     {{&prefix_trans, "T " + std::string(1000, 'z') + "\n"},
      {&suffix_trans, std::string(1000, 'z') + "T \n"}}},
    // A chunk that ends in a newline, and a line after it in a later read.
    {"newline_ends_a_chunk",
     std::string(63, '0') + "\nnext\n",
     {{&prefix_trans, "T " + std::string(63, '0') + "\nT next\n"},
      {&suffix_trans, std::string(63, '0') + "T \nnextT \n"}}},
};

void PrintTo(const machine_case &c, std::ostream *os)
{
	*os << c.name;
}

class machine : public testing::TestWithParam<machine_case>
{
};

// Whatever the block boundaries, and whether or not the copy loop may read
// past a block, the output is the same.
TEST_P(machine, stamps_at_every_split)
{
	const machine_case &c = GetParam();
	for (const trans_table *t : scanned_tables) {
		const std::string want = dump(c.expected(t));
		std::vector<std::string> bytes;
		for (char ch : c.in)
			bytes.emplace_back(1, ch);
		for (scan_path path : paths())
			for (std::size_t slack : {std::size_t{0}, SCAN_REACH})
				for (int steps : edge_steps) {
					feed_opts f{.slack = slack, .steps = steps};
					for (std::size_t i = 0; i <= c.in.size(); ++i)
						EXPECT_EQ(
						    dump(stamp_blocks(
						        *t, {c.in.substr(0, i), c.in.substr(i)},
						        path, f)),
						    want)
						    << "split " << i << ", " << where(path, f);
					EXPECT_EQ(dump(stamp_blocks(*t, bytes, path, f)), want)
					    << where(path, f);
				}
	}
}

INSTANTIATE_TEST_SUITE_P(copy_loop, machine, testing::ValuesIn(machine_cases), row_name);

// Removes each stamp "<T>" from out, checking that it stands in front of a
// line's first byte, or with -s between a line's last byte and its newline.
std::string unstamp(const std::string &out, bool suffix, std::size_t &stamps)
{
	std::string in;
	stamps = 0;
	for (std::size_t i = 0; i < out.size();) {
		if (out.compare(i, 3, "<T>") != 0) {
			in += out[i++];
			continue;
		}
		++stamps;
		i += 3;
		bool at_start = in.empty() || in.back() == '\n';
		bool before_nl = i < out.size() && out[i] == '\n';
		if (suffix ? at_start || !before_nl : !at_start || before_nl || i == out.size())
			ADD_FAILURE() << "stamp misplaced at input offset " << in.size();
	}
	return in;
}

TEST(copy_loop, every_byte_value_and_lines_beyond_the_buffer)
{
	feed_opts f{.cap = 4096, .slack = SCAN_REACH, .format = "<T>"};
	std::mt19937 rng(7);
	std::string in;
	std::size_t lines = 0;
	for (int i = 0; i < 40; ++i) {
		// Some lines outgrow the output buffer; none holds "<T>" or
		// a newline, every other byte value does occur.
		std::size_t len = i % 10 == 0 ? f.cap + 1234 : rng() % 300;
		for (std::size_t j = 0; j < len; ++j) {
			char ch = static_cast<char>(rng());
			in += ch == '\n' || ch == '<' ? 'x' : ch;
		}
		lines += len > 0;
		in += '\n';
	}
	for (int b = 0; b < 256; ++b)
		in += b == '\n' ? ' ' : static_cast<char>(b);
	++lines;
	std::vector<std::string> blocks;
	for (std::size_t i = 0; i < in.size();) {
		std::size_t n = std::min<std::size_t>(in.size() - i, 1 + rng() % 2000);
		blocks.push_back(in.substr(i, n));
		i += n;
	}
	for (const trans_table *t : scanned_tables) {
		// A table that stamps in front of newlines stamps line ends.
		const bool suffix = derive_rule(*t).at[0][1];
		std::size_t stamps;
		for (scan_path path : paths())
			for (int steps : all_steps()) {
				f.steps = steps;
				std::string out = stamp_blocks(*t, blocks, path, f);
				EXPECT_TRUE(unstamp(out, suffix, stamps) == in) << where(path, f);
				// The last line has no newline, so -s leaves it unstamped.
				EXPECT_EQ(stamps, suffix ? lines - 1 : lines);
			}
	}
}

// A buffer filled to within a step of full, by a line still open, then a
// run of short lines or of one line: every copy near the end of the buffer
// must keep inside it (the sanitizer build sees a store past it), and
// nothing may be lost.  With a small buffer, every room the fast copies
// need and a little more, for stamps stored whole and in pieces; the
// short lines come in a long block, and in one of two chunks, which takes
// the short loop for lines that come one read at a time.  A row for each
// stamp length.
class buffer_nearly_full : public testing::TestWithParam<std::size_t>
{
};

TEST_P(buffer_nearly_full, copies_keep_inside)
{
	constexpr std::size_t cap = 8192;
	const std::string lines = repeat("a\n", 200), few = repeat("a\n", 63), run(1500, 'y');
	const std::size_t slen = GetParam();
	const std::string stamp(slen, 'T');
	const std::size_t room = chunk_room(slen);
	for (scan_path path : paths())
		for (std::size_t slack : {std::size_t{0}, SCAN_REACH})
			for (std::size_t left = 0; left <= room + 64;
			     left += left == 64 ? room - 128 : 1)
				for (int steps : edge_steps) {
					const feed_opts f{.cap = cap,
					                  .slack = slack,
					                  .format = stamp.c_str(),
					                  .steps = steps};
					std::string open(cap - left - slen, 'x');
					for (const std::string *next : {&lines, &few, &run}) {
						std::string in = open + *next + "\nz";
						std::string out = stamp_blocks(
						    prefix_trans, {open, *next + "\nz"}, path, f);
						ASSERT_TRUE(out ==
						            table_walk(prefix_trans, in, stamp))
						    << "room left " << left << ", "
						    << where(path, f);
					}
				}
}

INSTANTIATE_TEST_SUITE_P(copy_loop, buffer_nearly_full, testing::Values(1, 2, 33),
                         [](const auto &row) { return "stamp_of_" + std::to_string(row.param); });

// Blocks of random size and lines of every density, against a walk of the
// table one byte at a time, on every path.
TEST(copy_loop, agrees_with_the_table)
{
	std::mt19937 rng(11);
	for (int round = 0; round < 42; ++round) {
		std::string in;
		auto density = 1 + rng() % 200;
		for (int i = 0; i < 5000; ++i)
			in += rng() % density == 0 ? '\n' : "ab\r\0"[rng() % 4];
		std::vector<std::string> blocks;
		for (std::size_t i = 0; i < in.size();) {
			std::size_t n = std::min<std::size_t>(in.size() - i, 1 + rng() % 700);
			blocks.push_back(in.substr(i, n));
			i += n;
		}
		// Stamps of up to 32 bytes are stored from a register, longer
		// ones in pieces of 32: the lengths at the edges of both.
		constexpr std::size_t lengths[] = {1, 2, 31, 32, 33, 37, 64};
		const std::string stamp(
		    lengths[static_cast<std::size_t>(round) % std::size(lengths)], 'S');
		feed_opts f{.slack = round % 3 == 0 ? 0 : SCAN_REACH, .format = stamp.c_str()};
		for (const trans_table *t : scanned_tables)
			for (scan_path path : paths())
				for (int steps : all_steps()) {
					f.steps = steps;
					ASSERT_EQ(dump(stamp_blocks(*t, blocks, path, f)),
					          dump(table_walk(*t, in, stamp)))
					    << "round " << round << ", " << where(path, f);
				}
	}
}

// A table the copy loop does not run by rule is walked a byte at a time,
// with the same result as the definition: a copy of a known table, and one
// that stamps every other byte of a line, which no rule can say.
TEST(copy_loop, other_tables_are_walked)
{
	static constexpr trans_table prefix_copy = prefix_trans;
	static constexpr trans_table every_other{3, 1, 3, 1, 3, 1, 2, 1};
	static_assert(!derive_rule(every_other).ok);
	const std::string in = "abc\n\nde\nfghij";
	for (const trans_table *t : {&prefix_copy, &every_other})
		for (scan_path path : paths())
			EXPECT_EQ(dump(stamp_blocks(*t, {in.substr(0, 5), in.substr(5)}, path)),
			          dump(table_walk(*t, in, "T ")))
			    << name_of(path);
}

// What is written before the end of the input is the complete lines, and
// nothing of the open one, its stamp included, however the block ends: a
// long block, and short ones as when lines come one read at a time.
TEST(copy_loop, writes_complete_lines_only)
{
	const std::pair<std::string, std::string> blocks[] = {
	    {repeat("a\n", 100), std::string(300, 'b')},
	    {"a\n", std::string(70, 'b')},
	    {std::string(70, 'a') + "\n", "bb"},
	    {"a\n\n", "b"},
	};
	for (const auto &[lines, open] : blocks)
		for (const trans_table *t : scanned_tables)
			for (scan_path path : paths())
				for (std::size_t slack : {std::size_t{0}, SCAN_REACH})
					for (int steps : all_steps()) {
						const feed_opts f{.slack = slack,
						                  .end_of_input = false,
						                  .steps = steps};
						EXPECT_EQ(
						    dump(stamp_blocks(*t, {lines + open}, path, f)),
						    dump(table_walk(*t, lines, "T ")))
						    << where(path, f);
					}
}

// A line is written whole while it, its stamp and its newline fit in the
// output buffer; only a longer one is split.  At the program's own size.
TEST(copy_loop, whole_line_bound)
{
	auto buf = std::make_unique<char[]>(OUT_BUF_SIZE);
	for (const trans_table *t : scanned_tables)
		for (std::size_t extra : {0, 1}) {
			run_settings rs;
			rs.format = "T ";
			rs.trans = t;
			rs.out = memfd_create("out", 0);
			auto s = std::make_unique<copy_state>();
			start_copy(*s, rs, best_scan_path(), buf.get(), OUT_BUF_SIZE);
			std::string line(OUT_BUF_SIZE - 3 + extra, 'x');
			line += '\n';
			copy_block(*s, {0, 0}, line.data(), line.size());
			// Written before the line is complete: split.
			EXPECT_EQ(lseek(rs.out, 0, SEEK_END) != 0, extra == 1);
			flush_lines(s->out);
			EXPECT_EQ(s->out.err, 0);
			EXPECT_EQ(lseek(rs.out, 0, SEEK_END), static_cast<off_t>(line.size() + 2));
			close(rs.out);
		}
}

} // namespace
