// The definition of where stamps go, applied the slow way: the transition
// table walked one byte at a time, as the engine's fast paths must agree.
#pragma once

#include <cstdint>
#include <string>

#include "stamp.hpp"

inline std::string table_walk(const horlet::trans_table &t, const std::string &in,
                              const std::string &stamp)
{
	std::string out;
	std::uint32_t st = 0;
	for (char c : in) {
		st = t[st * 2 + (c == '\n')];
		if (st == 3)
			out += stamp;
		out += c;
	}
	return out;
}
