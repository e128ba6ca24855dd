// horlet: the program frame around the stamping engine: the command line,
// the usage text and diagnostics.
#pragma once

#include <optional>
#include <string_view>

#include "read.hpp"
#include "stop.hpp"
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

// Says what ended the run, if it failed, and closes the output; returns
// the exit status.
int end_run(const run_settings &rs, const stream_result &r);

} // namespace horlet
