// An open, read and close loop on one file, for sim_passthrough_bench:
// prints the CPU seconds (user and system) the loop took, so that the
// start of the program, and of a simulator loaded into it, is left out.
//
//   openloop FILE COUNT
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	if (argc != 3) {
		fprintf(stderr, "usage: openloop FILE COUNT\n");
		return 2;
	}
	long count = atol(argv[2]);
	static char buf[4096];
	timespec start, end;
	clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &start);
	for (long i = 0; i < count; i++) {
		int fd = open(argv[1], O_RDONLY);
		if (fd < 0 || read(fd, buf, sizeof buf) < 0 || close(fd) != 0) {
			perror("openloop");
			return 1;
		}
	}
	clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &end);
	printf("%.9f\n", double(end.tv_sec - start.tv_sec) +
	                         double(end.tv_nsec - start.tv_nsec) / 1e9);
	return 0;
}
