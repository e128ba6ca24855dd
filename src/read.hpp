// horlet: the stamping engine's entry: reads the input, and runs each
// block through the copy loop to the output.
#pragma once

#include <cstddef>

#include "dispatch.hpp"
#include "settings.hpp"
#include "stop.hpp"

namespace horlet
{

// Reads of up to 512 KiB; a 1 MiB output buffer.
inline constexpr std::size_t IN_BUF_SIZE = 512 * 1024;
inline constexpr std::size_t OUT_BUF_SIZE = 1024 * 1024;

struct stream_result {
	enum { ok, read_error, write_error } fault = ok;
	int err = 0;
	int signo = 0; // the signal that stopped the run, or 0
};

// Copies the descriptor in to rs.out to the end of the input, or until
// stop asks, scanning the way path says.  Every completed line is written
// before each wait for input.
stream_result stamp_stream(const run_settings &rs, int in, run_stop *stop = nullptr,
                           scan_path path = best_scan_path());

} // namespace horlet
