// horlet: which way of scanning this CPU runs.
#include "dispatch.hpp"

#include <algorithm>
#include <cstddef>

namespace horlet
{

namespace
{

// Whether the CPU has every instruction set of isa, a list such as
// "avx2,bmi,popcnt" ("" for none).  A name without its check here is
// taken as missing, and the tests, which are told the path each CPU must
// take, fail on it.
bool cpu_has_all(std::string_view isa)
{
#ifdef HORLET_X86
	for (std::size_t at = 0; at < isa.size();) {
		std::size_t end = std::min(isa.find(',', at), isa.size());
		std::string_view name = isa.substr(at, end - at);
		bool has = name == "sse2"     ? __builtin_cpu_supports("sse2")
		           : name == "avx2"   ? __builtin_cpu_supports("avx2")
		           : name == "bmi"    ? __builtin_cpu_supports("bmi")
		           : name == "popcnt" ? __builtin_cpu_supports("popcnt")
		                              : false;
		if (!has)
			return false;
		at = end + 1;
	}
	return true;
#else
	return isa.empty();
#endif
}

// Each way of scanning is one row, in the order of all_scan_paths: its
// name, and the instruction sets its entries are compiled for (a path of
// another architecture is not built, and its CPU never has them).  Its
// entries, for a block of few chunks and for any other, are called by
// copy_block's switch (scan.cpp) directly, never through their addresses,
// so that link-time optimisation may compile each for its one call.
// Adding a path: its ops in scan_ops.hpp, its place in all_scan_paths, a
// row here, and its entries and its case in copy_block, which the
// compiler asks for.
struct scan_row {
	scan_path path;
	std::string_view name, isa;
};

constexpr scan_row scan_rows[] = {
    {scan_path::portable, "portable", ""},
    {scan_path::sse2, "sse2", HORLET_SSE2_ISA},
    {scan_path::avx2, "avx2", HORLET_AVX2_ISA},
};
constexpr bool rows_in_order()
{
	std::size_t i = 0;
	for (const scan_row &r : scan_rows)
		if (i == all_scan_paths.size() || r.path != all_scan_paths[i] ||
		    static_cast<std::size_t>(r.path) != i++)
			return false;
	return i == all_scan_paths.size();
}
static_assert(rows_in_order(), "every scan path has one row, in the order of all_scan_paths");

constexpr const scan_row &row_of(scan_path p)
{
	return scan_rows[static_cast<std::size_t>(p)];
}

} // namespace

std::string_view name_of(scan_path p)
{
	return row_of(p).name;
}

bool can_run(scan_path p)
{
	return cpu_has_all(row_of(p).isa);
}

scan_path best_scan_path()
{
	for (auto p = all_scan_paths.rbegin(); p != all_scan_paths.rend(); ++p)
		if (can_run(*p))
			return *p;
	return scan_path::portable;
}

} // namespace horlet
