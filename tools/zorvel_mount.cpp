/* Mount subcommands: getname, the client name of a mount. */
#include "zorvel_cmd.h"
#include "zorvel_output.h"

#include <zorvel/zorvelapi.h>

#include <climits>
#include <cstdio>
#include <vector>

int cmd_getname(int argc, char **argv)
{
	std::vector<const char *> paths;
	bool json = false;
	if (int bad = take_operands(argc, argv, paths, &json, 1))
		return bad;
	first_failure status;
	for (const char *path : paths) {
		char name[PATH_MAX];
		int rc = zvapi_getname(path, name, sizeof(name));
		if (rc != 0)
			status.note(fail(rc,
			                 "cannot get the client name of '%s'",
			                 escaped(path).c_str()));
		else if (json)
			status.note(exit_status(json_line()
			                                .add("path", path)
			                                .add("name", name)
			                                .write()));
		else
			out_printf("%s: %s\n", escaped(path).c_str(),
			           escaped(name).c_str());
	}
	return status.status();
}
