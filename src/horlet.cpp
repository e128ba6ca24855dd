// horlet: timestamp each line of standard input.
#include "frame.hpp"
#include "read.hpp"
#include "stop.hpp"

using namespace horlet;

int main(int argc, char **argv)
{
	run_settings rs;
	static stop_request stop;
	if (auto status = parse_command_line(argc, argv, rs, &stop))
		return *status;
	stream_result r = stamp_stream(rs, STDIN_FILENO, &stop);
	int status = end_run(rs, r);
	// What was read is written; now the signal takes its course.
	if (r.signo != 0)
		die_by(r.signo);
	return status;
}
