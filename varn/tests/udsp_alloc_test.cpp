// Allocation failures in the policy commands (add, show, delete): the call
// reports the failure (or absorbs it), never crashes, and leaves nothing
// behind.
#include "varn_alloc_fixture.h"

using namespace varntest;

namespace
{

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
