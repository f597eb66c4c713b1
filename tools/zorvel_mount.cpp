/* Mount subcommands: getname, the client name of a mount. */
#include "zorvel_cmd.h"
#include "zorvel_output.h"

#include <zorvel/zorvelapi.h>

#include <climits>
#include <string>

namespace
{

int getname_one(const char *path, bool json)
{
	char name[PATH_MAX];
	int rc = zvapi_getname(path, name, sizeof(name));
	if (rc != 0)
		return fail_path(rc, "get the client name of", path);
	return print_answer(json,
	                    json_line().add("path", path).add("name", name),
	                    escaped(path) + ": " + escaped(name) + "\n");
}

int cmd_getname(int argc, char **argv)
{
	return operand_command(argc, argv, lost_output::go_on, getname_one);
}

} // namespace

const zorvel_cmd getname_cmd = {
        .name = "getname",
        .run = cmd_getname,
        .usage = "[--json] PATH...",
        .help = "print the client name of the mount holding each path\n"
                "  a line per path: PATH: NAME\n"
                "  --json keys: path name",
};
