// horlet: the stamping engine.
#include "stamp.hpp"

#include <cerrno>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace horlet
{

namespace
{

// The table entry for a state and a byte that is or is not a newline.
constexpr std::size_t entry(std::uint32_t state, bool newline)
{
	return std::size_t{state} * 2 + (newline ? 1 : 0);
}

// Inside a line every other byte keeps both tables in state 2, so a run of
// such bytes can be found with memchr and copied whole.
constexpr bool runs_stay_inside(const trans_table &t)
{
	return t[entry(2, false)] == 2 && t[entry(3, false)] == 2;
}
static_assert(runs_stay_inside(prefix_trans) && runs_stay_inside(suffix_trans));

// Stamps up to this long, the default one among them, are copied whole.
constexpr std::size_t quick_stamp = 32;

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
	c.quick = c.nmarks == 0 && c.len <= quick_stamp;
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

[[gnu::noinline]] std::size_t render_slow(const run_settings &rs, stamp_cache &c, const timeval &tv,
                                          char *dst)
{
	if (!c.valid || c.sec != tv.tv_sec)
		fill_cache(rs, c, tv.tv_sec);
	if (c.nmarks != 0)
		return render_marks(c, tv, dst);
	std::memcpy(dst, c.text.data(), c.len);
	return c.len;
}

// Most stamps repeat the last second's expansion, short and without "%@":
// one fixed-size copy.
inline std::size_t render(const run_settings &rs, stamp_cache &c, const timeval &tv, char *dst)
{
	static_assert(quick_stamp <= STAMP_MAX && quick_stamp <= STAMP_BUF_SIZE);
	if (c.sec == tv.tv_sec && c.quick) [[likely]] {
		std::memcpy(dst, c.text.data(), quick_stamp);
		return c.len;
	}
	return render_slow(rs, c, tv, dst);
}

} // namespace

std::size_t render_stamp(const run_settings &rs, stamp_cache &c, const timeval &tv, char *dst)
{
	return render(rs, c, tv, dst);
}

int write_all(int fd, const char *p, std::size_t n)
{
	while (n > 0) {
		ssize_t w = write(fd, p, n);
		if (w < 0) {
			if (errno == EINTR)
				continue;
			return errno;
		}
		p += w;
		n -= static_cast<std::size_t>(w);
	}
	return 0;
}

namespace
{

bool write_out(stamper &s, std::size_t n)
{
	if (s.err == 0)
		s.err = write_all(s.rs->out, s.buf.data(), n);
	return s.err == 0;
}

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

bool reserve(stamper &s, std::size_t need)
{
	return OUT_BUF_SIZE - s.len >= need || make_room(s, need);
}

[[gnu::noinline]] bool put_long(stamper &s, const char *p, std::size_t n)
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

// Copies n bytes from p, whose readable bytes end at end.  A short piece
// is copied in whole chunks, cheaper than a general copy of any length.
inline bool put(stamper &s, const char *p, std::size_t n, const char *end)
{
	constexpr std::size_t short_piece = 4 * COPY_CHUNK;
	if (n <= short_piece && n <= OUT_BUF_SIZE - s.len &&
	    static_cast<std::size_t>(end - p) >= short_piece) [[likely]] {
		char *d = s.buf.data() + s.len;
		for (std::size_t i = 0; i < n; i += COPY_CHUNK)
			std::memcpy(d + i, p + i, COPY_CHUNK);
		s.len += n;
		return true;
	}
	return put_long(s, p, n);
}

inline bool put_newline(stamper &s)
{
	if (!reserve(s, 1))
		return false;
	s.buf[s.len++] = '\n';
	return true;
}

inline bool put_stamp(stamper &s)
{
	if (!reserve(s, STAMP_MAX))
		return false;
	// The clock is read after the byte that calls for the stamp has
	// arrived, so the stamp is that byte's arrival time.
	timeval tv;
	gettimeofday(&tv, nullptr);
	s.len += render(*s.rs, s.cache, tv, s.buf.data() + s.len);
	return true;
}

// Copies the run of bytes other than newline that starts at p into the
// output and returns where it ends: at the next newline, or at end.  Null
// once a write failed.
inline const char *copy_run(stamper &s, const char *p, const char *end)
{
#ifdef __SSE2__
	// A short line is found and copied in one pass, 32 bytes at a time;
	// the bytes copied past its end are overwritten next.
	constexpr std::size_t window = 128;
	if (static_cast<std::size_t>(end - p) >= window && OUT_BUF_SIZE - s.len >= window)
	    [[likely]] {
		const __m128i newline = _mm_set1_epi8('\n');
		char *d = s.buf.data() + s.len;
		for (std::size_t i = 0; i < window; i += 32) {
			auto a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
			auto b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i + 16));
			_mm_storeu_si128(reinterpret_cast<__m128i *>(d + i), a);
			_mm_storeu_si128(reinterpret_cast<__m128i *>(d + i + 16), b);
			auto ma = _mm_cmpeq_epi8(a, newline);
			auto mb = _mm_cmpeq_epi8(b, newline);
			if (_mm_movemask_epi8(_mm_or_si128(ma, mb)) != 0) {
				auto m = static_cast<unsigned>(_mm_movemask_epi8(ma)) |
				         static_cast<unsigned>(_mm_movemask_epi8(mb)) << 16;
				std::size_t k = i + static_cast<std::size_t>(__builtin_ctz(m));
				s.len += k;
				return p + k;
			}
		}
		s.len += window;
		p += window;
	}
#endif
	auto q = static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
	if (q == nullptr)
		q = end;
	return put(s, p, static_cast<std::size_t>(q - p), end) ? q : nullptr;
}

} // namespace

