// Bytes as hexadecimal text, the form in which the simulator keeps crafted
// replies and records in its state files and takes them on command lines.
#ifndef ZVSIM_HEXBYTES_H
#define ZVSIM_HEXBYTES_H

#include <string>
#include <string_view>

namespace zvsim
{

inline std::string hex_encode(std::string_view bytes)
{
	static const char digits[] = "0123456789abcdef";
	std::string out;
	out.reserve(bytes.size() * 2);
	for (unsigned char c : bytes) {
		out += digits[c >> 4];
		out += digits[c & 15];
	}
	return out;
}

// Pairs of hexadecimal digits (either case) into out; false for anything
// else, out then unspecified.
inline bool hex_decode(std::string_view text, std::string &out)
{
	auto digit = [](char c) {
		return c >= '0' && c <= '9'   ? c - '0'
		       : c >= 'a' && c <= 'f' ? c - 'a' + 10
		       : c >= 'A' && c <= 'F' ? c - 'A' + 10
		                              : -1;
	};
	if (text.size() % 2)
		return false;
	out.clear();
	for (size_t i = 0; i < text.size(); i += 2) {
		int hi = digit(text[i]), lo = digit(text[i + 1]);
		if (hi < 0 || lo < 0)
			return false;
		out += static_cast<char>(hi * 16 + lo);
	}
	return true;
}

} // namespace zvsim

#endif
