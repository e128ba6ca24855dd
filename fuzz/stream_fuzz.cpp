// Stamps arbitrary bytes, split into arbitrary blocks, with each table,
// and compares the output with a byte-at-a-time walk of the same table.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "../tests/oracle.hpp"

using namespace horlet;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size < 4)
		return 0;
	// data[0]: the block sizes, the stamp's length, whether blocks may be
	// read past, and the stamp steps a chunk takes without a branch;
	// data[1]: where the blocks split; data[2] and data[3]: the way of
	// scanning and the table, from the engine's own lists.
	scan_path path = all_scan_paths[data[2] % all_scan_paths.size()];
	if (!can_run(path))
		return 0;
	const trans_table &t = *scanned_tables[data[3] % scanned_tables.size()];
	unsigned split = data[1];
	std::string_view in(reinterpret_cast<const char *>(data + 4), size - 4);
	// Short stamps are stored as 32 bytes from a register, longer ones
	// in pieces.
	static const std::string short_stamp = "<T>", long_stamp = "<" + std::string(70, 'T') + ">";
	feed_opts f;
	f.format = data[0] & 16 ? long_stamp.c_str() : short_stamp.c_str();
	f.slack = data[0] & 32 ? SCAN_REACH : 0;
	// 0 to MAX_STEPS for every block, or the loop's own choice.
	static_assert(MAX_STEPS < 3);
	f.steps = data[0] >> 6 <= MAX_STEPS ? data[0] >> 6 : -1;
	// Blocks of 1 to 64 bytes, so that lines straddle them, or of up to
	// 1 KiB, so that the loop's wider steps are taken too.
	std::size_t most = data[0] & 2 ? 1024 : 64;
	std::vector<std::string_view> blocks;
	for (std::size_t i = 0; i < in.size();) {
		std::size_t n = std::min<std::size_t>(in.size() - i, 1 + (split + i) % most);
		blocks.push_back(in.substr(i, n));
		i += n;
	}
	feed_result r = feed_blocks(t, blocks, path, f);
	if (r.err != 0 || !r.path_ran || r.out != table_walk(t, in, f.format))
		std::abort();
	return 0;
}
