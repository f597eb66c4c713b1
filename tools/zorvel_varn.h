/* What the network configuration subcommands (udsp, tunables) share. */
#ifndef ZORVEL_TOOLS_ZORVEL_VARN_H
#define ZORVEL_TOOLS_ZORVEL_VARN_H

#include <cyaml/cyaml.h>

#include <string>

/* The networking layer's control device: under the simulator
 * <ZVSIM_STATE>/dev/varn, else /dev/varn. */
std::string varn_dev_path();

/* Registers that device as device 0, once per process. */
void register_varn_dev();

/* Exit status of a command's result; a failed command's error tree goes to
 * standard error. The tree is freed. */
int finish_with_tree(int rc, cYAML *err);

#endif
