// zvsim commands of leases.
#include "launcher/command.h"

#include <string_view>

#include <zvsim/zvsim.h>

namespace zvsim::launcher
{

namespace
{

// lease show PATH | break PATH [--next] | by-mode-only on|off
int cmd_lease(const char *state, int nargs, char **args)
{
	if (nargs < 2)
		usage_error();
	std::string_view op = args[0], arg = args[1];
	bool next = nargs == 3 && std::string_view(args[2]) == "--next";
	if ((op == "show" && nargs != 2) ||
	    (op == "break" && nargs != 2 && !next) ||
	    (op == "by-mode-only" &&
	     (nargs != 2 || (arg != "on" && arg != "off"))) ||
	    (op != "show" && op != "break" && op != "by-mode-only"))
		usage_error();
	if (attach(state))
		return 1;
	if (op == "show")
		return print_queried(args[1], zvsim_lease_show, args[1]);
	if (op == "break")
		return report(args[1], zvsim_lease_break(args[1], next));
	return report("by-mode-only", zvsim_lease_by_mode_only(arg == "on"));
}

const Command commands[] = {
        {"lease", "show PATH | break PATH [--next] | by-mode-only on|off",
         cmd_lease},
};

const CommandGroup group{"lease", commands};

} // namespace

} // namespace zvsim::launcher
