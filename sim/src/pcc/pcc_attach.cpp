#include "pcc.h"

#include <cerrno>

namespace zvsim::pcc
{

int attach_locked(const Config &, const Object &, uint32_t)
{
	return -ENOENT; // no cache area is configured
}

} // namespace zvsim::pcc
