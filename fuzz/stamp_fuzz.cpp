// Renders stamps from arbitrary format bytes and clock readings: never
// past STAMP_MAX, and a cached rendering equals a fresh one.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "stamp.hpp"

using namespace horlet;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size < 17)
		return 0;
	timeval tv[2];
	std::int64_t sec;
	std::int32_t usec[2];
	std::memcpy(&sec, data, 8);
	std::memcpy(usec, data + 8, 8);
	bool utc = data[16] & 1;
	// Keep the readings where the time conversion stays quick; huge ones
	// still reach the failure path.
	if (data[16] & 2)
		sec %= 400LL * 366 * 86400;
	tv[0] = {static_cast<time_t>(sec), usec[0]};
	tv[1] = {static_cast<time_t>(sec), usec[1]};
	std::string format(reinterpret_cast<const char *>(data + 17), size - 17);
	format = format.c_str(); // up to the first NUL, as from a command line

	run_settings rs;
	rs.format = format.c_str();
	rs.to_broken_down = utc ? gmtime_r : local_time;
	stamp_cache cache;
	for (const timeval &r : tv) {
		std::string_view s = render_stamp(rs, cache, r);
		stamp_cache fresh;
		if (s.size() > STAMP_MAX || s != render_stamp(rs, fresh, r))
			std::abort();
	}
	return 0;
}
