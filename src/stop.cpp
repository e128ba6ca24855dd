// horlet: the stop signals' handler, the last look, and the end by a
// signal.
#include "stop.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>

#include "write.hpp"

namespace horlet
{

namespace
{

stop_request *stopping;
// The input, and a descriptor that reads as end of file to put in its
// place: a read about to start then ends at once, and one already
// waiting ends by the signal itself.
int stop_in = -1, stop_eof = -1;
// When the first signal came.  One stop often comes as two signals, from
// timeout(1) to the process and then to its group, or from a closing
// terminal and then the shell; those within this interval of the first
// are that same stop.
timespec stop_time;
constexpr std::int64_t STOP_INTERVAL_NS = 1000000000;
// Whether SIGPIPE had its default action: then a reader of the output
// that goes away during a stop ends horlet by the stop's signal instead.
bool pipe_kills;
// Whether the last look has begun, and whether SIGALRM was ignored at
// start: outside the look a SIGALRM does what it would have done.
volatile std::sig_atomic_t looking = 0;
bool alarm_ignored;

std::int64_t ns_since(const timespec &t)
{
	timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	return std::int64_t{now.tv_sec - t.tv_sec} * 1000000000 + (now.tv_nsec - t.tv_nsec);
}

void on_pipe(int)
{
	die_by(stopping->signo);
}

void on_stop(int signo)
{
	int err = errno;
	if (stopping->signo != 0) {
		// A later signal says the output takes no more: the run ends
		// at once, by the signal that stopped it.
		if (ns_since(stop_time) >= STOP_INTERVAL_NS)
			die_by(stopping->signo);
		errno = err;
		return;
	}
	clock_gettime(CLOCK_MONOTONIC, &stop_time);
	stopping->signo = signo;
	(void)dup2(stop_eof, stop_in);
	if (pipe_kills) {
		struct sigaction sa {
		};
		sa.sa_handler = on_pipe;
		sigemptyset(&sa.sa_mask);
		(void)sigaction(SIGPIPE, &sa, nullptr);
	}
	errno = err;
}

// A read of the last look that waits, because another reader took what
// the look saw, ends by this timer: the look's descriptor then reads as
// end of file, whether the read had begun or not.
void on_look_timeout(int)
{
	if (looking == 0) {
		if (!alarm_ignored)
			die_by(SIGALRM);
		return;
	}
	int err = errno;
	(void)dup2(stop_eof, stopping->look_fd);
	errno = err;
}

constexpr int stop_signals[] = {SIGTERM, SIGINT, SIGHUP};

// What waits in fd, a pipe, FIFO or socket, or 0.
std::size_t bytes_waiting(int fd)
{
	int n = 0;
	return ioctl(fd, FIONREAD, &n) == 0 && n > 0 ? static_cast<std::size_t>(n) : 0;
}

// What may have waited in a datagram socket: no more than its receive
// buffer holds, nor than its peer's send buffer, which the defaults make
// alike; and never less than one block of reads.
std::size_t datagram_bytes_bound(int fd, std::size_t cap)
{
	int size = 0;
	socklen_t len = sizeof size;
	if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len) != 0 || size < 0)
		size = 0;
	return std::max(static_cast<std::size_t>(size), cap);
}

} // namespace

bool make_stop(stop_request &stop, int in)
{
	// A pipe with no writer: its read end reads as end of file.  (pipe,
	// not pipe2, which not every system has; nothing runs meanwhile that
	// could inherit it.)
	int p[2];
	if (pipe(p) != 0)
		return false;
	close(p[1]);
	p[0] = above_std(p[0]);
	if (p[0] < 0 || fcntl(p[0], F_SETFD, FD_CLOEXEC) != 0)
		return false;
	// The second descriptor for the last look, where there can be one.
	struct stat st;
	if (fstat(in, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) {
		stop.look_fd = fcntl(in, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
		if (stop.look_fd < 0)
			return false;
	}
	stop_in = in;
	stop_eof = p[0];
	return true;
}

void catch_stop_signals(stop_request &stop)
{
	stopping = &stop;
	struct sigaction old {
	};
	pipe_kills = sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL;
	// The handler sees all that is set above: sigaction is a call the
	// compiler cannot move these stores past.
	struct sigaction sa {
	};
	sa.sa_handler = on_stop;
	// No SA_RESTART: a waiting read ends, a write that the reader holds
	// up ends, and the second signal finds the handler.
	sigemptyset(&sa.sa_mask);
	for (int sig : stop_signals)
		sigaddset(&sa.sa_mask, sig);
	// What is caught is caught whatever mask horlet was handed: a mask
	// survives exec, and runtimes that block signals hand theirs on.
	sigset_t caught;
	sigemptyset(&caught);
	for (int sig : stop_signals) {
		// A signal ignored from the start (nohup, a background job)
		// stays ignored.
		if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
			continue;
		(void)sigaction(sig, &sa, nullptr);
		sigaddset(&caught, sig);
	}
	// The last look's timer.
	alarm_ignored = sigaction(SIGALRM, nullptr, &old) == 0 && old.sa_handler == SIG_IGN;
	sa.sa_handler = on_look_timeout;
	sigemptyset(&sa.sa_mask);
	(void)sigaction(SIGALRM, &sa, nullptr);
	sigaddset(&caught, SIGALRM);
	(void)sigprocmask(SIG_UNBLOCK, &caught, nullptr);
}

last_look look_start(const stop_request &stop, std::size_t cap)
{
	last_look look{stop.look_fd};
	if (look.fd < 0)
		return look;
	look.messages = message_socket(look.fd);
	// A datagram socket tells the size of its first datagram alone.
	look.left = socket_type(look.fd) == SOCK_DGRAM ? datagram_bytes_bound(look.fd, cap)
	                                               : bytes_waiting(look.fd);
	looking = 1;
	return look;
}

ssize_t look_read(last_look &look, char *buf, std::size_t cap)
{
	const itimerval wait{{0, 0}, {0, LOOK_WAIT_US}}, none{};
	// Each read only when one would not wait: something waits, or the
	// writer has gone (POLLIN comes with POLLHUP while data is left); or
	// a message was cut short, which the next read reports.
	while (look.cut || (look.left > 0 && ready_now(look.fd, POLLIN))) {
		// A message is read whole or cut short: each read may take a
		// whole block.
		(void)setitimer(ITIMER_REAL, &wait, nullptr);
		ssize_t n = look.messages ? read_message(look.fd, buf, cap, look.cut)
		                          : read(look.fd, buf, std::min(look.left, cap));
		int err = errno;
		(void)setitimer(ITIMER_REAL, &none, nullptr);
		if (n > 0) {
			look.left -= std::min(look.left, static_cast<std::size_t>(n));
			return n;
		}
		// EINTR: the timer, or a signal of the same stop; the next test
		// of readiness tells which.
		if (n == 0 || err == EAGAIN || err == EWOULDBLOCK)
			break;
		if (err != EINTR) {
			errno = err;
			return -1;
		}
	}
	look.left = 0;
	return 0;
}

void die_by(int signo)
{
	(void)signal(signo, SIG_DFL);
	sigset_t set;
	sigemptyset(&set);
	sigaddset(&set, signo);
	sigprocmask(SIG_UNBLOCK, &set, nullptr);
	(void)raise(signo);
	// Only if the signal could not end the process.
	_exit(128 + signo);
}

} // namespace horlet
