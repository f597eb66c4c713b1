/* lovxattrset: creates a file and gives it a foreign layout through the
 * layout-setting request. */
#include "fstest.h"

#include <linux/zorvel/zorvel_layout.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{

constexpr size_t XATTR_MAX = 65536;

int set_layout(const char *file, const char *value, uint32_t type,
               uint32_t flags)
{
	size_t len = strlen(value);
	if (len < 1 || len > XATTR_MAX) {
		fprintf(stderr,
		        "invalid LOV EA length %zu > XATTR_SIZE_MAX (%u)\n",
		        len, static_cast<unsigned>(XATTR_MAX));
		return 1;
	}
	// Created without a layout, so that the one set below is its first.
	int fd = open(file, O_WRONLY | O_CREAT | ZV_O_DELAY_CREATE, 0644);
	if (fd < 0) {
		perror("open()");
		return 1;
	}
	size_t size = sizeof(zv_foreign_layout) + len;
	std::unique_ptr<char, decltype(&free)> rec(
	        static_cast<char *>(malloc(size)), free);
	if (!rec) {
		perror("malloc()");
		close(fd);
		return 1;
	}
	zv_foreign_layout hdr = {ZV_FOREIGN_FILE_MAGIC,
	                         static_cast<uint32_t>(len), type, flags};
	memcpy(rec.get(), &hdr, sizeof(hdr));
	memcpy(rec.get() + sizeof(hdr), value, len);
	if (ioctl(fd, ZV_IOC_LOV_SETSTRIPE, rec.get()) != 0) {
		perror("ioctl(ZV_IOC_LOV_SETSTRIPE)");
		close(fd);
		return 1;
	}
	close(fd);
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	fstest::hold_standard_streams();
	const char *file = "FILE", *value = "UUID@UUID";
	uint32_t type = ZV_FOREIGN_TYPE_SYMLINK, flags = 0xDA05;
	int c;
	opterr = 0;
	while ((c = getopt(argc, argv, "f:x:t:F:h")) != -1) {
		switch (c) {
		case 'f':
			file = optarg;
			break;
		case 'x':
			value = optarg;
			break;
		case 't':
			if (!fstest::option_u32(argv[0], "type", optarg,
			                        type)) {
				return 1;
			}
			break;
		case 'F':
			if (!fstest::option_u32(argv[0], "flags", optarg, flags,
			                        0, true)) {
				return 1;
			}
			break;
		case 'h':
			fprintf(stderr,
			        "Usage: %s -f <filename> -x <LOV EA content>\n",
			        argv[0]);
			break;
		default:
			break;
		}
	}
	return set_layout(file, value, type, flags);
}
