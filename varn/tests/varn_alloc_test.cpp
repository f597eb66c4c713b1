// Every allocation of the network configuration calls failed in turn: the
// call reports the failure (or absorbs it), never crashes, and leaves no
// memory and no descriptor behind.
#include "varn_fixture.h"

#include "support/failalloc.h"
#include "support/test_support.h"

#include <malloc.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

using namespace varntest;

namespace
{

/* Bytes the allocator holds for the program right now. Chunks kept in
 * the per-thread cache count as in use, so the figure is exact only with
 * that cache off (GLIBC_TUNABLES=glibc.malloc.tcache_count=0, as CTest
 * runs this test); else 0, and the heap is not compared. */
size_t heap_in_use()
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
			failalloc_arm_in("varn_alloc_test", n);
			call();
			failalloc_disarm();
			size_t heap = heap_in_use();
			failalloc_arm_in("varn_alloc_test", n);
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

TEST_F(VarnAlloc, YamlTreeFromText)
{
	const char *text = "net:\n"
	                   "  - net type: tcp\n"
	                   "    tunables: {peer_timeout: 180, credits: 8}\n"
	                   "    list: [1, two, 3.5]\n";
	sweep(
	        [&] {
		        cYAML *err = nullptr;
		        cYAML *tree = cYAML_build_tree(nullptr, text,
		                                       strlen(text), &err);
		        int rc = tree ? 0 : -ENOMEM;
		        cYAML_free_tree(tree);
		        cYAML_free_tree(err);
		        return rc;
	        },
	        [](int rc, bool clean, unsigned long n) {
		        if (clean) {
			        EXPECT_EQ(rc, 0) << n;
		        }
	        });
}

TEST_F(VarnAlloc, AddShowDelete)
{
	/* add: on a clean run the policy is there; delete it again so the
	 * next run starts from an empty list */
	sweep(
	        [&] {
		        varn_udsp_action a{};
		        a.udsp_priority = 2;
		        cYAML *err = nullptr;
		        char src[] = "192.168.1.[1-3]@tcp";
		        char dst[] = "10.0.[0-3].*@o2ib1";
		        char type[] = "priority";
		        int rc = zorvel_varn_add_udsp(src, dst, nullptr, type,
		                                      &a, -1, 0, &err);
		        cYAML_free_tree(err);
		        if (rc == 0) {
			        cYAML *e = nullptr;
			        zorvel_varn_del_udsp(0, 0, &e);
			        cYAML_free_tree(e);
		        }
		        return rc;
	        },
	        [](int rc, bool clean, unsigned long n) {
		        if (clean) {
			        EXPECT_EQ(rc, 0) << n;
		        }
	        });

	/* show of two policies into a caller's tree */
	varn_udsp_action a{};
	a.udsp_priority = 1;
	char src[] = "7@gni", type[] = "priority";
	cYAML *err = nullptr;
	ASSERT_EQ(zorvel_varn_add_udsp(src, nullptr, nullptr, type, &a, -1, 0,
	                               &err),
	          0);
	ASSERT_EQ(zorvel_varn_add_udsp(src, nullptr, nullptr, type, &a, -1, 0,
	                               &err),
	          0);
	cYAML_free_tree(err);
	sweep(
	        [&] {
		        cYAML *tree = nullptr, *e = nullptr;
		        int rc = zorvel_varn_show_udsp(-1, 0, &tree, &e);
		        if (rc == 0 && tree == nullptr)
			        rc = -EPROTO; /* two policies must show */
		        cYAML_free_tree(tree);
		        cYAML_free_tree(e);
		        return rc;
	        },
	        [](int rc, bool clean, unsigned long n) {
		        if (clean) {
			        EXPECT_EQ(rc, 0) << n;
		        } else {
			        EXPECT_NE(rc, -EPROTO) << n;
		        }
	        });
}

} // namespace
