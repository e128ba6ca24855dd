// horlet: what the command line settles for a run: where stamps go (the
// transition tables), what they say (the format and the time conversion)
// and where the output goes.
#pragma once

#include <unistd.h>

#include <array>
#include <cstdint>
#include <ctime>

#include "zone.hpp"

namespace horlet
{

// Line-boundary states: 0 nothing read yet, 1 after a newline, 2 inside a
// line, 3 a stamp has just been written in front of the last byte.  The entry
// at state * 2 + (byte == '\n') is the next state; entering 3 writes a stamp.
using trans_table = std::array<std::uint32_t, 8>;
inline constexpr trans_table prefix_trans{3, 1, 3, 1, 2, 1, 2, 1};
inline constexpr trans_table suffix_trans{2, 1, 2, 1, 2, 3, 2, 1};

inline constexpr char default_fmt[] = "%Y-%m-%d %H:%M:%S: ";
inline constexpr char stdout_name[] = "standard output";

struct run_settings {
	const char *format = default_fmt;
	const trans_table *trans = &prefix_trans;
	broken_down_fn to_broken_down = local_time;
	const char *file = nullptr; // FILE, or null for standard output
	bool append = false;        // FILE is appended to, not emptied
	int out = STDOUT_FILENO;
	const char *out_name = stdout_name;
};

} // namespace horlet
