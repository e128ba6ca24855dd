// horlet: the program frame around the stamping engine: the command line,
// the usage text and diagnostics.
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
// Settles the run's settings from the command line, and checks all that
// can be checked before FILE is opened; touches no file.
std::optional<int> parse_command_line(int argc, char **argv, run_settings &rs);

// Opens FILE, if one was named, as the output: the last step that can
// fail before the run, so that a failure leaves FILE as it was.  Returns
// the exit status when the run ends here, or nothing to go on.
std::optional<int> open_output(run_settings &rs);

// Says what ended the run, if it failed, and closes the output; returns
// the exit status.
int end_run(const run_settings &rs, const stream_result &r);

} // namespace horlet
