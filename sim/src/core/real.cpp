#include "real.h"

#include <dlfcn.h>

namespace zvsim::real
{

namespace
{
Table load()
{
	Table t{};
#define ZVSIM_REAL_LOAD(name, ret, params)                                     \
	t.name = reinterpret_cast<ret(*) params>(dlsym(RTLD_NEXT, #name));
	ZVSIM_LIBC_FUNCTIONS(ZVSIM_REAL_LOAD)
#undef ZVSIM_REAL_LOAD
	return t;
}
} // namespace

const Table &fns()
{
	static const Table table = load();
	return table;
}

} // namespace zvsim::real
