// horlet: timestamp each line of standard input.
#include <cerrno>

#include "dispatch.hpp"
#include "frame.hpp"
#include "read.hpp"
#include "stop.hpp"

using namespace horlet;

namespace
{

// The way of scanning: the fastest this CPU runs; in a test build's
// variant, one given when it was built, so that the program's tests run
// on every way the CPU can.
scan_path scan_way()
{
#ifdef HORLET_FORCED_PATH
	return scan_path::HORLET_FORCED_PATH;
#else
	return best_scan_path();
#endif
}

} // namespace

int main(int argc, char **argv)
{
	run_settings rs;
	if (auto status = parse_command_line(argc, argv, rs))
		return *status;
	static run_stop stop;
	if (!make_stop(stop, STDIN_FILENO)) {
		diag_errno("signals", errno);
		return 1;
	}
	if (auto status = open_output(rs))
		return *status;
	// From here a stop keeps what was read; before, a stop signal ends
	// horlet by its default action, an open of FILE that waits (a FIFO
	// without a reader) included, and nothing has been read.
	catch_stop_signals(stop);
	stream_result r = stamp_stream(rs, STDIN_FILENO, &stop, scan_way());
	int status = end_run(rs, r);
	// What was read is written; now the signal takes its course.
	if (r.signo != 0)
		die_by(r.signo);
	return status;
}
