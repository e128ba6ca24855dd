// Failures of the output and the input: each is reported, with status 1,
// and nothing read before it is lost.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <csignal>

#include <string>
#include <utility>

#include "frame.hpp"
#include "harness.hpp"

namespace
{

class faults : public testing::TestWithParam<sh_case>
{
};

TEST_P(faults, reported)
{
	expect_run(GetParam());
}

const std::string big_input = [] {
	std::string s;
	for (int i = 0; i < 20000; ++i)
		s += "line " + std::to_string(i) + "\n";
	return s;
}();

// Closes every descriptor but the standard ones (the test runner may have
// left some open), allows n, and runs what follows in the shell's place.
// The sanitizer build's leak check needs descriptors of its own at exit.
std::string with_descriptors(int n)
{
	return "export ASAN_OPTIONS=detect_leaks=0; for f in /proc/$BASHPID/fd/*; do n=${f##*/}; [ "
	       "$n -gt 2 ] && eval \"exec $n>&-\"; "
	       "done; ulimit -n " +
	       std::to_string(n) + "; exec ";
}

// A command that sets O_NONBLOCK on descriptor fd, shared with horlet.
std::string set_nonblocking(int fd)
{
	return "python3 -c 'import fcntl, os; fcntl.fcntl(" + std::to_string(fd) +
	       ", fcntl.F_SETFL, fcntl.fcntl(" + std::to_string(fd) +
	       ", fcntl.F_GETFL) | os.O_NONBLOCK)'";
}

const sh_case fault_cases[] = {
    {"stdout_full", "horlet -f 'T ' > /dev/full", "a\n", "",
     "standard output: No space left on device\n", 1},
    {"file_full", "horlet -f 'T ' /dev/full", "a\n", "", "/dev/full: No space left on device\n", 1},
    {"usage_to_full", "horlet -? > /dev/full", "", "", "standard output: No space left on device\n",
     1},
    {"stdout_closed", "horlet -f 'T ' >&-", "a\n", "", "standard output: Bad file descriptor\n", 1},
    {"stdout_closed_no_input", "horlet >&-", "", "", "standard output: Bad file descriptor\n", 1},
    {"file_with_stdout_closed", "horlet -f 'T ' f >&- && cat f", "a\n", "T a\n", "", 0},
    {"stdin_directory", "horlet -f 'T ' < .", "", "", "standard input: Is a directory\n", 1},
    {"stdin_closed", "horlet -f 'T ' <&-", "", "", "standard input: Bad file descriptor\n", 1},
    // The reader going away ends horlet by SIGPIPE, silently, as in any
    // pipeline.
    {"reader_gone", "horlet -f 'T ' | head -c 3; echo \" ${PIPESTATUS[0]}\"", big_input,
     "T l 141\n", "", 0},
    // Input is output, in its three forms, leaves the file as it was.
    {"append_to_input", "echo a > f; horlet -a f < f; also cat f", "", "a\n",
     "f: input file is output file\n", 1},
    {"truncate_input", "echo a > f; horlet f < f; also cat f", "", "a\n",
     "f: input file is output file\n", 1},
    {"stdout_is_input", "echo a > f; horlet < f >> f; also cat f", "", "a\n",
     "standard output: input file is output file\n", 1},
    {"input_is_output_through_link", "echo a > f; ln -s f g; horlet g < f; also cat f", "", "a\n",
     "g: input file is output file\n", 1},
    // A pipe or FIFO that is both input and output would feed horlet its
    // own output until it blocks for ever; what waits in it stays there.
    {"pipe_is_file", "horlet /dev/stdin; also cat", "a\n", "a\n",
     "/dev/stdin: input file is output file\n", 1},
    {"fifo_is_file", "mkfifo ff; printf 'a\\n' > ff & { horlet ff; also cat; } < ff", "", "a\n",
     "ff: input file is output file\n", 1},
    {"fifo_is_stdout", "mkfifo ff; printf 'a\\n' > ff & { horlet 1<>ff; also cat; } < ff", "",
     "a\n", "standard output: input file is output file\n", 1},
    {"terminal_device_both_ways_is_fine", "horlet -f 'T ' /dev/null < /dev/null", "", "", "", 0},
    // With standard error closed, the output file must not take its place.
    // (Reading clear_refs fails, but only once FILE is open.)
    {"file_with_stderr_closed",
     "{ exec < /proc/self/clear_refs; } 2>/dev/null || exit 77; horlet -f 'T ' f 2>&-; also cat f",
     "", "", "", 1, false},
    // What the input is can be told before FILE is opened: a closed, a
    // write-only or a directory input leaves FILE as it was.
    {"stdin_closed_keeps_file", "echo old > f; horlet -a f <&-; horlet f <&-; also cat f", "",
     "old\n", "standard input: Bad file descriptor\nstandard input: Bad file descriptor\n", 1},
    {"stdin_write_only_keeps_file", "echo old > f; horlet f 0> g; also cat f", "", "old\n",
     "standard input: Bad file descriptor\n", 1},
    {"stdin_directory_keeps_file", "echo old > f; horlet f < /; also cat f", "", "old\n",
     "standard input: Is a directory\n", 1},
    {"other_file_is_fine", "echo a > f; horlet -f 'T ' g < f && cat g", "", "T a\n", "", 0},
    // Files are the same only on the same device: two fresh file systems
    // give their first files the same inode number.
    {"same_inode_other_device",
     "mkdir a b; unshare -m true 2>/dev/null || exit 77; exec unshare -m sh -c '"
     "mount -t tmpfs t a 2>/dev/null && mount -t tmpfs t b 2>/dev/null || exit 77; "
     "echo x > a/f; : > b/f; [ $(stat -c %i a/f) = $(stat -c %i b/f) ] || exit 77; "
     "horlet -f \"T \" b/f < a/f && cat b/f'",
     "", "T x\n", "", 0},
    {"devnull_both_ways", "horlet < /dev/null > /dev/null", "", "", "", 0},
    // A pipe that another holder has made non-blocking: horlet waits for
    // input, and for room in its output, as on any pipe.
    {"nonblocking_input",
     "mkfifo go; (read < go; echo a; sleep 0.3; echo b) | { " + set_nonblocking(0) +
         "; echo > go; horlet -f 'T '; }",
     "", "T a\nT b\n", "", 0},
    {"nonblocking_output",
     "head -c 400000 /dev/zero | tr '\\0' '\\n' | { " + set_nonblocking(1) +
         "; horlet -f 'T '; } | { sleep 0.3; wc -l; }",
     "", "400000\n", "", 0},
    // A failed write ends the run, however much input is still to come.
    {"endless_input_to_full", "yes | timeout 20 horlet > /dev/full", "", "",
     "standard output: No space left on device\n", 1},
    // Without the descriptors a stop needs, or for FILE, the run does not
    // start, and FILE keeps what it held.  (valgrind needs descriptors of
    // its own.)
    {"no_descriptor_for_signals", "echo old > f; (" + with_descriptors(4) + "horlet f); also cat f",
     "a\n", "old\n", "signals: Too many open files\n", 1, false},
    {"no_descriptor_for_file", "echo old > f; (" + with_descriptors(5) + "horlet f); also cat f",
     "a\n", "old\n", "f: Too many open files\n", 1, false},
    // One descriptor more is enough, and the zone file was read in time.
    {"descriptors_just_enough",
     "(export TZ=Asia/Tokyo; " + with_descriptors(6) + "horlet -f '%Z ' f); also cat f", "a\n",
     "JST a\n", "", 0, false},
};
INSTANTIATE_TEST_SUITE_P(io, faults, testing::ValuesIn(fault_cases), row_name);

// Output to a message socket, which refuses a write longer than its
// buffer as one message (a small one here): everything arrives, each
// message whole lines or a piece of one line longer than a message.
TEST(faults, message_socket_output_takes_everything)
{
	const std::pair<int, const char *> types[] = {{SOCK_DGRAM, "datagram"},
	                                              {SOCK_SEQPACKET, "seqpacket"}};
	for (auto [type, name] : types) {
		int sv[2];
		ASSERT_EQ(socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, sv), 0);
		int small = 4096;
		ASSERT_EQ(setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
		std::string input =
		    big_input.substr(0, 20000) + std::string(30000, 'x') + "\nend\n";
		std::string want;
		for (std::size_t at = 0, nl; (nl = input.find('\n', at)) != std::string::npos;
		     at = nl + 1)
			want += "T " + input.substr(at, nl + 1 - at);
		child ch = spawn({"-f", "T "}, sv[1]);
		close(sv[1]);
		ASSERT_EQ(write(ch.in, input.data(), input.size()),
		          static_cast<ssize_t>(input.size()));
		close(ch.in);
		ch.in = -1;
		std::string got, torn;
		int messages = 0;
		char buf[65536];
		pollfd p{sv[0], POLLIN, 0};
		while (got.size() < want.size() && poll(&p, 1, 20000) == 1) {
			ssize_t n = recv(sv[0], buf, sizeof buf, 0);
			ASSERT_GT(n, 0);
			std::string m(buf, static_cast<std::size_t>(n));
			if (torn.empty() && m.back() != '\n' && m.find('\n') != std::string::npos)
				torn = m.substr(m.rfind('\n'), 40);
			got += m;
			++messages;
		}
		close(sv[0]);
		EXPECT_EQ(finish(ch), 0);
		EXPECT_TRUE(got == want)
		    << name << ": " << got.size() << " of " << want.size() << " bytes";
		EXPECT_GT(messages, 6) << name;
		EXPECT_TRUE(torn.empty())
		    << name
		    << ": a message ends inside a line it does not wholly hold: " << dump(torn);
	}
}

// A message longer than a read takes (the sender made room for it) is
// not cut short silently: what was read of it is written, then the
// error is reported.
TEST(faults, message_longer_than_a_read_is_reported)
{
	const std::pair<int, const char *> types[] = {{SOCK_DGRAM, "datagram"},
	                                              {SOCK_SEQPACKET, "seqpacket"}};
	const std::string big(horlet::IN_BUF_SIZE + 1000, 'x');
	for (auto [type, name] : types) {
		int sv[2];
		ASSERT_EQ(socketpair(AF_UNIX, type, 0, sv), 0);
		int room = 4 << 20;
		ASSERT_EQ(setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &room, sizeof room), 0);
		ASSERT_EQ(setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &room, sizeof room), 0);
		ASSERT_EQ(send(sv[0], "a\n", 2, 0), 2);
		if (send(sv[0], big.data(), big.size(), 0) != static_cast<ssize_t>(big.size()))
			GTEST_SKIP()
			    << "a message of " << big.size() << " bytes cannot be sent here";
		ASSERT_EQ(send(sv[0], "b\n", 2, 0), 2);
		close(sv[0]);
		// A datagram socket never reads as ended: timeout ends a run
		// that does not see the error.
		run_result r = run_sh("timeout 10 horlet -f 'T ' <&" + std::to_string(sv[1]));
		close(sv[1]);
		EXPECT_TRUE(r.out == "T a\nT " + big.substr(0, horlet::IN_BUF_SIZE))
		    << name << ": " << r.out.size() << " bytes";
		EXPECT_EQ(r.err, in_libc_words("standard input: Message too long\n")) << name;
		EXPECT_EQ(r.status, 1) << name;
	}
}

// A read error after some input: what came before it is written whole.
TEST(faults, read_error_keeps_what_was_read)
{
	int sv[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
	// horlet reads sv[1].  sv[0] closes with unread data of its own,
	// which resets the connection once sv[1]'s data is read.
	ASSERT_EQ(write(sv[0], "a\nb", 3), 3);
	ASSERT_EQ(write(sv[1], "x", 1), 1);
	close(sv[0]);
	std::string script = "horlet -f 'T ' <&" + std::to_string(sv[1]);
	run_result r = run_sh(script);
	close(sv[1]);
	EXPECT_EQ(dump(r.out), dump("T a\nT b"));
	EXPECT_EQ(r.err, "standard input: Connection reset by peer\n");
	EXPECT_EQ(r.status, 1);
}

} // namespace
