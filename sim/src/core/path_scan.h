// Finding the places that matter in a path, sixteen bytes at a time: every
// path call under a simulation asks whether some component begins a word
// of the families (a device, a parameter tree), and most paths have none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zvsim
{

// Sixteen bytes of a text at an address that is a multiple of sixteen,
// and each one's successor (the byte after the sixteenth is the next
// block's first, or 0 past the text's NUL).
struct Block {
#if defined(__SSE2__)
	__m128i here, next;
#else
	unsigned char b[17];
#endif
};

namespace detail
{
// An aligned read never crosses a page, so it may take bytes before the
// text and past its NUL that lie in the text's pages: the address
// sanitizer would call those overflows.
__attribute__((no_sanitize_address)) inline Block block_at(const char *p,
                                                           bool followed)
{
	Block k;
#if defined(__SSE2__)
	k.here = _mm_load_si128(reinterpret_cast<const __m128i *>(p));
	__m128i after =
	        followed ? _mm_load_si128(
	                           reinterpret_cast<const __m128i *>(p + 16))
	                 : _mm_setzero_si128();
	k.next = _mm_or_si128(_mm_srli_si128(k.here, 1),
	                      _mm_slli_si128(after, 15));
#else
	std::memcpy(k.b, p, 16);
	k.b[16] = followed ? static_cast<unsigned char>(p[16]) : 0;
#endif
	return k;
}
} // namespace detail

// Bits i of [0, 16) where the block's byte i is a.
inline uint32_t bytes_at(const Block &k, char a)
{
#if defined(__SSE2__)
	return static_cast<uint32_t>(
	        _mm_movemask_epi8(_mm_cmpeq_epi8(k.here, _mm_set1_epi8(a))));
#else
	uint32_t bits = 0;
	for (unsigned i = 0; i < 16; ++i)
		if (k.b[i] == static_cast<unsigned char>(a))
			bits |= 1U << i;
	return bits;
#endif
}

// Bits i of [0, 16) where the block's byte i is a and the one after it b
// or c.
inline uint32_t pairs_at(const Block &k, char a, char b, char c)
{
#if defined(__SSE2__)
	__m128i hit = _mm_and_si128(
	        _mm_cmpeq_epi8(k.here, _mm_set1_epi8(a)),
	        _mm_or_si128(_mm_cmpeq_epi8(k.next, _mm_set1_epi8(b)),
	                     _mm_cmpeq_epi8(k.next, _mm_set1_epi8(c))));
	return static_cast<uint32_t>(_mm_movemask_epi8(hit));
#else
	uint32_t bits = 0;
	for (unsigned i = 0; i < 16; ++i)
		if (k.b[i] == static_cast<unsigned char>(a) &&
		    (k.b[i + 1] == static_cast<unsigned char>(b) ||
		     k.b[i + 1] == static_cast<unsigned char>(c)))
			bits |= 1U << i;
	return bits;
#endif
}

// Calls found(i), in order, for each i of the text s (len bytes and its
// NUL, all readable) that mask marks, until it returns true; whether one
// did. mask(block) gives the bits of an aligned block holding part of s;
// places outside s are dropped.
template <typename Mask, typename Found>
bool any_place(const char *s, size_t len, Mask &&mask, Found &&found)
{
	const uintptr_t start = reinterpret_cast<uintptr_t>(s);
	const uintptr_t nul = start + len;
	uintptr_t at = start & ~uintptr_t(15);
	for (;;) {
		bool last = nul - at < 16; // the NUL is in this block
		uint32_t m = mask(detail::block_at(
		        reinterpret_cast<const char *>(at), !last));
		if (at < start)
			m &= ~0U << (start - at);
		if (last)
			m &= (1U << (nul - at)) - 1;
		for (; m; m &= m - 1)
			if (found(size_t(at + __builtin_ctz(m) - start)))
				return true;
		if (last)
			return false;
		at += 16;
	}
}

} // namespace zvsim
