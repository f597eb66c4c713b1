/* Version subcommand: the kernel client's version. */
#include "zorvel_cmd.h"
#include "zorvel_output.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cstdio>
#include <vector>

int cmd_version(int argc, char **argv)
{
	std::vector<const char *> ops;
	bool json = false;
	if (int bad = take_operands(argc, argv, ops, &json))
		return bad;
	if (!ops.empty())
		return usage_error("takes no operands");
	char version[128];
	if (zvapi_get_version_string(version, sizeof(version)) != 0)
		return fail(errno ? errno : EIO,
		            "cannot get the kernel client's version");
	if (json)
		return exit_status(json_line().add("version", version).write());
	out_printf("%s\n", version);
	return 0;
}
