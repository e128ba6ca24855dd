// Signals and the stop: what a termination signal keeps, the last look at
// what waits in the input, and the signal state horlet inherits.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>

#include "harness.hpp"
#include "oracle.hpp"
#include "read.hpp"
#include "settings.hpp"

using namespace std::chrono_literals;

namespace
{

// Stopping and continuing horlet in mid-stream loses and repeats nothing.
TEST(signals, stop_and_continue_lose_nothing)
{
	child c = spawn({"-f", "T "});
	std::string in, want;
	for (int i = 0; i < 20000; ++i) {
		std::string line = "line " + std::to_string(i);
		in += line + "\n";
		want += "T " + line + "\n";
	}
	std::thread writer([&] {
		for (std::size_t i = 0; i < in.size(); i += 4096) {
			std::string part = in.substr(i, 4096);
			ASSERT_EQ(write(c.in, part.data(), part.size()),
			          static_cast<ssize_t>(part.size()));
		}
		close(c.in);
		c.in = -1;
	});
	std::thread stopper([&] {
		for (int i = 0; i < 50; ++i) {
			kill(c.pid, SIGSTOP);
			std::this_thread::sleep_for(1ms);
			kill(c.pid, SIGCONT);
			std::this_thread::sleep_for(1ms);
		}
	});
	std::string got = read_for(c.out, want.size() + 1, 30000);
	writer.join();
	stopper.join();
	EXPECT_EQ(finish(c), 0);
	EXPECT_TRUE(got == want) << got.size() << " bytes of " << want.size();
}

// A termination signal first has horlet write everything it has read, the
// line still open included (with -s it has no stamp, since its newline never
// came), then end by that signal.
struct stop_case {
	const char *name;
	int signo;
	std::vector<const char *> args;
	const char *first_line, *rest;
	// The signal, and SIGALRM, blocked in the mask horlet inherits: a
	// mask survives exec, and runtimes that block signals hand it on.
	bool blocked = false;
};

void PrintTo(const stop_case &c, std::ostream *os)
{
	*os << c.name;
}

const stop_case stop_cases[] = {
    {"term", SIGTERM, {"-f", "T "}, "T done\n", "T part"},
    {"int", SIGINT, {"-f", "T "}, "T done\n", "T part"},
    {"hup", SIGHUP, {"-f", "T "}, "T done\n", "T part"},
    {"term_suffix", SIGTERM, {"-s", "-f", "T "}, "doneT \n", "part"},
    {"int_suffix", SIGINT, {"-s", "-f", "T "}, "doneT \n", "part"},
    {"hup_suffix", SIGHUP, {"-s", "-f", "T "}, "doneT \n", "part"},
    {"term_blocked_at_start", SIGTERM, {"-f", "T "}, "T done\n", "T part", true},
    {"int_blocked_at_start", SIGINT, {"-f", "T "}, "T done\n", "T part", true},
    {"hup_blocked_at_start", SIGHUP, {"-s", "-f", "T "}, "doneT \n", "part", true},
};

class stop : public testing::TestWithParam<stop_case>
{
};

TEST_P(stop, writes_what_was_read_then_ends_by_the_signal)
{
	const stop_case &c = GetParam();
	sigset_t blocked, old;
	sigemptyset(&blocked);
	if (c.blocked) {
		sigaddset(&blocked, c.signo);
		sigaddset(&blocked, SIGALRM);
	}
	pthread_sigmask(SIG_BLOCK, &blocked, &old);
	child ch = spawn(c.args);
	pthread_sigmask(SIG_SETMASK, &old, nullptr);
	send(ch, "done\npart");
	// Once the complete line is out, horlet has read the open one too and
	// waits for more.
	ASSERT_EQ(read_for(ch.out, std::strlen(c.first_line), 5000), c.first_line);
	kill(ch.pid, c.signo);
	EXPECT_EQ(read_for(ch.out, 100, 5000), c.rest);
	EXPECT_EQ(finish(ch), 128 + c.signo);
}

INSTANTIATE_TEST_SUITE_P(signals, stop, testing::ValuesIn(stop_cases), row_name);

// A signal ignored when horlet starts, as under nohup, stays ignored.
TEST(signals, ignored_at_start_stays_ignored)
{
	signal(SIGHUP, SIG_IGN);
	child c = spawn({"-f", "T "});
	signal(SIGHUP, SIG_DFL);
	send(c, "a\npart");
	ASSERT_EQ(read_for(c.out, 4, 5000), "T a\n");
	kill(c.pid, SIGHUP);
	std::this_thread::sleep_for(100ms);
	send(c, "\n");
	EXPECT_EQ(read_for(c.out, 7, 5000), "T part\n");
	EXPECT_EQ(finish(c), 0);
}

// Signals that come while horlet is busy writing a large input, to a
// reader that lags, give the same result: all that was read is written.
// A stop often comes as two signals (timeout(1) signals the process and
// then its group): those within a second of the first are one stop, ended
// by the first.  Two different signals pending at once are delivered
// lowest number first, whatever the order they were sent in, so signals
// close together are the same signal.
struct busy_stop_case {
	const char *name;
	int second;                      // a second signal, or 0
	std::chrono::microseconds after; // how long after the first
	int reader_pause_ms;             // how long the reader pauses after the signals
};

void PrintTo(const busy_stop_case &c, std::ostream *os)
{
	*os << c.name;
}

const busy_stop_case busy_stop_cases[] = {
    {"one_signal", 0, 0us, 0},
    {"same_signal_twice_100us_apart", SIGTERM, 100us, 30},
    {"another_signal_300ms_later", SIGINT, 300ms, 30},
};

class busy_stop : public testing::TestWithParam<busy_stop_case>
{
};

TEST_P(busy_stop, everything_read_is_written)
{
	const busy_stop_case &c = GetParam();
	std::string in;
	for (int i = 0; i < 300000; ++i)
		in += "line " + std::to_string(i) + "\n";
	child ch = spawn({"-f", "T "});
	std::size_t sent = 0;
	std::thread writer([&] {
		while (sent < in.size()) {
			ssize_t w = write(ch.in, in.data() + sent,
			                  std::min<std::size_t>(65536, in.size() - sent));
			if (w <= 0)
				break;
			sent += static_cast<std::size_t>(w);
		}
	});
	std::string got = read_for(ch.out, 200000, 10000);
	kill(ch.pid, SIGTERM);
	if (c.second != 0) {
		std::this_thread::sleep_for(c.after);
		kill(ch.pid, c.second);
	}
	// horlet is now writing into a full pipe.
	std::this_thread::sleep_for(std::chrono::milliseconds(c.reader_pause_ms));
	got += read_for(ch.out, 2 * in.size(), 20000);
	writer.join();
	// What horlet read is what was sent less what is still in the pipe.
	int unread = 0;
	ASSERT_EQ(ioctl(ch.in, FIONREAD, &unread), 0);
	std::size_t read = sent - static_cast<std::size_t>(unread);
	EXPECT_EQ(finish(ch), 128 + SIGTERM);
	EXPECT_LT(read, in.size()) << "the signal came too late to test anything";
	EXPECT_TRUE(got == table_walk(horlet::prefix_trans, in.substr(0, read), "T "))
	    << got.size() << " bytes out for " << read << " bytes read";
}

INSTANTIATE_TEST_SUITE_P(signals, busy_stop, testing::ValuesIn(busy_stop_cases), row_name);

// A stop takes what waits in the input pipe too: the producer may be gone
// with the same signal (Ctrl-C signals the whole pipeline), and nobody
// else would read it.  horlet is held up by an output nobody reads while
// the producer fills the input pipe and then stops writing, keeping its end
// open; the signal goes to horlet alone, or to the group of both.
struct last_look_case {
	const char *name;
	bool to_group;
	int signo;
	int socket_type;        // the input: a socket of this type, or 0 for a pipe
	bool producer_ends;     // the producer exits, its data still waiting
	int receive_buffer = 0; // horlet's end's SO_RCVBUF, or 0 to leave it
};

void PrintTo(const last_look_case &c, std::ostream *os)
{
	*os << c.name;
}

const last_look_case last_look_cases[] = {
    {"term_to_horlet", false, SIGTERM, 0, false},
    {"ctrl_c_to_the_pipeline", true, SIGINT, 0, false},
    // At a real Ctrl-C the producer is gone: poll says POLLIN and POLLHUP.
    {"producer_gone", false, SIGTERM, 0, true},
    {"stream_socket", false, SIGTERM, SOCK_STREAM, false},
    {"seqpacket_socket", false, SIGTERM, SOCK_SEQPACKET, false},
    // FIONREAD on a datagram socket tells the first datagram alone.
    {"datagram_socket", false, SIGTERM, SOCK_DGRAM, false},
    // What waits in a socket pair's datagram socket is bounded by the
    // sender's buffer, not by horlet's receive buffer.
    {"datagram_socket_small_receive_buffer", false, SIGTERM, SOCK_DGRAM, false, 1},
};

class last_look : public testing::TestWithParam<last_look_case>
{
};

TEST_P(last_look, takes_what_waits_in_the_pipe)
{
	// Under valgrind horlet starts too slowly for the timing this needs.
	if (under_memcheck())
		GTEST_SKIP() << "needs horlet at its own speed";
	const last_look_case &c = GetParam();
	std::string in;
	for (int i = 0; i < 400000; ++i)
		in += "line " + std::to_string(i) + "\n";
	int in_fds[2] = {-1, -1};
	if (c.socket_type != 0) {
		ASSERT_EQ(socketpair(AF_UNIX, c.socket_type, 0, in_fds), 0);
	}
	if (c.receive_buffer != 0) {
		ASSERT_EQ(setsockopt(in_fds[1], SOL_SOCKET, SO_RCVBUF, &c.receive_buffer,
		                     sizeof c.receive_buffer),
		          0);
	}
	child ch = spawn({"-f", "T "}, -1, in_fds[1]);
	if (c.socket_type != 0) {
		close(in_fds[1]);
		ch.in = in_fds[0];
	}
	setpgid(ch.pid, ch.pid);
	int report[2];
	ASSERT_EQ(pipe(report), 0);
	pid_t producer = fork();
	ASSERT_GE(producer, 0);
	if (producer == 0) {
		// Writes until horlet and both pipes are full, in pieces the
		// input takes whole or not at all, then says how much and waits.
		// Only once horlet's output has come does a pause count: horlet
		// has then been reading, its signals caught, however slowly it
		// started.
		setpgid(0, ch.pid);
		fcntl(ch.in, F_SETFL, O_NONBLOCK);
		std::size_t sent = 0;
		for (int idle = 0; idle < 300 && sent < in.size();) {
			ssize_t w = write(ch.in, in.data() + sent,
			                  std::min<std::size_t>(4096, in.size() - sent));
			int out_waiting = 0;
			if (w > 0) {
				sent += static_cast<std::size_t>(w);
				idle = 0;
			} else {
				usleep(1000);
				if (ioctl(ch.out, FIONREAD, &out_waiting) == 0 && out_waiting > 0)
					++idle;
			}
		}
		(void)!write(report[1], &sent, sizeof sent);
		if (c.producer_ends)
			_exit(0);
		for (;;)
			pause();
	}
	close(report[1]);
	close(ch.in);
	ch.in = -1;
	std::size_t sent = 0;
	ASSERT_EQ(read_for(report[0], sizeof sent, 20000)
	              .copy(reinterpret_cast<char *>(&sent), sizeof sent),
	          sizeof sent);
	close(report[0]);
	ASSERT_LT(sent, in.size()) << "horlet took everything; nothing waited";
	kill(c.to_group ? -ch.pid : ch.pid, c.signo);
	std::string got = read_for(ch.out, 2 * in.size(), 20000);
	int raw = 0;
	wait_for(ch.pid, 10, &raw);
	EXPECT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == c.signo) << "wait status " << raw;
	kill(producer, SIGKILL);
	wait_for(producer, 10);
	close(ch.out);
	EXPECT_TRUE(got == table_walk(horlet::prefix_trans, in.substr(0, sent), "T "))
	    << got.size() << " bytes out for " << sent << " bytes written";
}

