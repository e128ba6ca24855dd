// horlet: the command line, the usage text and diagnostics.
#include "frame.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "descriptors.hpp"
#include "write.hpp"
#include "zone.hpp"

namespace horlet
{

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

iovec piece(std::string_view s)
{
	return {const_cast<char *>(s.data()), s.size()};
}

// 0, or 1 after saying why the usage could not be written.
int print_usage(const char *argv0)
{
	iovec v[3] = {piece("Usage: "), piece(argv0), piece(usage_text)};
	if (int err = writev_all(STDOUT_FILENO, v, 3); err != 0) {
		diag_errno(stdout_name, err);
		return 1;
	}
	return 0;
}

// Input read back as it is written, so that horlet would feed on its own
// output: a regular file (which would also be emptied before it is read),
// or a pipe or FIFO that horlet alone reads.
bool input_is(const struct stat &out)
{
	struct stat in;
	return fstat(STDIN_FILENO, &in) == 0 && (S_ISREG(in.st_mode) || S_ISFIFO(in.st_mode)) &&
	       in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

// FILE, emptied unless append.
int open_file(const char *name, bool append)
{
	int fd =
	    above_std(open(name, O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : 0), 0666));
	struct stat st;
	if (fd < 0 || append || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
		return fd;
	if (ftruncate(fd, 0) != 0) {
		int err = errno;
		close(fd);
		errno = err;
		return -1;
	}
	return fd;
}

// What can be told of the input before it is read: 0, or the errno its
// first read would give.  A closed or write-only descriptor, or a
// directory, could never be read, and must not cost FILE its contents.
int input_fault(int in)
{
	struct stat st;
	if (fstat(in, &st) != 0)
		return errno;
	if (S_ISDIR(st.st_mode))
		return EISDIR;
	int fl = fcntl(in, F_GETFL);
	return fl != -1 && (fl & O_ACCMODE) == O_WRONLY ? EBADF : 0;
}

} // namespace

void diag(std::string_view object, std::string_view reason)
{
	iovec v[4];
	int n = 0;
	if (!object.empty()) {
		v[n++] = piece(object);
		v[n++] = piece(": ");
	}
	v[n++] = piece(reason);
	v[n++] = piece("\n");
	(void)writev_all(STDERR_FILENO, v, n);
}

void diag_errno(std::string_view object, int err)
{
	diag(object, std::strerror(err));
}

std::optional<int> parse_command_line(int argc, char **argv, run_settings &rs)
{
	bool append = false;
	char *format = nullptr;
	char replace = '\0';

	// With no argument vector at all there are no options and no operand.
	if (argc < 1) {
		argc = 0;
		optind = 0;
	}
	while (argc > 0) {
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
			rs.to_broken_down = utc_time;
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

	settle_zone(rs.to_broken_down == utc_time);

	int operands = argc - optind;
	if (operands > 1) {
		diag(argv[optind], "too many arguments");
		return 1;
	}
	const char *name = operands == 1 ? argv[optind] : nullptr;
	if (int err = input_fault(STDIN_FILENO)) {
		diag_errno("standard input", err);
		return 1;
	}
	struct stat st;
	if (name == nullptr ? fstat(STDOUT_FILENO, &st) == 0 && input_is(st)
	                    : stat(name, &st) == 0 && input_is(st)) {
		diag(name == nullptr ? stdout_name : name, "input file is output file");
		return 1;
	}
	if (name != nullptr) {
		rs.file = name;
		rs.out_name = name;
		rs.append = append;
	}
	return std::nullopt;
}

std::optional<int> open_output(run_settings &rs)
{
	if (rs.file == nullptr)
		return std::nullopt;
	rs.out = open_file(rs.file, rs.append);
	if (rs.out < 0) {
		diag_errno(rs.file, errno);
		return 1;
	}
	return std::nullopt;
}

int end_run(const run_settings &rs, const stream_result &r)
{
	int status = 0;
	if (r.fault == stream_result::read_error) {
		diag_errno("standard input", r.err);
		status = 1;
	} else if (r.fault == stream_result::write_error) {
		diag_errno(rs.out_name, r.err);
		status = 1;
	}
	// Some file systems report a failed write only at the close.
	if (r.fault != stream_result::write_error && close(rs.out) != 0 && errno != EINTR) {
		diag_errno(rs.out_name, errno);
		status = 1;
	}
	return status;
}

} // namespace horlet
