/* Nodemaps: whether one of a name is published among the parameters. */
#include "zorvelapi_internal.h"

#include <libkfx/util/param.h>

#include <cstring>
#include <sys/stat.h>

namespace
{

/* A nodemap's name is one plain path component: nothing the parameter
 * lookup would take as a pattern (its brace lists included), and nothing
 * that climbs out of the nodemap directory or stays in it. */
bool names_a_nodemap(const char *name)
{
	return name[0] != '\0' && strcmp(name, ".") != 0 &&
	       strstr(name, "..") == nullptr &&
	       strpbrk(name, "/*?[]{}\\") == nullptr;
}

/* A nodemap is a directory of parameters; a file beside them (such as
 * "active") is not one. */
bool any_directory(const glob_t &paths)
{
	for (size_t i = 0; i < paths.gl_pathc; i++) {
		struct stat st;
		if (stat(paths.gl_pathv[i], &st) == 0 && S_ISDIR(st.st_mode))
			return true;
	}
	return false;
}

} // namespace

ZV_EXPORT int zvapi_nodemap_exists(const char *nodemap)
{
	if (nodemap == nullptr || !names_a_nodemap(nodemap))
		return 1;
	/* Empty to begin with: a lookup that fails before matching (a name
	 * too long) leaves nothing to release. */
	glob_t paths = {};
	int rc = kfx_get_param_paths(&paths, "nodemap/%s", nodemap);
	bool found = rc == 0 && any_directory(paths);
	zvapi_param_paths_free(&paths);
	return found ? 0 : 1;
}
