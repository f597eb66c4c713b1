/* Version subcommand: the kernel client's version. */
#include "zorvel_cmd.h"
#include "zorvel_output.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <string>
#include <vector>

namespace
{

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
	return print_answer(json, json_line().add("version", version),
	                    std::string(version) + "\n");
}

} // namespace

const zorvel_cmd version_cmd = {
        .name = "version",
        .run = cmd_version,
        .usage = "[--json]",
        .help = "print the kernel client's version "
                "('zorvel --version': this program's)\n"
                "  --json keys: version",
};
