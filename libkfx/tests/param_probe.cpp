/* Looks a parameter up twice in a fresh process, so that a test sees the
 * once-per-process debug file system check in each of its outcomes. */
#include <libkfx/util/param.h>

#include <cerrno>
#include <cstdio>

int main(int argc, char **argv)
{
	if (argc != 2)
		return 1;
	for (int i = 0; i < 2; i++) {
		glob_t paths;
		errno = 0;
		int rc = kfx_get_param_paths(&paths, "%s", argv[1]);
		printf("rc=%d errno=%d n=%zu\n", rc, rc ? errno : 0,
		       rc ? size_t(0) : paths.gl_pathc);
		if (rc == 0)
			globfree(&paths);
	}
	return 0;
}
