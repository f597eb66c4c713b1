/* A machine short of memory, for the tests of the MPI programs: preloaded,
 * every malloc of NOMEM_LIMIT bytes or more fails with ENOMEM. (Sanitized
 * builds use the sanitizer's own allocation limit instead.) */
#define _GNU_SOURCE
#include <errno.h>
#include <stdlib.h>

#define EXPORT __attribute__((visibility("default")))

extern void *__libc_malloc(size_t n);

static size_t limit = (size_t)-1;
static int ready;

EXPORT void *malloc(size_t n)
{
	if (!ready) {
		/* getenv allocates nothing. */
		const char *l = getenv("NOMEM_LIMIT");
		if (l)
			limit = strtoull(l, NULL, 10);
		ready = 1;
	}
	if (n >= limit) {
		errno = ENOMEM;
		return NULL;
	}
	return __libc_malloc(n);
}
