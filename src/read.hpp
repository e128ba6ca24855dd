// horlet: the stamping engine's entry: reads the input, and runs each
// block through the copy loop to the output.
#pragma once

#include <csignal>
#include <cstddef>

#include "settings.hpp"

namespace horlet
{

// Reads of up to 512 KiB; a 1 MiB output buffer.
inline constexpr std::size_t IN_BUF_SIZE = 512 * 1024;
inline constexpr std::size_t OUT_BUF_SIZE = 1024 * 1024;

// A termination signal that asks stamp_stream to write what it has read
// and return.  Its handler sets signo, and sees to it that a read about
// to start, or one already waiting, ends at once.  look is a second
// descriptor of an input that is a pipe, a FIFO or a socket, or -1: on a
// stop, what already waits there is taken too, since the producer may
// be gone with the same signal and nobody else would read it.
struct stop_request {
	volatile std::sig_atomic_t signo = 0;
	int look = -1;
};

struct stream_result {
	enum { ok, read_error, write_error } fault = ok;
	int err = 0;
	int signo = 0; // the signal that stopped the run, or 0
};

// Copies the descriptor in to rs.out to the end of the input, or until
// stop asks.  Every completed line is written before each wait for input.
stream_result stamp_stream(const run_settings &rs, int in, const stop_request *stop = nullptr);

} // namespace horlet
