// horlet: the stop: SIGTERM, SIGINT and SIGHUP ask the run to write what
// it has read, and what waits in the input, and then end by the signal.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstddef>

namespace horlet
{

// A termination signal that asks stamp_stream to write what it has read
// and return.  Its handler sets signo, and sees to it that a read about
// to start, or one already waiting, ends at once.  look_fd is a second
// descriptor of an input that is a pipe, a FIFO or a socket, or -1: on a
// stop, what already waits there is taken too, since the producer may
// be gone with the same signal and nobody else would read it.
struct stop_request {
	volatile std::sig_atomic_t signo = 0;
	int look_fd = -1;
};

// The descriptors a stop of the run that reads in needs; false, with
// errno, if they cannot be had.  Made before FILE is opened, so that a
// failure leaves FILE as it was.
bool make_stop(stop_request &stop, int in);
// From here on SIGTERM, SIGINT and SIGHUP, unless ignored, ask stop to end
// the run.  Until then they end horlet by their default action: nothing has
// been read.  Those that follow the first within a second are the same
// stop; one that comes later ends the process at once, by the first, and
// so does a reader of the output that goes away during the stop.
void catch_stop_signals(stop_request &stop);
// The last look: what waits in the input at the stop, read through
// stop.look_fd.  look_start begins it; then each look_read gives the next
// block, as read(2) would, and 0 when the look is over.  It takes no more
// than waited, so that a producer that goes on writing cannot hold
// horlet, and no read waits longer than LOOK_WAIT_US, whatever another
// reader of the input does meanwhile.
inline constexpr long LOOK_WAIT_US = 100000;
struct last_look {
	int fd = -1;           // -1: no look
	bool messages = false; // a datagram or seqpacket socket
	bool cut = false;      // a message was longer than a read
	std::size_t left = 0;  // what may still be taken
};
last_look look_start(const stop_request &stop, std::size_t cap);
ssize_t look_read(last_look &look, char *buf, std::size_t cap);
// Ends the process by signal signo, as if it had never been caught.
[[noreturn]] void die_by(int signo);

} // namespace horlet
