// Allocation-failure sweeps of the network configuration calls: every
// allocation made on their behalf failed in turn, and neither memory nor a
// descriptor may be left behind.
#pragma once

#include "varn_fixture.h"

#include "zvtest/failalloc.h"
#include "zvtest/fds.h"

#include <malloc.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace varntest
{

/* Bytes the allocator holds for the program right now. Chunks kept in
 * the per-thread cache count as in use, so the figure is exact only with
 * that cache off (GLIBC_TUNABLES=glibc.malloc.tcache_count=0, as CTest
 * runs this test); else 0, and the heap is not compared. */
inline size_t heap_in_use()
{
	const char *t = getenv("GLIBC_TUNABLES");
	if (t == nullptr || strstr(t, "glibc.malloc.tcache_count=0") == nullptr)
		return 0;
	return mallinfo2().uordblks;
}

class VarnAlloc : public SimDevice
{
      protected:
	void SetUp() override
	{
		SimDevice::SetUp();
		if (!failalloc_active())
			GTEST_SKIP() << "allocator not interposable in this "
			                "build";
	}

	/* Runs call with its n-th allocation failing, n = 0, 1, ... until
	 * a run fails none. Each failure point runs twice and only the second
	 * run is measured: the first may make one-time allocations of the
	 * runtime (such as the unwinder's on a first exception). */
	template <typename Call, typename Check>
	void sweep(Call call, Check check)
	{
		call();
		int fds = zvtest::open_fd_count();
		bool clean_run = false;
		unsigned long n = 0;
		for (; n < 400 && !clean_run; n++) {
			failalloc_arm_in(program_invocation_short_name, n);
			call();
			failalloc_disarm();
			size_t heap = heap_in_use();
			failalloc_arm_in(program_invocation_short_name, n);
			int rc = call();
			clean_run = !failalloc_disarm();
			check(rc, clean_run, n);
			ASSERT_EQ(zvtest::open_fd_count(), fds) << n;
			ASSERT_EQ(heap_in_use(), heap)
			        << "allocation " << n << " leaked";
		}
		EXPECT_TRUE(clean_run);
		EXPECT_GT(n, 1U) << "no allocation was ever failed";
	}
};

} // namespace varntest
