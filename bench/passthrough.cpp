// The least any filter that sees its bytes has to do: read blocks into
// memory and write them back, and write as many bytes again as horlet
// adds in stamps (the first argument), with no scanning and no clock.
// bench/run times it beside horlet and cat as the floor.
#include <unistd.h>

#include <array>
#include <cstdlib>

#include "floor.hpp"

namespace
{
std::array<char, 256 * 1024> buf;
} // namespace

int main(int argc, char **argv)
{
	unsigned long long extra = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 0;
	ssize_t n;
	while ((n = read(STDIN_FILENO, buf.data(), buf.size())) > 0)
		if (!write_all(buf.data(), static_cast<std::size_t>(n)))
			return 1;
	for (; extra > 0 && n == 0;) {
		std::size_t k = extra < buf.size() ? static_cast<std::size_t>(extra) : buf.size();
		if (!write_all(buf.data(), k))
			return 1;
		extra -= k;
	}
	return n < 0 ? 1 : 0;
}
