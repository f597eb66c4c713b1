/* truncread: the last 4 bytes of a large sparse file made by ftruncate. */
#include "fstest.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace
{

constexpr off_t LENGTH = 1070596096; // 1021 MiB
constexpr off_t TAIL = LENGTH - 4;

int check_tail(int fd)
{
	if (ftruncate(fd, LENGTH) < 0) {
		fprintf(stderr, "ftruncate %ld failed:%d\n", (long)LENGTH,
		        errno);
		return -1;
	}
	off_t off = lseek(fd, TAIL, SEEK_SET);
	if (off < 0) {
		fprintf(stderr, "lseek %ld failed:%d\n", (long)off, errno);
		return -1;
	}
	char buf[4];
	ssize_t n = read(fd, buf, sizeof(buf));
	if (n < 0) {
		fprintf(stderr, "read 4 bytes failed:%d\n", errno);
		return -1;
	}
	if (n != sizeof(buf)) {
		fprintf(stderr, "read returns %d, not 4 bytes\n",
		        static_cast<int>(n));
		return -1;
	}
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	fstest::hold_standard_streams();
	if (argc != 2) {
		printf("usage: %s file\n", argv[0]);
		return 1;
	}
	int fd = open(argv[1], O_RDWR | O_CREAT, 0666);
	if (fd < 0) {
		fprintf(stderr, "open %s failed:%d\n", argv[1], errno);
		return -1;
	}
	int rc = check_tail(fd);
	close(fd);
	return rc;
}
