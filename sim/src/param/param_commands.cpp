// zvsim commands of the parameter trees, the debug file system and the
// mount-table file.
#include "launcher/command.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include <zvsim/zvsim.h>

namespace zvsim::launcher
{

namespace
{

// param set PATH [VALUE] (standard input without VALUE) | get | rm | mkdir
int cmd_param(const char *state, int nargs, char **args)
{
	if (nargs < 2)
		usage_error();
	std::string_view op = args[0];
	const char *path = args[1];
	bool set = op == "set";
	if ((set && nargs > 3) || (!set && nargs != 2) ||
	    (!set && op != "get" && op != "rm" && op != "mkdir"))
		usage_error();
	if (attach(state))
		return 1;
	if (set) {
		std::string value = nargs == 3 ? args[2] : read_stdin();
		return report(path, zvsim_param_set(path, value.data(),
		                                    value.size()));
	}
	if (op == "rm")
		return report(path, zvsim_param_remove(path));
	if (op == "mkdir")
		return report(path, zvsim_param_mkdir(path));
	return print_queried(
	        path,
	        [](const char *key, char *buf, size_t len) {
		        return zvsim_param_get(key, buf, len);
	        },
	        path);
}

// pool NAME [MEMBER...]
int cmd_pool(const char *state, int nargs, char **args)
{
	if (nargs < 1)
		usage_error();
	if (attach(state))
		return 1;
	return report("pool", zvsim_pool_set(args[0], args + 1,
	                                     static_cast<size_t>(nargs - 1)));
}

// debugfs mounted|unmounted [ERRNO]
int cmd_debugfs(const char *state, int nargs, char **args)
{
	int err = 0;
	if (nargs < 1 || nargs > 2 ||
	    (strcmp(args[0], "mounted") && strcmp(args[0], "unmounted")) ||
	    (nargs == 2 && !parse_errno(args[1], err)))
		usage_error();
	if (attach(state))
		return 1;
	return report("debugfs",
	              zvsim_debugfs(!strcmp(args[0], "mounted"), err));
}

// mtab none|regular|symlink
int cmd_mtab(const char *state, int nargs, char **args)
{
	static const char *const kinds[] = {"none", "regular", "symlink"};
	int kind = -1;
	for (int k = 0; k < 3 && nargs == 1; ++k)
		if (!strcmp(args[0], kinds[k]))
			kind = k;
	if (kind < 0)
		usage_error();
	if (attach(state))
		return 1;
	return report("mtab", zvsim_mtab(kind));
}

const Command commands[] = {
        {"param", "set PATH [VALUE] | get PATH | rm PATH | mkdir PATH",
         cmd_param},
        {"pool", "NAME [MEMBER...]", cmd_pool},
        {"debugfs", "mounted|unmounted [ERRNO]", cmd_debugfs},
        {"mtab", "none|regular|symlink", cmd_mtab},
};

const CommandGroup group{"param", commands};

} // namespace

} // namespace zvsim::launcher