INSTANTIATE_TEST_SUITE_P(signals, last_look, testing::ValuesIn(last_look_cases), row_name);

// Starts writing in to horlet's input, and returns once its output has
// come: horlet then runs with its signals caught, and its output pipe,
// which nobody reads, fills until its write blocks.
std::thread write_until_output(child &ch, const std::string &in)
{
	std::thread writer([&ch, &in] {
		for (std::size_t i = 0; i < in.size();) {
			ssize_t w = write(ch.in, in.data() + i, in.size() - i);
			if (w <= 0)
				break;
			i += static_cast<std::size_t>(w);
		}
	});
	EXPECT_EQ(read_for(ch.out, 1, 20000).size(), 1u) << "no output";
	return writer;
}

// Output that cannot be written holds the first signal up; a signal a
// second or more after the first ends horlet at once, by the first
// signal, which says why the run stopped.  Those within the second are the
// same stop, and do not start the second again.
struct later_case {
	const char *name;
	int first, later;
	std::vector<int> at_ms; // when the later signals come, after the first
};

void PrintTo(const later_case &c, std::ostream *os)
{
	*os << c.name;
}

const later_case later_cases[] = {
    {"term_then_int", SIGTERM, SIGINT, {1200}},
    {"hup_then_term", SIGHUP, SIGTERM, {1200}},
    {"term_every_400ms", SIGTERM, SIGTERM, {400, 800, 1200}},
};

