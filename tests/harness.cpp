#include "harness.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <stdexcept>
#include <string>

const char *horlet_path()
{
	// HORLET_BIN names a stand-in, such as a wrapper that runs the
	// binary under valgrind.
	const char *bin = std::getenv("HORLET_BIN");
	return bin != nullptr ? bin : HORLET_BIN;
}

std::string dump(const std::string &s)
{
	std::string d;
	char hex[8];
	for (unsigned char c : s) {
		if (c == '\\') {
			d += "\\\\";
		} else if (c == '\n') {
			d += "\\n";
		} else if (c >= 0x20 && c < 0x7f) {
			d += static_cast<char>(c);
		} else {
			std::snprintf(hex, sizeof hex, "\\x%02x", c);
			d += hex;
		}
	}
	return '"' + d + '"';
}

namespace
{

void check(bool ok, const char *what)
{
	if (!ok)
		throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

double seconds_now()
{
	timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Feeds input to the child and collects its output and error until both
// close, then reaps it.  A child still running after run_timeout seconds
// is killed and the run fails.
run_result collect(pid_t pid, int in, int out, int err, const std::string &input)
{
	run_result r;
	std::size_t sent = 0;
	const double deadline = seconds_now() + run_timeout;
	if (input.empty()) {
		close(in);
		in = -1;
	}
	std::string *sink[2] = {&r.out, &r.err};
	int fds[2] = {out, err};
	while (in >= 0 || fds[0] >= 0 || fds[1] >= 0) {
		pollfd p[3] = {{in, POLLOUT, 0}, {fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
		double left = deadline - seconds_now();
		if (left <= 0) {
			for (int fd : {in, fds[0], fds[1]})
				if (fd >= 0)
					close(fd);
			wait_for(pid, 0);
			r.err += "still running after " + std::to_string(run_timeout) + " s";
			r.status = -2;
			return r;
		}
		if (poll(p, 3, static_cast<int>(left * 1000) + 1) < 0) {
			check(errno == EINTR, "poll");
			continue;
		}
		if (in >= 0 && p[0].revents != 0) {
			ssize_t w = write(in, input.data() + sent, input.size() - sent);
			if (w > 0)
				sent += static_cast<std::size_t>(w);
			if (w < 0 || sent == input.size()) {
				close(in);
				in = -1;
			}
		}
		for (int i = 0; i < 2; ++i) {
			if (fds[i] < 0 || p[i + 1].revents == 0)
				continue;
			char buf[65536];
			ssize_t n = read(fds[i], buf, sizeof buf);
			if (n > 0) {
				sink[i]->append(buf, static_cast<std::size_t>(n));
			} else {
				close(fds[i]);
				fds[i] = -1;
			}
		}
	}
	r.status = wait_for(pid, deadline - seconds_now());
	return r;
}

struct child_pipes {
	int in[2], out[2], err[2];
	child_pipes()
	{
		check(pipe2(in, O_CLOEXEC) == 0 && pipe2(out, O_CLOEXEC) == 0 &&
		          pipe2(err, O_CLOEXEC) == 0,
		      "pipe");
	}
	// In the child: the pipe ends become the standard descriptors.
	void attach()
	{
		dup2(in[0], 0);
		dup2(out[1], 1);
		dup2(err[1], 2);
	}
	run_result finish(pid_t pid, const std::string &input)
	{
		close(in[0]);
		close(out[1]);
		close(err[1]);
		return collect(pid, in[1], out[0], err[0], input);
	}
};

// SIGINT and SIGQUIT at their default action in this process and all it
// starts, as from a terminal, whoever started the tests: a shell ignores
// them for a command it starts in the background, and horlet keeps a
// stop signal ignored that it was given ignored.
const bool signals_as_from_a_terminal = [] {
	signal(SIGINT, SIG_DFL);
	signal(SIGQUIT, SIG_DFL);
	return true;
}();

// Forks a child that runs in_child and never returns to the caller.  The
// parent ignores SIGPIPE, so that it survives a child that leaves its input
// unread; the child gets the default action back, and a limit on the size
// of the files it writes, so that a runaway output cannot fill the disk.
template <class F> pid_t fork_child(F in_child)
{
	signal(SIGPIPE, SIG_IGN);
	pid_t pid = fork();
	check(pid >= 0, "fork");
	if (pid == 0) {
		// A group of its own, so that a hung run is killed whole.
		setpgid(0, 0);
		signal(SIGPIPE, SIG_DFL);
		rlimit fsize{file_size_limit, file_size_limit};
		setrlimit(RLIMIT_FSIZE, &fsize);
		in_child();
		_exit(127);
	}
	return pid;
}

std::vector<char *> argv_of(const std::vector<const char *> &args)
{
	std::vector<char *> v;
	for (const char *a : args)
		v.push_back(const_cast<char *>(a));
	v.push_back(nullptr);
	return v;
}

} // namespace

bool under_memcheck()
{
	return std::getenv("HORLET_MEMCHECK") != nullptr;
}

bool wrapped()
{
	const char *emulated = std::getenv("HORLET_WRAPPED");
	return under_memcheck() || (emulated != nullptr && *emulated != '\0');
}

std::string in_libc_words(std::string text)
{
	const char *libc = std::getenv("HORLET_LIBC");
	if (libc == nullptr || std::string(libc) != "musl")
		return text;
	// getopt's messages and strerror's texts, where the two differ.
	static const std::pair<std::regex, const char *> musl[] = {
	    {std::regex("invalid option -- '(.)'"), "unrecognized option: $1"},
	    {std::regex("option requires an argument -- '(.)'"), "option requires an argument: $1"},
	    {std::regex("Too many open files"), "No file descriptors available"},
	    {std::regex("File name too long"), "Filename too long"},
	    {std::regex("Message too long"), "Message too large"},
	};
	for (const auto &[from, to] : musl)
		text = std::regex_replace(text, from, to);
	return text;
}

std::vector<std::string> regex_groups(const std::string &text, const std::string &re, bool search)
{
	std::smatch m;
	if (!(search ? std::regex_search(text, m, std::regex(re))
	             : std::regex_match(text, m, std::regex(re))))
		return {};
	return {m.begin(), m.end()};
}

void expect_run(const sh_case &c)
{
	if (!c.wrapped && wrapped())
		GTEST_SKIP() << "not checkable inside another program";
	run_result r = run_sh(c.script, c.input);
	// A row that cannot be set up here says so with 77: skipped, never
	// passed.
	if (r.status == 77 && c.status != 77)
		GTEST_SKIP() << r.out << r.err;
	EXPECT_EQ(dump(r.out), dump(c.out)) << c.script;
	EXPECT_EQ(dump(r.err), dump(in_libc_words(c.err))) << c.script;
	EXPECT_EQ(r.status, c.status) << c.script;
}

run_result run_sh(const std::string &script, const std::string &input)
{
	char dir[] = "/tmp/horlet-test-XXXXXX";
	check(mkdtemp(dir) != nullptr, "mkdtemp");
	child_pipes p;
	pid_t pid = fork_child([&] {
		p.attach();
		if (chdir(dir) != 0)
			return;
		setenv("H", horlet_path(), 1);
		std::string path = horlet_path();
		path.erase(path.rfind('/'));
		setenv("PATH", (path + ":" + std::getenv("PATH")).c_str(), 1);
		// "also CMD" runs CMD and keeps the status of what came before.
		const std::string all = "also() { local s=$?; \"$@\"; return $s; }\n" + script;
		execl("/bin/bash", "bash", "-c", all.c_str(), static_cast<char *>(nullptr));
	});
	run_result r = p.finish(pid, input);
	std::string rm = std::string("rm -rf ") + dir;
	if (std::system(rm.c_str()) != 0)
		r.err += "(scratch directory not removed)";
	return r;
}

run_result run_argv(const std::vector<const char *> &argv, const std::string &input)
{
	std::vector<char *> v = argv_of(argv);
	child_pipes p;
	pid_t pid = fork_child([&] {
		p.attach();
		execve(horlet_path(), v.data(), environ);
	});
	return p.finish(pid, input);
}

child spawn_via(const char *path, const std::vector<const char *> &pre,
                const std::vector<const char *> &args, int out, int in)
{
	int i[2] = {-1, -1}, o[2] = {-1, -1}, e[2];
	if (in < 0)
		check(pipe2(i, O_CLOEXEC) == 0, "pipe");
	if (out < 0)
		check(pipe2(o, O_CLOEXEC) == 0, "pipe");
	check(pipe2(e, O_CLOEXEC) == 0, "pipe");
	std::vector<const char *> all = pre;
	all.insert(all.end(), args.begin(), args.end());
	std::vector<char *> v = argv_of(all);
	pid_t pid = fork_child([&] {
		dup2(in >= 0 ? in : i[0], 0);
		dup2(out >= 0 ? out : o[1], 1);
		dup2(e[1], 2);
		execve(path, v.data(), environ);
	});
	if (i[0] >= 0)
		close(i[0]);
	if (o[1] >= 0)
		close(o[1]);
	close(e[1]);
	return {pid, i[1], o[0], e[0]};
}

child spawn(const std::vector<const char *> &args, int out, int in)
{
	return spawn_via(horlet_path(), {"horlet"}, args, out, in);
}

child spawn_held(const held_call &hold, const std::vector<const char *> &args, int out, int in)
{
	if (access("/usr/bin/strace", X_OK) != 0)
		return {};
	const std::string trace = std::string("trace=") + hold.calls;
	const std::string inject = std::string("inject=") + hold.calls +
	                           (hold.on_exit ? ":delay_exit=" : ":delay_enter=") +
	                           std::to_string(hold.delay_us);
	// -D: the tracer runs as horlet's grandchild, and horlet keeps the pid.
	return spawn_via("/usr/bin/strace",
	                 {"strace", "-D", "-o", "/dev/null", "-e", trace.c_str(), "-e",
	                  inject.c_str(), horlet_path()},
	                 args, out, in);
}

bool held_by_tracer(pid_t pid, int timeout_ms)
{
	const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
	int held_ms = 0;
	for (int waited = 0; waited < timeout_ms; waited += 5) {
		char buf[512];
		int fd = open(stat.c_str(), O_RDONLY | O_CLOEXEC);
		ssize_t n = fd >= 0 ? read(fd, buf, sizeof buf - 1) : -1;
		if (fd >= 0)
			close(fd);
		if (n <= 0)
			return false;
		buf[n] = '\0';
		// The state follows the name, which ends in the last ')'.
		const char *state = std::strrchr(buf, ')');
		held_ms = state != nullptr && state[2] == 't' ? held_ms + 5 : 0;
		if (held_ms >= 100)
			return true;
		usleep(5000);
	}
	return false;
}

void send(const child &c, const std::string &s)
{
	ASSERT_EQ(write(c.in, s.data(), s.size()), static_cast<ssize_t>(s.size()));
}

std::string read_for(int fd, std::size_t want, int timeout_ms)
{
	std::string got;
	timespec start, now;
	clock_gettime(CLOCK_MONOTONIC, &start);
	for (;;) {
		clock_gettime(CLOCK_MONOTONIC, &now);
		long left = timeout_ms - (now.tv_sec - start.tv_sec) * 1000 -
		            (now.tv_nsec - start.tv_nsec) / 1000000;
		if (got.size() >= want || left <= 0)
			return got;
		pollfd p{fd, POLLIN, 0};
		if (poll(&p, 1, static_cast<int>(left)) <= 0)
			continue;
		char buf[65536];
		ssize_t n = read(fd, buf, std::min(sizeof buf, want - got.size()));
		if (n <= 0)
			return got;
		got.append(buf, static_cast<std::size_t>(n));
	}
}

int wait_for(pid_t pid, double seconds, int *raw)
{
	int ws;
	for (double end = seconds_now() + seconds;;) {
		pid_t r = waitpid(pid, &ws, WNOHANG);
		check(r >= 0, "waitpid");
		if (r == pid)
			break;
		if (seconds_now() > end) {
			kill(-pid, SIGKILL);
			check(waitpid(pid, &ws, 0) == pid, "waitpid");
			return -2;
		}
		usleep(1000);
	}
	if (raw != nullptr)
		*raw = ws;
	return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
}

namespace
{
void do_nothing(int) {}
} // namespace

void interrupt_every(long usec)
{
	struct sigaction sa {
	};
	sa.sa_handler = do_nothing;
	sigaction(SIGALRM, &sa, nullptr);
	itimerval every{{0, usec}, {0, usec}};
	setitimer(ITIMER_REAL, &every, nullptr);
}

int finish(child &c)
{
	if (c.in >= 0)
		close(c.in);
	c.in = -1;
	int status = wait_for(c.pid, run_timeout);
	EXPECT_NE(status, -2) << "still running after " << run_timeout << " s";
	for (int *fd : {&c.out, &c.err}) {
		if (*fd >= 0)
			close(*fd);
		*fd = -1;
	}
	return status;
}
