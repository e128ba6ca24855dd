// horlet: time zones.
#include "zone.hpp"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace horlet
{

namespace
{

// A zone of the POSIX form that names a summer time but gives no rule for
// it (TZ=EST5EDT, CET-1CEST): glibc reads a zone file of that name where
// one exists, and applies the US rule elsewhere; musl does neither, so the
// static binary is given the same, and stamps alike.
void add_summer_rule()
{
#if defined(__linux__) && !defined(__GLIBC__)
	const char *tz = std::getenv("TZ");
	if (tz == nullptr || std::strpbrk(tz, ":,/") != nullptr)
		return;
	// name offset name [offset], each name alphabetic or in <>.
	auto name = [](const char *p) {
		if (*p == '<') {
			const char *end = std::strchr(p, '>');
			return end != nullptr ? end + 1 : p;
		}
		while (std::isalpha(static_cast<unsigned char>(*p)))
			++p;
		return p;
	};
	auto offset = [](const char *p) {
		p += *p == '+' || *p == '-';
		while (std::isdigit(static_cast<unsigned char>(*p)) || *p == ':')
			++p;
		return p;
	};
	const char *std_end = name(tz);
	const char *off_end = offset(std_end);
	const char *dst_end = name(off_end);
	if (std_end == tz || off_end == std_end || dst_end == off_end || *offset(dst_end) != '\0')
		return;
	static char with_rule[256];
	// Where a zone file of that name exists (EST5EDT, PST8PDT), glibc reads
	// it, history included; musl reads it when the name starts with ':'.
	constexpr const char *zone_dirs[] = {"/usr/share/zoneinfo/", "/share/zoneinfo/",
	                                     "/etc/zoneinfo/"};
	for (const char *dir : zone_dirs) {
		int n = std::snprintf(with_rule, sizeof with_rule, "%s%s", dir, tz);
		if (n > 0 && static_cast<std::size_t>(n) < sizeof with_rule &&
		    access(with_rule, R_OK) == 0) {
			std::snprintf(with_rule, sizeof with_rule, ":%s", tz);
			setenv("TZ", with_rule, 1);
			return;
		}
	}
	int n = std::snprintf(with_rule, sizeof with_rule, "%s,M3.2.0,M11.1.0", tz);
	if (n > 0 && static_cast<std::size_t>(n) < sizeof with_rule)
		setenv("TZ", with_rule, 1);
#endif
}

} // namespace

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

void settle_zone(bool utc)
{
	// strftime's %s reads broken-down time back as local time, so UTC
	// fields give the true epoch only when local time is UTC.
	if (utc)
		setenv("TZ", "GMT0", 1);
	else
		add_summer_rule();
	tzset();
}

} // namespace horlet
