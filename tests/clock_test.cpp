// When the clock is read and what the stamps say: against the real clock,
// a faked one, the system's zone and the environment's locale.
#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "harness.hpp"

using namespace std::chrono_literals;

namespace
{

double now()
{
	timeval tv;
	gettimeofday(&tv, nullptr);
	return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

// A line that arrives in two parts is stamped with the arrival of the
// byte that calls for the stamp: its first byte, or with -s its newline.
TEST(clock, read_when_the_calling_byte_arrives)
{
	// Under valgrind horlet starts too slowly for the timing this needs.
	if (under_memcheck())
		GTEST_SKIP() << "needs horlet at its own speed";
	for (bool suffix : {false, true}) {
		child c = suffix ? spawn({"-s", "-f", "<%s.%%@>"}) : spawn({"-f", "<%s.%%@>"});
		double before = now();
		send(c, "a");
		std::this_thread::sleep_for(300ms);
		double middle = now();
		send(c, "b\n");
		std::string line = read_for(c.out, 22, 5000);
		double after = now();
		EXPECT_EQ(finish(c), 0);
		auto m = regex_groups(line, "<([0-9]+\\.[0-9]{6})>", true);
		ASSERT_FALSE(m.empty()) << dump(line);
		double stamp = std::stod(m[1]);
		if (suffix) {
			EXPECT_EQ(line.substr(0, 2), "ab");
			EXPECT_GE(stamp, middle - 0.001);
			EXPECT_LE(stamp, after + 0.001);
		} else {
			EXPECT_EQ(line.substr(line.size() - 3), "ab\n");
			EXPECT_GE(stamp, before - 0.001);
			EXPECT_LT(stamp, middle);
		}
	}
}

TEST(clock, microseconds_match_the_seconds_reading)
{
	run_result r = run_sh("horlet -f '%s.%%@ %%@ %%@@ '", "x\ny\n");
	EXPECT_EQ(r.status, 0);
	std::string line("([0-9]+)\\.([0-9]{6}) ([0-9]{6}) ([0-9]{6})@ x\n"
	                 "([0-9]+)\\.([0-9]{6}) ([0-9]{6}) ([0-9]{6})@ y\n");
	auto m = regex_groups(r.out, line);
	ASSERT_FALSE(m.empty()) << dump(r.out);
	for (int base : {1, 5}) {
		EXPECT_EQ(m[base + 1], m[base + 2]);
		EXPECT_EQ(m[base + 1], m[base + 3]);
	}
	double first = std::stod(m[1] + "." + m[2]);
	double second = std::stod(m[5] + "." + m[6]);
	EXPECT_LE(first, second);
	EXPECT_LT(std::abs(now() - first), 60);
}

TEST(clock, default_format_shape)
{
	std::string stamp("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}: ");
	for (const char *script : {"horlet", "horlet -w ' '", "horlet -u", "horlet -a -s"}) {
		run_result r = run_sh(script, "x\n");
		EXPECT_EQ(r.status, 0) << script;
		std::string body = std::string(script).find("-s") == std::string::npos
		                       ? r.out.substr(0, r.out.size() - 2)
		                       : r.out.substr(1, r.out.size() - 2);
		EXPECT_FALSE(regex_groups(body, stamp).empty()) << script << ": " << dump(r.out);
		EXPECT_EQ(r.out.size(), 23u) << script;
	}
}

// Under a clock started at a known local instant in a fixed zone.
struct faked_case {
	const char *name;
	const char *vars;
	const char *args;
	const char *out;
	const char *when = "2026-01-02 03:04:05";
};

void PrintTo(const faked_case &c, std::ostream *os)
{
	*os << c.name;
}

const faked_case faked_cases[] = {
    {"default_local", "", "", "2026-01-02 03:04:05: a\n2026-01-02 03:04:05: b"},
    {"utc", "", "-u", "2026-01-01 18:04:05: a\n2026-01-01 18:04:05: b"},
    {"suffix", "", "-s", "a2026-01-02 03:04:05: \nb"},
    // %s is the true epoch with -u, on either side of UTC.
    {"utc_epoch_east", "", "-u -f '%s %Z %z '", "1767290645 GMT +0000 a\n1767290645 GMT +0000 b"},
    {"utc_epoch_west", "TZ=EST5", "-u -f '%s %Z %z '",
     "1767341045 GMT +0000 a\n1767341045 GMT +0000 b"},
    {"local_epoch", "TZ=EST5", "-f '%s %Z %z '", "1767341045 EST -0500 a\n1767341045 EST -0500 b"},
    {"w_spaces", "", "-f '%H_%M_' -w _", "03 04 a\n03 04 b"},
    // A summer time named without a rule, where a zone file of that name
    // exists: its history (summer time all of 1974), with either C library.
    {"zone_file_of_the_name", "TZ=EST5EDT", "-f '%Z '", "EDT a\nEDT b", "1974-02-01 12:00:00"},
    // Where none exists, the US rule: summer time from the second Sunday
    // of March, three weeks before Europe's, and none in winter, for a
    // quoted name too.
    {"summer_without_a_rule", "TZ=CET-1CEST", "-f '%Z %z '", "CEST +0200 a\nCEST +0200 b",
     "2026-03-20 12:00:00"},
    {"quoted_summer_without_a_rule", "TZ='<-03>3<-02>'", "-f '%Z %z '", "-03 -0300 a\n-03 -0300 b",
     "2026-01-15 12:00:00"},
};

class faked : public testing::TestWithParam<faked_case>
{
};

// The clock faked by libfaketime, preloaded with the instant in FAKETIME:
// the library alone keeps no state between processes, where the faketime
// command keeps a semaphore and a shared-memory file a process id in
// /dev/shm, which a process that was killed leaves behind for the next
// one with its id to trip on.  The prefix of a command line that runs
// horlet so, or empty where it cannot: the library is missing, or horlet
// is a static binary run directly (HORLET_STATIC, set by whoever runs the
// tests against one), which no preloaded library reaches.  Anywhere else,
// a faked clock that does not reach horlet is a failure.
std::string faked_clock(const char *when)
{
	static const std::string lib = [] {
		for (const char *dir : {"/usr/lib/x86_64-linux-gnu", "/usr/lib/aarch64-linux-gnu",
		                        "/usr/lib/arm-linux-gnueabihf", "/usr/lib64", "/usr/lib"}) {
			std::string path = std::string(dir) + "/faketime/libfaketime.so.1";
			if (access(path.c_str(), R_OK) == 0)
				return path;
		}
		return std::string();
	}();
	const char *is_static = std::getenv("HORLET_STATIC");
	if (lib.empty() || (is_static != nullptr && *is_static != '\0'))
		return "";
	// A sanitizer runtime must otherwise come before the preloaded one.
	return "ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=" + lib + " FAKETIME='@" + when +
	       "' ";
}

TEST_P(faked, stamps)
{
	const faked_case &c = GetParam();
	const std::string clock = faked_clock(c.when);
	if (clock.empty())
		GTEST_SKIP() << "libfaketime is not installed, or horlet is a static binary";
	run_result r =
	    run_sh("TZ=JST-9 " + std::string(c.vars) + " " + clock + "horlet " + c.args, "a\nb");
	EXPECT_EQ(dump(r.out), dump(c.out));
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
}

INSTANTIATE_TEST_SUITE_P(clock, faked, testing::ValuesIn(faked_cases), row_name);

// With TZ unset, local time is the system's zone, and a change of it
// while horlet runs shows from the next second on.  The zone is changed
// by mounting another over /etc/localtime in a private mount namespace;
// where none can be had, the test is skipped, not passed.
TEST(clock, follows_a_change_of_the_system_zone)
{
	// Under valgrind horlet starts too slowly for the timing this needs.
	if (under_memcheck())
		GTEST_SKIP() << "needs horlet at its own speed";
	const std::string script = R"(
		z=/usr/share/zoneinfo
		[ -f $z/Asia/Tokyo ] && [ -f $z/Etc/UTC ] || { echo "no zone files"; exit 77; }
		unshare -m sh -c "mount --bind $z/Etc/UTC /etc/localtime" 2>/dev/null ||
			{ echo "no private mount namespace"; exit 77; }
		exec unshare -m sh -c "
			mount --bind $z/Etc/UTC /etc/localtime
			{ echo a; sleep 0.5; mount --bind $z/Asia/Tokyo /etc/localtime
			  sleep 1.1; echo b; } | env -u TZ horlet -f '%Z '"
	)";
	run_result r = run_sh(script);
	if (r.status == 77)
		GTEST_SKIP() << r.out;
	EXPECT_EQ(r.out, "UTC a\nJST b\n");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.status, 0);
}

// Day and month names stay the POSIX locale's even where the environment
// names a locale that exists: one is built for the test in its directory.
TEST(clock, locale_settings_have_no_effect)
{
	const std::string locale =
	    "mkdir loc; localedef -i de_DE -f UTF-8 loc/de_DE.UTF-8 >/dev/null 2>&1; "
	    "export LOCPATH=$PWD/loc LC_ALL=de_DE.UTF-8 LANG=de_DE.UTF-8; ";
	const std::string clock = faked_clock("2026-01-02 03:04:05");
	if (clock.empty())
		GTEST_SKIP() << "libfaketime is not installed, or horlet is a static binary";
	// The locale is real: the C library's own date names follow it.
	run_result r = run_sh(locale + "date -d @0 -u +%a");
	ASSERT_EQ(r.out, "Do\n") << "no German locale could be built: " << r.err;
	r = run_sh(locale + "TZ=JST-9 " + clock + "horlet -f '%a %b %p %c '", "x\n");
	EXPECT_EQ(r.out, "Fri Jan AM Fri Jan  2 03:04:05 2026 x\n");
	EXPECT_EQ(r.status, 0);
}

} // namespace
