// What the tests and the fuzzer hold the engine to: the definition of where
// stamps go, applied the slow way (the transition table walked one byte at
// a time), and the engine's copy loop fed the same bytes in given blocks.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "scan.hpp"

inline std::string table_walk(const horlet::trans_table &t, std::string_view in,
                              std::string_view stamp)
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

// How the copy loop is fed: the output buffer's capacity, how many readable
// bytes follow each block, the stamp (a format without conversions),
// whether the end of the input writes the open line too, and the stamp
// steps a chunk takes without a branch, for every block (or -1, the loop's
// own choice).
struct feed_opts {
	std::size_t cap = 16384;
	std::size_t slack = 0;
	const char *format = "T ";
	bool end_of_input = true;
	int steps = -1;
};

struct feed_result {
	std::string out;
	int err = 0;
	bool path_ran = true; // false if another way of scanning copied a block
};

// The copy loop over the blocks, each in an allocation of its own so that
// a read past it is caught, followed by slack newlines that must not show;
// its output read back.
inline feed_result feed_blocks(const horlet::trans_table &t,
                               const std::vector<std::string_view> &blocks, horlet::scan_path path,
                               const feed_opts &f = {})
{
	horlet::run_settings rs;
	rs.format = f.format;
	rs.trans = &t;
	rs.out = memfd_create("out", 0);
	auto s = std::make_unique<horlet::copy_state>();
	auto buf = std::make_unique<char[]>(f.cap);
	horlet::start_copy(*s, rs, path, buf.get(), f.cap);
	const timeval tv{0, 0};
	feed_result r;
	for (std::string_view b : blocks) {
		auto block = std::make_unique<char[]>(b.size() + f.slack);
		b.copy(block.get(), b.size());
		std::fill_n(block.get() + b.size(), f.slack, '\n');
		if (f.steps >= 0)
			s->steps = static_cast<std::uint8_t>(f.steps);
		if (horlet::copy_block(*s, tv, block.get(), b.size(), f.slack).path != path)
			r.path_ran = false;
		horlet::flush_lines(s->out);
	}
	if (f.end_of_input)
		horlet::flush_all(s->out);
	r.err = s->out.err;
	r.out.resize(static_cast<std::size_t>(lseek(rs.out, 0, SEEK_END)));
	if (pread(rs.out, r.out.data(), r.out.size(), 0) != static_cast<ssize_t>(r.out.size()))
		r.err = -1;
	close(rs.out);
	return r;
}
