// horlet: the stop's signal handlers, the last look, and the end by a
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

#include "descriptors.hpp"

namespace horlet
{

namespace
{

// The one place the handlers reach the stop.
run_stop *the_stop;

constexpr int stop_signals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr std::int64_t STOP_INTERVAL_NS = 1000000000;

std::int64_t ns_since(const timespec &t)
{
	timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	return std::int64_t{now.tv_sec - t.tv_sec} * 1000000000 + (now.tv_nsec - t.tv_nsec);
}

// Makes fd read as end of file: a read about to start ends at once, and
// one already waiting ends by the signal that calls this.
void read_as_end(int fd)
{
	int err = errno;
	(void)dup2(the_stop->eof, fd);
	errno = err;
}

void on_stop(int signo)
{
	run_stop &s = *the_stop;
	if (s.signo != 0) {
		// A later signal says the output takes no more: the run ends
		// at once, by the signal that stopped it.
		if (ns_since(s.first) >= STOP_INTERVAL_NS)
			die_by(s.signo);
		return;
	}
	clock_gettime(CLOCK_MONOTONIC, &s.first);
	s.signo = signo;
	read_as_end(s.in);
}

// Installed only where SIGPIPE had its default action, which it keeps
// until a stop.
void on_pipe(int)
{
	die_by(the_stop->signo != 0 ? the_stop->signo : SIGPIPE);
}

// The last look's timer: a read of the look that waits, because another
// reader took what the look saw, ends, whether it had begun or not.
void on_alarm(int)
{
	if (the_stop->looking != 0)
		read_as_end(the_stop->look_fd);
	else if (!the_stop->alarm_ignored)
		die_by(SIGALRM);
}

// Whether sig's action is action (SIG_IGN, SIG_DFL) now.
bool action_is(int sig, void (*action)(int))
{
	struct sigaction old {
	};
	return sigaction(sig, nullptr, &old) == 0 && old.sa_handler == action;
}

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

bool make_stop(run_stop &stop, int in)
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
	stop.in = in;
	stop.eof = p[0];
	return true;
}

void catch_stop_signals(run_stop &stop)
{
	stop.pipe_kills = action_is(SIGPIPE, SIG_DFL);
	stop.alarm_ignored = action_is(SIGALRM, SIG_IGN);
	// The handlers see all that is set above: sigaction is a call the
	// compiler cannot move these stores past.
	the_stop = &stop;
	// No SA_RESTART: a waiting read ends, a write that the reader holds
	// up ends, and the second signal finds the handler.  The handlers
	// never interrupt one another.
	struct sigaction sa {
	};
	sigemptyset(&sa.sa_mask);
	for (int sig : stop_signals)
		sigaddset(&sa.sa_mask, sig);
	sigaddset(&sa.sa_mask, SIGPIPE);
	sigaddset(&sa.sa_mask, SIGALRM);
	sa.sa_handler = on_alarm;
	(void)sigaction(SIGALRM, &sa, nullptr);
	if (stop.pipe_kills) {
		sa.sa_handler = on_pipe;
		(void)sigaction(SIGPIPE, &sa, nullptr);
	}
	// What is caught is caught whatever mask horlet was handed: a mask
	// survives exec, and runtimes that block signals hand theirs on.
	// SIGPIPE keeps the mask it was handed, as it keeps its action.
	sigset_t caught;
	sigemptyset(&caught);
	sigaddset(&caught, SIGALRM);
	sa.sa_handler = on_stop;
	for (int sig : stop_signals) {
		// A signal ignored from the start (nohup, a background job)
		// stays ignored.
		if (action_is(sig, SIG_IGN))
			continue;
		(void)sigaction(sig, &sa, nullptr);
		sigaddset(&caught, sig);
	}
	(void)sigprocmask(SIG_UNBLOCK, &caught, nullptr);
}

last_look look_start(run_stop &stop, std::size_t cap)
{
	last_look look{stop.look_fd};
	if (look.fd < 0)
		return look;
	int type = socket_type(look.fd);
	look.messages = of_messages(type);
	// A datagram socket tells the size of its first datagram alone.
	look.left =
	    type == SOCK_DGRAM ? datagram_bytes_bound(look.fd, cap) : bytes_waiting(look.fd);
	stop.looking = 1;
	return look;
}

ssize_t look_read(last_look &look, char *buf, std::size_t cap)
{
	// A read only when one would not wait: something waits, or the
	// writer has gone (POLLIN comes with POLLHUP while data is left); or
	// a message was cut short, which the next read reports.
	if (!look.cut && (look.left == 0 || !ready_now(look.fd, POLLIN))) {
		look.left = 0;
		return 0;
	}
	const itimerval wait{{0, 0}, {0, LOOK_WAIT_US}}, none{};
	(void)setitimer(ITIMER_REAL, &wait, nullptr);
	// A message is read whole or cut short: each read may take a whole
	// block.
	ssize_t n = look.messages ? read_message(look.fd, buf, cap, look.cut)
	                          : read(look.fd, buf, std::min(look.left, cap));
	int err = errno;
	(void)setitimer(ITIMER_REAL, &none, nullptr);
	if (n > 0) {
		look.left -= std::min(look.left, static_cast<std::size_t>(n));
		return n;
	}
	// EINTR (the timer, or a signal of the same stop) is the caller's to
	// read again: the next test of readiness tells which.  Nothing more,
	// or an input made non-blocking by another holder, ends the look.
	if (n == 0 || err == EAGAIN || err == EWOULDBLOCK) {
		look.left = 0;
		return 0;
	}
	errno = err;
	return -1;
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
