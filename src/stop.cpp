// horlet: the stop signals' handler, and the end by a signal.
#include "stop.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

std::int64_t ns_since(const timespec &t)
{
	timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	return std::int64_t{now.tv_sec - t.tv_sec} * 1000000000 + (now.tv_nsec - t.tv_nsec);
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
	errno = err;
}

constexpr int stop_signals[] = {SIGTERM, SIGINT, SIGHUP};

} // namespace

bool catch_stop_signals(stop_request &stop, int in)
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
		stop.look = fcntl(in, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
		if (stop.look < 0)
			return false;
	}
	stop_in = in;
	stop_eof = p[0];
	stopping = &stop;
	struct sigaction sa {
	};
	sa.sa_handler = on_stop;
	// No SA_RESTART: a waiting read ends, a write that the reader holds
	// up ends, and the second signal finds the handler.
	sigemptyset(&sa.sa_mask);
	for (int sig : stop_signals)
		sigaddset(&sa.sa_mask, sig);
	for (int sig : stop_signals) {
		struct sigaction old {
		};
		// A signal ignored from the start (nohup, a background job)
		// stays ignored.
		if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
			continue;
		if (sigaction(sig, &sa, nullptr) != 0)
			return false;
	}
	return true;
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
