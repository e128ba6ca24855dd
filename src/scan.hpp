// horlet: the copy loop: finds the lines of a block of input and copies it
// to the output buffer with a stamp wherever the transition table puts one.
#pragma once

#include <sys/time.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "scan_ops.hpp"
#include "settings.hpp"
#include "stamp.hpp"
#include "write.hpp"

namespace horlet
{

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

// The tables the copy loop runs by their rule, 64 bytes at a time; each
// must come to a rule it knows, or the program does not compile.  Any
// other table is walked a byte at a time.
inline constexpr std::array scanned_tables{&prefix_trans, &suffix_trans};

// How many bytes past a chunk's start the copy loop may read (its
// contract stands at copy_stamped, in scan.cpp).  A block followed by that
// many readable bytes is copied the fast way to its end; otherwise its
// last 128 bytes are copied exactly.
inline constexpr std::size_t SCAN_REACH = 2 * CHUNK;
// The most stamps a chunk copies without a branch on how many it has.
inline constexpr std::uint8_t MAX_STEPS = 2;
// The room in the output that one chunk copied the fast way may store
// into: its 64 bytes, at most one stamp a byte, and the last piece's
// 64-byte store.  (A step past the chunk's last stamp stores its stamp and
// piece after the chunk's output, no further than MAX_STEPS stamps would
// reach.)  With less, the loop copies exactly.
constexpr std::size_t chunk_room(std::size_t stamp_len)
{
	static_assert(MAX_STEPS <= CHUNK);
	return CHUNK + CHUNK * stamp_len + CHUNK;
}

// One run of the copy loop: the line state, the stamp and the output.
struct copy_state {
	const run_settings *rs = nullptr;
	scan_path path = scan_path::portable;
	std::uint32_t state = 0; // the table's state after the last byte
	// The stamp steps a chunk of the next block takes without a branch,
	// from 0 to MAX_STEPS, chosen by how densely the last block was
	// stamped; the output is the same with any.
	std::uint8_t steps = 0;
	stamp_cache cache;
	out_buf out;
};

// Which loop of which way of scanning copied a block, as the loop itself
// tells it: the short loop for a block of few chunks, or the other.
struct scan_ran {
	scan_path path;
	bool few;
};

// Readies s for a run with rs, with buf[0, cap) for the output buffer.
void start_copy(copy_state &s, const run_settings &rs, scan_path path, char *buf, std::size_t cap);
// Copies n bytes that came in by one read, all stamped with clock reading
// tv.  The slack bytes after them may be read, and are not used.  Returns
// the way of scanning that copied them, which is s.path, and its loop.
scan_ran copy_block(copy_state &s, const timeval &tv, const char *p, std::size_t n,
                    std::size_t slack = 0);

} // namespace horlet
