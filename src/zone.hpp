// horlet: time zones: local time, UTC, and the zone settled before the
// run.
#pragma once

#include <ctime>

namespace horlet
{

using broken_down_fn = struct tm *(*)(const time_t *, struct tm *);
// Local time as localtime(3) gives it: unlike localtime_r, it looks at the
// system's zone file again when TZ is unset, so a change of the system's
// time zone shows in the next second stamped.
struct tm *local_time(const time_t *t, struct tm *out);
// UTC for -u, which sets TZ to GMT0: local time in that zone, since
// gmtime names its zone "GMT" in one C library and "UTC" in another.
struct tm *utc_time(const time_t *t, struct tm *out);

// Settles the zone for the run, UTC or local, and loads it now, while a
// descriptor for its file can surely be had; later it is read again only
// if it changes.
void settle_zone(bool utc);

} // namespace horlet
