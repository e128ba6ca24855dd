// The floors' one output loop: all n bytes to standard output, or false.
#pragma once

#include <unistd.h>

#include <cstddef>

inline bool write_all(const char *p, std::size_t n)
{
	while (n > 0) {
		ssize_t w = write(STDOUT_FILENO, p, n);
		if (w < 0)
			return false;
		p += w;
		n -= static_cast<std::size_t>(w);
	}
	return true;
}
