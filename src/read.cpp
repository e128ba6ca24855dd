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
//   file; the last look then takes what waits in a pipe, and the loop
//   returns.
#include "read.hpp"

#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "descriptors.hpp"
#include "scan.hpp"
#include "write.hpp"

namespace horlet
{

namespace
{

// The run's buffers, in static storage: nothing is allocated.  The input
// is read in place, with room for the copy loop to read ahead of its end;
// every write starts at the output buffer's start, and the kernel copies
// from a cache-line aligned start far faster than from an odd address.
copy_state stream;
alignas(64) std::array<char, IN_BUF_SIZE + SCAN_REACH> ibuf;
alignas(64) std::array<char, OUT_BUF_SIZE> obuf;

// A read of a socket of messages, or of the last look: out of the loop,
// which is shorter for it.
[[gnu::noinline]] ssize_t read_other(last_look &look, int in, bool &cut)
{
	return look.fd < 0 ? read_message(in, ibuf.data(), IN_BUF_SIZE, cut)
	                   : look_read(look, ibuf.data(), IN_BUF_SIZE);
}

} // namespace

stream_result stamp_stream(const run_settings &rs, int in, run_stop *stop, scan_path path)
{
	copy_state &s = stream;
	start_copy(s, rs, path, obuf.data(), obuf.size());
	stream_result r;
	// One loop for the input and for the last look at a stop, so that a
	// block's way from read(2) to write(2) is written once; the look, and
	// an input of messages, cost the loop one test.
	last_look look;
	// At a terminal a person waits for what comes: a prompt, progress
	// dots.  There a read that ends inside a line, with nothing more
	// waiting, writes what it has of the line; elsewhere writes hold
	// whole lines, so that horlets appending to one file interleave at
	// line boundaries alone.
	const bool to_terminal = isatty(rs.out) == 1;
	// A socket of messages is read a message at a time, and one longer
	// than a read takes is reported, not cut short silently.
	bool plain = !message_socket(in), cut = false;
	for (;;) {
		ssize_t n = plain ? read(in, ibuf.data(), IN_BUF_SIZE) : read_other(look, in, cut);
		if (n > 0) {
			// Read after the bytes came, so the stamp is their arrival.
			timeval tv;
			gettimeofday(&tv, nullptr);
			auto got = static_cast<std::size_t>(n);
			copy_block(s, tv, ibuf.data(), got, ibuf.size() - got);
			flush_lines(s.out);
			if (to_terminal && s.out.len > 0 && !ready_now(in, POLLIN)) [[unlikely]]
				flush_all(s.out);
			if (s.out.err != 0)
				break;
		} else if (n == 0) {
			// The end; or the stop's stand-in for the input, and then
			// the last look, once.
			if (stop == nullptr || stop->signo == 0 || look.fd >= 0)
				break;
			look = look_start(*stop, IN_BUF_SIZE);
			if (look.fd < 0)
				break;
			plain = false;
		} else if (errno == EAGAIN || errno == EWOULDBLOCK) {
			// Made non-blocking by another holder of the input.
			wait_ready(in, POLLIN);
		} else if (errno != EINTR) {
			r.fault = stream_result::read_error;
			r.err = errno;
			break;
		}
	}
	if (stop != nullptr)
		r.signo = stop->signo;
	flush_all(s.out);
	if (s.out.err != 0)
		return {stream_result::write_error, s.out.err, r.signo};
	return r;
}

} // namespace horlet