bool flush_lines(stamper &s)
{
	if (s.line_end == 0)
		return s.err == 0;
	if (!write_out(s, s.line_end))
		return false;
	std::memmove(s.buf.data(), s.buf.data() + s.line_end, s.len - s.line_end);
	s.len -= s.line_end;
	s.line_end = 0;
	return true;
}

bool flush_all(stamper &s)
{
	if (s.len > 0 && !write_out(s, s.len))
		return false;
	s.len = s.line_end = 0;
	return true;
}

bool stamp_block(stamper &s, const char *p, std::size_t n)
{
	const trans_table &t = *s.rs->trans;
	const char *end = p + n;
	std::uint32_t st = s.state;
	bool ok = s.err == 0;
	while (ok && p < end) {
		if (*p == '\n') {
			st = t[entry(st, true)];
			ok = (st != 3 || put_stamp(s)) && put_newline(s);
			s.line_end = s.len;
			++p;
			continue;
		}
		st = t[entry(st, false)];
		if (st == 3 && !put_stamp(s))
			break;
		const char *q = copy_run(s, p, end);
		if (q == nullptr)
			break;
		if (q - p > 1)
			st = 2;
		p = q;
	}
	s.state = st;
	return s.err == 0;
}

namespace
{
// The run's buffers, in static storage: nothing is allocated.
stamper run;
std::array<char, IN_BUF_SIZE> ibuf;
} // namespace

stamp_result stamp_stream(const run_settings &rs, int in)
{
	stamper &s = run;
	s.rs = &rs;
	s.state = 0;
	s.len = s.line_end = 0;
	s.err = 0;
	s.cache.valid = false;
	for (;;) {
		ssize_t n = read(in, ibuf.data(), ibuf.size());
		if (n == 0)
			break;
		if (n < 0) {
			if (errno == EINTR)
				continue;
			int err = errno;
			if (!flush_all(s))
				break;
			return {stamp_result::read_error, err};
		}
		if (!stamp_block(s, ibuf.data(), static_cast<std::size_t>(n)) || !flush_lines(s))
			break;
	}
	if (s.err == 0)
		flush_all(s);
	if (s.err != 0)
		return {stamp_result::write_error, s.err};
	return {};
}

} // namespace horlet
