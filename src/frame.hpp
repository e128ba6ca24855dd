// horlet: the program frame around the stamping engine: the command line,
// the usage text, diagnostics and the termination signals.
#pragma once

#include <optional>
#include <string_view>

#include "read.hpp"
#include "settings.hpp"

namespace horlet
{

// Every message of the program's own: "object: reason", one line, written
// whole with one system call.  An empty object leaves the reason alone, as
// perror does.
void diag(std::string_view object, std::string_view reason);
void diag_errno(std::string_view object, int err);

// Returns the exit status when the run ends here, or nothing to go on.
// Sets up everything the run needs, the stop signals too unless stop is
// null, and opens FILE last, so that a failure leaves it as it was.
std::optional<int> parse_command_line(int argc, char **argv, run_settings &rs,
                                      stop_request *stop = nullptr);

// From here on SIGTERM, SIGINT and SIGHUP, unless ignored, ask stop to end
// the run that reads in.  Those that follow within a second are the same
// stop; one that comes later ends the process at once, by the first.
// False if that cannot be set up.
bool catch_stop_signals(stop_request &stop, int in);
// Ends the process by signal signo, as if it had never been caught.
[[noreturn]] void die_by(int signo);

} // namespace horlet
