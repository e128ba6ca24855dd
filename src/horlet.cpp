// horlet: timestamp each line of standard input.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>

#include "stamp.hpp"

using namespace horlet;

namespace
{

// glibc reorders arguments unless the option string starts with '+'.
#ifdef __GLIBC__
constexpr char optstring[] = "+?af:suw:";
#else
constexpr char optstring[] = "?af:suw:";
#endif

constexpr std::string_view usage_text =
    " [OPTION]... [FILE]\n"
    "add timestamps at the beginning of each line\n"
    "\n"
    "  -a                 append to FILE, instead of overwriting it\n"
    "  -f FORMAT          strftime(3) format for timestamps\n"
    "  -s                 add timestamp to the end of each line\n"
    "  -u                 report times in UTC\n"
    "  -w CHR             replace CHR with a horizontal space in FORMAT\n"
    "\n"
    "Default FORMAT is \"%Y-%m-%d %H:%M:%S: \"\n"
    "\n"
    "Report bugs to <horlet-bugs@example.org>\n";

// The usage shows the built-in format, whatever -f says.
constexpr bool shows_default_fmt(std::string_view u)
{
	constexpr std::string_view head = "Default FORMAT is \"", fmt = default_fmt;
	auto at = u.find(head);
	return at != std::string_view::npos && u.substr(at + head.size()).starts_with(fmt) &&
	       u.substr(at + head.size() + fmt.size()).starts_with("\"\n");
}
static_assert(shows_default_fmt(usage_text));

// Every message of the program's own: "object: reason", one line.  An
// empty object leaves the reason alone, as perror does.
void diag(std::string_view object, std::string_view reason)
{
	char line[4096];
	std::size_t n = 0;
	auto add = [&](std::string_view s) { n += s.copy(line + n, sizeof line - 1 - n); };
	if (!object.empty()) {
		add(object);
		add(": ");
	}
	add(reason);
	add("\n");
	(void)write_all(STDERR_FILENO, line, n);
}

void diag_errno(std::string_view object, int err)
{
	diag(object, std::strerror(err));
}

constexpr std::string_view stdin_name = "standard input";

// 0, or 1 after saying why the usage could not be written.
int print_usage(const char *argv0)
{
	int err = write_all(STDOUT_FILENO, "Usage: ", 7);
	if (err == 0)
		err = write_all(STDOUT_FILENO, argv0, std::strlen(argv0));
	if (err == 0)
		err = write_all(STDOUT_FILENO, usage_text.data(), usage_text.size());
	if (err != 0) {
		diag_errno(stdout_name, err);
		return 1;
	}
	return 0;
}

// A regular file read as standard input and written as the output would
// feed on itself or be emptied before it is read.
bool input_is(const struct stat &out)
{
	struct stat in;
	return fstat(STDIN_FILENO, &in) == 0 && S_ISREG(in.st_mode) && in.st_dev == out.st_dev &&
	       in.st_ino == out.st_ino;
}

// Opens the output file above the standard descriptors, so that a closed
// standard stream is never taken over by it.
int open_output(const char *name, bool append)
{
	int fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0666);
	if (fd >= 0 && fd <= STDERR_FILENO) {
		int high = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
		int err = errno;
		close(fd);
		errno = err;
		fd = high;
	}
	return fd;
}

// Returns the exit status when the run ends here, or nothing to go on.
std::optional<int> parse_command_line(int argc, char **argv, run_settings &rs)
{
	bool append = false;
	char *format = nullptr;
	char replace = '\0';

	// With no argument vector at all there are no options and no operand.
	if (argc < 1)
		return std::nullopt;
	for (;;) {
		optopt = 0;
		int c = getopt(argc, argv, optstring);
		if (c == -1)
			break;
		switch (c) {
		case 'a':
			append = true;
			break;
		case 'f':
			format = optarg;
			break;
		case 's':
			rs.trans = &suffix_trans;
			break;
		case 'u':
			rs.to_broken_down = gmtime_r;
			break;
		case 'w':
			replace = optarg[0];
			break;
		default:
			// getopt answers '?' both for -? and for an error,
			// which it has already reported.
			if (optopt == 0 || optopt == '?')
				return print_usage(argv[0]);
			return 1;
		}
	}

	if (format != nullptr) {
		if (replace != '\0')
			for (char *p = format; *p != '\0'; ++p)
				if (*p == replace)
					*p = ' ';
		rs.format = format;
	}

	int operands = argc - optind;
	if (operands > 1) {
		diag(argv[optind], "too many arguments");
		return 1;
	}
	struct stat st;
	if (operands == 0) {
		if (fstat(STDOUT_FILENO, &st) == 0 && input_is(st)) {
			diag(stdout_name, "input file is output file");
			return 1;
		}
		return std::nullopt;
	}
	const char *name = argv[optind];
	if (stat(name, &st) == 0 && input_is(st)) {
		diag(name, "input file is output file");
		return 1;
	}
	rs.out = open_output(name, append);
	if (rs.out < 0) {
		diag_errno(name, errno);
		return 1;
	}
	rs.out_name = name;
	return std::nullopt;
}

} // namespace

int main(int argc, char **argv)
{
	run_settings rs;
	if (auto status = parse_command_line(argc, argv, rs))
		return *status;
	stamp_result r = stamp_stream(rs, STDIN_FILENO);
	int status = 0;
	if (r.fault == stamp_result::read_error) {
		diag_errno(stdin_name, r.err);
		status = 1;
	} else if (r.fault == stamp_result::write_error) {
		diag_errno(rs.out_name, r.err);
		return 1;
	}
	// Some file systems report a failed write only at the close.
	if (close(rs.out) != 0 && errno != EINTR) {
		diag_errno(rs.out_name, errno);
		return 1;
	}
	return status;
}
