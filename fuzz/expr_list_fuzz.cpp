// Expression-list text comes from users' policies: any bytes must parse or
// fail cleanly, and whatever parses must print and parse back to the same
// set, with match agreeing with expansion.
#include "fuzz_require.h"
#include <libkfx/util/string.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{

/* Values of a list, or empty when there are too many to compare. */
std::vector<__u32> values_of(kfx_expr_list *list, bool *ok)
{
	__u32 *v = nullptr;
	int n = kfx_expr_list_values(list, 4096, &v);
	*ok = n >= 0;
	std::vector<__u32> out(v, v + (n > 0 ? n : 0));
	if (n > 0)
		kfx_expr_list_values_free(v, n);
	return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1 || size > 512)
		return 0;
	unsigned max = data[0] * 16;
	// the text is counted, not terminated: keep it that way
	std::vector<char> text(data + 1, data + size);
	kfx_expr_list *list = nullptr;
	int rc = kfx_expr_list_parse(text.data(), int(text.size()), 0, max,
	                             &list);
	require(rc == 0 || rc == -EINVAL || rc == -ENOMEM, "result");
	if (rc != 0) {
		require(list == nullptr, "list set on failure");
		return 0;
	}
	char printed[4096];
	int len = kfx_expr_list_print(printed, sizeof(printed), list);
	require(len >= 0 && len < int(sizeof(printed)), "print length");
	kfx_expr_list *again = nullptr;
	require(kfx_expr_list_parse(printed, len, 0, max, &again) == 0,
	        "printed form does not parse");

	bool ok1, ok2;
	auto a = values_of(list, &ok1), b = values_of(again, &ok2);
	require(ok1 == ok2 && a == b, "round trip changed the set");
	if (ok1) {
		std::vector<bool> member(max + 2, false);
		for (__u32 v : a)
			member[v] = true;
		for (unsigned v = 0; v <= max + 1; v++)
			require(kfx_expr_list_match(v, list) ==
			                (v <= max && member[v] ? 1 : 0),
			        "match disagrees with expansion");
	}
	kfx_expr_list_free(list);
	kfx_expr_list_free(again);
	return 0;
}