class later_signal : public testing::TestWithParam<later_case>
{
};

TEST_P(later_signal, ends_a_blocked_write_by_the_first)
{
	// Under valgrind horlet starts too slowly for the timing this needs.
	if (under_memcheck())
		GTEST_SKIP() << "needs horlet at its own speed";
	const later_case &c = GetParam();
	child ch = spawn({"-f", "T "});
	const std::string in(8 << 20, 'x');
	std::thread writer = write_until_output(ch, in);
	if (HasFailure()) {
		kill(ch.pid, SIGKILL);
		return writer.join();
	}
	std::this_thread::sleep_for(300ms);
	const auto first = std::chrono::steady_clock::now();
	kill(ch.pid, c.first);
	for (int at : c.at_ms) {
		std::this_thread::sleep_until(first + std::chrono::milliseconds(at));
		pid_t ended = waitpid(ch.pid, nullptr, WNOHANG);
		EXPECT_EQ(ended, 0) << "ended before its output was written, at " << at << " ms";
		if (ended != 0)
			break;
		kill(ch.pid, c.later);
	}
	int raw = 0;
	wait_for(ch.pid, 5, &raw);
	EXPECT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == c.first) << "wait status " << raw;
	close(ch.in);
	ch.in = -1;
	writer.join();
	close(ch.out);
}

