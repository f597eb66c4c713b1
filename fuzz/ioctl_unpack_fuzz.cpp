// Replies of a control device: unpack must copy into the caller's record
// and inline buffers no more than they hold and the reply covers.
#include "fuzz_require.h"
#include <libkfx/util/ioctl.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 2 + sizeof(libkfx_ioctl_data) || size > 65536)
		return 0;
	// the caller's inline buffers, each with a guard behind it
	size_t len1 = data[0], len2 = data[1];
	data += 2;
	size -= 2;
	std::vector<char> one(len1 + 16, 'g'), two(len2 + 16, 'g');
	libkfx_ioctl_data rec = {};
	rec.ioc_inllen1 = len1;
	rec.ioc_inlbuf1 = len1 ? one.data() : nullptr;
	rec.ioc_inllen2 = len2;
	rec.ioc_inlbuf2 = len2 ? two.data() : nullptr;

	// the reply comes back in the buffer the request was packed into,
	// so it is at least that long whatever the kernel claims
	size_t packed = sizeof(rec) + ((len1 + 7) & ~size_t(7)) +
	                ((len2 + 7) & ~size_t(7));
	std::vector<char> reply(data, data + size);
	if (reply.size() < packed)
		reply.resize(packed, 'r');
	libkfx_ioctl_unpack(&rec, reply.data());
	for (size_t i = len1; i < one.size(); i++)
		require(one[i] == 'g', "wrote past inline buffer 1");
	for (size_t i = len2; i < two.size(); i++)
		require(two[i] == 'g', "wrote past inline buffer 2");
	require(rec.ioc_inlbuf1 == (len1 ? one.data() : nullptr),
	        "caller's buffer 1 replaced");
	require(rec.ioc_inlbuf2 == (len2 ? two.data() : nullptr),
	        "caller's buffer 2 replaced");
	return 0;
}
