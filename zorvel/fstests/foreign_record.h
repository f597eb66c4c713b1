/* The layout record of a foreign file or directory as the layout requests
 * return it, printed by foreigncheck. The bytes are the kernel's: any
 * header is taken, and the value is printed only as far as the buffer
 * holds it. */
#ifndef ZORVEL_FSTESTS_FOREIGN_RECORD_H
#define ZORVEL_FSTESTS_FOREIGN_RECORD_H

#include <linux/zorvel/zorvel_layout.h>

#include <cstdio>
#include <cstring>

namespace fstest
{

/* buf holds size bytes (at least the header's); 0. */
inline int print_foreign_record(const char *buf, size_t size)
{
	zv_foreign_layout hdr;
	if (size < sizeof(hdr))
		return 1;
	memcpy(&hdr, buf, sizeof(hdr));
	if (hdr.lfm_magic != ZV_FOREIGN_FILE_MAGIC &&
	    hdr.lfm_magic != ZV_FOREIGN_DIR_MAGIC)
		fprintf(stderr, "unexpected magic : 0x%08X, expected 0x%08X\n",
		        hdr.lfm_magic, ZV_FOREIGN_FILE_MAGIC);
	if (hdr.lfm_type != ZV_FOREIGN_TYPE_SYMLINK)
		fprintf(stderr, "unexpected type : 0x%08X, expected 0x%08X\n",
		        hdr.lfm_type, ZV_FOREIGN_TYPE_SYMLINK);
	size_t len = hdr.lfm_length;
	if (len > size - sizeof(hdr))
		len = size - sizeof(hdr);
	printf("lfm_magic: 0x%08X, lfm_length: %u, lfm_type: 0x%08X, "
	       "lfm_flags: 0x%08X, lfm_value: '%.*s'\n",
	       hdr.lfm_magic, hdr.lfm_length, hdr.lfm_type, hdr.lfm_flags,
	       static_cast<int>(len), buf + sizeof(hdr));
	return 0;
}

} // namespace fstest

#endif
