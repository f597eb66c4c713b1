/* Nodemaps: whether one of a name is published among the parameters. */
#include "zorvelapi_internal.h"

#include <libkfx/util/param.h>

ZV_EXPORT int zvapi_nodemap_exists(const char *nodemap)
{
	if (nodemap == nullptr)
		return 1;
	/* Empty to begin with: a lookup that fails before matching (a name
	 * too long) leaves nothing to release. */
	glob_t paths = {};
	int rc = kfx_get_param_paths(&paths, "nodemap/%s", nodemap);
	zvapi_param_paths_free(&paths);
	return rc == 0 ? 0 : 1;
}