INSTANTIATE_TEST_SUITE_P(signals, later_signal, testing::ValuesIn(later_cases), row_name);

// A stop signal while FILE is being opened (a FIFO without a reader) ends
// horlet by that signal, silently, with FILE as it was: nothing was read.
// (A background job of a script ignores SIGINT, so TERM and HUP.)
const sh_case stop_at_open[] = {
    {"term",
     "mkfifo ff; horlet ff 2>e & p=$!; "
     "for i in {1..100}; do grep -q partner /proc/$p/wchan && break; sleep 0.05; done; "
     "kill -TERM $p; wait $p 2>/dev/null; echo $?; [ -p ff ] && echo fifo; cat e",
     "a\n", "143\nfifo\n", "", 0},
    {"hup",
     "mkfifo ff; horlet ff 2>e & p=$!; "
     "for i in {1..100}; do grep -q partner /proc/$p/wchan && break; sleep 0.05; done; "
     "kill -HUP $p; wait $p 2>/dev/null; echo $?; [ -p ff ] && echo fifo; cat e",
     "a\n", "129\nfifo\n", "", 0},
};

class signal_rows : public testing::TestWithParam<sh_case>
{
};

TEST_P(signal_rows, behave)
{
	expect_run(GetParam());
}

INSTANTIATE_TEST_SUITE_P(signals, signal_rows, testing::ValuesIn(stop_at_open), row_name);

