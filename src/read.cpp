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
//   lines, so that each line is out before horlet waits for more.
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

// One read of up to max bytes from in, stamped and copied out with its
// complete lines: the bytes read, 0 at the end of the input, or -1.
ssize_t pass(copy_state &s, int in, std::size_t max)
{
	ssize_t n = read(in, ibuf.data(), std::min(max, IN_BUF_SIZE));
	if (n <= 0)
		return n;
	// Read after the bytes came, so the stamp is their arrival.
	timeval tv;
	gettimeofday(&tv, nullptr);
	auto got = static_cast<std::size_t>(n);
	copy_block(s, tv, ibuf.data(), got, ibuf.size() - got);
	flush_lines(s.out);
	return n;
}

// On a stop: what waits in the input now, and no more.  Each read is made
// only when it cannot wait, so a producer that goes on writing, or another
// reader of the same pipe, cannot hold horlet.
int last_look(copy_state &s, int in)
{
	int waiting = 0;
	if (ioctl(in, FIONREAD, &waiting) != 0)
		return 0;
	for (auto left = static_cast<std::size_t>(std::max(waiting, 0));
	     left > 0 && s.out.err == 0;) {
		pollfd p{in, POLLIN, 0};
		if (poll(&p, 1, 0) != 1 || (p.revents & POLLIN) == 0)
			break;
		ssize_t n = pass(s, in, left);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return errno;
		if (n == 0)
			break;
		left -= static_cast<std::size_t>(n);
	}
	return 0;
}

} // namespace

stream_result stamp_stream(const run_settings &rs, int in, const stop_request *stop)
{
	copy_state &s = run;
	start(s, rs, best_scan_path(), obuf.data(), obuf.size());
	stream_result r;
	for (;;) {
		// A stop request after this test makes the read see end of
		// file, or ends its wait.
		if (stop != nullptr && stop->signo != 0)
			break;
		ssize_t n = pass(s, in, IN_BUF_SIZE);
		if (n == 0)
			break;
		if (n < 0) {
			if (errno == EINTR)
				continue;
			r.fault = stream_result::read_error;
			r.err = errno;
			break;
		}
		if (s.out.err != 0)
			break;
	}
	if (stop != nullptr)
		r.signo = stop->signo;
	if (r.signo != 0 && r.fault == stream_result::ok && stop->look >= 0)
		if (int err = last_look(s, stop->look); err != 0)
			r = {stream_result::read_error, err, r.signo};
	flush_all(s.out);
	if (s.out.err != 0)
		return {stream_result::write_error, s.out.err, r.signo};
	return r;
}

} // namespace horlet
