// zvsim commands of the vm family: the drops counted.
#include "launcher/command.h"

#include <zvsim/zvsim.h>

namespace zvsim::launcher
{

namespace
{

// drops: how many writes the drop-caches stand-in took
int cmd_drops(const char *state, int nargs, char **)
{
	if (nargs != 0)
		usage_error();
	if (attach(state))
		return 1;
	long long n = zvsim_drop_caches_count();
	if (n < 0)
		return report("drops", static_cast<int>(n));
	return print(std::to_string(n) + "\n");
}

const Command commands[] = {
        {"drops", "", cmd_drops},
};

const CommandGroup group{"vm", commands};

} // namespace

} // namespace zvsim::launcher
