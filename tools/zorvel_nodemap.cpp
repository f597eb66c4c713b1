/* Nodemap subcommand: nodemap exists. */
#include "zorvel_cmd.h"
#include "zorvel_output.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace
{

/* A nodemap's name is one plain word: the lookup takes glob characters as
 * a pattern and '/' or ".." as a path into the parameter tree, so such a
 * name would "exist" by matching something that is no nodemap. */
bool is_nodemap_name(const char *name)
{
	return name[0] != '\0' && strpbrk(name, "/*?[]{}\\") == nullptr &&
	       strstr(name, "..") == nullptr;
}

} // namespace

/* Exit status 0 when the nodemap exists, ENOENT when it does not. */
int cmd_nodemap(int argc, char **argv)
{
	bool json = take_json_flag(argc, argv);
	if (argc < 3)
		return missing_arguments();
	if (argc != 3 || strcmp(argv[1], "exists") != 0)
		return usage_error("need exists NAME");
	const char *name = argv[2];
	if (!is_nodemap_name(name)) {
		std::string what =
		        "'" + escaped(name) +
		        "' is not a nodemap name (empty, or holds /, "
		        ".., or one of *?[]{}\\)";
		return usage_error(what.c_str());
	}
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
