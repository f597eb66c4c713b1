// Finding the places that matter in a path, sixteen bytes at a time: every
// path call under a simulation asks whether some component begins a word
// of the families (a device, a parameter tree), and most paths have none.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zvsim
{

// Bits i of [0, 16) where p[i] is a.
inline uint32_t bytes_at(const char *p, char a)
{
#if defined(__SSE2__)
	__m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
	return static_cast<uint32_t>(
	        _mm_movemask_epi8(_mm_cmpeq_epi8(here, _mm_set1_epi8(a))));
#else
	uint32_t bits = 0;
	for (unsigned i = 0; i < 16; ++i)
		if (p[i] == a)
			bits |= 1U << i;
	return bits;
#endif
}

// Bits i of [0, 16) where p[i] is a and p[i + 1] is b or c (p[16] is read).
inline uint32_t pairs_at(const char *p, char a, char b, char c)
{
#if defined(__SSE2__)
	auto load = [](const char *q) {
		return _mm_loadu_si128(reinterpret_cast<const __m128i *>(q));
	};
	__m128i here = load(p), next = load(p + 1);
	__m128i hit = _mm_and_si128(
	        _mm_cmpeq_epi8(here, _mm_set1_epi8(a)),
	        _mm_or_si128(_mm_cmpeq_epi8(next, _mm_set1_epi8(b)),
	                     _mm_cmpeq_epi8(next, _mm_set1_epi8(c))));
	return static_cast<uint32_t>(_mm_movemask_epi8(hit));
#else
	uint32_t bits = 0;
	for (unsigned i = 0; i < 16; ++i)
		if (p[i] == a && (p[i + 1] == b || p[i + 1] == c))
			bits |= 1U << i;
	return bits;
#endif
}

// Calls found(i), in order, for each i of the text s (len bytes and its
// NUL) that mask marks, until it returns true; whether one did. mask(p)
// gives the bits of p[0, 16) and may read p[16]; it never sees a byte
// past s's NUL, nor a place past len.
template <typename Mask, typename Found>
bool any_place(const char *s, size_t len, Mask &&mask, Found &&found)
{
	auto each = [&](size_t base, uint32_t m) {
		for (; m; m &= m - 1)
			if (found(base + __builtin_ctz(m)))
				return true;
		return false;
	};
	if (len < 16) {
		char padded[17] = {}; // the text and NULs
		std::memcpy(padded, s, len);
		return each(0, mask(padded) & ((1U << len) - 1));
	}
	size_t at = 0;
	for (; len - at >= 16; at += 16)
		if (each(at, mask(s + at)))
			return true;
	// The last bytes, read as the sixteen that end the text.
	size_t base = len - 16;
	return at < len && each(base, mask(s + base) & (~0U << (at - base)));
}

} // namespace zvsim
