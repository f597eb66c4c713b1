/* Sparse-file subcommands: sparse (holes and data of files), punch. */
#include "zorvel_cmd.h"
#include "zorvel_output.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

/* The exit status. */
int sparse_one(const char *path, bool json)
{
	int fd = open_operand(path, O_RDONLY | O_NONBLOCK);
	if (fd < 0)
		return exit_status(fd);
	std::string name = escaped(path);
	struct stat st;
	std::string data;
	int rc = fstat(fd, &st) == 0 ? 0 : -errno;
	/* Only a regular file has holes; the seeks answer nonsense on the
	 * others (a directory: data from 0 to the largest offset). */
	if (rc == 0 && !S_ISREG(st.st_mode)) {
		close(fd);
		rc = S_ISDIR(st.st_mode) ? -EISDIR : -EINVAL;
		return fail(rc, "cannot find the data of '%s'%s", name.c_str(),
		            rc == -EINVAL ? ", which is no regular file" : "");
	}
	bool sparse = rc == 0 && zvapi_file_is_sparse(fd);
	if (rc == 0)
		rc = data_extents(
		        [&](int64_t pos, size_t *len) {
			        return zvapi_data_seek(fd, pos, len);
		        },
		        data);
	close(fd);
	if (rc != 0)
		return fail(rc, "cannot find the data of '%s'", name.c_str());
	return print_answer(json,
	                    json_line()
	                            .add("file", path)
	                            .add_int("sparse", sparse)
	                            .add_u64("size", st.st_size)
	                            .add("data", data),
	                    name + ": " + (sparse ? "sparse" : "not sparse") +
	                            ", size " + std::to_string(st.st_size) +
	                            ", data " + data + "\n");
}

int cmd_sparse(int argc, char **argv)
{
	return operand_command(argc, argv, lost_output::go_on, sparse_one);
}

/* punch FILE OFFSET LENGTH [--id N]: with --id, in that mirror alone. */
int cmd_punch(int argc, char **argv)
{
	bool json = take_json_flag(argc, argv);
	uint64_t id = 0;
	std::vector<const char *> ops;
	bool options = true;
	for (int i = 1; i < argc; i++) {
		if (options && strcmp(argv[i], "--") == 0) {
			options = false;
		} else if (options && strcmp(argv[i], "--id") == 0) {
			if (i + 1 == argc || !parse_u64(argv[++i], id) ||
			    id < 1 || id > UINT32_MAX)
				return usage_error("bad mirror id");
		} else {
			ops.push_back(argv[i]);
		}
	}
	if (ops.size() < 3)
		return missing_arguments();
	if (ops.size() != 3)
		return usage_error("need FILE OFFSET LENGTH [--id N]");
	uint64_t off, len;
	if (!parse_u64(ops[1], off) || off > INT64_MAX ||
	    !parse_u64(ops[2], len))
		return usage_error("bad OFFSET or LENGTH");
	const char *path = ops[0];
	int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
	int rc = fd < 0    ? -errno
	         : id == 0 ? zvapi_hole_punch(fd, off, len)
	                   : zvapi_mirror_punch(fd, id, off, len);
	if (fd >= 0)
		close(fd);
	if (rc != 0) {
		fail(rc, "cannot punch %" PRIu64 "+%" PRIu64 " in '%s'", off,
		     len, escaped(path).c_str());
		return exit_status(rc);
	}
	if (json)
		return exit_status(json_line()
		                           .add("file", path)
		                           .add_u64("mirror", id)
		                           .add_u64("offset", off)
		                           .add_u64("length", len)
		                           .write());
	return 0;
}

} // namespace

const zorvel_cmd sparse_cmd = {
        .name = "sparse",
        .run = cmd_sparse,
        .usage = "FILE... [--json]",
        .help = "tell whether each regular file "
                "is sparse, and its data extents\n"
                "  a line per file: FILE: [not ]sparse, "
                "size N, data OFFSET+LENGTH,...\n"
                "  --json keys: file sparse size "
                "data (\"offset+length,...\" or \"-\")",
};

const zorvel_cmd punch_cmd = {
        .name = "punch",
        .run = cmd_punch,
        .usage = "FILE OFFSET LENGTH [--id N] [--json]",
        .help = "punch a hole, keeping the size "
                "(with --id, in that mirror alone)\n"
                "  --json keys: file mirror (0: the file) offset length",
};
