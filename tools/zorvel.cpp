/* zorvel: one command over the client libraries, a subcommand per
 * capability. The table of subcommands; each is defined, with its help, in
 * its family's file (zorvel_cmd.h). Statuses and messages: zorvel_status.h.
 */
#include "zorvel_cmd.h"
#include "zorvel_output.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

/* In the order the help lists them, by family. */
const zorvel_cmd *const commands[] = {
        &path2fid_cmd,     &fid2path_cmd,
        &path2parent_cmd,  &cat_fid_cmd,         /* fid */
        &rmfid_cmd,        &rm_entry_cmd,        /* remove */
        &param_cmd,                              /* param */
        &changelog_cmd,    &changelog_clear_cmd, /* chlg */
        &version_cmd,                            /* version */
        &getname_cmd,                            /* mount */
        &udsp_cmd,                               /* udsp */
        &tunables_cmd,                           /* vnd */
        &mirror_cmd,                             /* mirror */
        &sparse_cmd,       &punch_cmd,           /* lseek */
        &ladvise_cmd,                            /* ladvise */
        &heat_cmd,                               /* heat */
        &nodemap_cmd,                            /* nodemap */
        &data_version_cmd, &swap_layouts_cmd,    /* swap */
        &lease_cmd,                              /* lease */
        &pcc_cmd,                                /* pcc */
};

void print_usage(FILE *out)
{
	fprintf(out, "usage: zorvel COMMAND [ARGS]\n\ncommands:\n");
	for (const zorvel_cmd *cmd : commands) {
		/* The first line of the help; --help shows the rest. */
		int len = (int)strcspn(cmd->help, "\n");
		fprintf(out, "  %-16s %.*s\n", cmd->name, len, cmd->help);
	}
	fprintf(out,
	        "\n'zorvel COMMAND --help' tells more; --json gives one JSON "
	        "object a line.\n"
	        "exit status: 0 success, 1-253 the errno of the first failure,"
	        "\n  254 a failure that has no errno, 255 a usage error.\n");
}

/* "usage: zorvel NAME USAGE" and the whole help of cmd. */
void print_cmd_usage(const zorvel_cmd &cmd)
{
	printf("usage: zorvel %s %s\n  %s\n", cmd.name, cmd.usage, cmd.help);
}

/* True when argv holds -h or --help before any "--". */
bool wants_help(int argc, char **argv)
{
	for (int i = 1; i < argc; i++) {
		if (strcmp(argv[i], "--") == 0)
			return false;
		if (strcmp(argv[i], "-h") == 0 ||
		    strcmp(argv[i], "--help") == 0)
			return true;
	}
	return false;
}

} // namespace

int main(int argc, char **argv)
{
	if (int rc = hold_standard_streams())
		return fail(rc, "cannot hold closed standard streams open on "
		                "/dev/null");
	/* Every failure is told once, by the subcommand, in its words. */
	zvapi_msg_set_level(ZVAPI_MSG_OFF);
	if (argc < 2) {
		print_usage(stderr);
		return ZV_EXIT_USAGE;
	}
	if (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0 ||
	    strcmp(argv[1], "help") == 0) {
		print_usage(stdout);
		return finish_output(0);
	}
	if (strcmp(argv[1], "--version") == 0) {
		out_printf("zorvel " ZV_VERSION "\n");
		return finish_output(0);
	}
	for (const zorvel_cmd *cmd : commands) {
		if (strcmp(argv[1], cmd->name) != 0)
			continue;
		set_command_name(cmd->name);
		if (wants_help(argc - 1, argv + 1)) {
			print_cmd_usage(*cmd);
			return finish_output(0);
		}
		return finish_output(cmd->run(argc - 1, argv + 1));
	}
	std::string what = "unknown command '" + escaped(argv[1]) + "'";
	return usage_error(what.c_str());
}
