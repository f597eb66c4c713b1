/* mknodmap: a regular file made with mknod, grown with truncate and mapped
 * shared. The descriptor and the mapping are left to the process's end. */
#include "fstest.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	fstest::hold_standard_streams();
	if (argc != 2) {
		fprintf(stderr,
		        "Usage: %s <file>\n"
		        "       mknod, truncate to larger size, open, and mmap "
		        "file",
		        argv[0]);
		return 1;
	}
	const char *file = argv[1];
	if (mknod(file, S_IFREG | 0666, 0) < 0 || truncate(file, 4096) < 0)
		return fstest::report("mknod");
	int fd = open(file, O_RDONLY);
	if (fd < 0)
		return fstest::report("mknod");
	if (mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0) == MAP_FAILED)
		return fstest::report("mknod");
	return 0;
}
