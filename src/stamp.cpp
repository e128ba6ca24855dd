// horlet: the stamping engine.
#include "stamp.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define HORLET_X86 1
#endif

namespace horlet
{

constexpr stamp_rule prefix_rule = derive_rule(prefix_trans);
constexpr stamp_rule suffix_rule = derive_rule(suffix_trans);
static_assert(prefix_rule.ok && suffix_rule.ok && prefix_rule != suffix_rule);
// The copy loop assumes that only the byte after a newline, never one
// further into a line, can have a stamp of its own: it keeps line_end by
// that, and copies a chunk inside a long line without looking further.
static_assert(!prefix_rule.at[0][0] && !suffix_rule.at[0][0]);

namespace
{

void fill_cache(const run_settings &rs, stamp_cache &c, time_t sec)
{
	c.valid = true;
	c.sec = sec;
	struct tm tm;
	c.len = rs.to_broken_down(&sec, &tm) != nullptr
	            ? std::strftime(c.text.data(), c.text.size(), rs.format, &tm)
	            : 0;
	// Zero is both "did not fit" and "nothing"; neither is a stamp.
	if (c.len == 0) {
		overflow_marker.copy(c.text.data(), overflow_marker.size());
		c.len = overflow_marker.size();
	}
	c.nmarks = 0;
	for (std::size_t i = 0; i + 1 < c.len;) {
		if (c.text[i] == usec_marker[0] && c.text[i + 1] == usec_marker[1]) {
			c.marks[c.nmarks++] = static_cast<std::uint16_t>(i);
			i += usec_marker.size();
		} else {
			++i;
		}
	}
}

std::size_t render_marks(const stamp_cache &c, const timeval &tv, char *dst)
{
	// Six digits, however the clock misbehaves.
	auto usec = static_cast<unsigned long>(tv.tv_usec) % 1000000UL;
	char digits[6];
	for (int i = 5; i >= 0; --i) {
		digits[i] = static_cast<char>('0' + usec % 10);
		usec /= 10;
	}
	char *d = dst;
	std::size_t from = 0;
	for (std::size_t m = 0; m < c.nmarks; ++m) {
		std::size_t at = c.marks[m];
		std::memcpy(d, c.text.data() + from, at - from);
		d += at - from;
		std::memcpy(d, digits, sizeof digits);
		d += sizeof digits;
		from = at + usec_marker.size();
	}
	std::memcpy(d, c.text.data() + from, c.len - from);
	d += c.len - from;
	return static_cast<std::size_t>(d - dst);
}

} // namespace

struct tm *local_time(const time_t *t, struct tm *out)
{
	const struct tm *tm = std::localtime(t);
	if (tm == nullptr)
		return nullptr;
	*out = *tm;
	return out;
}

std::size_t render_stamp(const run_settings &rs, stamp_cache &c, const timeval &tv, char *dst)
{
	if (!c.valid || c.sec != tv.tv_sec)
		fill_cache(rs, c, tv.tv_sec);
	return render_marks(c, tv, dst);
}

int writev_all(int fd, iovec *v, int n)
{
	while (n > 0) {
		ssize_t w = writev(fd, v, n);
		if (w < 0) {
			if (errno == EINTR)
				continue;
			return errno;
		}
		auto left = static_cast<std::size_t>(w);
		while (n > 0 && left >= v->iov_len) {
			left -= v->iov_len;
			++v;
			--n;
		}
		if (n > 0) {
			v->iov_base = static_cast<char *>(v->iov_base) + left;
			v->iov_len -= left;
		}
	}
	return 0;
}

int write_all(int fd, const char *p, std::size_t n)
{
	iovec v{const_cast<char *>(p), n};
	return writev_all(fd, &v, 1);
}

bool flush_lines(stamper &s)
{
	if (s.line_end == 0)
		return s.err == 0;
	if (s.err == 0)
		s.err = write_all(s.rs->out, s.buf.data(), s.line_end);
	if (s.err != 0)
		return false;
	std::memmove(s.buf.data(), s.buf.data() + s.line_end, s.len - s.line_end);
	s.len -= s.line_end;
	s.line_end = 0;
	return true;
}

bool flush_all(stamper &s)
{
	if (s.err == 0 && s.len > 0)
		s.err = write_all(s.rs->out, s.buf.data(), s.len);
	if (s.err != 0)
		return false;
	s.len = s.line_end = 0;
	return true;
}

namespace
{

// The block is scanned in chunks of 64 bytes, each turned into a mask with
// a bit for every newline and then, by the table's rule, a mask with a bit
// for every byte that gets a stamp in front of it.
constexpr std::size_t CHUNK = 64;
using mask = std::uint64_t;

// What one chunk may store beyond the end of the output: its 64 bytes and
// at most one stamp a byte, each piece of input copied as 64 bytes and
// each stamp in pieces of 32, which run up to 63 and 31 bytes past them.
constexpr std::size_t chunk_room(std::size_t stamp_len)
{
	return 2 * CHUNK + CHUNK * stamp_len;
}
static_assert(chunk_room(STAMP_MAX) < OUT_BUF_SIZE / 2);

// The place of the lowest bit of m, which is not 0.
constexpr std::size_t lowest(mask m)
{
	return static_cast<unsigned>(std::countr_zero(m));
}

// The bits of the first n bytes of a chunk.
constexpr mask first(std::size_t n)
{
	return n >= CHUNK ? ~mask{0} : (mask{1} << n) - 1;
}

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
	if constexpr (R.at[0][0])
		m |= ~before & ~nl;
	return m;
}

// The ways of scanning: each finds the newlines of a chunk, copies 64
// bytes, and holds the block's stamp to store in pieces of 32 bytes,
// the first from a register.  A stamp of at most 32 bytes is that first
// piece alone.
struct portable_ops {
	std::array<char, 32> head;
	explicit portable_ops(const char *stamp)
	{
		std::memcpy(head.data(), stamp, head.size());
	}
	static mask newlines(const char *p)
	{
		mask m = 0;
		for (std::size_t i = 0; i < CHUNK; ++i)
			m |= mask{p[i] == '\n'} << i;
		return m;
	}
	static void copy64(char *d, const char *p)
	{
		std::memcpy(d, p, CHUNK);
	}
	void put_head(char *d) const
	{
		std::memcpy(d, head.data(), head.size());
	}
	void put_stamp(char *d, const char *stamp, std::size_t n) const
	{
		put_head(d);
		for (std::size_t i = 32; i < n; i += 32)
			std::memcpy(d + i, stamp + i, 32);
	}
};

#ifdef HORLET_X86
struct sse2_ops {
	__m128i head[2];
	[[gnu::target("sse2")]] explicit sse2_ops(const char *stamp)
	    : head{load(stamp), load(stamp + 16)}
	{
	}
	[[gnu::target("sse2")]] static __m128i load(const char *p)
	{
		return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
	}
	[[gnu::target("sse2")]] static void store(char *d, __m128i v)
	{
		_mm_storeu_si128(reinterpret_cast<__m128i *>(d), v);
	}
	[[gnu::target("sse2")]] static mask newlines(const char *p)
	{
		const __m128i newline = _mm_set1_epi8('\n');
		mask m = 0;
		for (std::size_t i = 0; i < CHUNK; i += 16) {
			int bits = _mm_movemask_epi8(_mm_cmpeq_epi8(load(p + i), newline));
			m |= mask{static_cast<std::uint16_t>(bits)} << i;
		}
		return m;
	}
	[[gnu::target("sse2")]] static void copy64(char *d, const char *p)
	{
		for (std::size_t i = 0; i < CHUNK; i += 16)
			store(d + i, load(p + i));
	}
	[[gnu::target("sse2")]] void put_head(char *d) const
	{
		store(d, head[0]);
		store(d + 16, head[1]);
	}
	[[gnu::target("sse2")]] void put_stamp(char *d, const char *stamp, std::size_t n) const
	{
		put_head(d);
		for (std::size_t i = 32; i < n; i += 16)
			store(d + i, load(stamp + i));
	}
};

struct avx2_ops {
	__m256i head;
	[[gnu::target("avx2")]] explicit avx2_ops(const char *stamp) : head(load(stamp)) {}
	[[gnu::target("avx2")]] static __m256i load(const char *p)
	{
		return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
	}
	[[gnu::target("avx2")]] static void store(char *d, __m256i v)
	{
		_mm256_storeu_si256(reinterpret_cast<__m256i *>(d), v);
	}
	[[gnu::target("avx2")]] static mask newlines(const char *p)
	{
		const __m256i newline = _mm256_set1_epi8('\n');
		auto a = static_cast<std::uint32_t>(
		    _mm256_movemask_epi8(_mm256_cmpeq_epi8(load(p), newline)));
		auto b = static_cast<std::uint32_t>(
		    _mm256_movemask_epi8(_mm256_cmpeq_epi8(load(p + 32), newline)));
		return mask{b} << 32 | a;
	}
	[[gnu::target("avx2")]] static void copy64(char *d, const char *p)
	{
		store(d, load(p));
		store(d + 32, load(p + 32));
	}
	[[gnu::target("avx2")]] void put_head(char *d) const
	{
		store(d, head);
	}
	[[gnu::target("avx2")]] void put_stamp(char *d, const char *stamp, std::size_t n) const
	{
		put_head(d);
		for (std::size_t i = 32; i < n; i += 32)
			store(d + i, load(stamp + i));
	}
};
#endif

// Makes room for need bytes: writes the complete lines and moves the
// partial one down; writes that too if it still leaves too little room.
[[gnu::noinline]] bool make_room(stamper &s, std::size_t need)
{
	if (!flush_lines(s))
		return false;
	if (OUT_BUF_SIZE - s.len < need)
		return flush_all(s);
	return true;
}

// Exact copies, for the ends of blocks and a nearly full buffer.
[[gnu::noinline]] bool put(stamper &s, const char *p, std::size_t n)
{
	while (n > OUT_BUF_SIZE - s.len) {
		std::size_t k = OUT_BUF_SIZE - s.len;
		std::memcpy(s.buf.data() + s.len, p, k);
		s.len += k;
		p += k;
		n -= k;
		if (!make_room(s, 1))
			return false;
	}
	std::memcpy(s.buf.data() + s.len, p, n);
	s.len += n;
	return true;
}

[[gnu::noinline]] bool put_stamp(stamper &s)
{
	if (OUT_BUF_SIZE - s.len < s.stamp_len && !make_room(s, s.stamp_len))
		return false;
	std::memcpy(s.buf.data() + s.len, s.stamp.data(), s.stamp_len);
	s.len += s.stamp_len;
	return true;
}

// The first n (at most 64) bytes at p, which may be all the block has
// left, with exact copies.  Keeps line_end up to date.
template <stamp_rule R>
[[gnu::noinline]] bool stamp_chunk_exact(stamper &s, const char *p, std::size_t n, mask nl,
                                         mask carry)
{
	mask stamps = stamps_of<R>(nl, carry) & first(n);
	// A line ends after the last newline: the byte after it is an event
	// too, or the end of the chunk is.
	mask events = stamps;
	std::size_t line_end_at = CHUNK + 1;
	if (nl != 0) {
		line_end_at = CHUNK - static_cast<unsigned>(std::countl_zero(nl));
		if (line_end_at < n)
			events |= mask{1} << line_end_at;
	}
	std::size_t from = 0;
	while (events != 0) {
		std::size_t k = lowest(events);
		events &= events - 1;
		if (!put(s, p + from, k - from))
			return false;
		from = k;
		if (k == line_end_at)
			s.line_end = s.len;
		if ((stamps >> k & 1) != 0 && !put_stamp(s))
			return false;
	}
	if (!put(s, p + from, n - from))
		return false;
	if (line_end_at == n)
		s.line_end = s.len;
	return true;
}

// The copy loop over one block, for one way of scanning, one rule, and
// stamps of at most 32 bytes or longer ones.  A chunk whose neighbourhood
// is readable and whose output fits is copied in fixed-size pieces, which
// may run past their ends in both buffers; the rest goes through
// stamp_chunk_exact.
template <class ops, stamp_rule R, bool short_stamp>
inline bool scan_rule(stamper &s, const char *p, std::size_t n)
{
	const char *end = p + n;
	mask carry = s.state != 2 ? 1 : 0;
	const std::size_t slen = s.stamp_len;
	const std::size_t room = chunk_room(slen);
	char *const buf = s.buf.data();
	const char *const stamp = s.stamp.data();
	const ops o(stamp);
	while (p < end) {
		// The fast chunks end where the input or the room does: each
		// reads up to 127 bytes ahead.
		const char *const stop =
		    end - p >= static_cast<std::ptrdiff_t>(2 * CHUNK) ? end - (2 * CHUNK - 1) : p;
		const std::size_t full = OUT_BUF_SIZE - room;
		std::size_t len = s.len;
		// The last chunk with a newline, to place line_end once.
		mask nl_last = 0, stamps_last = 0;
		std::size_t len_last = 0;
		while (p < stop && len <= full) {
			mask nl = o.newlines(p);
			if ((nl | carry) == 0) {
				// Inside a long line, where no rule stamps.
				o.copy64(buf + len, p);
				len += CHUNK;
				p += CHUNK;
				continue;
			}
			const mask stamps = stamps_of<R>(nl, carry);
			char *d = buf + len;
			std::size_t from = 0;
			for (mask todo = stamps; todo != 0; todo &= todo - 1) {
				std::size_t k = lowest(todo);
				o.copy64(d, p + from);
				d += k - from;
				from = k;
				if constexpr (short_stamp)
					o.put_head(d);
				else
					o.put_stamp(d, stamp, slen);
				d += slen;
			}
			o.copy64(d, p + from);
			len = static_cast<std::size_t>(d - buf) + CHUNK - from;
			if (nl != 0) {
				nl_last = nl;
				stamps_last = stamps;
				len_last = len;
			}
			carry = nl >> (CHUNK - 1);
			p += CHUNK;
		}
		s.len = len;
		if (nl_last != 0) {
			// After the last newline come one line's bytes, and
			// perhaps a stamp in front of the first.
			auto after = static_cast<unsigned>(std::countl_zero(nl_last));
			bool stamped =
			    R.at[1][0] && after > 0 && (stamps_last >> (CHUNK - after) & 1) != 0;
			s.line_end = len_last - after - (stamped ? slen : 0);
		}
		if (p == end)
			break;
		// Near the end of the block or of the buffer: one chunk exactly.
		std::size_t k = std::min<std::size_t>(CHUNK, static_cast<std::size_t>(end - p));
		char chunk[CHUNK] = {};
		std::memcpy(chunk, p, k);
		mask nl = o.newlines(chunk) & first(k);
		if (!stamp_chunk_exact<R>(s, p, k, nl, carry))
			return false;
		carry = nl >> (k - 1) & 1;
		p += k;
	}
	s.state = carry != 0 ? 1 : 2;
	return true;
}

template <class ops> inline bool scan_block(stamper &s, const char *p, std::size_t n)
{
	if (s.stamp_len <= 32)
		return s.rule == prefix_rule ? scan_rule<ops, prefix_rule, true>(s, p, n)
		                             : scan_rule<ops, suffix_rule, true>(s, p, n);
	return s.rule == prefix_rule ? scan_rule<ops, prefix_rule, false>(s, p, n)
	                             : scan_rule<ops, suffix_rule, false>(s, p, n);
}

[[gnu::flatten]] bool scan_portable(stamper &s, const char *p, std::size_t n)
{
	return scan_block<portable_ops>(s, p, n);
}

#ifdef HORLET_X86
[[gnu::target("sse2"), gnu::flatten]] bool scan_sse2(stamper &s, const char *p, std::size_t n)
{
	return scan_block<sse2_ops>(s, p, n);
}

[[gnu::target("avx2"), gnu::flatten]] bool scan_avx2(stamper &s, const char *p, std::size_t n)
{
	return scan_block<avx2_ops>(s, p, n);
}
#endif

} // namespace

