// horlet: the stamping engine.
#include "stamp.hpp"

#include <cerrno>
#include <cstring>

namespace horlet {

namespace {

// Inside a line every other byte keeps both tables in state 2, so a run of
// such bytes can be found with memchr and copied whole.
constexpr bool runs_stay_inside(const trans_table &t)
{
	return t[2 * 2] == 2 && t[3 * 2] == 2;
}
static_assert(runs_stay_inside(prefix_trans) && runs_stay_inside(suffix_trans));

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

} // namespace

std::size_t render_stamp(const run_settings &rs, stamp_cache &c, const timeval &tv, char *dst)
{
	if (!c.valid || c.sec != tv.tv_sec)
		fill_cache(rs, c, tv.tv_sec);
	if (c.nmarks == 0) {
		std::memcpy(dst, c.text.data(), c.len);
		return c.len;
	}
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

namespace {

bool write_out(stamper &s, std::size_t n)
{
	if (s.err == 0)
		s.err = write_all(s.rs->out, s.buf.data(), n);
	return s.err == 0;
}

// Makes room for need bytes: writes the complete lines and moves the
// partial one down; writes that too if it still leaves too little room.
bool reserve(stamper &s, std::size_t need)
{
	if (s.buf.size() - s.len >= need)
		return true;
	if (!flush_lines(s))
		return false;
	if (s.buf.size() - s.len < need)
		return flush_all(s);
	return true;
}

void put(stamper &s, const char *p, std::size_t n)
{
	while (n > s.buf.size() - s.len) {
		std::size_t k = s.buf.size() - s.len;
		std::memcpy(s.buf.data() + s.len, p, k);
		s.len += k;
		p += k;
		n -= k;
		if (!reserve(s, 1))
			return;
	}
	std::memcpy(s.buf.data() + s.len, p, n);
	s.len += n;
}

void put_stamp(stamper &s)
{
	if (!reserve(s, STAMP_MAX))
		return;
	// The clock is read after the byte that calls for the stamp has
	// arrived, so the stamp is that byte's arrival time.
	timeval tv;
	gettimeofday(&tv, nullptr);
	s.len += render_stamp(*s.rs, s.cache, tv, s.buf.data() + s.len);
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
	while (p < end && s.err == 0) {
		if (*p == '\n') {
			st = t[st * 2 + 1];
			if (st == 3)
				put_stamp(s);
			put(s, p++, 1);
			s.line_end = s.len;
			continue;
		}
		st = t[st * 2];
		if (st == 3)
			put_stamp(s);
		auto q = static_cast<const char *>(std::memchr(p + 1, '\n', static_cast<std::size_t>(end - p - 1)));
		if (q == nullptr) {
			if (end - p > 1)
				st = 2;
			put(s, p, static_cast<std::size_t>(end - p));
			break;
		}
		if (q - p > 1)
			st = 2;
		// The run and its newline go out in one copy unless the
		// newline calls for a stamp.
		std::uint32_t next = t[st * 2 + 1];
		if (next == 3) {
			put(s, p, static_cast<std::size_t>(q - p));
			p = q;
			continue;
		}
		st = next;
		put(s, p, static_cast<std::size_t>(q + 1 - p));
		s.line_end = s.len;
		p = q + 1;
	}
	s.state = st;
	return s.err == 0;
}

stamp_result stamp_stream(const run_settings &rs, int in)
{
	static stamper s;
	static std::array<char, IN_BUF_SIZE> ibuf;
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
