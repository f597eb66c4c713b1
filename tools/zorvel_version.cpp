/* Version subcommand: the kernel client's version. */
#include "zorvel_cmd.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cstdio>

int cmd_version(int argc, char **)
{
	if (argc != 1) {
		fprintf(stderr, "usage: zorvel version\n");
		return ZV_EXIT_USAGE;
	}
	char version[128];
	if (zvapi_get_version_string(version, sizeof(version)) != 0) {
		int err = errno;
		zvapi_error(ZVAPI_MSG_ERROR, err,
		            "cannot get the kernel client's version");
		return exit_status(err);
	}
	printf("%s\n", version);
	return 0;
}
