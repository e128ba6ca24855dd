// horlet: the output buffer and the write loops.
#include "write.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "descriptors.hpp"

namespace horlet
{

namespace
{

// After a failed write: 0 to write again (interrupted, or made
// non-blocking by another holder of fd and now ready), or the errno.
// Out of line, so that the write loops stay small enough to inline.
[[gnu::cold, gnu::noinline]] int retry_write(int fd)
{
	int err = errno;
	if (err == EAGAIN || err == EWOULDBLOCK) {
		wait_ready(fd, POLLOUT);
		return 0;
	}
	return err == EINTR ? 0 : err;
}

// write_all's path for a message socket (datagram, seqpacket) that
// refused n bytes as one message (EMSGSIZE): writes them in smaller
// pieces, each a run of whole lines where one fits.
[[gnu::cold, gnu::noinline]] int write_pieces(int fd, const char *p, std::size_t n)
{
	std::size_t most = std::max<std::size_t>(n / 2, 1);
	while (n > 0) {
		std::size_t k = std::min(n, most);
		if (k < n) {
			auto nl = std::string_view(p, k).rfind('\n');
			if (nl != std::string_view::npos)
				k = nl + 1;
		}
		ssize_t w = write(fd, p, k);
		if (w < 0) {
			int err = retry_write(fd);
			if (err == EMSGSIZE && k > 1)
				most = k / 2;
			else if (err != 0)
				return err;
			continue;
		}
		p += w;
		n -= static_cast<std::size_t>(w);
	}
	return 0;
}

} // namespace

int writev_all(int fd, iovec *v, int n)
{
	while (n > 0) {
		ssize_t w = writev(fd, v, n);
		if (w < 0) {
			if (int err = retry_write(fd); err != 0)
				return err;
			continue;
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
	while (n > 0) {
		ssize_t w = write(fd, p, n);
		if (w < 0) {
			if (int err = retry_write(fd); err != 0)
				return err == EMSGSIZE ? write_pieces(fd, p, n) : err;
			continue;
		}
		p += w;
		n -= static_cast<std::size_t>(w);
	}
	return 0;
}

namespace
{

// Writes buf[0, n) and moves the rest down.
[[gnu::always_inline]] inline void write_head(out_buf &o, std::size_t n)
{
	if (o.err == 0)
		o.err = write_all(o.fd, o.buf, n);
	if (o.err != 0) {
		o.len = o.line_end = 0;
		return;
	}
	if (o.len > n)
		std::memmove(o.buf, o.buf + n, o.len - n);
	o.len -= n;
	o.line_end = o.line_end > n ? o.line_end - n : 0;
}

} // namespace

void flush_lines(out_buf &o)
{
	if (o.line_end > 0)
		write_head(o, o.line_end);
}

void flush_all(out_buf &o)
{
	if (o.len > 0)
		write_head(o, o.len);
}

// Out of line: the copy loop calls it only when the buffer fills, and
// inlined there it costs the loop's hot path instructions on every line.
[[gnu::noinline]] void make_room(out_buf &o, std::size_t need)
{
	flush_lines(o);
	if (o.cap - o.len < need)
		flush_all(o);
}

void put(out_buf &o, const char *p, std::size_t n)
{
	while (n > o.cap - o.len) {
		std::size_t k = o.cap - o.len;
		std::memcpy(o.buf + o.len, p, k);
		o.len += k;
		p += k;
		n -= k;
		make_room(o, 1);
	}
	std::memcpy(o.buf + o.len, p, n);
	o.len += n;
}

} // namespace horlet
