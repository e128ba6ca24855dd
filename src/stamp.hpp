// horlet: the stamp: the format expanded for a clock reading, with the
// microseconds put in for every "%@".
#pragma once

#include <sys/time.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

#include "settings.hpp"

namespace horlet
{

inline constexpr std::string_view overflow_marker = "[OVERFLOW]: ";
inline constexpr std::string_view usec_marker = "%@";

// strftime's buffer, NUL included: the longest expansion is 511 bytes.
inline constexpr std::size_t STAMP_BUF_SIZE = 512;
// The longest stamp: an expansion of 255 "%@" and one more byte, each
// marker written as six digits.
inline constexpr std::size_t STAMP_MAX = (STAMP_BUF_SIZE - 1) / 2 * 6 + 1;
// Room past a stamp's end, so that it can be read and stored in pieces of
// 32 bytes.
inline constexpr std::size_t STAMP_SLACK = 31;

// The stamp last rendered, and what is needed to render the next one in the
// same second by writing its microseconds alone: the expansion for that
// second and the places of its "%@" markers.
struct stamp_cache {
	bool valid = false;
	time_t sec = 0;
	std::size_t nmarks = 0;
	std::array<std::uint16_t, STAMP_BUF_SIZE / 2> marks{}; // in the stamp
	std::size_t len = 0;
	std::array<char, STAMP_MAX + STAMP_SLACK> stamp{};
};

// Expands the format for a new second.
void fill_second(const run_settings &rs, stamp_cache &c, time_t sec);
// Writes the microseconds at every marker.
void fill_usec(stamp_cache &c, suseconds_t usec);

// The stamp for clock reading tv, which stays in the cache until the next
// call.  Within a second it costs a comparison, and its microseconds if it
// shows them.
inline std::string_view render_stamp(const run_settings &rs, stamp_cache &c, const timeval &tv)
{
	if (!c.valid || c.sec != tv.tv_sec) [[unlikely]]
		fill_second(rs, c, tv.tv_sec);
	if (c.nmarks > 0)
		fill_usec(c, tv.tv_usec);
	return {c.stamp.data(), c.len};
}

} // namespace horlet
