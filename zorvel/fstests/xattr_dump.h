/* The dump of a foreign layout kept in an extended attribute, shared by
 * lmvxattrdump (directories) and lovxattrdump (files): the two differ only
 * in the texts and magics of their Dump description. */
#ifndef ZORVEL_FSTESTS_XATTR_DUMP_H
#define ZORVEL_FSTESTS_XATTR_DUMP_H

#include "fstest.h"

#include <byteswap.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/xattr.h>
#include <unistd.h>

namespace fstest
{

constexpr unsigned XATTR_MAX = 65536;
constexpr size_t LFM_HDR = 16;

struct Dump {
	const char *optstring; // "d:h" or "f:h"
	char option;           // 'd' or 'f'
	const char *default_path;
	const char *usage;
	const char *attr;
	const char *size_msg;
	const char *changed_msg;
	const char *small_msg, *small_hex_msg;
	uint32_t magic, swapped_magic;
	// Called with (length, n): prints the length mismatch.
	void (*wrong_length)(uint32_t length, size_t n);
	const char *size_line, *magic_line, *length_line, *type_line,
	        *flags_line, *value_line;
};

inline void hex(FILE *out, const unsigned char *p, size_t n)
{
	for (size_t i = 0; i < n; i++)
		fprintf(out, "%02x", p[i]);
}

struct Header {
	uint32_t magic, length, type, flags;
};

// Reports what is inconsistent in the header, and puts a header written in
// the other byte order into ours. Nothing here stops the dump.
inline void check_header(const Dump &d, Header &h, size_t n)
{
	size_t want = n - LFM_HDR;
	if (h.magic == d.magic && h.length == want)
		return;
	bool swapped = h.magic == d.swapped_magic;
	if (h.magic != d.magic) {
		if (swapped)
			fprintf(stderr, "magic is swapped\n");
		else
			fprintf(stderr, "wrong magic=(0x%x)\n", h.magic);
	}
	if (h.length != want) {
		if (bswap_32(h.length) == want)
			fprintf(stderr, "length is swapped\n");
		else
			d.wrong_length(h.length, n);
	}
	if (swapped) {
		h.magic = d.magic;
		h.length = bswap_32(h.length);
		h.type = bswap_32(h.type);
		h.flags = bswap_32(h.flags);
	}
}

inline int dump_xattr(const Dump &d, int argc, char **argv)
{
	const char *path = d.default_path;
	int c;
	opterr = 0;
	while ((c = getopt(argc, argv, d.optstring)) != -1) {
		if (c == d.option)
			path = optarg;
		else if (c == 'h')
			fprintf(stderr, d.usage, argv[0]);
	}

	ssize_t size = getxattr(path, d.attr, nullptr, 0);
	if (size < 0) {
		perror("getxattr()");
		return 1;
	}
	if (size == 0 || size > XATTR_MAX) {
		fprintf(stderr, d.size_msg, (size_t)size, XATTR_MAX);
		return 1;
	}
	std::unique_ptr<unsigned char, decltype(&free)> buf(
	        static_cast<unsigned char *>(malloc(size)), free);
	if (!buf) {
		perror("malloc()");
		return 1;
	}
	ssize_t got = getxattr(path, d.attr, buf.get(), size);
	if (got < 0) {
		perror("getxattr()");
		return 1;
	}
	size_t n = got;
	if (n != (size_t)size)
		fprintf(stderr, d.changed_msg, (size_t)size, n);
	if (n < LFM_HDR) {
		fprintf(stderr, d.small_msg, n);
		fprintf(stderr, "%s", d.small_hex_msg);
		hex(stderr, buf.get(), n);
		return 1;
	}

	Header h;
	memcpy(&h, buf.get(), sizeof(h));
	check_header(d, h, n);
	printf(d.size_line, n);
	printf(d.magic_line, h.magic);
	printf(d.length_line, h.length);
	printf(d.type_line, h.type);
	printf(d.flags_line, h.flags);
	printf("%s", d.value_line);
	hex(stdout, buf.get() + LFM_HDR, n - LFM_HDR);
	printf("\n");
	return 0;
}

} // namespace fstest

#endif
