// horlet: the stamp for a clock reading.
#include "stamp.hpp"

#include <cstdlib>
#include <cstring>

namespace horlet
{

// The format's expansion, with room for six digits at every "%@", whose
// places are noted.
void fill_second(const run_settings &rs, stamp_cache &c, time_t sec)
{
	char text[STAMP_BUF_SIZE];
	struct tm tm;
	std::size_t len = rs.to_broken_down(&sec, &tm) != nullptr
	                      ? std::strftime(text, sizeof text, rs.format, &tm)
	                      : 0;
	// Zero is both "did not fit" and "nothing"; neither is a stamp.
	if (len == 0) {
		len = overflow_marker.size();
		std::memcpy(text, overflow_marker.data(), len);
	}
	c.valid = true;
	c.sec = sec;
	c.nmarks = 0;
	char *d = c.stamp.data();
	for (std::size_t i = 0; i < len;) {
		if (i + 1 < len && text[i] == usec_marker[0] && text[i + 1] == usec_marker[1]) {
			c.marks[c.nmarks++] = static_cast<std::uint16_t>(d - c.stamp.data());
			d += 6;
			i += usec_marker.size();
		} else {
			*d++ = text[i++];
		}
	}
	c.len = static_cast<std::size_t>(d - c.stamp.data());
}

struct tm *local_time(const time_t *t, struct tm *out)
{
#ifndef __GLIBC__
	// Other C libraries, musl among them, load the system's zone file
	// again only when TZ's text changes: with TZ unset, that file is
	// named by turns in two ways, so that a new zone shows here too.
	enum class tz_naming { unknown, tz_set, plain, colon };
	static tz_naming naming = tz_naming::unknown;
	if (naming == tz_naming::unknown)
		naming = std::getenv("TZ") == nullptr ? tz_naming::plain : tz_naming::tz_set;
	if (naming != tz_naming::tz_set) {
		setenv("TZ", naming == tz_naming::plain ? "/etc/localtime" : ":/etc/localtime", 1);
		naming = naming == tz_naming::plain ? tz_naming::colon : tz_naming::plain;
	}
#endif
	const struct tm *tm = std::localtime(t);
	if (tm == nullptr)
		return nullptr;
	*out = *tm;
	return out;
}

struct tm *utc_time(const time_t *t, struct tm *out)
{
	return localtime_r(t, out);
}

void fill_usec(stamp_cache &c, suseconds_t usec)
{
	// Six digits, however the clock misbehaves.
	auto u = static_cast<unsigned long>(usec) % 1000000UL;
	char digits[6];
	for (int i = 5; i >= 0; --i) {
		digits[i] = static_cast<char>('0' + u % 10);
		u /= 10;
	}
	for (std::size_t m = 0; m < c.nmarks; ++m)
		std::memcpy(c.stamp.data() + c.marks[m], digits, sizeof digits);
}

} // namespace horlet
