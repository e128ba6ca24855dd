// The copy loop alone: copy_block over a file held in memory, in blocks of
// horlet's read size, with the output written to /dev/null, so that none of
// the kernel's copies are counted.  Each pass also copies the blocks into
// the input buffer, as read(2) would; a pass of those copies alone is timed
// too and taken off.  Prints the best of ROUNDS passes in nanoseconds per
// 64 bytes of input.  bench/run builds it with the engine's sources.
//
// usage: scan FILE [ROUNDS]
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "read.hpp"
#include "scan.hpp"

namespace
{
alignas(64) char ibuf[horlet::IN_BUF_SIZE + horlet::SCAN_REACH];
alignas(64) char obuf[horlet::OUT_BUF_SIZE];
horlet::copy_state stream;

// The best time of rounds passes over data, with the copy loop or without.
double best_pass(const std::vector<char> &data, int rounds, bool scan)
{
	const timeval tv{1700000000, 0};
	double best = 1e30;
	for (int r = 0; r < rounds; ++r) {
		auto t0 = std::chrono::steady_clock::now();
		for (std::size_t at = 0; at < data.size(); at += horlet::IN_BUF_SIZE) {
			std::size_t n = std::min(horlet::IN_BUF_SIZE, data.size() - at);
			std::memcpy(ibuf, data.data() + at, n);
			if (scan) {
				horlet::copy_block(stream, tv, ibuf, n, sizeof ibuf - n);
				horlet::flush_lines(stream.out);
			}
			asm volatile("" ::: "memory");
		}
		if (scan)
			horlet::flush_all(stream.out);
		std::chrono::duration<double> t = std::chrono::steady_clock::now() - t0;
		best = std::min(best, t.count());
	}
	return best;
}
} // namespace

int main(int argc, char **argv)
{
	if (argc < 2) {
		std::fputs("usage: scan FILE [ROUNDS]\n", stderr);
		return 2;
	}
	std::FILE *f = std::fopen(argv[1], "rb");
	if (f == nullptr) {
		std::perror(argv[1]);
		return 1;
	}
	std::vector<char> data;
	char part[1 << 16];
	for (std::size_t n; (n = std::fread(part, 1, sizeof part, f)) > 0;)
		data.insert(data.end(), part, part + n);
	std::fclose(f);
	const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
	horlet::run_settings rs;
	rs.out = open("/dev/null", O_WRONLY);
	horlet::start_copy(stream, rs, horlet::best_scan_path(), obuf, sizeof obuf);
	const double with = best_pass(data, rounds, true);
	const double without = best_pass(data, rounds, false);
	const double chunks = static_cast<double>(data.size()) / 64;
	std::printf("%.2f\n", chunks > 0 ? (with - without) * 1e9 / chunks : 0.0);
	return 0;
}
