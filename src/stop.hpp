// horlet: the stop: SIGTERM, SIGINT and SIGHUP ask the run to write what
// it has read, and what waits in the input, and then end by the signal.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstddef>
#include <ctime>

namespace horlet
{

// The run's stop: all that its signal handlers and the run share, in one
// object, which the handlers reach through the one pointer that
// catch_stop_signals sets.  A stop signal sets signo and puts eof in the
// input's place, so that a read about to start, or one already waiting,
// ends at once.  look_fd is a second descriptor of an input that is a
// pipe, a FIFO or a socket, or -1: on a stop, what already waits there is
// taken too, since the producer may be gone with the same signal and
// nobody else would read it.
struct run_stop {
	volatile std::sig_atomic_t signo = 0;   // the signal that stopped the run, or 0
	volatile std::sig_atomic_t looking = 0; // the last look has begun
	int in = -1;                            // the input
	int eof = -1;                           // a descriptor that reads as end of file
	int look_fd = -1;
	// When the first signal came.  One stop often comes as two signals,
	// from timeout(1) to the process and then to its group, or from a
	// closing terminal and then the shell: those within a second of the
	// first are that same stop.
	timespec first{};
	// What SIGPIPE and SIGALRM did at start: SIGPIPE's default action
	// becomes an end by the stop's signal during a stop, and outside the
	// last look a SIGALRM still does what it did.
	bool pipe_kills = false;
	bool alarm_ignored = false;
};

// The descriptors a stop of the run that reads in needs; false, with
// errno, if they cannot be had.  Made before FILE is opened, so that a
// failure leaves FILE as it was.
bool make_stop(run_stop &stop, int in);
// Installs every handler the run needs, once.  From here on SIGTERM,
// SIGINT and SIGHUP, unless ignored, ask stop to end the run, whatever
// mask horlet was handed.  Until then they end horlet by their default
// action: nothing has been read.  Those that follow the first within a
// second are the same stop; one that comes later ends the process at once,
// by the first, and so does a reader of the output that goes away during
// the stop.
void catch_stop_signals(run_stop &stop);

// The last look: what waits in the input at the stop, read through
// stop.look_fd.  look_start begins it; then each look_read gives the next
// block, as read(2) would (-1 with EINTR: read again), and 0 when the look
// is over.  It takes no more than waited, so that a producer that goes on
// writing cannot hold horlet, and no read waits longer than LOOK_WAIT_US,
// whatever another reader of the input does meanwhile.
inline constexpr long LOOK_WAIT_US = 100000;
struct last_look {
	int fd = -1;           // -1: no look
	bool messages = false; // a datagram or seqpacket socket
	bool cut = false;      // a message was longer than a read
	std::size_t left = 0;  // what may still be taken
};
last_look look_start(run_stop &stop, std::size_t cap);
ssize_t look_read(last_look &look, char *buf, std::size_t cap);

// Ends the process by signal signo, as if it had never been caught.
[[noreturn]] void die_by(int signo);

} // namespace horlet
