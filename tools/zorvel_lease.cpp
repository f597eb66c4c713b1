/* Lease subcommands: lease get, check, put, each on an open file of the
 * command's own (a lease lives as long as the open file that took it). */
#include "zorvel_cmd.h"
#include "zorvel_output.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <unistd.h>

namespace
{

const char *mode_name(int mode)
{
	switch (mode) {
	case 0:
		return "none";
	case ZV_LEASE_RDLCK:
		return "read";
	case ZV_LEASE_WRLCK:
		return "write";
	default:
		return "unknown";
	}
}

/* The options of a lease subcommand (argv[0]): for get and put, --read
 * or --write (a read lease without one); one file after them into *path. */
int parse_args(int argc, char **argv, bool modes, int *mode, const char **path)
{
	static const option opts[] = {
	        {"write", no_argument, nullptr, 'w'},
	        {"read", no_argument, nullptr, 'r'},
	        {nullptr, 0, nullptr, 0},
	};
	int asked = 0;
	int c;
	optind = 1;
	opterr = 0;
	while ((c = getopt_long(argc, argv, ":", opts, nullptr)) != -1) {
		if ((c != 'w' && c != 'r') || !modes)
			return option_error(c == 'w' || c == 'r' ? '?' : c,
			                    argv);
		int want = c == 'w' ? ZV_LEASE_WRLCK : ZV_LEASE_RDLCK;
		if (asked != 0 && asked != want)
			return usage_error("--read or --write, not both");
		asked = want;
	}
	*mode = asked != 0 ? asked : ZV_LEASE_RDLCK;
	if (argc - optind != 1)
		return usage_error("one file is needed");
	*path = argv[optind];
	return 0;
}

/* The mode of a lease request's result, printed; or the failure. */
int report(const char *path, int rc, bool json, const char *what)
{
	if (rc < 0)
		return fail_path(rc, what, path);
	return print_answer(
	        json, json_line().add("file", path).add("mode", mode_name(rc)),
	        std::string(mode_name(rc)) + "\n");
}

/* get: take the lease and print the one the kernel reports held; put:
 * take it and give it back, printing what was still held at the release
 * ("none" when another opener broke it meanwhile); check: the lease of a
 * new open. */
int lease_op(int argc, char **argv, bool json, bool take, bool give_back)
{
	int mode = ZV_LEASE_RDLCK;
	const char *path = nullptr;
	if (int bad = parse_args(argc, argv, take, &mode, &path))
		return bad;
	int flags = mode == ZV_LEASE_WRLCK ? O_RDWR : O_RDONLY;
	int fd = open_operand(path, flags | O_NONBLOCK);
	if (fd < 0)
		return exit_status(fd);
	int rc = 0;
	const char *what = "check the lease of";
	if (take) {
		rc = zvapi_lease_acquire(fd, static_cast<zv_lease_mode>(mode));
		what = mode == ZV_LEASE_WRLCK ? "take a write lease on"
		                              : "take a read lease on";
	}
	if (rc == 0 && give_back) {
		rc = zvapi_lease_release(fd);
		what = "give back the lease of";
	} else if (rc == 0) {
		rc = zvapi_lease_check(fd);
	}
	close(fd);
	return report(path, rc, json, what);
}

int cmd_lease(int argc, char **argv)
{
	bool json = take_json_flag(argc, argv);
	if (argc < 2)
		return missing_arguments();
	if (strcmp(argv[1], "get") == 0)
		return lease_op(argc - 1, argv + 1, json, true, false);
	if (strcmp(argv[1], "put") == 0)
		return lease_op(argc - 1, argv + 1, json, true, true);
	if (strcmp(argv[1], "check") == 0)
		return lease_op(argc - 1, argv + 1, json, false, false);
	return usage_error("the action is get, check or put");
}

} // namespace

const zorvel_cmd lease_cmd = {
        .name = "lease",
        .run = cmd_lease,
        .usage = "[--json] get|put [--read|--write] FILE | check FILE",
        .help = "take (and give back) a lease on "
                "an open of FILE, print its mode\n"
                "  --read (the default) or --write, not both\n"
                "  get: the mode held; put: the "
                "mode still held when given back\n"
                "  (none when broken meanwhile); "
                "check: the lease of a new open\n"
                "  --json keys: file mode",
};
