// horlet: timestamp each line of standard input.
#include <cerrno>

#include "frame.hpp"
#include "read.hpp"

using namespace horlet;

int main(int argc, char **argv)
{
	run_settings rs;
	static stop_request stop;
	if (auto status = parse_command_line(argc, argv, rs, &stop))
		return *status;
	stream_result r = stamp_stream(rs, STDIN_FILENO, &stop);
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
	// What was read is written; now the signal takes its course.
	if (r.signo != 0)
		die_by(r.signo);
	return status;
}