// A producer that never stops writing cannot hold a stop: the last look
// takes no more than waited, from a pipe at most what it holds (1 MiB
// here), beside the read that may be under way when the signal comes.  A
// long stamp on short lines, written to a pipe, keeps horlet far behind
// its producer.
TEST(signals, endless_producer_cannot_hold_a_stop)
{
	if (under_memcheck())
		GTEST_SKIP() << "needs horlet at its own speed";
	const int types[] = {0, SOCK_STREAM, SOCK_SEQPACKET, SOCK_DGRAM};
	for (int type : types) {
		int sv[2] = {-1, -1};
		if (type != 0) {
			ASSERT_EQ(socketpair(AF_UNIX, type, 0, sv), 0);
		}
		const std::string stamp(400, 'x');
		child ch = spawn({"-f", stamp.c_str()}, -1, sv[1]);
		std::thread drain([fd = ch.out] {
			char buf[65536];
			while (read(fd, buf, sizeof buf) > 0) {
			}
		});
		if (type != 0) {
			close(sv[1]);
			ch.in = sv[0];
		}
		const int holds = type == 0 ? fcntl(ch.in, F_SETPIPE_SZ, 1 << 20) : 1;
		EXPECT_GT(holds, 0);
		std::atomic<bool> done{false};
		std::atomic<std::size_t> written{0};
		std::thread producer([&] {
			const std::string ys = repeat("y\n", 2048);
			while (!done) {
				ssize_t w = write(ch.in, ys.data(), ys.size());
				if (w <= 0)
					break;
				written += static_cast<std::size_t>(w);
			}
		});
		// What horlet has taken: what was written less what waits.
		auto taken = [&] {
			int waits = 0;
			ioctl(ch.in, FIONREAD, &waits);
			return written - static_cast<std::size_t>(waits);
		};
		std::this_thread::sleep_for(500ms);
		const std::size_t before = taken();
		kill(ch.pid, SIGTERM);
		int raw = 0;
		EXPECT_NE(wait_for(ch.pid, 5, &raw), -2)
		    << "socket type " << type << ": still running 5 s after the signal";
		EXPECT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == SIGTERM)
		    << "socket type " << type << ": wait status " << raw;
		done = true;
		// Its write fails once horlet has gone.
		producer.join();
		if (type == 0) {
			EXPECT_LE(taken() - before,
			          static_cast<std::size_t>(holds) + horlet::IN_BUF_SIZE)
			    << "taken after the signal";
		}
		drain.join();
		for (int fd : {ch.in, ch.out, ch.err})
			close(fd);
	}
}

