/* Nodemap subcommand: nodemap exists. */
#include "zorvel_cmd.h"
#include "zorvel_output.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

/* Exit status 0 when the nodemap exists, ENOENT when it does not. */
int cmd_nodemap(int argc, char **argv)
{
	bool json = take_json_flag(argc, argv);
	if (argc < 3)
		return missing_arguments();
	if (argc != 3 || strcmp(argv[1], "exists") != 0)
		return usage_error("need exists NAME");
	const char *name = argv[2];
	bool exists = zvapi_nodemap_exists(name) == 0;
	if (json) {
		int rc = json_line()
		                 .add("nodemap", name)
		                 .add_int("exists", exists)
		                 .write();
		if (rc != 0)
			return exit_status(rc);
	} else {
		out_printf("%s: %s\n", escaped(name).c_str(),
		           exists ? "exists" : "does not exist");
	}
	return exists ? 0 : ENOENT;
}
