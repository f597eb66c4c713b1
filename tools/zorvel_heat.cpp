/* Heat subcommands: heat get, heat set. */
#include "zorvel_cmd.h"
#include "zorvel_output.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace
{

/* The exit status, as each of these. */
int heat_get(const char *path, bool json)
{
	int fd = open_operand(path, O_RDONLY | O_NONBLOCK);
	if (fd < 0)
		return exit_status(fd);
	uint64_t rec[1 + ZO_HEAT_VALUES] = {};
	auto *heat = reinterpret_cast<struct zo_heat *>(rec);
	heat->zh_count = ZO_HEAT_VALUES;
	int rc = zvapi_heat_get(fd, heat);
	close(fd);
	if (rc != 0)
		return fail_path(rc, "get the heat of", path);
	const uint64_t *v = rec + 1;
	bool off = heat->zh_flags & ZO_HEAT_FLAG_OFF;
	char text[160];
	snprintf(text, sizeof text,
	         ": reads %" PRIu64 ", writes %" PRIu64 ", bytes read %" PRIu64
	         ", bytes written %" PRIu64 "%s\n",
	         v[ZO_HEAT_READ_SAMPLES], v[ZO_HEAT_WRITE_SAMPLES],
	         v[ZO_HEAT_READ_BYTES], v[ZO_HEAT_WRITE_BYTES],
	         off ? " (not counting)" : "");
	return print_answer(
	        json,
	        json_line()
	                .add("file", path)
	                .add_u64("reads", v[ZO_HEAT_READ_SAMPLES])
	                .add_u64("writes", v[ZO_HEAT_WRITE_SAMPLES])
	                .add_u64("bytes_read", v[ZO_HEAT_READ_BYTES])
	                .add_u64("bytes_written", v[ZO_HEAT_WRITE_BYTES])
	                .add_int("counting", !off),
	        escaped(path) + text);
}

int heat_set(const char *path, uint64_t flags, bool json)
{
	int fd = open_operand(path, O_RDONLY | O_NONBLOCK);
	if (fd < 0)
		return exit_status(fd);
	int rc = zvapi_heat_set(fd, flags);
	close(fd);
	if (rc != 0)
		return fail_path(rc, "set the heat flags of", path);
	return print_answer(
	        json, json_line().add("file", path).add_u64("flags", flags),
	        "");
}

/* heat get FILE... | heat set (--clear|--off|--on)... FILE... */
int cmd_heat(int argc, char **argv)
{
	bool json = take_json_flag(argc, argv);
	if (argc < 3)
		return missing_arguments();
	if (strcmp(argv[1], "get") && strcmp(argv[1], "set"))
		return usage_error("need get or set and a FILE");
	bool set = strcmp(argv[1], "set") == 0;
	uint64_t flags = 0;
	std::vector<const char *> files;
	bool options = true;
	for (int i = 2; i < argc; i++) {
		if (!options)
			files.push_back(argv[i]);
		else if (strcmp(argv[i], "--") == 0)
			options = false;
		else if (set && strcmp(argv[i], "--clear") == 0)
			flags |= ZO_HEAT_FLAG_CLEAR;
		else if (set && strcmp(argv[i], "--off") == 0)
			flags |= ZO_HEAT_FLAG_OFF;
		else if (set && strcmp(argv[i], "--on") == 0)
			flags |= ZO_HEAT_FLAG_ON;
		else if (argv[i][0] == '-' && strcmp(argv[i], "-") != 0)
			return usage_error("unknown option");
		else
			files.push_back(argv[i]);
	}
	if (files.empty() || (set && flags == 0))
		return usage_error(set ? "set needs --clear, --off "
		                         "or --on and a FILE"
		                       : "need a FILE");
	return each_operand(files, lost_output::go_on, [&](const char *f) {
		return set ? heat_set(f, flags, json) : heat_get(f, json);
	});
}

} // namespace

const zorvel_cmd heat_cmd = {
        .name = "heat",
        .run = cmd_heat,
        .usage = "get|set [--clear] [--off] [--on] FILE... [--json]",
        .help = "print a file's access counts, or clear "
                "them and stop or restart counting\n"
                "  the simulated file system counts "
                "only the reads and writes of\n"
                "  descriptors opened by an absolute path\n"
                "  --json keys: get: file reads writes "
                "bytes_read bytes_written counting;\n"
                "    set: file flags",
};
