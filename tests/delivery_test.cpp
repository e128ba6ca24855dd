// When lines are delivered: through live pipes, files, sockets and a
// terminal, while the writer still holds its end open.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "harness.hpp"

using namespace std::chrono_literals;

namespace
{

TEST(delivery, completed_line_appears_while_writer_keeps_pipe_open)
{
	child c = spawn({"-f", "T "});
	send(c, "a\nb");
	EXPECT_EQ(read_for(c.out, 4, 5000), "T a\n");
	send(c, "\n\nc");
	EXPECT_EQ(read_for(c.out, 5, 5000), "T b\n\n");
	send(c, "\n");
	EXPECT_EQ(read_for(c.out, 4, 5000), "T c\n");
	EXPECT_EQ(finish(c), 0);
}

TEST(delivery, file_gets_each_line_while_writer_waits)
{
	char path[] = "/tmp/horlet-delivery-XXXXXX";
	int fd = mkstemp(path);
	ASSERT_GE(fd, 0);
	child c = spawn({"-f", "T ", path});
	send(c, "a\nb");
	std::string got;
	for (int i = 0; i < 500 && got != "T a\n"; ++i) {
		std::this_thread::sleep_for(10ms);
		char buf[16];
		ssize_t n = pread(fd, buf, sizeof buf, 0);
		got.assign(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
	}
	EXPECT_EQ(got, "T a\n");
	EXPECT_EQ(finish(c), 0);
	char buf[16];
	EXPECT_EQ(std::string(buf, static_cast<std::size_t>(pread(fd, buf, sizeof buf, 0))),
	          "T a\nT b");
	close(fd);
	unlink(path);
}

// Output on a packet socket shows each write(2) on its own: every write
// holds whole lines, however the input arrives.  Each piece is sent only
// once the lines before it have come out, so that horlet reads it alone
// however loaded the machine is.
TEST(delivery, writes_hold_whole_lines)
{
	int sv[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
	child c = spawn({"-f", "T "}, sv[1]);
	close(sv[1]);
	std::string in, want;
	for (int i = 0; i < 300; ++i) {
		std::string line(static_cast<std::size_t>(i * 7 % 53), 'x');
		in += line + "\n";
		want += (line.empty() ? "" : "T ") + line + "\n";
	}
	in += "tail";
	want += "T tail";
	std::atomic<std::size_t> lines_out{0};
	std::thread writer([&] {
		std::size_t lines_in = 0;
		for (std::size_t i = 0; i < in.size(); i += 97) {
			std::string piece = in.substr(i, 97);
			send(c, piece);
			lines_in +=
			    static_cast<std::size_t>(std::count(piece.begin(), piece.end(), '\n'));
			for (int wait = 0; lines_out < lines_in && wait < 5000; ++wait)
				std::this_thread::sleep_for(1ms);
		}
		close(c.in);
		c.in = -1;
	});
	std::string got;
	int writes = 0;
	for (;;) {
		char buf[65536];
		ssize_t n = recv(sv[0], buf, sizeof buf, 0);
		if (n <= 0)
			break;
		std::string w(buf, static_cast<std::size_t>(n));
		got += w;
		++writes;
		lines_out += static_cast<std::size_t>(std::count(w.begin(), w.end(), '\n'));
		if (got.size() < want.size()) {
			EXPECT_EQ(w.back(), '\n') << "write " << writes << ": " << dump(w);
		}
	}
	writer.join();
	EXPECT_EQ(finish(c), 0);
	close(sv[0]);
	EXPECT_EQ(got, want);
	EXPECT_GT(writes, 10);
}

// An input that another holder made non-blocking is waited for like any
// other: each line comes out while its writer still holds the pipe open.
TEST(delivery, nonblocking_input_delivers_each_line_while_the_writer_waits)
{
	int p[2];
	ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
	ASSERT_EQ(fcntl(p[0], F_SETFL, O_NONBLOCK), 0);
	child c = spawn({"-f", "T "}, -1, p[0]);
	close(p[0]);
	c.in = p[1];
	send(c, "a\n");
	EXPECT_EQ(read_for(c.out, 4, 5000), "T a\n");
	std::this_thread::sleep_for(100ms);
	send(c, "b\n");
	EXPECT_EQ(read_for(c.out, 4, 5000), "T b\n");
	EXPECT_EQ(finish(c), 0);
}

// A message of no bytes on a socket: a datagram carries nothing, and a
// datagram socket has no end (any sender may still send), so horlet reads
// on until a signal stops it; on a seqpacket socket the system tells such
// a message apart from the peer's close no more than a stream socket
// would, and the input ends there.
TEST(delivery, message_of_no_bytes)
{
	struct way {
		int type;
		const char *out;
		bool ends;
	};
	const way ways[] = {{SOCK_DGRAM, "T a\nT b\n", false}, {SOCK_SEQPACKET, "T a\n", true}};
	for (const way &w : ways) {
		int sv[2];
		ASSERT_EQ(socketpair(AF_UNIX, w.type, 0, sv), 0);
		child ch = spawn({"-f", "T "}, -1, sv[1]);
		close(sv[1]);
		ch.in = sv[0];
		for (const char *m : {"a\n", "", "b\n"})
			ASSERT_EQ(::send(ch.in, m, std::strlen(m), 0),
			          static_cast<ssize_t>(std::strlen(m)));
		EXPECT_EQ(read_for(ch.out, std::strlen(w.out), 5000), w.out) << w.type;
		close(ch.in);
		ch.in = -1;
		if (!w.ends) {
			// The peer's close is no end either.
			std::this_thread::sleep_for(200ms);
			EXPECT_EQ(waitpid(ch.pid, nullptr, WNOHANG), 0) << "ended by itself";
			kill(ch.pid, SIGTERM);
		}
		EXPECT_EQ(finish(ch), w.ends ? 0 : 128 + SIGTERM) << w.type;
	}
}

// At a terminal a prompt shows before its newline comes, stamped, and the
// rest of its line follows without a second stamp; to a pipe the same
// input still comes in whole lines.
TEST(delivery, terminal_shows_a_prompt_at_once)
{
	int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
	ASSERT_GE(master, 0);
	ASSERT_EQ(grantpt(master), 0);
	ASSERT_EQ(unlockpt(master), 0);
	int term = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
	ASSERT_GE(term, 0);
	termios raw{};
	ASSERT_EQ(tcgetattr(term, &raw), 0);
	cfmakeraw(&raw);
	ASSERT_EQ(tcsetattr(term, TCSANOW, &raw), 0);
	struct way {
		std::vector<const char *> args;
		std::string prompt, whole;
	};
	const way ways[] = {{{"-f", "T "}, "T ok\nT Continue? ", "T ok\nT Continue? y\n"},
	                    {{"-s", "-f", "T "}, "okT \nContinue? ", "okT \nContinue? yT \n"}};
	for (const way &w : ways) {
		child c = spawn(w.args, term);
		send(c, "ok\nContinue? ");
		std::string got = read_for(master, w.prompt.size(), 5000);
		EXPECT_EQ(dump(got), dump(w.prompt));
		send(c, "y\n");
		got += read_for(master, w.whole.size() - got.size(), 5000);
		EXPECT_EQ(dump(got), dump(w.whole));
		EXPECT_EQ(finish(c), 0);
	}
	close(term);
	close(master);
	// To a pipe: the prompt waits for its newline.
	child c = spawn({"-f", "T "});
	send(c, "ok\nContinue? ");
	EXPECT_EQ(read_for(c.out, 5, 5000), "T ok\n");
	EXPECT_EQ(read_for(c.out, 1, 300), "");
	send(c, "y\n");
	EXPECT_EQ(read_for(c.out, 14, 5000), "T Continue? y\n");
	EXPECT_EQ(finish(c), 0);
}

// With -a every write goes to the end of the file as it is then, so a
// log rotated by copying and truncating it gets no hole.
TEST(delivery, append_follows_truncation)
{
	char path[] = "/tmp/horlet-append-XXXXXX";
	int fd = mkstemp(path);
	ASSERT_GE(fd, 0);
	child c = spawn({"-a", "-f", "T ", path});
	send(c, "a\n");
	for (int i = 0; i < 500 && lseek(fd, 0, SEEK_END) < 4; ++i)
		std::this_thread::sleep_for(10ms);
	ASSERT_EQ(ftruncate(fd, 0), 0);
	send(c, "b\n");
	EXPECT_EQ(finish(c), 0);
	char buf[16];
	EXPECT_EQ(dump(std::string(buf, static_cast<std::size_t>(pread(fd, buf, sizeof buf, 0)))),
	          dump("T b\n"));
	close(fd);
	unlink(path);
}

} // namespace
