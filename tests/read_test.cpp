// The read loop and the stop, in process, under signals: interrupted
// reads and writes, and a stop signal just before a read.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>

#include "harness.hpp"
#include "read.hpp"
#include "stop.hpp"

namespace
{

using namespace horlet;

// Signals that interrupt its reads and writes (EINTR, or a write cut
// short) cost the copy loop nothing: it goes on where it was.
TEST(read_loop, interrupted_reads_and_writes_lose_nothing)
{
	std::string in, want;
	for (int i = 0; i < 100000; ++i) {
		std::string line = "line " + std::to_string(i) + "\n";
		in += line;
		want += "T " + line;
	}
	int to[2], from[2];
	ASSERT_EQ(pipe(to), 0);
	ASSERT_EQ(pipe(from), 0);
	// Only this thread takes the timer's signals; the helpers block them.
	sigset_t alarm;
	sigemptyset(&alarm);
	sigaddset(&alarm, SIGALRM);
	pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
	std::thread writer([&] {
		// Slowly, so that reads wait and are interrupted.
		for (std::size_t i = 0; i < in.size(); i += 200000) {
			std::string part = in.substr(i, 200000);
			if (write(to[1], part.data(), part.size()) != ssize_t(part.size()))
				break;
			std::this_thread::sleep_for(std::chrono::milliseconds(2));
		}
		close(to[1]);
	});
	std::string got;
	std::thread reader([&] {
		// Slowly too, so that writes wait and are interrupted.
		char buf[4096];
		for (ssize_t n; (n = read(from[0], buf, sizeof buf)) > 0;) {
			got.append(buf, static_cast<std::size_t>(n));
			std::this_thread::sleep_for(std::chrono::microseconds(20));
		}
	});
	pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
	interrupt_every(200);
	run_settings rs;
	rs.format = "T ";
	rs.out = from[1];
	stream_result r = stamp_stream(rs, to[0]);
	interrupt_every(0);
	// Ends the helpers even when the loop gave up early.
	signal(SIGPIPE, SIG_IGN);
	close(to[0]);
	close(from[1]);
	writer.join();
	reader.join();
	close(from[0]);
	signal(SIGALRM, SIG_DFL);
	EXPECT_EQ(r.fault, stream_result::ok) << std::strerror(r.err);
	EXPECT_TRUE(got == want) << got.size() << " bytes of " << want.size();
}

// A signal can come after the copy loop has looked for one and before its
// read begins.  That read must not wait for input that may never come: the
// handler has the descriptor read as end of file.  In a child, so that the
// handler stays out of this process; the pipe's write end stays open.
TEST(stop, a_signal_just_before_a_read_makes_it_see_end_of_file)
{
	int p[2];
	ASSERT_EQ(pipe(p), 0);
	pid_t pid = start_child([&] {
		static horlet::run_stop req;
		if (!horlet::make_stop(req, p[0]))
			return 2;
		horlet::catch_stop_signals(req);
		raise(SIGTERM);
		alarm(5); // a read that waits ends the child by SIGALRM
		char byte;
		return req.signo == SIGTERM && read(p[0], &byte, 1) == 0 ? 0 : 3;
	});
	ASSERT_GE(pid, 0);
	int status = 0;
	wait_for(pid, run_timeout, &status);
	close(p[0]);
	close(p[1]);
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

} // namespace
