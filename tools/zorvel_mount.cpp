/* Mount subcommands: getname, the client name of a mount. */
#include "zorvel_cmd.h"

#include <zorvel/zorvelapi.h>

#include <climits>
#include <cstdio>

int cmd_getname(int argc, char **argv)
{
	if (argc < 2) {
		fprintf(stderr, "usage: zorvel getname PATH...\n");
		return ZV_EXIT_USAGE;
	}
	int status = 0;
	for (int i = 1; i < argc; i++) {
		char name[PATH_MAX];
		int rc = zvapi_getname(argv[i], name, sizeof(name));
		if (rc != 0) {
			zvapi_error(ZVAPI_MSG_ERROR, rc,
			            "cannot get the client name of '%s'",
			            argv[i]);
			if (status == 0)
				status = exit_status(rc);
			continue;
		}
		if (argc > 2)
			printf("%s: ", argv[i]);
		printf("%s\n", name);
	}
	return status;
}
