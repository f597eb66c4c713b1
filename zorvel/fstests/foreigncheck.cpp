/* foreigncheck: the layout record of a foreign file or directory, read
 * through the layout requests on the object itself. */
#include "foreign_record.h"
#include "fstest.h"

#include <linux/zorvel/zorvel_layout.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{

constexpr size_t BUF_SIZE = 65536;
constexpr size_t PATH_ROOM = 4096;

void usage(const char *prog)
{
	fprintf(stderr, "Usage: %s [-[f,d] <foreign file/dir pathname>]\n",
	        prog);
}

int check(const char *path, bool dir)
{
	int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
	if (fd < 0) {
		int err = errno;
		fprintf(stderr, "open() of '%s' error, rc : %d\n", path, fd);
		errno = err;
		perror("open()");
		return 1;
	}
	std::unique_ptr<char[]> buf(new (std::nothrow) char[BUF_SIZE]());
	if (!buf) {
		close(fd);
		fprintf(stderr, "cannot allocate %zu bytes\n", BUF_SIZE);
		return 1;
	}
	int n = snprintf(buf.get(), PATH_ROOM, "%s", path);
	if (n < 0 || static_cast<size_t>(n) >= PATH_ROOM) {
		close(fd);
		fprintf(stderr,
		        "unexpected return code or size from snprintf() : %d\n",
		        n);
		return 1;
	}
	int rc;
	if (dir) {
		uint32_t magic = ZV_DIR_STRIPE_REQUEST_MAGIC;
		memcpy(buf.get(), &magic, sizeof(magic));
		rc = ioctl(fd, ZV_IOC_LMV_GETSTRIPE, buf.get());
	} else {
		rc = ioctl(fd, ZV_IOC_LOV_GETSTRIPE, buf.get());
	}
	if (rc != 0) {
		int err = errno;
		fprintf(stderr, "%s: %s error: %s\n", path,
		        dir ? "getdirstripe" : "getstripe", strerror(err));
		close(fd);
		return 1;
	}
	close(fd);
	return fstest::print_foreign_record(buf.get(), BUF_SIZE);
}

} // namespace

int main(int argc, char **argv)
{
	fstest::hold_standard_streams();
	const char *path = nullptr;
	bool dir = false;
	int c;
	opterr = 0;
	while ((c = getopt(argc, argv, "hf:d:")) != -1) {
		switch (c) {
		case 'f':
		case 'd':
			if (path) {
				fprintf(stderr,
				        "only one foreign symlink file or dir "
				        "can be specified at a time\n");
				return 1;
			}
			path = optarg;
			dir = c == 'd';
			break;
		case 'h':
			usage(argv[0]);
			return 0;
		default:
			usage(argv[0]);
			return 1;
		}
	}
	if (!path) {
		fprintf(stderr,
		        "a foreign file/dir pathname must be provided\n");
		return 0;
	}
	return check(path, dir);
}
