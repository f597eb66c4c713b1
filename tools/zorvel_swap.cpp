/* Data versions and layout swaps: data-version, swap-layouts. */
#include "zorvel_cmd.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

namespace
{

/* The data version of the file at path into *dv; 0 or a negative errno,
 * reported. */
int data_version_of(const char *path, uint64_t *dv)
{
	int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	int rc = fd < 0 ? -errno : zvapi_get_data_version(fd, dv, 0);
	if (fd >= 0)
		close(fd);
	if (rc != 0)
		zvapi_error(ZVAPI_MSG_ERROR, rc,
		            "cannot get the data version of '%s'", path);
	return rc;
}

} // namespace

int cmd_data_version(int argc, char **argv)
{
	if (argc < 2)
		return usage_error(argv[0], "missing arguments");
	int status = 0;
	for (int i = 1; i < argc; i++) {
		uint64_t dv;
		int rc = data_version_of(argv[i], &dv);
		if (rc != 0) {
			if (status == 0)
				status = exit_status(rc);
			continue;
		}
		if (argc > 2)
			printf("%s: ", argv[i]);
		printf("%llu\n", (unsigned long long)dv);
	}
	return status;
}

int cmd_swap_layouts(int argc, char **argv)
{
	static const option opts[] = {
	        {"keep-mtime", no_argument, nullptr, 'm'},
	        {"keep-atime", no_argument, nullptr, 'a'},
	        {"check-dv", no_argument, nullptr, 'c'},
	        {nullptr, 0, nullptr, 0},
	};
	uint64_t flags = 0;
	bool check = false;
	int c;
	optind = 1;
	opterr = 0;
	while ((c = getopt_long(argc, argv, "", opts, nullptr)) != -1) {
		switch (c) {
		case 'm':
			flags |= ZV_SWAP_KEEP_MTIME;
			break;
		case 'a':
			flags |= ZV_SWAP_KEEP_ATIME;
			break;
		case 'c':
			check = true;
			break;
		default:
			return usage_error(argv[0], "unknown option");
		}
	}
	if (argc - optind != 2)
		return usage_error(argv[0], "two files are needed");
	const char *f1 = argv[optind], *f2 = argv[optind + 1];
	uint64_t dv1 = 0, dv2 = 0;
	/* The versions seen now: a writer between here and the swap makes
	 * the kernel refuse it. */
	if (check) {
		int rc = data_version_of(f1, &dv1);
		if (rc == 0)
			rc = data_version_of(f2, &dv2);
		if (rc != 0)
			return exit_status(rc);
		flags |= ZV_SWAP_CHECK_DV1 | ZV_SWAP_CHECK_DV2;
	}
	return exit_status(zvapi_swap_layouts(f1, f2, dv1, dv2, flags));
}
