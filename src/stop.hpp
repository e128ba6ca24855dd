// horlet: the stop: SIGTERM, SIGINT and SIGHUP ask the run to write what
// it has read, and what waits in a pipe, and then end by the signal.
#pragma once

#include <csignal>

namespace horlet
{

// A termination signal that asks stamp_stream to write what it has read
// and return.  Its handler sets signo, and sees to it that a read about
// to start, or one already waiting, ends at once.  look is a second
// descriptor of an input that is a pipe, a FIFO or a socket, or -1: on a
// stop, what already waits there is taken too, since the producer may
// be gone with the same signal and nobody else would read it.
struct stop_request {
	volatile std::sig_atomic_t signo = 0;
	int look = -1;
};

// From here on SIGTERM, SIGINT and SIGHUP, unless ignored, ask stop to end
// the run that reads in.  Those that follow within a second are the same
// stop; one that comes later ends the process at once, by the first.
// False if that cannot be set up.
bool catch_stop_signals(stop_request &stop, int in);
// Ends the process by signal signo, as if it had never been caught.
[[noreturn]] void die_by(int signo);

} // namespace horlet
