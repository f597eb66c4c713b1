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
		std::string what = "'";
		what += escaped(name);
		what += "' is not a nodemap name (empty, or holds /, "
		        ".., or one of *?[]{}\\)";
		return usage_error(what.c_str());
	}
	bool exists = zvapi_nodemap_exists(name) == 0;
	int rc = print_answer(
	        json,
	        json_line().add("nodemap", name).add_int("exists", exists),
	        escaped(name) + (exists ? ": exists\n" : ": does not exist\n"));
	if (rc != 0)
		return rc;
	return exists ? 0 : ENOENT;
}

} // namespace

const zorvel_cmd nodemap_cmd = {
        .name = "nodemap",
        .run = cmd_nodemap,
        .usage = "exists NAME [--json]",
        .help = "tell whether a nodemap exists "
                "(exit status 0, else 2: ENOENT)\n"
                "  a NAME that is empty or holds "
                "/, .., or one of *?[]{}\\ is a\n"
                "  usage error (it names no nodemap)\n"
                "  --json keys: nodemap exists",
};
