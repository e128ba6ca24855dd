// horlet: the stamp for a clock reading.
#include "stamp.hpp"

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
