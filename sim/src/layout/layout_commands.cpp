// zvsim commands of the layout family: raw records.
#include "launcher/command.h"

#include <cstring>

#include <zvsim/zvsim.h>

namespace zvsim::launcher
{

namespace
{

// layout store PATH lov|lmv HEXBYTES ("-" for none)
int cmd_layout(const char *state, int nargs, char **args)
{
	std::string bytes;
	if (nargs != 4 || std::strcmp(args[0], "store") != 0 ||
	    (std::strcmp(args[3], "-") != 0 && !parse_hex(args[3], bytes)))
		usage_error();
	if (std::strcmp(args[2], "lov") != 0 &&
	    std::strcmp(args[2], "lmv") != 0)
		usage_error();
	if (attach(state))
		return 1;
	return report("layout store",
	              zvsim_layout_store(args[1], args[2], bytes.data(),
	                                 bytes.size()));
}

const Command commands[] = {
        {"layout", "store PATH lov|lmv HEXBYTES|-", cmd_layout},
};

const CommandGroup group{"layout", commands};

} // namespace

} // namespace zvsim::launcher
