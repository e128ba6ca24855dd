// The copy floor: the least a filter that inserts bytes between the pieces
// of its input can do.  It reads blocks as horlet does, copies each once
// into an aligned output buffer together with its share of the bytes
// horlet's stamps add (the first argument, spread over the input's size,
// the second), and writes the buffer.  bench/run compares horlet's CPU
// time with it.
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>

#include "floor.hpp"

namespace
{
// horlet's read size and buffer alignment; room for a block and its
// share of stamps at the densest input the bench makes.
alignas(64) std::array<char, 512 * 1024> in;
alignas(64) std::array<char, 4 * 1024 * 1024> out;
} // namespace

int main(int argc, char **argv)
{
	const unsigned long long extra = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 0;
	const unsigned long long size = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
	unsigned long long seen = 0, added = 0;
	ssize_t n;
	while ((n = read(STDIN_FILENO, in.data(), in.size())) > 0) {
		auto got = static_cast<std::size_t>(n);
		seen += got;
		// This block's share of the added bytes.
		unsigned long long due = size > 0 ? extra * seen / size : extra;
		auto add = static_cast<std::size_t>(due > added ? due - added : 0);
		if (add > out.size() - got)
			add = out.size() - got;
		added += add;
		std::memcpy(out.data(), in.data(), got);
		std::memset(out.data() + got, 'T', add);
		if (!write_all(out.data(), got + add))
			return 1;
	}
	return n < 0 ? 1 : 0;
}
