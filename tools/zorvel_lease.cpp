/* Lease subcommands: lease get, check, put, each on an open file of the
 * command's own (a lease lives as long as the open file that took it). */
#include "zorvel_cmd.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
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

/* --write, or a read lease. */
int parse_mode(int argc, char **argv, int *mode)
{
	static const option opts[] = {
	        {"write", no_argument, nullptr, 'w'},
	        {"read", no_argument, nullptr, 'r'},
	        {nullptr, 0, nullptr, 0},
	};
	*mode = ZV_LEASE_RDLCK;
	int c;
	optind = 1;
	opterr = 0;
	while ((c = getopt_long(argc, argv, "", opts, nullptr)) != -1) {
		if (c == 'w')
			*mode = ZV_LEASE_WRLCK;
		else if (c == 'r')
			*mode = ZV_LEASE_RDLCK;
		else
			return usage_error("lease", "unknown option");
	}
	if (argc - optind != 1)
		return usage_error("lease", "one file is needed");
	return 0;
}

/* An open of path that can hold a lease of mode, or a negative errno
 * (reported). */
int open_for(const char *path, int mode)
{
	int flags = mode == ZV_LEASE_WRLCK ? O_RDWR : O_RDONLY;
	int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC);
	if (fd >= 0)
		return fd;
	fd = -errno;
	zvapi_error(ZVAPI_MSG_ERROR, fd, "cannot open '%s'", path);
	return fd;
}

/* get: take the lease and print the one the kernel reports held; put:
 * take it and give it back, printing what was still held at the release
 * ("none" when another opener broke it meanwhile). */
int take(int argc, char **argv, bool give_back)
{
	int mode;
	int rc = parse_mode(argc, argv, &mode);
	if (rc != 0)
		return rc;
	const char *path = argv[optind];
	int fd = open_for(path, mode);
	if (fd < 0)
		return exit_status(fd);
	rc = zvapi_lease_acquire(fd, static_cast<zv_lease_mode>(mode));
	if (rc == 0)
		rc = give_back ? zvapi_lease_release(fd)
		               : zvapi_lease_check(fd);
	close(fd);
	if (rc < 0)
		return exit_status(rc);
	printf("%s\n", mode_name(rc));
	return 0;
}

int check(int argc, char **argv)
{
	if (argc != 2 || argv[1][0] == '-')
		return usage_error("lease", "check needs one file");
	int fd = open_for(argv[1], ZV_LEASE_RDLCK);
	if (fd < 0)
		return exit_status(fd);
	int rc = zvapi_lease_check(fd);
	close(fd);
	if (rc < 0)
		return exit_status(rc);
	printf("%s\n", mode_name(rc));
	return 0;
}

} // namespace

int cmd_lease(int argc, char **argv)
{
	if (argc < 2)
		return usage_error(argv[0], "missing arguments");
	if (strcmp(argv[1], "get") == 0)
		return take(argc - 1, argv + 1, false);
	if (strcmp(argv[1], "put") == 0)
		return take(argc - 1, argv + 1, true);
	if (strcmp(argv[1], "check") == 0)
		return check(argc - 1, argv + 1);
	return usage_error(argv[0], "get, check or put");
}
