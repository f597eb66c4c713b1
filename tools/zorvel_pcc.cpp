/* Client cache subcommands: pcc attach, detach and state of files (by
 * path, or by FID under a mount with --fid), and pcc add, del, clear and
 * list of the cache areas of a mount. */
#include "zorvel_cmd.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <unistd.h>

namespace
{

const char *const name = "pcc";

int usage(const char *what)
{
	return usage_error(name, what);
}

/* An archive id: a 32-bit number in any C base. */
bool to_id(const char *text, uint32_t *id)
{
	char *end;
	errno = 0;
	unsigned long long v = strtoull(text, &end, 0);
	if (errno != 0 || end == text || *end != '\0' || text[0] == '-' ||
	    v > UINT32_MAX)
		return false;
	*id = static_cast<uint32_t>(v);
	return true;
}

/* The options of the file subcommands: --fid MOUNT and, for attach,
 * --id ID (required). The files or FIDs start at optind. */
struct FileArgs {
	const char *mount = nullptr;
	uint32_t id = 0;
	bool has_id = false;
};

int parse_file_args(int argc, char **argv, bool wants_id, FileArgs *out)
{
	static const option opts[] = {
	        {"fid", required_argument, nullptr, 'f'},
	        {"id", required_argument, nullptr, 'i'},
	        {nullptr, 0, nullptr, 0},
	};
	int c;
	optind = 1;
	opterr = 0;
	while ((c = getopt_long(argc, argv, "", opts, nullptr)) != -1) {
		if (c == 'f') {
			out->mount = optarg;
		} else if (c == 'i' && wants_id) {
			if (!to_id(optarg, &out->id))
				return usage("bad --id");
			out->has_id = true;
		} else {
			return usage("unknown option");
		}
	}
	if (wants_id && !out->has_id)
		return usage("attach needs --id ID");
	if (optind == argc)
		return usage("missing files");
	return 0;
}

/* Runs one(args, file, prefixed) on each file after the options; the
 * exit status of the first failure, each reported by one. */
template <typename One>
int each_file(int argc, char **argv, bool wants_id, One one)
{
	FileArgs a;
	int rc = parse_file_args(argc, argv, wants_id, &a);
	if (rc != 0)
		return rc;
	int status = 0;
	for (int i = optind; i < argc; i++) {
		rc = one(a, argv[i], argc - optind > 1);
		if (rc != 0 && status == 0)
			status = exit_status(rc);
	}
	return status;
}

/* The library reports every failure of an attach. */
int attach_one(const FileArgs &a, const char *file, bool)
{
	return a.mount ? zvapi_pcc_attach_fid_str(a.mount, file, a.id,
	                                          ZO_PCC_READWRITE)
	               : zvapi_pcc_attach(file, a.id, ZO_PCC_READWRITE);
}

int detach_one(const FileArgs &a, const char *file, bool)
{
	int rc = a.mount ? zvapi_pcc_detach_fid_str(a.mount, file, 0)
	                 : zvapi_pcc_detach_file(file, 0);
	/* A refused detach request is -1 with errno set. */
	if (rc == -1) {
		rc = -errno;
		zvapi_error(ZVAPI_MSG_ERROR, rc, "cannot detach '%s'", file);
	}
	return rc;
}

/* The state of one file, by path or by FID under mount. */
int state_of(const char *mount, const char *file, zo_pcc_state *st)
{
	if (mount == nullptr)
		return zvapi_pcc_state_get(file, st);
	zo_fid fid;
	int rc = zvapi_fid_parse(file, &fid, nullptr);
	if (rc != 0)
		return rc;
	int fd = zvapi_open_by_fid(mount, &fid, O_RDONLY | O_NONBLOCK);
	if (fd < 0)
		return fd;
	rc = zvapi_pcc_state_get_fd(fd, st);
	close(fd);
	return rc;
}

int state_one(const FileArgs &a, const char *file, bool prefixed)
{
	zo_pcc_state st;
	int rc = state_of(a.mount, file, &st);
	if (rc != 0) {
		zvapi_error(ZVAPI_MSG_ERROR, rc,
		            "cannot get the cache state of '%s'", file);
		return rc;
	}
	if (prefixed)
		printf("%s: ", file);
	if (st.pccs_type == ZO_PCC_NONE) {
		printf("type=none\n");
		return 0;
	}
	st.pccs_path[sizeof(st.pccs_path) - 1] = '\0';
	printf("type=%s open_count=%u flags=%#x path=%s\n",
	       st.pccs_type == ZO_PCC_READWRITE ? "readwrite" : "unknown",
	       st.pccs_open_count, st.pccs_flags, st.pccs_path);
	return 0;
}

/* add MOUNT ID, del MOUNT ID, clear MOUNT: one command to the mount's
 * cache configuration. */
int pcc_config(int argc, char **argv)
{
	bool clear = strcmp(argv[0], "clear") == 0;
	uint32_t id = 0;
	if (argc != (clear ? 2 : 3) || (!clear && !to_id(argv[2], &id)))
		return usage(clear ? "clear needs a mount"
		                   : "add and del need a mount and an id");
	std::string cmd =
	        clear ? "clear"
	              : std::string(argv[0]) + " " + std::to_string(id);
	return exit_status(zvapi_pccdev_set(argv[1], cmd.c_str()));
}

int pcc_list(int argc, char **argv)
{
	if (argc != 2)
		return usage("list needs a mount");
	return exit_status(zvapi_pccdev_get(argv[1]));
}

} // namespace

int cmd_pcc(int argc, char **argv)
{
	if (argc < 2)
		return usage("missing arguments");
	const char *sub = argv[1];
	argc--;
	argv++;
	if (strcmp(sub, "attach") == 0)
		return each_file(argc, argv, true, attach_one);
	if (strcmp(sub, "detach") == 0)
		return each_file(argc, argv, false, detach_one);
	if (strcmp(sub, "state") == 0)
		return each_file(argc, argv, false, state_one);
	if (strcmp(sub, "add") == 0 || strcmp(sub, "del") == 0 ||
	    strcmp(sub, "clear") == 0)
		return pcc_config(argc, argv);
	if (strcmp(sub, "list") == 0)
		return pcc_list(argc, argv);
	return usage("attach, detach, state, add, del, clear or list");
}