// Once a stop has begun, a reader of the output that goes away ends
// horlet by the stop's signal, not by SIGPIPE: a pipeline stopped with
// Ctrl-C whose last command dies first.  Where SIGPIPE was ignored at
// start, the failed write is reported instead, and the stop's signal still
// ends horlet.
TEST(signals, reader_gone_during_a_stop_ends_by_the_stop)
{
	if (under_memcheck())
		GTEST_SKIP() << "needs horlet at its own speed";
	for (bool pipe_ignored : {false, true}) {
		child ch =
		    pipe_ignored
		        ? spawn_via("/bin/sh",
		                    {"sh", "-c", "trap '' PIPE; exec \"$0\" \"$@\"", horlet_path()},
		                    {"-f", "T "})
		        : spawn({"-f", "T "});
		const std::string in(1 << 20, 'x');
		std::thread writer = write_until_output(ch, in);
		if (HasFailure()) {
			kill(ch.pid, SIGKILL);
			return writer.join();
		}
		std::this_thread::sleep_for(200ms);
		kill(ch.pid, SIGINT);
		std::this_thread::sleep_for(200ms);
		close(ch.out);
		ch.out = -1;
		int raw = 0;
		wait_for(ch.pid, 10, &raw);
		EXPECT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == SIGINT)
		    << "SIGPIPE ignored: " << pipe_ignored << ", wait status " << raw;
		EXPECT_EQ(read_for(ch.err, 100, 1000),
		          pipe_ignored ? "standard output: Broken pipe\n" : "");
		close(ch.in);
		ch.in = -1;
		writer.join();
		close(ch.err);
	}
}

// No read of the last look waits, whatever another reader of the input
// does.  Datagrams wait at the stop while horlet is held stopped; then a
// second reader takes them as fast as it can, racing horlet's look, which
// reads a datagram at a time, each read after a test that one waits.
// horlet ends by the signal every time, in well under a second.
TEST(signals, last_look_never_waits_for_another_reader)
{
	if (under_memcheck())
		GTEST_SKIP() << "needs horlet at its own speed";
	for (int round = 0; round < 40; ++round) {
		int sv[2];
		ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv), 0);
		child ch = spawn({"-f", "T "}, -1, sv[1]);
		ch.in = sv[0];
		int thief = sv[1];
		send(ch, "a\n");
		// horlet runs with its signals caught once its output comes.
		ASSERT_EQ(read_for(ch.out, 4, 20000), "T a\n");
		kill(ch.pid, SIGSTOP);
		for (int i = 0; i < 40; ++i)
			send(ch, "b\n");
		kill(ch.pid, SIGTERM);
		std::atomic<bool> done{false};
		std::thread steal([&] {
			char buf[64];
			while (!done)
				(void)!recv(thief, buf, sizeof buf, MSG_DONTWAIT);
		});
		timespec t0, t1;
		clock_gettime(CLOCK_MONOTONIC, &t0);
		kill(ch.pid, SIGCONT);
		int raw = 0;
		wait_for(ch.pid, 5, &raw);
		clock_gettime(CLOCK_MONOTONIC, &t1);
		done = true;
		steal.join();
		EXPECT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == SIGTERM)
		    << "round " << round << ", wait status " << raw;
		EXPECT_LT(t1.tv_sec - t0.tv_sec, 2) << "round " << round;
		close(thief);
		close(ch.in);
		ch.in = -1;
		close(ch.out);
		ch.out = -1;
		close(ch.err);
		if (HasFailure())
			break;
	}
}

// The same, made certain: a tracer holds one call of the look back while
// a second reader takes what the look saw waiting, so that the look's
// next read finds nothing.  That read ends by the look's timer, however
// SIGALRM was handed down, and whether the timer fires before the read
// begins or while it waits; horlet then ends by the signal, silently.
struct held_look_case {
	const char *name;
	enum { as_usual, blocked, ignored } alarm;
	held_call hold;
};

void PrintTo(const held_look_case &c, std::ostream *os)
{
	*os << c.name;
}

const held_look_case held_look_cases[] = {
    // Held after the look's test of readiness: the read waits.
    {"read_waits", held_look_case::as_usual, {"/^p?poll$", true, 300000}},
    {"read_waits_alarm_blocked_at_start", held_look_case::blocked, {"/^p?poll$", true, 300000}},
    {"read_waits_alarm_ignored_at_start", held_look_case::ignored, {"/^p?poll$", true, 300000}},
    // Held after the timer is set: it fires before the read begins.
    {"timer_fires_before_the_read", held_look_case::as_usual, {"setitimer", true, 300000}},
};

class held_look : public testing::TestWithParam<held_look_case>
{
};

