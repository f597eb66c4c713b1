/*
 * Interposes the allocation calls and forwards them to the C library's own
 * entry points, failing the one allocation chosen by failalloc_arm().
 * Linked into test executables as a shared library ahead of libc.
 */
#include "failalloc.h"

#include <errno.h>
#include <stdatomic.h>
#include <stddef.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t n, size_t size);
extern void *__libc_realloc(void *p, size_t size);

static atomic_long countdown = -1; /* -1: disarmed */
static atomic_int fired;

#define EXPORT __attribute__((visibility("default")))

static int should_fail(void)
{
	long n = atomic_load(&countdown);
	while (n >= 0) {
		if (atomic_compare_exchange_weak(&countdown, &n, n - 1)) {
			if (n == 0) {
				atomic_store(&fired, 1);
				errno = ENOMEM;
				return 1;
			}
			return 0;
		}
	}
	return 0;
}

EXPORT void *malloc(size_t size)
{
	return should_fail() ? NULL : __libc_malloc(size);
}

EXPORT void *calloc(size_t n, size_t size)
{
	return should_fail() ? NULL : __libc_calloc(n, size);
}

EXPORT void *realloc(void *p, size_t size)
{
	return should_fail() ? NULL : __libc_realloc(p, size);
}

EXPORT void failalloc_arm(unsigned long n)
{
	atomic_store(&fired, 0);
	atomic_store(&countdown, (long)n);
}

EXPORT int failalloc_disarm(void)
{
	atomic_store(&countdown, -1);
	return atomic_load(&fired);
}

EXPORT int failalloc_active(void)
{
	failalloc_arm(0);
	/* volatile: the compiler may not elide this allocation */
	void *volatile p = malloc(16);
	int active = failalloc_disarm() && p == NULL;
	if (p != NULL)
		__builtin_free(p);
	return active;
}
