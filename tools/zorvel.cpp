/* zorvel: one command over the client libraries, a subcommand per
 * capability. Statuses and messages: zorvel_status.h. */
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

const zorvel_cmd commands[] = {
        {"path2fid", cmd_path2fid, "[--json] PATH...",
         "print the FID of each path (a symbolic link's own)\n"
         "  a line per path: PATH: FID\n"
         "  --json keys: path fid"},
        {"fid2path", cmd_fid2path, "[--json] MOUNT|FSNAME FID...",
         "print every path (hard link) of each FID\n"
         "  a line per link: FID: PATH (the root's FID: the mount itself)\n"
         "  --json keys, a line per link: fid path"},
        {"path2parent", cmd_path2parent, "[--json] PATH...",
         "print the parent FID and entry name of each link of each path\n"
         "  a line per link: PATH: PARENT-FID/NAME\n"
         "  --json keys, a line per link: path parent name"},
        {"cat-fid", cmd_cat_fid, "[--json] MOUNT|FSNAME FID...",
         "write the content of each regular file, opened by its FID\n"
         "  --json keys, a line per 64 KiB read: fid offset length hex"},
        {"rmfid", cmd_rmfid, "[--json] MOUNT|FSNAME FID...",
         "remove the objects named by FID (4096 in each request)\n"
         "  --json keys, a line per FID removed: fid removed"},
        {"rm-entry", cmd_rm_entry, "[--json] PATH...",
         "remove directory entries without looking at their objects\n"
         "  --json keys, a line per entry removed: path removed"},
        {"param", cmd_param, "[--json] list|get PATTERN",
         "list the parameters matching PATTERN, or print their values\n"
         "  PATTERN is a name relative to the parameter trees, its parts\n"
         "  separated by '/', with glob characters: lov/*/target_obd (not"
         "\n  lov.*.target_obd), nodemap/default/{squash_uid,squash_gid}\n"
         "  get: NAME=VALUE, or NAME= and the lines of a value of several;"
         "\n    directories that match are skipped, and a PATTERN that"
         " matches\n    directories only fails (EISDIR): 'param list "
         "DIR/*' lists them\n"
         "  --json keys: list: name; get: name value"},
        {"changelog", cmd_changelog, "[--json] [--follow] TARGET [STARTREC]",
         "print the change log of a metadata target, one record a line\n"
         "  TARGET is a target name such as demo-MDT0000; records from\n"
         "  STARTREC (default 0, the first); --follow waits for more\n"
         "  until SIGINT or SIGTERM, which stop it (status 0) once what\n"
         "  was read is printed.\n"
         "  A log keeps records only while a user is registered:\n"
         "    zvsim changelog register TARGET  (prints the user, e.g. cl1)\n"
         "  a line per record:\n"
         "    INDEX TYPE TIME FLAGS t=FID p=FID NAME [s=FID sp=FID] [j=JOB]"
         "\n    u=UID:GID [nid=NID] [m=MODE] [x=XATTR]\n"
         "  INDEX the record number; TYPE such as CREATE, MKDIR, RENAME; TIME\n"
         "  UTC with nanoseconds; FLAGS hexadecimal; t= the target and p=\n"
         "  the parent FID; NAME the entry name; s= and sp= the source\n"
         "  and its parent of a rename; j= the job; u= the user and group;"
         "\n  nid= the client (hexadecimal); m= the open flags (octal); x="
         " the\n  extended attribute. Names are escaped (\\n, \\t, \\\\).\n"
         "  --json keys: index type time flags tfid pfid name [sfid spfid]"
         "\n    [jobid] uid gid [nid] [openmode] [xattr]"},
        {"changelog-clear", cmd_changelog_clear, "[--json] TARGET USER ENDREC",
         "purge the records of log user USER up to ENDREC\n"
         "  records are numbered from 1: ENDREC 0 purges nothing, and an\n"
         "  ENDREC past the last record purges up to the last\n"
         "  --json keys: target user endrec"},
        {"version", cmd_version, "[--json]",
         "print the kernel client's version ('zorvel --version': this "
         "program's)\n"
         "  --json keys: version"},
        {"getname", cmd_getname, "[--json] PATH...",
         "print the client name of the mount holding each path\n"
         "  a line per path: PATH: NAME\n"
         "  --json keys: path name"},
        {"udsp", cmd_udsp,
         "[--json] add [--src D] [--dst D] [--rte D] (--priority N | "
         "--pref) [--idx N] | del IDX | show [IDX] | import FILE",
         "add, delete, show or import network selection policies (YAML)\n"
         "  D is a network (tcp1) or ADDRESSES@NETWORK (10.0.0.[1-9]@o2ib)"
         ".\n  Descriptors: --src, --dst, --rte alone, --src with --dst, or"
         "\n  --dst with --rte (--src with --rte is refused).\n"
         "  --priority N (0 to 2147483647): show prints action: priority: N."
         "\n  --pref with --src alone or --dst alone is stored as --priority"
         " 0\n  (show prints action: priority: 0); with two descriptors or"
         " --rte\n  alone it is a preferred list (show prints no action).\n"
         "  import FILE adds the items of its \"udsp\" sequence, as show "
         "prints it.\n"
         "  A failure prints the YAML error tree; the status is its rc.\n"
         "  show IDX of an index that holds no policy: status 2 (ENOENT).\n"
         "  --json keys: add, import: src dst rte action [priority] idx"
         "\n    (idx -1: at the end); del: idx deleted; show, a line per"
         " policy:\n    idx src dst rte [action_priority]"},
        {"tunables", cmd_tunables, "[--json] show FILE --type socket|o2ib",
         "print the network driver tunables of a YAML file\n"
         "  FILE holds \"tunables\" and \"vnd tunables\" objects, at the"
         " top or in\n  an item of a \"net\" sequence; values out of a "
         "field's range are\n  refused. An example with the range of each"
         " key is installed as\n  share/doc/zorvel/examples/tunables.yaml."
         "\n  --json keys: tunables_KEY and vnd_tunables_KEY of each key"},
        {"mirror", cmd_mirror,
         "list|read|write|copy|verify FILE [--id N] [--src N] "
         "[--dst M[,M...]] [--offset O] [--length L] [--json]",
         "list, read, write, copy (resync) or compare the mirrors of a file\n"
         "  read: mirror --id to standard output from --offset for --length"
         "\n  write: standard input to mirror --id (at page-aligned "
         "--offset;\n    without one it becomes the whole mirror)\n"
         "  copy: mirror --src (0: the file) to each --dst, holes kept;\n"
         "    with --offset and --length only that range, holes written as"
         " zeros;\n    a progress bar on a terminal\n"
         "  verify: sizes and data against mirror 1 (holes that differ are"
         " noted);\n    exit status 117 when they differ\n"
         "  --json keys: list: file mirror size sparse data; read: file "
         "mirror offset\n    length hex; write: file mirror offset length;"
         " copy: file src dst [offset\n    copied]; verify: file mirror "
         "agrees [difference] [allocation]"},
        {"sparse", cmd_sparse, "FILE... [--json]",
         "tell whether each regular file is sparse, and its data extents\n"
         "  a line per file: FILE: [not ]sparse, size N, data "
         "OFFSET+LENGTH,...\n"
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
         "  each --advice starts an advice, --start and --end set its range"
         "\n  (from 0 to the end of the file unless given; --end not below"
         "\n  --start); the kernel's result of each lockahead is printed\n"
         "  --json keys, a line per advice: file advice start end [result]"},
        {"heat", cmd_heat, "get|set [--clear] [--off] [--on] FILE... [--json]",
         "print a file's access counts, or clear them and stop or restart "
         "counting\n"
         "  the simulated file system counts only the reads and writes of"
         "\n  descriptors opened by an absolute path\n"
         "  --json keys: get: file reads writes bytes_read bytes_written "
         "counting;\n    set: file flags"},
        {"nodemap", cmd_nodemap, "exists NAME [--json]",
         "tell whether a nodemap exists (exit status 0, else 2: ENOENT)\n"
         "  a NAME that is empty or holds /, .., or one of *?[]{}\\ is a"
         "\n  usage error (it names no nodemap)\n"
         "  --json keys: nodemap exists"},
        {"data-version", cmd_data_version, "[--json] FILE...",
         "print the data version of each file\n"
         "  a line per file: FILE: VERSION\n"
         "  --json keys: file data_version"},
        {"swap-layouts", cmd_swap_layouts,
         "[--json] FILE1 FILE2 [--keep-mtime] [--keep-atime] [--check-dv]",
         "exchange the data of two files, each keeping its FID and name\n"
         "  --check-dv: refused (EAGAIN) when either file is written "
         "meanwhile\n"
         "  --json keys: file1 file2 [data_version1 data_version2] swapped"},
        {"lease", cmd_lease,
         "[--json] get|put [--read|--write] FILE | check FILE",
         "take (and give back) a lease on an open of FILE, print its mode\n"
         "  --read (the default) or --write, not both\n"
         "  get: the mode held; put: the mode still held when given back\n"
         "  (none when broken meanwhile); check: the lease of a new open\n"
         "  --json keys: file mode"},
        {"pcc", cmd_pcc,
         "[--json] attach --id ID [--fid MOUNT] FILE... | detach|state "
         "[--fid MOUNT] FILE... | add|del MOUNT ID | clear|list MOUNT",
         "attach files to the client cache, detach them, show their "
         "state; configure the cache areas\n"
         "  with --fid MOUNT the operands are FIDs under MOUNT\n"
         "  state, a line per file: FILE: type=none, or FILE: "
         "type=readwrite\n    open_count=N flags=0xF path=COPY\n"
         "  list, a line per area: archive_id=ID root=DIR\n"
         "  --json keys: attach: file id; detach: file detached; state: "
         "file type\n    [open_count flags path]; add, del: mount action "
         "id; clear: mount\n    action; list: mount archive_id root"},
};

