// zvsim commands of mirrored files and nodemaps.
#include "launcher/command.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include <zvsim/zvsim.h>

namespace zvsim::launcher
{

namespace
{

bool parse_id(const char *s, unsigned &out, unsigned min)
{
	long long v;
	if (!parse_long(s, v) || v < min || v > 0xFFFFFFFFLL)
		return false;
	out = static_cast<unsigned>(v);
	return true;
}

// mirror count FILE N | list FILE | read FILE ID [OFFSET [LENGTH]]
int cmd_mirror(const char *state, int nargs, char **args)
{
	if (nargs < 2)
		usage_error();
	std::string op = args[0];
	const char *file = args[1];
	unsigned n = 0;
	if (op == "count") {
		if (nargs != 3 || !parse_id(args[2], n, 1))
			usage_error();
		if (attach(state))
			return 1;
		return report(file, zvsim_mirror_count(file, n));
	}
	if (op == "list") {
		if (nargs != 2)
			usage_error();
		if (attach(state))
			return 1;
		return print_queried(
		        file,
		        [](const char *f, char *buf, size_t len) {
			        return zvsim_mirror_list(f, buf, len);
		        },
		        file);
	}
	long long off = 0, len = 1 << 20;
	if (op != "read" || nargs < 3 || nargs > 5 ||
	    !parse_id(args[2], n, 1) ||
	    (nargs > 3 && (!parse_long(args[3], off) || off < 0)) ||
	    (nargs > 4 &&
	     (!parse_long(args[4], len) || len < 0 || len > (1 << 30))))
		usage_error();
	if (attach(state))
		return 1;
	std::string data(static_cast<size_t>(len), '\0');
	int rc = zvsim_mirror_read(file, n, off, data.data(), data.size());
	if (rc < 0)
		return report(file, rc);
	data.resize(static_cast<size_t>(rc));
	return print(data);
}

// nodemap add|rm NAME
int cmd_nodemap(const char *state, int nargs, char **args)
{
	if (nargs != 2 || (strcmp(args[0], "add") && strcmp(args[0], "rm")))
		usage_error();
	if (attach(state))
		return 1;
	return report(args[1], strcmp(args[0], "add")
	                               ? zvsim_nodemap_remove(args[1])
	                               : zvsim_nodemap_add(args[1]));
}

const Command commands[] = {
        {"mirror", "count FILE N | list FILE | read FILE ID [OFFSET [LENGTH]]",
         cmd_mirror},
        {"nodemap", "add|rm NAME", cmd_nodemap},
};

const CommandGroup group{"mirror", commands};

} // namespace

} // namespace zvsim::launcher
