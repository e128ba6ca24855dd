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

#include <sys/time.h>
#include <unistd.h>

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
stamper run;
alignas(64) std::array<char, IN_BUF_SIZE + scan_reach> ibuf;
alignas(64) std::array<char, OUT_BUF_SIZE> obuf;

} // namespace

stamp_result stamp_stream(const run_settings &rs, int in, const stop_request *stop)
{
	stamper &s = run;
	start(s, rs, best_scan_path(), obuf.data(), obuf.size());
	stamp_result r;
	for (;;) {
		// A stop request after this test makes the read see end of
		// file, or ends its wait.
		if (stop != nullptr && stop->signo != 0)
			break;
		ssize_t n = read(in, ibuf.data(), IN_BUF_SIZE);
		if (n == 0)
			break;
		if (n < 0) {
			if (errno == EINTR)
				continue;
			r.fault = stamp_result::read_error;
			r.err = errno;
			break;
		}
		// Read after the bytes came, so the stamp is their arrival.
		timeval tv;
		gettimeofday(&tv, nullptr);
		auto got = static_cast<std::size_t>(n);
		stamp_block(s, tv, ibuf.data(), got, ibuf.size() - got);
		flush_lines(s.out);
		if (s.out.err != 0)
			break;
	}
	if (stop != nullptr)
		r.signo = stop->signo;
	flush_all(s.out);
	if (s.out.err != 0)
		return {stamp_result::write_error, s.out.err, r.signo};
	return r;
}

} // namespace horlet
