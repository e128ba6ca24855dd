// Stamps arbitrary bytes, split into arbitrary blocks, with both tables,
// and compares the output with a byte-at-a-time walk of the same table.
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "../tests/table_walk.hpp"
#include "stamp.hpp"

using namespace horlet;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size < 2)
		return 0;
	// data[0]: the table, the block sizes, the way of scanning and the
	// stamp's length; data[1]: where the blocks split.
	const trans_table &t = data[0] & 1 ? suffix_trans : prefix_trans;
	auto path = static_cast<scan_path>(data[0] >> 2 & 3);
	if ((data[0] >> 2 & 3) == 3 || !can_run(path))
		path = scan_path::portable;
	unsigned split = data[1];
	std::string in(reinterpret_cast<const char *>(data + 2), size - 2);
	// Short stamps are stored as 32 bytes from a register, longer ones
	// in pieces.
	static const std::string short_stamp = "<T>", long_stamp = "<" + std::string(70, 'T') + ">";
	const std::string &stamp = data[0] & 16 ? long_stamp : short_stamp;

	run_settings rs;
	rs.format = stamp.c_str();
	rs.trans = &t;
	rs.out = memfd_create("out", 0);
	static auto s = std::make_unique<stamper>();
	start(*s, rs, path);
	// Blocks of 1 to 64 bytes, so that lines straddle them, or of up to
	// 1 KiB, so that the loop's wider steps are taken too.
	std::size_t most = data[0] & 2 ? 1024 : 64;
	for (std::size_t i = 0; i < in.size();) {
		std::size_t n = std::min<std::size_t>(in.size() - i, 1 + (split + i) % most);
		// Each block in a buffer of its own, so reads past it are caught.
		auto block = std::make_unique<char[]>(n);
		std::memcpy(block.get(), in.data() + i, n);
		if (!stamp_block(*s, block.get(), n) || !flush_lines(*s))
			std::abort();
		i += n;
	}
	if (!flush_all(*s))
		std::abort();
	std::string out(static_cast<std::size_t>(lseek(rs.out, 0, SEEK_END)), '\0');
	if (pread(rs.out, out.data(), out.size(), 0) != static_cast<ssize_t>(out.size()))
		std::abort();
	close(rs.out);
	if (out != table_walk(t, in, stamp))
		std::abort();
	return 0;
}
