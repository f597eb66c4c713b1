// Allocation failures in YAML trees built from text: the call reports the
// failure (or absorbs it), never crashes, and leaves nothing behind.
#include "varn_alloc_fixture.h"

using namespace varntest;

namespace
{

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

} // namespace
