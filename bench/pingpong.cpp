// Lines that come one read at a time: runs a command (horlet, perhaps
// under callgrind) with pipes on its standard input and output, writes one
// 80-byte line, waits for the stamped line to come back, and repeats.
// bench/run counts horlet's instructions per line this way.
//
// usage: pingpong LINES COMMAND [ARG]...
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char **argv)
{
	if (argc < 3) {
		std::fputs("usage: pingpong LINES COMMAND [ARG]...\n", stderr);
		return 2;
	}
	long lines = std::strtol(argv[1], nullptr, 10);
	int to[2], from[2];
	if (pipe(to) != 0 || pipe(from) != 0)
		return 1;
	pid_t pid = fork();
	if (pid < 0)
		return 1;
	if (pid == 0) {
		dup2(to[0], STDIN_FILENO);
		dup2(from[1], STDOUT_FILENO);
		close(to[0]);
		close(to[1]);
		close(from[0]);
		close(from[1]);
		execvp(argv[2], argv + 2);
		_exit(127);
	}
	close(to[0]);
	close(from[1]);
	const std::string line = std::string(79, 'x') + "\n";
	char buf[4096];
	for (long i = 0; i < lines; ++i) {
		if (write(to[1], line.data(), line.size()) != static_cast<ssize_t>(line.size()))
			return 1;
		// Until the stamped line is back whole.
		for (ssize_t n = 0; n <= 0 || buf[n - 1] != '\n';) {
			n = read(from[0], buf, sizeof buf);
			if (n <= 0)
				return 1;
		}
	}
	close(to[1]);
	while (read(from[0], buf, sizeof buf) > 0) {
	}
	int status;
	waitpid(pid, &status, 0);
	return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
