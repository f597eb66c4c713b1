/* Subcommands of the zorvel front end. Each is defined beside its code, in
 * the file of its family (zorvel_<family>.cpp, named as the library unit
 * it drives); zorvel.cpp lists them in the order the help shows them. */
#ifndef ZORVEL_TOOLS_ZORVEL_CMD_H
#define ZORVEL_TOOLS_ZORVEL_CMD_H

#include "zorvel_status.h"

struct zorvel_cmd {
	const char *name;
	int (*run)(int argc, char **argv); /* argv[0] is the subcommand */
	const char *usage;                 /* arguments after the name */
	const char *help;                  /* first line: the overview */
};

/* fid */
extern const zorvel_cmd path2fid_cmd, fid2path_cmd, path2parent_cmd,
        cat_fid_cmd;
/* remove */
extern const zorvel_cmd rmfid_cmd, rm_entry_cmd;
/* param */
extern const zorvel_cmd param_cmd;
/* chlg */
extern const zorvel_cmd changelog_cmd, changelog_clear_cmd;
/* version */
extern const zorvel_cmd version_cmd;
/* mount */
extern const zorvel_cmd getname_cmd;
/* udsp */
extern const zorvel_cmd udsp_cmd;
/* vnd */
extern const zorvel_cmd tunables_cmd;
/* mirror */
extern const zorvel_cmd mirror_cmd;
/* lseek */
extern const zorvel_cmd sparse_cmd, punch_cmd;
/* ladvise */
extern const zorvel_cmd ladvise_cmd;
/* heat */
extern const zorvel_cmd heat_cmd;
/* nodemap */
extern const zorvel_cmd nodemap_cmd;
/* swap */
extern const zorvel_cmd data_version_cmd, swap_layouts_cmd;
/* lease */
extern const zorvel_cmd lease_cmd;
/* pcc */
extern const zorvel_cmd pcc_cmd;

#endif
