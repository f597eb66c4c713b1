/* Start-up of the library: the process's random generator is seeded when
 * the library is loaded. */
#include "zorvelapi_internal.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/time.h>

bool libzorvelapi_initialized;

/* Seeds the process's random generator, which volatile-file names draw
 * from, when the library is loaded. */
__attribute__((constructor)) static void libzorvelapi_init(void)
{
	unsigned int seed = syscall(SYS_gettid);
	struct timeval tv;
	if (gettimeofday(&tv, nullptr) == 0)
		seed = unsigned(tv.tv_usec) ^ unsigned(tv.tv_sec) ^ seed;
	zv::unique_fd fd(zv::open_high("/dev/urandom",
	                               O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
	if (fd.valid()) {
		unsigned int word = 0;
		ssize_t n = read(fd.get(), &word, sizeof(word));
		/* A failed read adds nothing rather than stale bytes. */
		if (n > 0)
			seed ^= word ^ unsigned(n);
	}
	srandom(seed);
	libzorvelapi_initialized = true;
}