TEST_P(held_look, read_ends_by_the_looks_timer)
{
	if (wrapped())
		GTEST_SKIP() << "strace would trace the wrapper";
	const held_look_case &c = GetParam();
	int sv[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv), 0);
	sigset_t alarm, old;
	sigemptyset(&alarm);
	sigaddset(&alarm, SIGALRM);
	pthread_sigmask(c.alarm == held_look_case::blocked ? SIG_BLOCK : SIG_UNBLOCK, &alarm, &old);
	struct sigaction ign {
	}, old_action{};
	ign.sa_handler = c.alarm == held_look_case::ignored ? SIG_IGN : SIG_DFL;
	sigaction(SIGALRM, &ign, &old_action);
	child ch = spawn_held(c.hold, {"-f", "T "}, -1, sv[1]);
	sigaction(SIGALRM, &old_action, nullptr);
	pthread_sigmask(SIG_SETMASK, &old, nullptr);
	if (ch.pid < 0)
		GTEST_SKIP() << "strace is not installed";
	ch.in = sv[0];
	const int thief = sv[1];
	send(ch, "a\n");
	// horlet runs with its signals caught once its output comes.
	ASSERT_EQ(read_for(ch.out, 4, 20000), "T a\n");
	kill(ch.pid, SIGSTOP);
	for (int i = 0; i < 3; ++i)
		send(ch, "b\n");
	kill(ch.pid, SIGTERM);
	kill(ch.pid, SIGCONT);
	// The look is held: the thief takes all that waits.
	EXPECT_TRUE(held_by_tracer(ch.pid, 10000)) << "the look never began";
	char buf[64];
	while (recv(thief, buf, sizeof buf, MSG_DONTWAIT) > 0) {
	}
	int raw = 0;
	EXPECT_NE(wait_for(ch.pid, 5, &raw), -2) << "the look's read waited";
	EXPECT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == SIGTERM) << "wait status " << raw;
	EXPECT_EQ(read_for(ch.err, 200, 1000), "");
	for (int fd : {thief, ch.in, ch.out, ch.err})
		close(fd);
}

INSTANTIATE_TEST_SUITE_P(signals, held_look, testing::ValuesIn(held_look_cases), row_name);

// The last look takes no more than waited when it began: lines a producer
// writes while the look is under way are not taken, however large a read
// would be.  The look is held by a tracer before its first test of
// readiness while the late lines are written; what waited is what horlet
// could not read while its output was full.
TEST(signals, last_look_takes_no_more_than_waited)
{
	if (wrapped())
		GTEST_SKIP() << "strace would trace the wrapper";
	child ch = spawn_held({"/^p?poll$", false, 300000}, {"-f", "T "});
	if (ch.pid < 0)
		GTEST_SKIP() << "strace is not installed";
	ASSERT_GT(fcntl(ch.in, F_SETPIPE_SZ, 1 << 20), 0);
	std::string early;
	for (int i = 0; early.size() < 700000; ++i)
		early += "early " + std::to_string(i) + "\n";
	send(ch, early);
	// horlet waits to write, its output full; the rest waits in its input.
	std::this_thread::sleep_for(300ms);
	kill(ch.pid, SIGTERM);
	std::string got;
	std::thread drain([&] { got = read_for(ch.out, 4 * early.size(), 20000); });
	EXPECT_TRUE(held_by_tracer(ch.pid, 10000)) << "the look never began";
	send(ch, repeat("late\n", 20));
	int raw = 0;
	EXPECT_NE(wait_for(ch.pid, 10, &raw), -2);
	EXPECT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == SIGTERM) << "wait status " << raw;
	drain.join();
	EXPECT_TRUE(got == table_walk(horlet::prefix_trans, early, "T "))
	    << got.size() << " bytes out for " << early.size()
	    << " early bytes; late lines taken: " << (got.find("late") != std::string::npos);
	for (int fd : {ch.in, ch.out, ch.err})
		close(fd);
}

} // namespace
