// horlet: the ways of scanning, and which of them this CPU runs.
#pragma once

#include <array>
#include <string_view>

#if defined(__x86_64__) || defined(__i386__)
#define HORLET_X86 1
#endif
// The instruction sets of each x86 way of scanning, written once: its
// functions are compiled for them, and it runs where the CPU has them all
// (elsewhere, never).
#define HORLET_SSE2_ISA "sse2"
#define HORLET_AVX2_ISA "avx2,bmi,popcnt"

namespace horlet
{

// The ways of scanning, slowest first; every one gives the same output.
// Each set of operations (scan_ops.hpp) names its own, and each is one
// row of the table in dispatch.cpp.
enum class scan_path { portable, sse2, avx2 };
inline constexpr std::array all_scan_paths{scan_path::portable, scan_path::sse2, scan_path::avx2};

std::string_view name_of(scan_path p);
bool can_run(scan_path p);
// The fastest the CPU can run.
scan_path best_scan_path();

} // namespace horlet
