// Runs the built horlet for the black-box tests.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <ostream>
#include <string>
#include <vector>

struct run_result {
	std::string out, err;
	int status = -1; // exit status, 128 + signal, or -2 when killed for taking too long
};

// A run of horlet takes well under a second; one still running after this
// long has hung, and is killed.
inline constexpr int run_timeout = 60;
// The largest file any test writes is below this; a child that writes more
// is ended by SIGXFSZ.
inline constexpr long file_size_limit = 1L << 30;

// Reaps pid, killing it if it has not ended within seconds: its status
// (128 + signal for one ended by a signal), or -2 if it had to be killed.
// raw, if given, receives the wait status itself, which tells an exit by
// 128 + signal from an end by the signal.
int wait_for(pid_t pid, double seconds, int *raw = nullptr);

// Runs script with bash in a fresh scratch directory, with input on standard
// input, the binary's directory first in PATH and H naming the binary.  In
// it, "also CMD" runs CMD and keeps the status of the command before, as
// in "horlet a b; also cat", which shows that nothing was read.
run_result run_sh(const std::string &script, const std::string &input = "");

// One row of a table of shell runs and what they must give.
struct sh_case {
	const char *name;
	std::string script;
	std::string input;
	std::string out;
	std::string err;
	int status;
	// False for a row that cannot be checked while horlet runs inside
	// another program (valgrind, an emulator): one that shows the
	// program's name (the wrapper runs it by its full path), or that
	// counts or closes descriptors the wrapper needs.
	bool wrapped = true;
};

// Whether horlet runs under valgrind's memcheck, as the memcheck test has it.
bool under_memcheck();
// Whether horlet runs inside another program: valgrind, or an emulator
// (HORLET_WRAPPED, set by the runs of other architectures' binaries).
bool wrapped();

// text as the C library horlet is built on words it: HORLET_LIBC=musl
// names the one the tests are written for (glibc) and the other.
std::string in_libc_words(std::string text);

// The groups of re, an ECMAScript regular expression (0 is the whole
// match), where it matches all of text, or with search its first match in
// text; none where it does not match.  <regex> takes long to compile, so it
// is compiled here alone.
std::vector<std::string> regex_groups(const std::string &text, const std::string &re,
                                      bool search = false);

// A row's name, for the names of parameterised tests.
inline constexpr auto row_name = [](const auto &info) { return std::string(info.param.name); };

inline void PrintTo(const sh_case &c, std::ostream *os)
{
	*os << c.name;
}

// Runs the row's script and checks output, diagnostics and status exactly;
// a script that exits with 77 could not set its case up, and is skipped.
void expect_run(const sh_case &c);

// Runs horlet directly with argv, which may be empty.
run_result run_argv(const std::vector<const char *> &argv, const std::string &input);

// The path of the built binary.
const char *horlet_path();

// s, n times over.
inline std::string repeat(const std::string &s, int n)
{
	std::string r;
	while (n-- > 0)
		r += s;
	return r;
}

// The bytes of s as a readable dump, for failure messages.
std::string dump(const std::string &s);

// horlet started with standard input on a pipe or on the descriptor given
// (then in is -1), standard output on a pipe or on the descriptor given,
// and standard error on a pipe.
struct child {
	pid_t pid = -1;
	int in = -1, out = -1, err = -1;
};
child spawn(const std::vector<const char *> &args, int out = -1, int in = -1);
// The same, started as the program at path with the arguments pre (its
// argv[0] first), which runs horlet_path() in the end; args follow pre.
child spawn_via(const char *path, const std::vector<const char *> &pre,
                const std::vector<const char *> &args, int out = -1, int in = -1);
// The same, with horlet under strace, which holds each of the system calls
// named by calls (strace's syntax) back for delay_us microseconds, on its
// entry or its exit: a window that natural timing rarely opens, made
// certain.  horlet keeps the pid; with no strace here, pid is -1.
struct held_call {
	const char *calls;
	bool on_exit;
	long delay_us;
};
child spawn_held(const held_call &hold, const std::vector<const char *> &args, int out = -1,
                 int in = -1);
// Waits until pid has been held by its tracer for a tenth of a second
// (longer than any call that is not held back): false after timeout_ms.
bool held_by_tracer(pid_t pid, int timeout_ms);

// Writes s whole to the child's input, or fails the test.
void send(const child &c, const std::string &s);

// Reads from fd until want bytes have come, the input ends or timeout_ms
// passes; returns what was read.
std::string read_for(int fd, std::size_t want, int timeout_ms);

// Starts a child process that runs f and exits with what f returns, so
// that what f changes (signal handlers, timers) stays out of this process.
template <class F> pid_t start_child(F f)
{
	pid_t pid = fork();
	if (pid == 0)
		_exit(f());
	return pid;
}

// From now on SIGALRM every usec microseconds, to a handler that does
// nothing, installed without SA_RESTART, so that reads and writes that
// wait are interrupted; 0 stops it.
void interrupt_every(long usec);

// Closes the child's input and returns its exit status (128 + signal, or
// -2 if it had to be killed); closes its output and error.
int finish(child &c);
