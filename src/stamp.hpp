// horlet: the stamping engine. Copies a byte stream and puts a timestamp
// in front of the first byte, or of the newline, of every non-empty line.
#pragma once

#include <sys/time.h>
#include <unistd.h>

#include <array>
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
// Short pieces are copied in whole chunks of this size, which may run this
// far past their end in the output buffer.
inline constexpr std::size_t COPY_CHUNK = 64;

using broken_down_fn = struct tm *(*)(const time_t *, struct tm *);

struct run_settings {
	const char *format = default_fmt;
	const trans_table *trans = &prefix_trans;
	broken_down_fn to_broken_down = localtime_r;
	int out = STDOUT_FILENO;
	const char *out_name = stdout_name;
};

// The expansion of the format for one second of the clock, with the places
// of its "%@" markers, so that stamps within that second cost a copy.
struct stamp_cache {
	bool valid = false;
	bool quick = false; // valid, short and without "%@"
	time_t sec = 0;
	std::size_t len = 0;
	std::size_t nmarks = 0;
	std::array<std::uint16_t, STAMP_BUF_SIZE / 2> marks{};
	std::array<char, STAMP_BUF_SIZE> text{};
};

// Writes the stamp for clock reading tv into dst, which has room for
// STAMP_MAX bytes, and returns its length.
std::size_t render_stamp(const run_settings &rs, stamp_cache &cache, const timeval &tv, char *dst);

// One run of the copy loop: the line state and the output buffer.  Output
// is written in whole lines except when a line outgrows the buffer.
struct stamper {
	const run_settings *rs = nullptr;
	std::uint32_t state = 0;
	std::size_t len = 0;      // bytes in buf
	std::size_t line_end = 0; // buf[0, line_end) holds complete lines
	int err = 0;              // errno of the first failed write
	stamp_cache cache;
	std::array<char, OUT_BUF_SIZE + COPY_CHUNK> buf;
};

// Stamps n input bytes into the output buffer; false once a write failed.
bool stamp_block(stamper &s, const char *p, std::size_t n);
// Writes the complete lines held, or everything held.
bool flush_lines(stamper &s);
bool flush_all(stamper &s);

struct stamp_result {
	enum { ok, read_error, write_error } fault = ok;
	int err = 0;
};

// Copies the descriptor in to rs.out to the end of the input.  Every
// completed line is written before each read that may wait.
stamp_result stamp_stream(const run_settings &rs, int in);

// Writes all n bytes, across short writes and interrupts; 0 or an errno.
int write_all(int fd, const char *p, std::size_t n);

} // namespace horlet
