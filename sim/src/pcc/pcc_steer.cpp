// Steering of the client cache (zvsim/zvsim.h).
#include "pcc.h"

#include "core/export.h"
#include "core/object_steer.h"

#include <zvsim/zvsim.h>

using namespace zvsim;

ZVSIM_EXPORT int zvsim_pcc_show(const char *path, char *buf, size_t len)
{
	return show_object(path, buf, len, pcc::show);
}
