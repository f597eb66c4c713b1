/* What the tests of the client library build records and messages from:
 * little-endian bytes made word by word, independently of the library's
 * structures, and the program name messages start with. */
#ifndef ZORVEL_TESTS_WIRE_WORDS_H
#define ZORVEL_TESTS_WIRE_WORDS_H

#include <cerrno>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace wiretest
{

using bytes = std::vector<unsigned char>;

inline bytes u32s(std::initializer_list<uint32_t> words)
{
	bytes b;
	for (uint32_t w : words)
		for (int i = 0; i < 4; i++)
			b.push_back((w >> (8 * i)) & 0xff);
	return b;
}

inline bytes u64(uint64_t v)
{
	return u32s({uint32_t(v), uint32_t(v >> 32)});
}

inline bytes operator+(bytes a, const bytes &b)
{
	a.insert(a.end(), b.begin(), b.end());
	return a;
}

inline std::string prog()
{
	return program_invocation_short_name;
}

} // namespace wiretest

#endif
