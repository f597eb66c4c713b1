// zvsim commands of the client cache.
#include "launcher/command.h"

#include <string_view>

#include <zvsim/zvsim.h>

namespace zvsim::launcher
{

namespace
{

// pcc show PATH
int cmd_pcc(const char *state, int nargs, char **args)
{
	if (nargs != 2 || std::string_view(args[0]) != "show")
		usage_error();
	if (attach(state))
		return 1;
	return print_queried(args[1], zvsim_pcc_show, args[1]);
}

const Command commands[] = {
        {"pcc", "show PATH", cmd_pcc},
};

const CommandGroup group{"pcc", commands};

} // namespace

} // namespace zvsim::launcher
