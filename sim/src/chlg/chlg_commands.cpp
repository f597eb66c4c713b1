// zvsim commands of the change logs.
#include "launcher/command.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <zvsim/zvsim.h>

namespace zvsim::launcher
{

namespace
{

// changelog register TARGET | deregister TARGET USER | users TARGET |
// mask TARGET HEXMASK | append TARGET HEXBYTES
int cmd_changelog(const char *state, int nargs, char **args)
{
	if (nargs < 2)
		usage_error();
	std::string_view op = args[0];
	const char *target = args[1];
	int want = op == "deregister" || op == "mask" || op == "append" ? 3 : 2;
	if (nargs != want || (want == 2 && op != "register" && op != "users"))
		usage_error();
	unsigned long long mask = 0;
	std::string bytes;
	char *end = nullptr;
	if (op == "mask") {
		errno = 0;
		mask = strtoull(args[2], &end, 16); // "0x" allowed
	}
	if ((op == "mask" && (errno || end == args[2] || *end ||
	                      args[2][0] == '-' || mask > 0xFFFFFFFFULL)) ||
	    (op == "append" && (!parse_hex(args[2], bytes) || bytes.empty())))
		usage_error();
	if (attach(state))
		return 1;
	if (op == "register") {
		char user[32];
		int rc = zvsim_changelog_register(target, user, sizeof user);
		if (rc < 0)
			return report(target, rc);
		return print(std::string(user) + "\n");
	}
	if (op == "deregister")
		return report(args[2],
		              zvsim_changelog_deregister(target, args[2]));
	if (op == "mask")
		return report(target,
		              zvsim_changelog_mask(
		                      target, static_cast<uint32_t>(mask)));
	if (op == "append")
		return report(target,
		              zvsim_changelog_append(target, bytes.data(),
		                                     bytes.size()));
	return print_queried(target, zvsim_changelog_users, target);
}

const Command commands[] = {
        {"changelog",
         "register TARGET | deregister TARGET USER | users TARGET |\n"
         "                 mask TARGET HEXMASK | append TARGET HEXBYTES",
         cmd_changelog},
};

const CommandGroup group{"chlg", commands};

} // namespace

} // namespace zvsim::launcher