void print_usage(FILE *out)
{
	fprintf(out, "usage: zorvel COMMAND [ARGS]\n\ncommands:\n");
	for (const auto &cmd : commands) {
		/* The first line of the help; --help shows the rest. */
		int len = (int)strcspn(cmd.help, "\n");
		fprintf(out, "  %-16s %.*s\n", cmd.name, len, cmd.help);
	}
	fprintf(out,
	        "\n'zorvel COMMAND --help' tells more; --json gives one JSON "
	        "object a line.\n"
	        "exit status: 0 success, 1-253 the errno of the first failure,"
	        "\n  254 a failure that has no errno, 255 a usage error.\n");
}

} // namespace

void print_cmd_usage(const zorvel_cmd &cmd, bool to_stderr)
{
	FILE *out = to_stderr ? stderr : stdout;
	fprintf(out, "usage: zorvel %s %s\n  %s\n", cmd.name, cmd.usage,
	        cmd.help);
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
	for (const auto &cmd : commands) {
		if (strcmp(argv[1], cmd.name) != 0)
			continue;
		set_command_name(cmd.name);
		if (wants_help(argc - 1, argv + 1)) {
			print_cmd_usage(cmd, false);
			return finish_output(0);
		}
		return finish_output(cmd.run(argc - 1, argv + 1));
	}
	std::string what = "unknown command '" + escaped(argv[1]) + "'";
	return usage_error(what.c_str());
}