bool can_run(scan_path p)
{
#ifdef HORLET_X86
	if (p == scan_path::avx2)
		return __builtin_cpu_supports("avx2");
	if (p == scan_path::sse2)
		return __builtin_cpu_supports("sse2");
#endif
	return p == scan_path::portable;
}

scan_path best_scan_path()
{
	for (scan_path p : {scan_path::avx2, scan_path::sse2})
		if (can_run(p))
			return p;
	return scan_path::portable;
}

void start(stamper &s, const run_settings &rs, scan_path path)
{
	s.rs = &rs;
	s.path = path;
	s.state = 0;
	s.len = s.line_end = 0;
	s.err = 0;
	s.cache.valid = false;
	s.rule = derive_rule(*rs.trans);
	// The copy loop knows the rules of the two tables.
	if (s.rule != prefix_rule && s.rule != suffix_rule)
		std::abort();
}

bool stamp_block(stamper &s, const char *p, std::size_t n)
{
	if (s.err != 0 || n == 0)
		return s.err == 0;
	// All these bytes arrived together, before this reading: one clock
	// reading and one rendering serve every stamp among them.
	timeval tv;
	gettimeofday(&tv, nullptr);
	s.stamp_len = render_stamp(*s.rs, s.cache, tv, s.stamp.data());
	switch (s.path) {
#ifdef HORLET_X86
	case scan_path::avx2:
		return scan_avx2(s, p, n) && s.err == 0;
	case scan_path::sse2:
		return scan_sse2(s, p, n) && s.err == 0;
#endif
	default:
		return scan_portable(s, p, n) && s.err == 0;
	}
}

namespace
{

// The run's buffers, in static storage: nothing is allocated.  The input
// buffer is read in place.
stamper run;
alignas(64) std::array<char, IN_BUF_SIZE> ibuf;

} // namespace

stamp_result stamp_stream(const run_settings &rs, int in, const stop_request *stop)
{
	stamper &s = run;
	start(s, rs, best_scan_path());
	stamp_result r;
	for (;;) {
		// A stop request after this test makes the read see end of
		// file, or ends its wait.
		if (stop != nullptr && stop->signo != 0)
			break;
		ssize_t n = read(in, ibuf.data(), ibuf.size());
		if (n == 0)
			break;
		if (n < 0) {
			if (errno == EINTR)
				continue;
			r.fault = stamp_result::read_error;
			r.err = errno;
			break;
		}
		if (!stamp_block(s, ibuf.data(), static_cast<std::size_t>(n)) || !flush_lines(s))
			break;
	}
	if (stop != nullptr)
		r.signo = stop->signo;
	if (s.err == 0)
		flush_all(s);
	if (s.err != 0)
		return {stamp_result::write_error, s.err, r.signo};
	return r;
}

} // namespace horlet
