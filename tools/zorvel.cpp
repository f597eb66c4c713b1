/* zorvel: one command over the client libraries, a subcommand per
 * capability. Exit status 0 on success, 1 for usage, else the errno of the
 * failure. */
#include "zorvel_cmd.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

const zorvel_cmd commands[] = {
        {"path2fid", cmd_path2fid, "PATH...",
         "print the FID of each path (a symbolic link's own)"},
        {"fid2path", cmd_fid2path, "MOUNT|FSNAME FID...",
         "print every path (hard link) of each FID"},
        {"path2parent", cmd_path2parent, "PATH...",
         "print the parent FID and entry name of each link of each path"},
        {"cat-fid", cmd_cat_fid, "MOUNT FID...",
         "write the content of each file, opened by its FID"},
        {"rmfid", cmd_rmfid, "MOUNT|FSNAME FID...",
         "remove the objects named by FID"},
        {"rm-entry", cmd_rm_entry, "PATH...",
         "remove directory entries without looking at their objects"},
        {"param", cmd_param, "list|get PATTERN",
         "list the parameters matching PATTERN, or print their values"},
        {"changelog", cmd_changelog, "TARGET [STARTREC] [--follow]",
         "print the change log of a metadata target, one record a line"},
        {"changelog-clear", cmd_changelog_clear, "TARGET USER ENDREC",
         "purge the records of log user USER up to ENDREC"},
        {"version", cmd_version, "", "print the kernel client's version"},
        {"getname", cmd_getname, "PATH...",
         "print the client name of the mount holding each path"},
        {"udsp", cmd_udsp,
         "add [--src D] [--dst D] [--rte D] (--priority N | --pref) "
         "[--idx N] | del IDX | show [IDX] | import FILE",
         "add, delete, show or import network selection policies (YAML)"},
        {"tunables", cmd_tunables, "show FILE --type socket|o2ib",
         "print the network driver tunables of a YAML file"},
        {"mirror", cmd_mirror,
         "list|read|write|copy|verify FILE [--id N] [--src N] "
         "[--dst M[,M...]] [--offset O] [--length L] [--json]",
         "list, read, write, copy (resync) or compare the mirrors of a file\n"
         "  read: mirror --id to standard output from --offset for --length"
         "\n  write: standard input to mirror --id (at page-aligned "
         "--offset;\n    without one it becomes the whole mirror)\n"
         "  copy: mirror --src (0: the file) to each --dst, holes kept;\n"
         "    with --offset and --length only that range; a progress bar"
         " on a terminal\n"
         "  verify: sizes, holes and data against mirror 1; exit status 117"
         " when they differ\n"
         "  --json keys: list: file mirror size sparse data; read: file "
         "mirror offset\n    length hex; write: file mirror offset length;"
         " copy: file src dst [offset\n    copied]; verify: file mirror "
         "agrees [difference]"},
        {"sparse", cmd_sparse, "FILE... [--json]",
         "tell whether each file is sparse, and its data extents\n"
         "  --json keys: file sparse size data (\"offset+length,...\" or "
         "\"-\")"},
        {"punch", cmd_punch, "FILE OFFSET LENGTH [--id N] [--json]",
         "punch a hole, keeping the size (with --id, in that mirror "
         "alone)\n"
         "  --json keys: file mirror (0: the file) offset length"},
        {"ladvise", cmd_ladvise,
         "FILE --advice willread|dontneed|locknoexpand|lockahead "
         "[--start S] [--end E]... [--async] [--unset] [--json]",
         "give several advices on byte ranges in one request\n"
         "  each --advice starts an advice, --start and --end set its range;"
         "\n  the kernel's result of each lockahead is printed\n"
         "  --json keys, a line per advice: file advice start end [result]"},
        {"heat", cmd_heat, "get|set [--clear] [--off] [--on] FILE... [--json]",
         "print a file's access counts, or clear them and stop or restart "
         "counting\n"
         "  --json keys: get: file reads writes bytes_read bytes_written "
         "counting;\n    set: file flags"},
        {"nodemap", cmd_nodemap, "exists NAME [--json]",
         "tell whether a nodemap exists (exit status 0, else 2)\n"
         "  --json keys: nodemap exists"},
        {"data-version", cmd_data_version, "FILE...",
         "print the data version of each file"},
        {"swap-layouts", cmd_swap_layouts,
         "FILE1 FILE2 [--keep-mtime] [--keep-atime] [--check-dv]",
         "exchange the data of two files, each keeping its FID and name"},
        {"lease", cmd_lease, "get|put [--read|--write] FILE | check FILE",
         "take (and give back) a lease on an open of FILE, print its mode"},
        {"pcc", cmd_pcc,
         "attach --id ID [--fid MOUNT] FILE... | detach|state [--fid MOUNT] "
         "FILE... | add|del MOUNT ID | clear|list MOUNT",
         "attach files to the client cache, detach them, show their "
         "state; configure the cache areas"},
};

/* Output that did not reach standard output is a failure, of the command's
 * own status when it had none. */
int finish_output(int status)
{
	errno = 0;
	int flushed = fflush(stdout);
	if (flushed == 0 && !ferror(stdout))
		return status;
	int err = flushed != 0 && errno != 0 ? errno : EIO;
	zvapi_error(ZVAPI_MSG_ERROR, err, "cannot write standard output");
	return status != 0 ? status : exit_status(err);
}

void print_usage(FILE *out)
{
	fprintf(out, "usage: zorvel COMMAND [ARGS]\n\ncommands:\n");
	for (const auto &cmd : commands) {
		/* The first line of the help; --help shows the rest. */
		int len = (int)strcspn(cmd.help, "\n");
		fprintf(out, "  %-16s %.*s\n", cmd.name, len, cmd.help);
	}
	fprintf(out, "\n'zorvel COMMAND --help' tells more.\n");
}

} // namespace

void print_cmd_usage(const zorvel_cmd &cmd, bool to_stderr)
{
	FILE *out = to_stderr ? stderr : stdout;
	fprintf(out, "usage: zorvel %s %s\n  %s\n", cmd.name, cmd.usage,
	        cmd.help);
}

int usage_error(const char *cmd, const char *what)
{
	fprintf(stderr, "zorvel %s: %s (see 'zorvel %s --help')\n", cmd, what,
	        cmd);
	return ZV_EXIT_USAGE;
}

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

int exit_status(int rc)
{
	if (rc == 0)
		return 0;
	rc = rc < 0 ? -rc : rc;
	return rc > 255 ? EXIT_FAILURE : rc;
}

int main(int argc, char **argv)
{
	if (argc < 2) {
		print_usage(stderr);
		return ZV_EXIT_USAGE;
	}
	if (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0 ||
	    strcmp(argv[1], "help") == 0) {
		print_usage(stdout);
		return finish_output(0);
	}
	for (const auto &cmd : commands) {
		if (strcmp(argv[1], cmd.name) != 0)
			continue;
		if (wants_help(argc - 1, argv + 1)) {
			print_cmd_usage(cmd, false);
			return finish_output(0);
		}
		return finish_output(cmd.run(argc - 1, argv + 1));
	}
	fprintf(stderr, "zorvel: unknown command '%s'\n", argv[1]);
	print_usage(stderr);
	return ZV_EXIT_USAGE;
}
