// horlet: the chunk, and the operations the copy loop scans and copies it
// with, one set for each instruction set, and what each may touch past the
// bytes it is for.
#pragma once

#include <array>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "dispatch.hpp"

#ifdef HORLET_X86
#include <immintrin.h>
#endif

namespace horlet
{

// The input is scanned in chunks of 64 bytes.
inline constexpr std::size_t CHUNK = 64;
// A chunk's bytes as a mask, such as one with a bit for every newline.
using mask = std::uint64_t;

// A way of scanning, which names itself in path.  Built from the block's
// stamp, of which it may read the first 32 bytes.  For a chunk at p and
// output at d:
// - newlines(p): a bit for every newline of p[0, 64); reads p[0, 64).
// - copy64(d, p): copies p[0, 64) to d[0, 64), however little of it is
//   wanted (what that means for the loop's reach is written at
//   copy_stamped).
// - put_head(d): stores the stamp's first 32 bytes at d[0, 32); the whole
//   stamp, when it has at most 32.
// - put_stamp(d, stamp, n): stores stamp[0, n) at d, in pieces that read
//   and store up to STAMP_SLACK bytes past n.
// - count(m): the bits set in m, without a branch or a call.
template <class T>
concept chunk_ops = std::constructible_from<T, const char *> &&
    requires(const T o, const char *p, char *d, std::size_t n)
{
	{
		T::path
		} -> std::convertible_to<scan_path>;
	{
		T::newlines(p)
		} -> std::same_as<mask>;
	T::copy64(d, p);
	o.put_head(d);
	o.put_stamp(d, p, n);
	{
		T::count(mask{})
		} -> std::same_as<std::size_t>;
};

// The bits set in m, summed in pairs, fours and bytes.  std::popcount
// is one instruction only where the target has one; elsewhere it is a call
// into the compiler's runtime library, which would also be one more library
// for the program to load.
constexpr std::size_t bits_in(mask m)
{
	m -= m >> 1 & 0x5555555555555555;
	m = (m & 0x3333333333333333) + (m >> 2 & 0x3333333333333333);
	m = (m + (m >> 4)) & 0x0f0f0f0f0f0f0f0f;
	return static_cast<std::size_t>(m * 0x0101010101010101 >> 56);
}
static_assert(bits_in(0) == 0 && bits_in(~mask{0}) == 64 && bits_in(0x8000000000000101) == 3);

struct portable_ops {
	static constexpr scan_path path = scan_path::portable;
	std::array<char, 32> head;
	explicit portable_ops(const char *stamp)
	{
		std::memcpy(head.data(), stamp, head.size());
	}
	static mask newlines(const char *p)
	{
		mask m = 0;
		for (std::size_t i = 0; i < CHUNK; ++i)
			m |= mask{p[i] == '\n'} << i;
		return m;
	}
	static void copy64(char *d, const char *p)
	{
		std::memcpy(d, p, CHUNK);
	}
	void put_head(char *d) const
	{
		std::memcpy(d, head.data(), head.size());
	}
	void put_stamp(char *d, const char *stamp, std::size_t n) const
	{
		put_head(d);
		for (std::size_t i = 32; i < n; i += 32)
			std::memcpy(d + i, stamp + i, 32);
	}
	static std::size_t count(mask m)
	{
		return bits_in(m);
	}
};
static_assert(chunk_ops<portable_ops>);

#ifdef HORLET_X86
struct sse2_ops {
	static constexpr scan_path path = scan_path::sse2;
	__m128i head[2];
	[[gnu::target(HORLET_SSE2_ISA)]] explicit sse2_ops(const char *stamp)
	    : head{load(stamp), load(stamp + 16)}
	{
	}
	[[gnu::target(HORLET_SSE2_ISA)]] static __m128i load(const char *p)
	{
		return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
	}
	[[gnu::target(HORLET_SSE2_ISA)]] static void store(char *d, __m128i v)
	{
		_mm_storeu_si128(reinterpret_cast<__m128i *>(d), v);
	}
	[[gnu::target(HORLET_SSE2_ISA)]] static mask newlines(const char *p)
	{
		const __m128i newline = _mm_set1_epi8('\n');
		mask m = 0;
		for (std::size_t i = 0; i < CHUNK; i += 16) {
			int bits = _mm_movemask_epi8(_mm_cmpeq_epi8(load(p + i), newline));
			m |= mask{static_cast<std::uint16_t>(bits)} << i;
		}
		return m;
	}
	[[gnu::target(HORLET_SSE2_ISA)]] static void copy64(char *d, const char *p)
	{
		for (std::size_t i = 0; i < CHUNK; i += 16)
			store(d + i, load(p + i));
	}
	[[gnu::target(HORLET_SSE2_ISA)]] void put_head(char *d) const
	{
		store(d, head[0]);
		store(d + 16, head[1]);
	}
	[[gnu::target(HORLET_SSE2_ISA)]] void put_stamp(char *d, const char *stamp,
	                                                std::size_t n) const
	{
		put_head(d);
		for (std::size_t i = 32; i < n; i += 16)
			store(d + i, load(stamp + i));
	}
	static std::size_t count(mask m)
	{
		return bits_in(m);
	}
};
static_assert(chunk_ops<sse2_ops>);

struct avx2_ops {
	static constexpr scan_path path = scan_path::avx2;
	__m256i head;
	[[gnu::target(HORLET_AVX2_ISA)]] explicit avx2_ops(const char *stamp) : head(load(stamp)) {}
	[[gnu::target(HORLET_AVX2_ISA)]] static __m256i load(const char *p)
	{
		return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
	}
	[[gnu::target(HORLET_AVX2_ISA)]] static void store(char *d, __m256i v)
	{
		_mm256_storeu_si256(reinterpret_cast<__m256i *>(d), v);
	}
	[[gnu::target(HORLET_AVX2_ISA)]] static mask newlines(const char *p)
	{
		const __m256i newline = _mm256_set1_epi8('\n');
		auto a = static_cast<std::uint32_t>(
		    _mm256_movemask_epi8(_mm256_cmpeq_epi8(load(p), newline)));
		auto b = static_cast<std::uint32_t>(
		    _mm256_movemask_epi8(_mm256_cmpeq_epi8(load(p + 32), newline)));
		return mask{b} << 32 | a;
	}
	[[gnu::target(HORLET_AVX2_ISA)]] static void copy64(char *d, const char *p)
	{
		store(d, load(p));
		store(d + 32, load(p + 32));
	}
	[[gnu::target(HORLET_AVX2_ISA)]] void put_head(char *d) const
	{
		store(d, head);
	}
	[[gnu::target(HORLET_AVX2_ISA)]] void put_stamp(char *d, const char *stamp,
	                                                std::size_t n) const
	{
		put_head(d);
		for (std::size_t i = 32; i < n; i += 32)
			store(d + i, load(stamp + i));
	}
	[[gnu::target(HORLET_AVX2_ISA)]] static std::size_t count(mask m)
	{
		return static_cast<unsigned>(std::popcount(m));
	}
};
static_assert(chunk_ops<avx2_ops>);
#endif

} // namespace horlet
