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

// Prints the n bytes of a foreign layout read from the attribute: its
// header fields, then its value in hex. The bytes are the kernel's: any
// length and content are taken. 1 when they cannot hold a header.
inline int print_dump(const Dump &d, const unsigned char *buf, size_t n)
{
	if (n < LFM_HDR) {
		fprintf(stderr, d.small_msg, n);
		fprintf(stderr, "%s", d.small_hex_msg);
		hex(stderr, buf, n);
		return 1;
	}

	Header h;
	memcpy(&h, buf, sizeof(h));
	check_header(d, h, n);
	printf(d.size_line, n);
	printf(d.magic_line, h.magic);
	printf(d.length_line, h.length);
	printf(d.type_line, h.type);
	printf(d.flags_line, h.flags);
	printf("%s", d.value_line);
	hex(stdout, buf + LFM_HDR, n - LFM_HDR);
	printf("\n");
	return 0;
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
	return print_dump(d, buf.get(), n);
}

// The files' layout ("zorvel.lov") and the directories' ("trusted.lmv").
inline void lov_wrong_length(uint32_t length, size_t n)
{
	fprintf(stderr, "wrong internal length=%u vs xattr size=%zu\n", length,
	        n);
}

inline const Dump lov_dump = {
        "f:h",
        'f',
        "FILE",
        "Usage: %s -f <filename>\n",
        "zorvel.lov",
        "invalid LOV EA length %zu > XATTR_SIZE_MAX (%u)\n",
        "trusted.lov xattr size changed, before=%zu now=%zu\n",
        "trusted.lov size=%zu too small\n",
        "printing its content in hex anyway:\n",
        0x0BD70BD0U,
        0xD00BD70BU,
        lov_wrong_length,
        "lov_xattr_size: %zu\n",
        "lov_foreign_magic: 0x%08X\n",
        "lov_foreign_size: %u\n",
        "lov_foreign_type: %u\n",
        "lov_foreign_flags: 0x%08X\n",
        "lov_foreign_value: 0x",
};

inline void lmv_wrong_length(uint32_t length, size_t n)
{
	fprintf(stderr, "wrong internal length=%u(0x%x) vs xattr size=%zu\n",
	        length, length, n);
}

inline const Dump lmv_dump = {
        "d:h",
        'd',
        "DIR",
        "Usage: %s -d <dirname>\n",
        "trusted.lmv",
        "invalid LMV EA length %zu (must be 0 < len < XATTR_SIZE_MAX(%u))\n",
        "trusted.lmv xattr size changed, before=%zu now=%zu\n",
        "trusted.lmv size=%zu too small\n",
        "printing its content in hex anyway :\n",
        0x0CD50CD0U,
        0xD00CD50CU,
        lmv_wrong_length,
        "lmv_xattr_size: %zu\n",
        "lmv_foreign_magic: 0x%x\n",
        "lmv_foreign_size: %u\n",
        "lmv_foreign_type: %u\n",
        "lmv_foreign_flags: %u\n",
        "lmv_foreign_value: 0x",
};

} // namespace fstest

#endif
