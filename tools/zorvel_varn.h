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

/* Exit status of a command's result: a failed command's error tree goes
 * to standard error and its "rc" is the status. The tree is freed. */
int finish_with_tree(int rc, cYAML *err);

/* Prints a tree as YAML, or with json as JSON lines: a line per item of a
 * sequence that is the root's one child, else one line; nested keys are
 * joined with '_', spaces become '_'. The exit status. */
int print_tree(cYAML *tree, bool json);

#endif
