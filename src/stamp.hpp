// horlet: the stamping engine. Copies a byte stream and puts a timestamp
// in front of the first byte, or of the newline, of every non-empty line.
#pragma once

#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

namespace horlet
{

// Line-boundary states: 0 nothing read yet, 1 after a newline, 2 inside a
// line, 3 a stamp has just been written in front of the last byte.  The entry
// at state * 2 + (byte == '\n') is the next state; entering 3 writes a stamp.
using trans_table = std::array<std::uint32_t, 8>;
inline constexpr trans_table prefix_trans{3, 1, 3, 1, 2, 1, 2, 1};
inline constexpr trans_table suffix_trans{2, 1, 2, 1, 2, 3, 2, 1};

// What a table comes to for whole blocks: whether a stamp goes in front of
// a byte depends only on whether that byte and the one before it (the start
// counting as a newline) are newlines.  at[before][byte], 1 for a newline.
struct stamp_rule {
	bool ok = false; // false: the table depends on more than that
	std::array<std::array<bool, 2>, 2> at{};
	constexpr bool operator==(const stamp_rule &) const = default;
};

constexpr stamp_rule derive_rule(const trans_table &t)
{
	// The states reachable from 0, and which of them follow a newline
	// (or nothing) and which follow another byte.
	std::array<bool, 4> reach{true}, after_nl{true}, after_other{};
	for (int round = 0; round < 4; ++round)
		for (std::size_t s = 0; s < 4; ++s) {
			if (!reach[s])
				continue;
			reach[t[s * 2]] = after_other[t[s * 2]] = true;
			reach[t[s * 2 + 1]] = after_nl[t[s * 2 + 1]] = true;
		}
	stamp_rule r{true, {}};
	for (std::size_t before = 0; before < 2; ++before)
		for (std::size_t nl = 0; nl < 2; ++nl) {
			const auto &group = before == 1 ? after_nl : after_other;
			bool seen = false;
			for (std::size_t s = 0; s < 4; ++s) {
				if (!group[s])
					continue;
				bool stamp = t[s * 2 + nl] == 3;
				if (seen && stamp != r.at[before][nl])
					r.ok = false;
				r.at[before][nl] = stamp;
				seen = true;
			}
		}
	return r;
}

inline constexpr char default_fmt[] = "%Y-%m-%d %H:%M:%S: ";
inline constexpr std::string_view overflow_marker = "[OVERFLOW]: ";
inline constexpr std::string_view usec_marker = "%@";
inline constexpr char stdout_name[] = "standard output";

// strftime's buffer, NUL included: the longest expansion is 511 bytes.
inline constexpr std::size_t STAMP_BUF_SIZE = 512;
// The longest stamp: an expansion of 255 "%@" and one more byte, each
// marker written as six digits.
inline constexpr std::size_t STAMP_MAX = (STAMP_BUF_SIZE - 1) / 2 * 6 + 1;

inline constexpr std::size_t IN_BUF_SIZE = 512 * 1024;
inline constexpr std::size_t OUT_BUF_SIZE = 1024 * 1024;

using broken_down_fn = struct tm *(*)(const time_t *, struct tm *);
// Local time as localtime(3) gives it: unlike localtime_r, it looks at the
// system's zone file again when TZ is unset, so a change of the system's
// time zone shows in the next second stamped.
struct tm *local_time(const time_t *t, struct tm *out);

struct run_settings {
	const char *format = default_fmt;
	const trans_table *trans = &prefix_trans;
	broken_down_fn to_broken_down = local_time;
	int out = STDOUT_FILENO;
	const char *out_name = stdout_name;
};

// The expansion of the format for one second of the clock, with the places
// of its "%@" markers, so that stamps within that second cost a copy.
struct stamp_cache {
	bool valid = false;
	time_t sec = 0;
	std::size_t len = 0;
	std::size_t nmarks = 0;
	std::array<std::uint16_t, STAMP_BUF_SIZE / 2> marks{};
	std::array<char, STAMP_BUF_SIZE> text{};
};

// Writes the stamp for clock reading tv into dst, which has room for
// STAMP_MAX bytes, and returns its length.
std::size_t render_stamp(const run_settings &rs, stamp_cache &cache, const timeval &tv, char *dst);

// The ways of scanning a block for newlines, slowest first; every one
// gives the same output.
enum class scan_path { portable, sse2, avx2 };
// The fastest the CPU can run.
scan_path best_scan_path();
bool can_run(scan_path p);

// One run of the copy loop: the line state, the stamp of the current
// block and the output buffer.  Output is written in whole lines, except
// when a line and its stamp outgrow the buffer.
struct stamper {
	const run_settings *rs = nullptr;
	scan_path path = scan_path::portable;
	std::uint32_t state = 0;  // 0 at the start, then 1 after a newline, 2 after another byte
	std::size_t len = 0;      // bytes in buf
	std::size_t line_end = 0; // buf[0, line_end) holds complete lines
	int err = 0;              // errno of the first failed write
	stamp_rule rule;
	stamp_cache cache;
	std::size_t stamp_len = 0;
	// The current block's stamp, with room for a fixed-size copy.
	std::array<char, STAMP_MAX + 32> stamp{};
	// Every write starts at buf[0]; the kernel copies from a cache-line
	// aligned start far faster than from an odd address.
	alignas(64) std::array<char, OUT_BUF_SIZE> buf;
};

// Readies s for a run with rs.
void start(stamper &s, const run_settings &rs, scan_path path);
// Stamps n bytes that came in by one read, with one clock reading for all
// their stamps; false once a write failed.
bool stamp_block(stamper &s, const char *p, std::size_t n);
// Writes the complete lines held, or everything held.
bool flush_lines(stamper &s);
bool flush_all(stamper &s);

// A termination signal that asks stamp_stream to write what it has read
// and return.  Its handler sets signo, and sees to it that a read about
// to start, or one already waiting, ends at once.
struct stop_request {
	volatile std::sig_atomic_t signo = 0;
};

struct stamp_result {
	enum { ok, read_error, write_error } fault = ok;
	int err = 0;
	int signo = 0; // the signal that stopped the run, or 0
};

// Copies the descriptor in to rs.out to the end of the input, or until
// stop asks.  Every completed line is written before each wait for input.
stamp_result stamp_stream(const run_settings &rs, int in, const stop_request *stop = nullptr);

// Write all n bytes, or the n pieces at v, across short writes and
// interrupts, each with as few system calls as the descriptor allows;
// 0 or an errno.
int write_all(int fd, const char *p, std::size_t n);
int writev_all(int fd, iovec *v, int n);

} // namespace horlet
