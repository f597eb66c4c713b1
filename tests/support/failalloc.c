/*
 * Interposes the allocation calls and forwards them to the C library's own
 * entry points, failing the one allocation chosen by failalloc_arm().
 * Linked into test executables as a shared library ahead of libc.
 */
#define _GNU_SOURCE
#include "zvtest/failalloc.h"

#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <stdatomic.h>
#include <stddef.h>
#include <string.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t n, size_t size);
extern void *__libc_realloc(void *p, size_t size);
extern void *__libc_memalign(size_t align, size_t size);

static atomic_long countdown = -1; /* -1: disarmed */
static atomic_int fired;
static const char *scope;    /* object whose allocations count */
static __thread int walking; /* inside our own backtrace */

/* Whether the innermost caller we know is the object in scope rather than
 * the simulator. Frames of the allocator and libstdc++ are passed over. */
static int in_scope(void)
{
	if (scope == NULL)
		return 1;
	if (walking)
		return 0;
	walking = 1;
	void *frames[32];
	int n = backtrace(frames, 32), found = 0;
	for (int i = 1; i < n && !found; i++) {
		Dl_info info;
		if (!dladdr(frames[i], &info) || info.dli_fname == NULL)
			continue;
		if (strstr(info.dli_fname, "libzvsim"))
			break;
		if (strstr(info.dli_fname, scope))
			found = 1;
	}
	walking = 0;
	return found;
}

#define EXPORT __attribute__((visibility("default")))

static int should_fail(void)
{
	long n = atomic_load(&countdown);
	if (n < 0 || !in_scope())
		return 0;
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

/* Returns the error rather than setting errno, as POSIX has it. */
EXPORT int posix_memalign(void **memptr, size_t align, size_t size)
{
	if (align < sizeof(void *) || (align & (align - 1)) != 0)
		return EINVAL;
	if (should_fail())
		return ENOMEM;
	void *p = __libc_memalign(align, size);
	if (p == NULL)
		return ENOMEM;
	*memptr = p;
	return 0;
}

EXPORT void failalloc_arm_in(const char *object, unsigned long n)
{
	void *prime[2];
	backtrace(prime, 2); /* loads the unwinder before any count */
	scope = object;
	atomic_store(&fired, 0);
	atomic_store(&countdown, (long)n);
}

EXPORT void failalloc_arm(unsigned long n)
{
	scope = NULL;
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
