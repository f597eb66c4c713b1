/* Subcommands of the zorvel front end. */
#ifndef ZORVEL_TOOLS_ZORVEL_CMD_H
#define ZORVEL_TOOLS_ZORVEL_CMD_H

#include "zorvel_status.h"

struct zorvel_cmd {
	const char *name;
	int (*run)(int argc, char **argv); /* argv[0] is the subcommand */
	const char *usage;                 /* arguments after the name */
	const char *help;                  /* first line: the overview */
};

/* Prints "usage: zorvel NAME USAGE" and the help line of cmd. */
void print_cmd_usage(const zorvel_cmd &cmd, bool to_stderr);

/* True when argv holds -h or --help. */
bool wants_help(int argc, char **argv);

int cmd_path2fid(int argc, char **argv);
int cmd_fid2path(int argc, char **argv);
int cmd_path2parent(int argc, char **argv);
int cmd_cat_fid(int argc, char **argv);
int cmd_param(int argc, char **argv);
int cmd_version(int argc, char **argv);
int cmd_getname(int argc, char **argv);
int cmd_rmfid(int argc, char **argv);
int cmd_rm_entry(int argc, char **argv);
int cmd_changelog(int argc, char **argv);
int cmd_changelog_clear(int argc, char **argv);
int cmd_udsp(int argc, char **argv);
int cmd_tunables(int argc, char **argv);
int cmd_data_version(int argc, char **argv);
int cmd_swap_layouts(int argc, char **argv);
int cmd_lease(int argc, char **argv);
int cmd_pcc(int argc, char **argv);
int cmd_mirror(int argc, char **argv);
int cmd_sparse(int argc, char **argv);
int cmd_punch(int argc, char **argv);
int cmd_ladvise(int argc, char **argv);
int cmd_heat(int argc, char **argv);
int cmd_nodemap(int argc, char **argv);

#endif
