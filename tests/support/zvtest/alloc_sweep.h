/* Allocation-failure sweeps: a call run again and again with its first,
 * second, third... allocation failing. */
#ifndef ZVTEST_ALLOC_SWEEP_H
#define ZVTEST_ALLOC_SWEEP_H

#include "zvtest/failalloc.h"
#include "zvtest/fds.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace zvtest
{

/* How a sweep runs. */
struct sweep_options {
	/* Runs at the least: 2 when the call must allocate at all. */
	unsigned long min_runs = 1;
	/* Runs at the most. */
	unsigned long limit = 200;
	/* A run that succeeds ends the sweep even when its failure was
	 * absorbed on the way: for calls whose work cannot be done twice. */
	bool until_done = false;
};

/*
 * Runs call (returning a library result) with its n-th allocation made on
 * behalf of the shared object named object failing, n = 0, 1, ... until a
 * run fails none. Every run must succeed or report ENOMEM (-ENOMEM, or -1
 * with errno ENOMEM) and leave no descriptor behind; the last run must
 * succeed. The test is skipped where the allocator cannot be interposed.
 */
template <typename Call>
void each_allocation_fails(const char *object, Call call,
                           sweep_options opts = {})
{
	if (!failalloc_active())
		GTEST_SKIP() << "allocator not interposable in this build";
	int before = open_fd_count();
	bool succeeded = false;
	unsigned long n = 0;
	for (; n < opts.limit && !succeeded; n++) {
		failalloc_arm_in(object, n);
		int rc = call();
		int err = errno;
		bool fired = failalloc_disarm();
		if (!fired || (opts.until_done && rc >= 0)) {
			EXPECT_GE(rc, 0) << "with allocation " << n;
			succeeded = true;
		} else {
			EXPECT_TRUE(rc >= 0 || rc == -ENOMEM ||
			            (rc == -1 && err == ENOMEM))
			        << "allocation " << n << ": " << rc;
		}
		ASSERT_EQ(open_fd_count(), before) << "allocation " << n;
	}
	EXPECT_TRUE(succeeded)
	        << "still failing after " << opts.limit << " runs";
	EXPECT_GE(n, opts.min_runs) << "no allocation was ever failed";
}

} // namespace zvtest

#endif
