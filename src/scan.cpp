// horlet: the copy loop.
#include "scan.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace horlet
{

namespace
{

// The loop keeps line_end, and copies a chunk inside a long line without
// looking further, on the knowledge that only the byte after a newline,
// never one further into a line, can have a stamp of its own.
constexpr bool all_scannable()
{
	for (const trans_table *t : scanned_tables) {
		stamp_rule r = derive_rule(*t);
		if (!r.ok || r.at[0][0])
			return false;
	}
	return true;
}
static_assert(all_scannable(), "a scanned table comes to a rule the copy loop does not know");

template <std::size_t I> constexpr stamp_rule rule_of = derive_rule(*scanned_tables[I]);

// The place of the lowest bit of m, which is not 0.
constexpr std::size_t lowest(mask m)
{
	return static_cast<unsigned>(std::countr_zero(m));
}

// The bits of the first k bytes of a chunk.
constexpr mask low_bits(std::size_t k)
{
	return k >= CHUNK ? ~mask{0} : (mask{1} << k) - 1;
}

// The carry between chunks: 1 when the next byte follows a newline (or
// nothing at all), from the newlines nl of the k bytes before it.
constexpr mask carry_out(mask nl, std::size_t k)
{
	return nl >> (k - 1) & 1;
}

// The line state between blocks as the carry, and back: states 0 and 1
// (nothing read yet, or a newline) both come before a line's first byte.
constexpr mask carry_of(std::uint32_t state)
{
	return state != 2 ? 1 : 0;
}

constexpr std::uint32_t state_of(mask carry)
{
	return carry != 0 ? 1 : 2;
}

// The bytes of a chunk that get a stamp in front of them.
template <stamp_rule R> constexpr mask stamps_of(mask nl, mask carry)
{
	// Bit i of before: byte i - 1 was a newline, or i is the start.
	mask before = nl << 1 | carry, m = 0;
	if constexpr (R.at[1][1])
		m |= before & nl;
	if constexpr (R.at[1][0])
		m |= before & ~nl;
	if constexpr (R.at[0][1])
		m |= ~before & nl;
	return m;
}

// Where the complete lines end in the output, when k bytes with newlines nl
// (not 0) and their stamps have just been copied to end at len: before the
// bytes after the last newline, and before the stamp in front of the first
// of them if the rule puts one there (that byte follows a newline and is
// not one).
template <stamp_rule R>
constexpr std::size_t lines_end(std::size_t len, mask nl, std::size_t k, std::size_t slen)
{
	auto last =
	    static_cast<std::size_t>(CHUNK - 1) - static_cast<unsigned>(std::countl_zero(nl));
	std::size_t after = k - 1 - last;
	bool stamped = R.at[1][0] && after > 0;
	return len - after - (stamped ? slen : 0);
}

// A chunk of k bytes with exact copies, for the end of what may be read
// and for a nearly full buffer; returns the carry.
template <chunk_ops ops, stamp_rule R>
[[gnu::noinline]] mask chunk_exact(out_buf &o, std::string_view stamp, const char *p, std::size_t k,
                                   mask carry)
{
	// Scanned in a copy, since p[k, 64) may not be read.
	char chunk[CHUNK] = {};
	std::memcpy(chunk, p, k);
	const mask nl = ops::newlines(chunk) & low_bits(k);
	const mask stamps = stamps_of<R>(nl, carry) & low_bits(k);
	// A line ends after each newline; put may write it out at once.
	const mask ends = nl << 1 & low_bits(k);
	std::size_t from = 0;
	for (mask events = stamps | ends; events != 0; events &= events - 1) {
		std::size_t i = lowest(events);
		put(o, p + from, i - from);
		from = i;
		if ((ends >> i & 1) != 0)
			end_line(o);
		if ((stamps >> i & 1) != 0)
			put(o, stamp.data(), stamp.size());
	}
	put(o, p + from, k - from);
	const mask carry_next = carry_out(nl, k);
	if (carry_next != 0)
		end_line(o);
	return carry_next;
}

// Copies the k bytes of the chunk at c to d, with the stamp in front of
// each byte that stamps marks, in fixed-size stores that may run past the
// ends of both; returns the output's new end.
//
// The contract the loops below keep, and the sanitizer build checks
// (HORLET_CHECKS): it reads c[0, FAST_READ), since a piece is copied as 64
// bytes from wherever it starts, at byte 64 for a step past the last
// stamp; and it stores below d + chunk_room(slen): the chunk's bytes, its
// stamps, a step's stamp and piece past its output, and the last piece's
// 64-byte store.
//
// Stamp j of the chunk, in front of byte i, lands at d + i + j * slen, so
// no stamp's place waits for the one before.  The first STEPS stamps are
// copied whether or not the chunk has them: a step past the last stamp
// finds byte 64 (countr_zero of an empty mask), beyond everything the
// chunk puts out, and its stores fall where the next chunk's go.  So a
// chunk with at most STEPS stamps takes no branch on how many it has.
constexpr std::size_t FAST_READ = 2 * CHUNK;
static_assert(SCAN_REACH >= FAST_READ, "the input's slack must cover the copy loop's reads");

#ifdef HORLET_CHECKS
#define HORLET_CONTRACT(c) ((c) ? void(0) : __builtin_trap())
#else
#define HORLET_CONTRACT(c) void(0)
#endif

template <chunk_ops ops, bool short_stamp, std::size_t STEPS>
inline char *copy_stamped(const ops &op, std::string_view stamp, const char *c, std::size_t k,
                          mask stamps, char *d)
{
	const std::size_t slen = stamp.size();
	// Stamp j goes in front of byte i, and shift is j * slen.
	auto step = [&](std::size_t i, std::size_t shift) {
		char *at = d + i + shift;
		if constexpr (short_stamp)
			op.put_head(at);
		else
			op.put_stamp(at, stamp.data(), slen);
		ops::copy64(at + slen, c + i);
	};
	ops::copy64(d, c);
	mask todo = stamps;
	for (std::size_t j = 0; j < STEPS; ++j) {
		// todo made opaque: otherwise GCC turns each step back into a
		// test of todo and a branch, which mispredicts wherever the
		// newlines fall at random, and the steps gain nothing.
		asm("" : "+r"(todo));
		step(static_cast<unsigned>(std::countr_zero(todo)), j * slen);
		todo &= todo - 1;
	}
	std::size_t shift = STEPS * slen;
	for (; todo != 0; todo &= todo - 1, shift += slen)
		step(lowest(todo), shift);
	if constexpr (STEPS > 0)
		shift = ops::count(stamps) * slen;
	return d + k + shift;
}

// The copy loop for a block of any size (scan_few takes those of at most
// two chunks), for one way of scanning, one rule, stamps of at most 32
// bytes or longer ones, and a number of stamp steps a chunk takes without
// a branch.  A chunk that may be read SCAN_REACH bytes ahead and whose
// output fits is copied in fixed-size pieces, which may run past their
// ends in both buffers; the rest goes through chunk_exact.  Returns the
// stamps it copied the fast way.
template <chunk_ops ops, stamp_rule R, bool short_stamp, std::size_t STEPS>
inline std::size_t scan_many(copy_state &s, std::string_view stamp, const char *p, std::size_t n,
                             std::size_t slack)
{
	out_buf &o = s.out;
	const char *const end = p + n;
	const std::size_t slen = stamp.size();
	// The fast chunks end where the output's room does...
	const std::ptrdiff_t full =
	    static_cast<std::ptrdiff_t>(o.cap) - static_cast<std::ptrdiff_t>(chunk_room(slen));
	// ... and where the reading ahead would pass what may be read.
	const std::size_t whole = n >= CHUNK ? n - CHUNK + 1 : 0;
	const std::size_t reach = n + slack > SCAN_REACH ? n + slack - SCAN_REACH : 0;
	const char *const fast_end = p + std::min(whole, reach);
	const ops op(stamp.data());
	char *const buf = o.buf;
	std::size_t len = o.len, count = 0;
	mask carry = carry_of(s.state);
	// The last whole chunk with a newline, to place line_end once.
	mask nl_last = 0;
	std::size_t len_last = 0;
	auto settle = [&] {
		filled_to(o, len);
		if (nl_last != 0)
			lines_end_at(o, lines_end<R>(len_last, nl_last, CHUNK, slen));
		nl_last = 0;
	};
	// Copies the first k bytes of the chunk at p; valid has a bit for
	// each of them.
	auto fast = [&](std::size_t k, mask valid) {
		HORLET_CONTRACT(p + FAST_READ <= end + slack && len + chunk_room(slen) <= o.cap);
		const mask nl = ops::newlines(p) & valid;
		if (STEPS == 0 && (nl | carry) == 0) {
			// Inside a long line, where no rule stamps.
			ops::copy64(buf + len, p);
			len += k;
			return;
		}
		const mask stamps = stamps_of<R>(nl, carry) & valid;
		char *d = copy_stamped<ops, short_stamp, STEPS>(op, stamp, p, k, stamps, buf + len);
		len = static_cast<std::size_t>(d - buf);
		// Kept without a branch: whether a chunk has a newline is left
		// to chance in most input.
		const bool has = nl != 0;
		nl_last = has ? nl : nl_last;
		len_last = has ? len : len_last;
		carry = carry_out(nl, k);
	};
	while (p < end) {
		const char *const p0 = p;
		const std::size_t len0 = len;
		for (; p < fast_end && static_cast<std::ptrdiff_t>(len) <= full; p += CHUNK)
			fast(CHUNK, ~mask{0});
		// The stamps are what the output grew by beyond the input.
		if (slen > 0)
			count += (len - len0 - static_cast<std::size_t>(p - p0)) / slen;
		if (p == end)
			break;
		std::size_t k = std::min<std::size_t>(CHUNK, static_cast<std::size_t>(end - p));
		if (static_cast<std::size_t>(end - p) + slack > SCAN_REACH &&
		    static_cast<std::ptrdiff_t>(len) <= full) {
			// The block's last bytes, read ahead into its slack.
			settle();
			fast(k, low_bits(k));
			if (nl_last != 0)
				lines_end_at(o, lines_end<R>(len, nl_last, k, slen));
			nl_last = 0;
		} else {
			settle();
			carry = chunk_exact<ops, R>(o, stamp, p, k, carry);
			len = o.len;
		}
		p += k;
	}
	settle();
	s.state = state_of(carry);
	return count;
}

// Lines that come one read at a time: a block of at most two chunks that
// may be read ahead and whose output fits is copied with none of the
// general loop's bookkeeping.
template <chunk_ops ops, stamp_rule R, bool short_stamp>
inline void scan_few(copy_state &s, std::string_view stamp, const char *p, std::size_t n)
{
	out_buf &o = s.out;
	const ops op(stamp.data());
	const std::size_t slen = stamp.size();
	char *d = o.buf + o.len;
	mask carry = carry_of(s.state);
	// Copies the k bytes at c (a bit for each in valid), and puts
	// line_end after the last newline.
	auto chunk = [&](const char *c, std::size_t k, mask valid) {
		HORLET_CONTRACT(c + FAST_READ <= p + n + SCAN_REACH &&
		                static_cast<std::size_t>(d - o.buf) + chunk_room(slen) <= o.cap);
		const mask nl = ops::newlines(c) & valid;
		const mask stamps = stamps_of<R>(nl, carry) & valid;
		d = copy_stamped<ops, short_stamp, 0>(op, stamp, c, k, stamps, d);
		const std::size_t len = static_cast<std::size_t>(d - o.buf);
		carry = carry_out(nl, k);
		// Most often the line ends the read.
		if (carry != 0)
			lines_end_at(o, len);
		else if (nl != 0)
			lines_end_at(o, lines_end<R>(len, nl, k, slen));
	};
	if (n > CHUNK) {
		chunk(p, CHUNK, ~mask{0});
		p += CHUNK;
		n -= CHUNK;
	}
	chunk(p, n, low_bits(n));
	filled_to(o, static_cast<std::size_t>(d - o.buf));
	s.state = state_of(carry);
}

// Any other table, a byte at a time: the plain algorithm.
void walk(copy_state &s, std::string_view stamp, const char *p, std::size_t n)
{
	const trans_table &t = *s.rs->trans;
	for (const char *end = p + n; p < end; ++p) {
		s.state = t[s.state * 2 + (*p == '\n' ? 1 : 0)];
		if (s.state == 3)
			put(s.out, stamp.data(), stamp.size());
		put(s.out, p, 1);
		if (*p == '\n')
			end_line(s.out);
	}
}

// How many stamp steps a chunk takes without a branch, for a block that
// follows one of n bytes with count stamps: none where lines are long
// (fewer than one stamp in 8 chunks), where a chunk without a newline is
// the rule and is copied at once; one where stamps are sparser than one a
// chunk; two where they are denser.
constexpr std::uint8_t steps_for(std::size_t count, std::size_t n)
{
	return count * CHUNK * 8 < n ? 0 : count * CHUNK < n ? 1 : MAX_STEPS;
}
static_assert(steps_for(1, 1024) == 0 && steps_for(1, 256) == 1 && steps_for(1, 64) == 2);

// Calls f with steps as a constant.
static_assert(MAX_STEPS == 2, "on_steps has a case for each number of steps");
template <class F> inline auto on_steps(std::uint8_t steps, F f)
{
	switch (steps) {
	case 0:
		return f(std::integral_constant<std::size_t, 0>{});
	case 1:
		return f(std::integral_constant<std::size_t, 1>{});
	default:
		return f(std::integral_constant<std::size_t, MAX_STEPS>{});
	}
}

// The loop for the table in force.  few: the block is of at most two
// chunks, may be read ahead, and its output fits.  Returns what ran, as
// the instance knows it: its operations' path, and its loop.
template <chunk_ops ops, bool few, std::size_t I = 0>
inline scan_ran scan_table(copy_state &s, std::string_view stamp, const char *p, std::size_t n,
                           std::size_t slack)
{
	if constexpr (I == scanned_tables.size()) {
		walk(s, stamp, p, n);
	} else if (s.rs->trans != scanned_tables[I]) {
		return scan_table<ops, few, I + 1>(s, stamp, p, n, slack);
	} else if constexpr (few) {
		if (stamp.size() <= 32)
			scan_few<ops, rule_of<I>, true>(s, stamp, p, n);
		else
			scan_few<ops, rule_of<I>, false>(s, stamp, p, n);
	} else {
		const std::size_t count = on_steps(s.steps, [&](auto steps) {
			if (stamp.size() <= 32)
				return scan_many<ops, rule_of<I>, true, steps>(s, stamp, p, n,
				                                               slack);
			return scan_many<ops, rule_of<I>, false, steps>(s, stamp, p, n, slack);
		});
		s.steps = steps_for(count, n);
	}
	return {ops::path, few};
}

// One function for each way of scanning, and for few chunks or many, so
// that a block of few chunks pays for none of the other's registers.  What
// each returns comes from the loop it ran, which tells the tests which one
// that was.  Those for many
// are compiled knowing nothing of their one caller (GCC's noipa): what
// link-time optimisation would assume of their arguments costs the bulk
// loop an instruction every 64 bytes (callgrind), while those for few
// gain ten instructions a block from it.
#if defined(__clang__) || !defined(__GNUC__)
#define HORLET_OPAQUE gnu::noinline // clang has no noipa
#else
#define HORLET_OPAQUE gnu::noipa
#endif
#define HORLET_ENTRY_ARGS                                                                          \
	copy_state &s, std::string_view stamp, const char *p, std::size_t n, std::size_t slack
[[gnu::flatten]] scan_ran scan_portable_few(HORLET_ENTRY_ARGS)
{
	return scan_table<portable_ops, true>(s, stamp, p, n, slack);
}
[[gnu::flatten, HORLET_OPAQUE]] scan_ran scan_portable_many(HORLET_ENTRY_ARGS)
{
	return scan_table<portable_ops, false>(s, stamp, p, n, slack);
}

#ifdef HORLET_X86
[[gnu::target(HORLET_SSE2_ISA), gnu::flatten]] scan_ran scan_sse2_few(HORLET_ENTRY_ARGS)
{
	return scan_table<sse2_ops, true>(s, stamp, p, n, slack);
}
[[gnu::target(HORLET_SSE2_ISA), gnu::flatten, HORLET_OPAQUE]] scan_ran
scan_sse2_many(HORLET_ENTRY_ARGS)
{
	return scan_table<sse2_ops, false>(s, stamp, p, n, slack);
}

[[gnu::target(HORLET_AVX2_ISA), gnu::flatten]] scan_ran scan_avx2_few(HORLET_ENTRY_ARGS)
{
	return scan_table<avx2_ops, true>(s, stamp, p, n, slack);
}
[[gnu::target(HORLET_AVX2_ISA), gnu::flatten, HORLET_OPAQUE]] scan_ran
scan_avx2_many(HORLET_ENTRY_ARGS)
{
	return scan_table<avx2_ops, false>(s, stamp, p, n, slack);
}
#endif
#undef HORLET_ENTRY_ARGS

} // namespace

void start_copy(copy_state &s, const run_settings &rs, scan_path path, char *buf, std::size_t cap)
{
	s.rs = &rs;
	s.path = path;
	s.state = 0;
	s.steps = 0;
	s.cache.valid = false;
	s.out = {rs.out, buf, cap, 0, 0, 0};
}

scan_ran copy_block(copy_state &s, const timeval &tv, const char *p, std::size_t n,
                    std::size_t slack)
{
	if (n == 0 || s.out.err != 0)
		return {s.path, false};
	// One rendering serves every stamp of the block.
	std::string_view stamp = render_stamp(*s.rs, s.cache, tv);
	// A line that comes alone in a read takes the short loop.
	const bool few = n <= 2 * CHUNK && slack >= SCAN_REACH &&
	                 s.out.cap - s.out.len >= 2 * chunk_room(stamp.size());
	switch (s.path) {
	case scan_path::portable:
		return few ? scan_portable_few(s, stamp, p, n, slack)
		           : scan_portable_many(s, stamp, p, n, slack);
#ifdef HORLET_X86
	case scan_path::sse2:
		return few ? scan_sse2_few(s, stamp, p, n, slack)
		           : scan_sse2_many(s, stamp, p, n, slack);
	case scan_path::avx2:
		return few ? scan_avx2_few(s, stamp, p, n, slack)
		           : scan_avx2_many(s, stamp, p, n, slack);
#else
	case scan_path::sse2:
	case scan_path::avx2:
		break; // never chosen: can_run says no
#endif
	}
	return {s.path, false};
}

} // namespace horlet
