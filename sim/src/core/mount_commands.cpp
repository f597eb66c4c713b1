// zvsim commands for further mounts of the file system.
#include "launcher/command.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <zvsim/zvsim.h>

namespace zvsim::launcher
{

namespace
{

// mount add PATH... | mount list
int cmd_mount(const char *state, int nargs, char **args)
{
	bool add = nargs >= 2 && std::strcmp(args[0], "add") == 0;
	bool list = nargs == 1 && std::strcmp(args[0], "list") == 0;
	if (!add && !list)
		usage_error();
	if (attach(state))
		return 1;
	if (list)
		return print_queried(
		        "mount list",
		        [](const char *, char *buf, size_t len) {
			        return zvsim_mounts(buf, len);
		        },
		        nullptr);
	for (int i = 1; i < nargs; i++) {
		std::string path = absolute_path(args[i]);
		if (report(("mount add " + path).c_str(),
		           zvsim_mount_add(path.c_str())))
			return 1;
	}
	return 0;
}

const Command commands[] = {
        {"mount", "add PATH... | mount list", cmd_mount},
};

const CommandGroup group{"core", commands};

} // namespace

std::string absolute_path(const char *path)
{
	if (path[0] == '/')
		return path;
	char cwd[PATH_MAX];
	if (!getcwd(cwd, sizeof cwd))
		return path;
	return std::string(cwd) + "/" + path;
}

} // namespace zvsim::launcher
