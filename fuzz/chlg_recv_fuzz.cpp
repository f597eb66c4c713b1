// Bytes from a change-log device: the reader must hand out only records
// that fit their buffer in the layout asked for, refuse the rest, and stay
// usable. A memory file stands in for the device.
#include "fuzz_require.h"
#include "zvtest/open_stand_in.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace
{

constexpr const char *device_path = "/dev/changelog-fuzz";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 2)
		return 0;
	static bool quiet = (zvapi_msg_set_level(ZVAPI_MSG_OFF), true);
	(void)quiet;
	unsigned flags = data[0] & 0xf, xflags = data[1] & 0xf;
	flags &= ~unsigned(CHANGELOG_FLAG_FOLLOW); // never wait
	data += 2;
	size -= 2;

	// The reader opens its device by path: that path opens the input.
	int device_fd = memfd_create("chlg", 0);
	require(device_fd >= 0, "memfd");
	require(write(device_fd, data, size) == ssize_t(size), "write");
	lseek(device_fd, 0, SEEK_SET);
	require(zvtest_open_stand_in(device_path, device_fd) == 0, "stand-in");

	void *priv = nullptr;
	int rc = zvapi_changelog_start(&priv, changelog_send_flag(flags),
	                               "fuzz", 0);
	require(rc == 0, "start");
	zvapi_changelog_set_xflags(priv, changelog_send_extra_flag(xflags));

	for (int n = 0; n < 100000; n++) {
		changelog_rec *rec = nullptr;
		rc = zvapi_changelog_recv(priv, &rec);
		if (rc == 1) {
			require(rec == nullptr, "record at the end");
			break;
		}
		if (rc < 0) {
			require(rec == nullptr, "record with an error");
			require(rc == -EPROTO, "unexpected error");
			continue;
		}
		size_t recsize = changelog_rec_size(rec);
		require(recsize <= CHLG_REC_MAXSIZE, "record past its buffer");
		require(recsize == CHLG_REC_MAXSIZE ||
		                changelog_rec_name(rec)[rec->cr_namelen] == 0,
		        "name not terminated");
		bool jobid = flags & CHANGELOG_FLAG_JOBID;
		bool extra = flags & CHANGELOG_FLAG_EXTRA_FLAGS;
		require(!(rec->cr_flags & CLF_JOBID) == !jobid, "jobid layout");
		require(!(rec->cr_flags & CLF_EXTRA_FLAGS) == !extra,
		        "extra layout");
		volatile char sink = 0;
		for (size_t i = 0; i < rec->cr_namelen; i++)
			sink = sink ^ changelog_rec_name(rec)[i];
		zvapi_changelog_free(&rec);
	}
	require(zvapi_changelog_fini(&priv) == 0, "fini");
	zvtest_open_stand_in(nullptr, -1);
	close(device_fd);
	return 0;
}
