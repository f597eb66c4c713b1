/* Allocation-failure injector for tests: makes one chosen malloc, calloc,
 * realloc or posix_memalign of the process return NULL with errno ENOMEM. */
#ifndef ZVTEST_FAILALLOC_H
#define ZVTEST_FAILALLOC_H

#ifdef __cplusplus
extern "C" {
#endif

/* Fail the allocation n calls from now (0: the next one). */
void failalloc_arm(unsigned long n);
/* The same, counting only allocations made on behalf of the shared object
 * whose file name contains object (the innermost such frame), and not on
 * behalf of the simulated kernel client called from it. */
void failalloc_arm_in(const char *object, unsigned long n);
/* Stop failing; returns non-zero when the armed failure happened. */
int failalloc_disarm(void);
/* Non-zero when this process's allocations go through the injector (not,
 * for example, under a sanitizer whose allocator comes first). */
int failalloc_active(void);

#ifdef __cplusplus
}
#endif

#endif
