/* What the network configuration subcommands share: the networking
 * layer's control device and the error trees of the commands. */
#include "zorvel_varn.h"

#include "zorvel_cmd.h"

#include <libkfx/util/ioctl.h>

#include <cstdlib>

std::string varn_dev_path()
{
	const char *state = getenv("ZVSIM_STATE");
	if (state != nullptr && *state != '\0')
		return std::string(state) + "/dev/varn";
	return "/dev/varn";
}

/* Registered once per process; the registry keeps the pointer. */
void register_varn_dev()
{
	static const std::string path = varn_dev_path();
	register_ioc_dev(0, path.c_str());
}

/* The error tree of a failed command goes to standard error. */
int finish_with_tree(int rc, cYAML *err)
{
	if (rc != 0 && err != nullptr)
		cYAML_print_tree2file(stderr, err);
	cYAML_free_tree(err);
	return exit_status(rc);
}
