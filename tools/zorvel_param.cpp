/* Parameter subcommands: param list, param get. */
#include "zorvel_cmd.h"

#include <zorvel/zorvelapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

/* The trees a parameter path may start with, longest first where one is
 * a prefix of another. */
const char *const trees[] = {
        "/sys/fs/varn/",           "/sys/fs/zorvel/",
        "/sys/kernel/debug/varn/", "/sys/kernel/debug/zorvel/",
        "/proc/fs/varn/",          "/proc/fs/zorvel/",
        "/proc/sys/varn/",         "/proc/sys/zorvel/",
};

/* A parameter's name: its path relative to its tree. */
const char *param_name(const char *path)
{
	for (const char *tree : trees)
		if (strncmp(path, tree, strlen(tree)) == 0)
			return path + strlen(tree);
	return path;
}

int lookup(const char *pattern, glob_t *paths)
{
	int rc = zvapi_param_get_paths(pattern, paths);
	if (rc != 0)
		zvapi_error(ZVAPI_MSG_ERROR, rc, "no parameter matches '%s'",
		            pattern);
	return rc;
}

int param_list(const char *pattern)
{
	glob_t paths;
	int rc = lookup(pattern, &paths);
	if (rc != 0)
		return exit_status(rc);
	for (size_t i = 0; i < paths.gl_pathc; i++)
		printf("%s\n", param_name(paths.gl_pathv[i]));
	zvapi_param_paths_free(&paths);
	return 0;
}

/* name=value, or name= and the lines of a multi-line value. */
int param_get(const char *pattern)
{
	glob_t paths;
	int rc = lookup(pattern, &paths);
	if (rc != 0)
		return exit_status(rc);
	int status = 0;
	for (size_t i = 0; i < paths.gl_pathc; i++) {
		char *value = nullptr;
		size_t len = 0;
		rc = zvapi_param_get_value(paths.gl_pathv[i], &value, &len);
		if (rc != 0) {
			zvapi_error(ZVAPI_MSG_ERROR, rc, "cannot read '%s'",
			            paths.gl_pathv[i]);
			if (status == 0)
				status = exit_status(rc);
			continue;
		}
		const char *name = param_name(paths.gl_pathv[i]);
		char *nl = static_cast<char *>(memchr(value, '\n', len));
		if (nl == nullptr || nl == value + len - 1)
			printf("%s=%.*s\n", name, int(nl ? nl - value : len),
			       value);
		else
			printf("%s=\n%s%s", name, value,
			       value[len - 1] == '\n' ? "" : "\n");
		free(value);
	}
	zvapi_param_paths_free(&paths);
	return status;
}

} // namespace

int cmd_param(int argc, char **argv)
{
	if (argc != 3) {
		fprintf(stderr, "usage: zorvel param list|get PATTERN\n");
		return ZV_EXIT_USAGE;
	}
	if (strcmp(argv[1], "list") == 0)
		return param_list(argv[2]);
	if (strcmp(argv[1], "get") == 0)
		return param_get(argv[2]);
	fprintf(stderr, "zorvel param: unknown action '%s'\n", argv[1]);
	return ZV_EXIT_USAGE;
}
