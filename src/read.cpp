// horlet: the stamping engine.
//
// The plain algorithm: read a byte; step the line state through the
// transition table; where the state becomes 3, write a stamp rendered from
// the clock; write the byte; repeat to the end of the input.
//
// What the engine adds to it, stage by stage:
// - read (this file): the input comes in blocks of up to 512 KiB, and the
//   clock is read once a block, after its read returns: the lines of one
//   block arrived together, and share one reading.
// - scan (scan.cpp, scan_ops.hpp): 64 bytes at a time, into a mask of their
//   newlines; the stamps follow from that mask by the rule the table comes
//   to, and bytes and stamps are copied with fixed-size stores.
// - stamp (stamp.cpp): the format is expanded once a second; within it a
//   stamp costs its microseconds, if it shows them.
// - write (write.cpp): a 1 MiB buffer, written once a block and in whole
//   lines, so that each line is out before horlet waits for more; and
//   from inside the copy loop, by put, when a block fills the buffer (the
//   complete lines first, and a line longer than the buffer in pieces).
// - stop (stop.cpp): a termination signal makes the input read as end of
//   file; the loop then takes what waits in a pipe, and returns.
#include "read.hpp"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "scan.hpp"

namespace horlet
{

namespace
{

// The run's buffers, in static storage: nothing is allocated.  The input
// is read in place, with room for the copy loop to read ahead of its end;
// every write starts at the output buffer's start, and the kernel copies
// from a cache-line aligned start far faster than from an odd address.
copy_state run;
alignas(64) std::array<char, IN_BUF_SIZE + SCAN_REACH> ibuf;
alignas(64) std::array<char, OUT_BUF_SIZE> obuf;

// What waits in fd, a pipe, FIFO or socket, or 0.
std::size_t waiting(int fd)
{
	int n = 0;
	return fd >= 0 && ioctl(fd, FIONREAD, &n) == 0 && n > 0 ? static_cast<std::size_t>(n) : 0;
}

// Whether a read of fd would not wait.
bool readable(int fd)
{
	pollfd p{fd, POLLIN, 0};
	return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

} // namespace

stream_result stamp_stream(const run_settings &rs, int in, const stop_request *stop)
{
	copy_state &s = run;
	start(s, rs, best_scan_path(), obuf.data(), obuf.size());
	stream_result r;
	// After a stop, the last look: what waits in the input at that moment,
	// through the stop's second descriptor, each read made only when it
	// cannot wait, so that a producer that goes on writing, or another
	// reader of the same pipe, cannot hold horlet.  One loop for both, so
	// that a block's way from read(2) to write(2) is written once, and the
	// look costs the loop nothing until a stop.
	int fd = in;
	std::size_t max = IN_BUF_SIZE, got = 0, left = 0;
	for (;;) {
		// A stop request after this test makes the read see end of
		// file, or ends its wait.
		if (stop != nullptr && stop->signo != 0) [[unlikely]] {
			if (fd == in) {
				fd = stop->look;
				left = waiting(fd);
			} else {
				left -= got;
			}
			if (left == 0 || !readable(fd))
				break;
			max = std::min(left, IN_BUF_SIZE);
		}
		ssize_t n = read(fd, ibuf.data(), max);
		if (n == 0) {
			// The end, or the stop's stand-in for the input.
			if (stop != nullptr && stop->signo != 0 && fd == in)
				continue;
			break;
		}
		if (n < 0) {
			got = 0;
			if (errno == EINTR)
				continue;
			r.fault = stream_result::read_error;
			r.err = errno;
			break;
		}
		// Read after the bytes came, so the stamp is their arrival.
		timeval tv;
		gettimeofday(&tv, nullptr);
		got = static_cast<std::size_t>(n);
		copy_block(s, tv, ibuf.data(), got, ibuf.size() - got);
		flush_lines(s.out);
		if (s.out.err != 0)
			break;
	}
	if (stop != nullptr)
		r.signo = stop->signo;
	flush_all(s.out);
	if (s.out.err != 0)
		return {stream_result::write_error, s.out.err, r.signo};
	return r;
}

} // namespace horlet
