#include "real.h"

#include <dlfcn.h>

namespace zvsim::real
{

namespace
{
Table resolve()
{
	Table t{};
#define ZVSIM_REAL_LOAD(name, ret, params)                                     \
	t.name = reinterpret_cast<ret(*) params>(dlsym(RTLD_NEXT, #name));
	ZVSIM_LIBC_FUNCTIONS(ZVSIM_REAL_LOAD)
#undef ZVSIM_REAL_LOAD
	return t;
}
} // namespace

Table detail::table;
bool detail::loaded;

// The first callers (threads may race here) wait for one resolution.
const Table &detail::load()
{
	static const bool once = [] {
		table = resolve();
		__atomic_store_n(&loaded, true, __ATOMIC_RELEASE);
		return true;
	}();
	(void)once;
	return table;
}

} // namespace zvsim::real
