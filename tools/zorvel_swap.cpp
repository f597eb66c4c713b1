/* Data versions and layout swaps: data-version, swap-layouts. */
#include "zorvel_cmd.h"
#include "zorvel_output.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

/* The data version of the file at path into *dv; 0 or the exit status
 * after its message. */
int data_version_of(const char *path, uint64_t *dv)
{
	int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	int rc = fd < 0 ? -errno : zvapi_get_data_version(fd, dv, 0);
	if (fd >= 0)
		close(fd);
	if (rc != 0)
		return fail_path(rc, "get the data version of", path);
	return 0;
}

int data_version_one(const char *file, bool json)
{
	uint64_t dv;
	if (int rc = data_version_of(file, &dv))
		return rc;
	return print_answer(
	        json, json_line().add("file", file).add_u64("data_version", dv),
	        escaped(file) + ": " + std::to_string(dv) + "\n");
}

int cmd_data_version(int argc, char **argv)
{
	return operand_command(argc, argv, lost_output::stop, data_version_one);
}

int cmd_swap_layouts(int argc, char **argv)
{
	static const option opts[] = {
	        {"keep-mtime", no_argument, nullptr, 'm'},
	        {"keep-atime", no_argument, nullptr, 'a'},
	        {"check-dv", no_argument, nullptr, 'c'},
	        {"json", no_argument, nullptr, 'j'},
	        {nullptr, 0, nullptr, 0},
	};
	uint64_t flags = 0;
	bool check = false, json = false;
	int c;
	optind = 1;
	opterr = 0;
	while ((c = getopt_long(argc, argv, ":", opts, nullptr)) != -1) {
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
		case 'j':
			json = true;
			break;
		default:
			return option_error(c, argv);
		}
	}
	if (optind == argc)
		return missing_arguments();
	if (argc - optind != 2)
		return usage_error("two files are needed");
	const char *f1 = argv[optind], *f2 = argv[optind + 1];
	uint64_t dv1 = 0, dv2 = 0;
	/* The versions seen now: a writer between here and the swap makes
	 * the kernel refuse it. */
	if (check) {
		int rc = data_version_of(f1, &dv1);
		if (rc == 0)
			rc = data_version_of(f2, &dv2);
		if (rc != 0)
			return rc;
		flags |= ZV_SWAP_CHECK_DV1 | ZV_SWAP_CHECK_DV2;
	}
	int rc = zvapi_swap_layouts(f1, f2, dv1, dv2, flags);
	if (rc != 0)
		return fail(rc, "cannot swap the layouts of '%s' and '%s'%s",
		            escaped(f1).c_str(), escaped(f2).c_str(),
		            check && rc == -EAGAIN ? " (a data version changed)"
		                                   : "");
	if (!json)
		return 0;
	json_line line;
	line.add("file1", f1).add("file2", f2);
	if (check)
		line.add_u64("data_version1", dv1)
		        .add_u64("data_version2", dv2);
	return exit_status(line.add_int("swapped", 1).write());
}

} // namespace

const zorvel_cmd data_version_cmd = {
        .name = "data-version",
        .run = cmd_data_version,
        .usage = "[--json] FILE...",
        .help = "print the data version of each file\n"
                "  a line per file: FILE: VERSION\n"
                "  --json keys: file data_version",
};

const zorvel_cmd swap_layouts_cmd = {
        .name = "swap-layouts",
        .run = cmd_swap_layouts,
        .usage = "[--json] FILE1 FILE2 [--keep-mtime] "
                 "[--keep-atime] [--check-dv]",
        .help = "exchange the data of two files, "
                "each keeping its FID and name\n"
                "  --check-dv: refused (EAGAIN) when "
                "either file is written meanwhile\n"
                "  --json keys: file1 file2 "
                "[data_version1 data_version2] swapped",
};
