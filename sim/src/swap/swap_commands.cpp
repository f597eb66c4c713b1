// zvsim commands of group locks.
#include "launcher/command.h"

#include <string_view>

#include <zvsim/zvsim.h>

namespace zvsim::launcher
{

namespace
{

// grouplock show PATH
int cmd_grouplock(const char *state, int nargs, char **args)
{
	if (nargs != 2 || std::string_view(args[0]) != "show")
		usage_error();
	if (attach(state))
		return 1;
	return print_queried(args[1], zvsim_grouplock_show, args[1]);
}

const Command commands[] = {
        {"grouplock", "show PATH", cmd_grouplock},
};

const CommandGroup group{"swap", commands};

} // namespace

} // namespace zvsim::launcher
