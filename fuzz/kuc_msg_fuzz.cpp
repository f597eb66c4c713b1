// Bytes the kernel writes into a message pipe: every read must return a
// whole message within the buffer or an error, never read past it.
#include "fuzz_require.h"
#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 2 || size > 60000)
		return 0;
	static bool quiet = (zvapi_msg_set_level(ZVAPI_MSG_OFF), true);
	(void)quiet;
	int maxsize = 8 + data[0] * 4, transport = data[1] & 3;
	data += 2;
	size -= 2;

	zorvel_kernelcomm link;
	require(libkfx_ukuc_start(&link, 1, O_NONBLOCK) == 0, "start");
	require(write(link.zk_wfd, data, size) == ssize_t(size), "write");
	close(link.zk_wfd);
	link.zk_wfd = -1;

	// Only maxsize bytes are ours; the rest of the vector is a guard.
	std::vector<char> buf(maxsize + 64, '\x5a');
	for (int n = 0; n < 100000; n++) {
		int rc = libkfx_ukuc_msg_get(&link, buf.data(), maxsize,
		                             transport);
		for (size_t i = maxsize; i < buf.size(); i++)
			require(buf[i] == '\x5a', "wrote past maxsize");
		if (rc == 0) {
			kuc_hdr hdr;
			memcpy(&hdr, buf.data(), sizeof(hdr));
			require(hdr.kuc_magic == KUC_HDR_MAGIC, "magic");
			require(hdr.kuc_msglen >= sizeof(hdr) &&
			                hdr.kuc_msglen <= maxsize,
			        "length");
			require(hdr.kuc_transport == KUC_TRANSPORT_GENERIC ||
			                hdr.kuc_transport == transport,
			        "transport");
			continue;
		}
		require(rc == -EPROTO || rc == -EMSGSIZE || rc == -EPIPE ||
		                rc == -EAGAIN,
		        "unexpected error");
		if (rc != -EMSGSIZE)
			break;
	}
	libkfx_ukuc_stop(&link);
	return 0;
}
