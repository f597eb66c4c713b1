/* Advice subcommand: ladvise, several advices in one request. */
#include "zorvel_cmd.h"
#include "zorvel_output.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

const char *const advice_names[] = {nullptr, "willread", "dontneed",
                                    "locknoexpand", "lockahead"};

int advice_type(const char *name)
{
	for (int t = ZO_LADVISE_WILLREAD; t < ZO_LADVISE_MAX; t++)
		if (strcmp(name, advice_names[t]) == 0)
			return t;
	return -1;
}

/* Each --advice starts an entry; --start and --end set its range. */
int cmd_ladvise(int argc, char **argv)
{
	static const struct option longopts[] = {
	        {"json", no_argument, nullptr, 'j'},
	        {"advice", required_argument, nullptr, 'a'},
	        {"start", required_argument, nullptr, 's'},
	        {"end", required_argument, nullptr, 'e'},
	        {"async", no_argument, nullptr, 'A'},
	        {"unset", no_argument, nullptr, 'u'},
	        {nullptr, 0, nullptr, 0},
	};
	std::vector<zvapi_zo_ladvise> adv;
	uint64_t flags = 0;
	bool json = false;
	optind = 1;
	opterr = 0;
	int c;
	while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
		uint64_t v = 0;
		switch (c) {
		case 'j':
			json = true;
			break;
		case 'A':
			flags |= LF_ASYNC;
			break;
		case 'u':
			flags |= LF_UNSET;
			break;
		case 'a': {
			int t = advice_type(optarg);
			if (t < 0)
				return usage_error("unknown advice");
			zvapi_zo_ladvise e = {};
			e.zla_advice = t;
			e.zla_end = UINT64_MAX;
			adv.push_back(e);
			break;
		}
		case 's':
		case 'e':
			if (adv.empty() || !parse_u64(optarg, v))
				return usage_error(
				        "--start and --end follow an "
				        "--advice and take a number");
			(c == 's' ? adv.back().zla_start : adv.back().zla_end) =
			        v;
			break;
		default:
			return usage_error("unknown option or missing value");
		}
	}
	if (optind == argc && adv.empty())
		return missing_arguments();
	if (optind != argc - 1 || adv.empty())
		return usage_error("need one FILE and an --advice");
	for (const auto &e : adv)
		if (e.zla_end < e.zla_start)
			return usage_error("an --end is below its --start");
	const char *path = argv[optind];
	std::string name = escaped(path);
	int fd = open_operand(path, O_RDONLY | O_NONBLOCK);
	if (fd < 0)
		return exit_status(fd);
	int rc = zvapi_ladvise(fd, flags, adv.size(), adv.data());
	int err = errno;
	close(fd);
	if (rc != 0)
		return fail_path(err, "advise on", path);
	for (const auto &e : adv) {
		bool ahead = e.zla_advice == ZO_LADVISE_LOCKAHEAD;
		if (json) {
			json_line line;
			line.add("file", path)
			        .add("advice", advice_names[e.zla_advice])
			        .add_u64("start", e.zla_start)
			        .add_u64("end", e.zla_end);
			if (ahead)
				line.add_u64("result", e.zla_value3);
			if ((rc = line.write()) != 0)
				return exit_status(rc);
		} else if (ahead) {
			out_printf("%s: lockahead %" PRIu64 "-%" PRIu64
			           ": result %u\n",
			           name.c_str(), (uint64_t)e.zla_start,
			           (uint64_t)e.zla_end, e.zla_value3);
		}
	}
	return 0;
}

} // namespace

const zorvel_cmd ladvise_cmd = {
        .name = "ladvise",
        .run = cmd_ladvise,
        .usage = "FILE --advice willread|dontneed|locknoexpand|lockahead "
                 "[--start S] [--end E]... [--async] [--unset] [--json]",
        .help = "give several advices on byte ranges in one request\n"
                "  each --advice starts an advice, "
                "--start and --end set its range\n"
                "  (from 0 to the end of the file "
                "unless given; --end not below\n"
                "  --start); the kernel's result "
                "of each lockahead is printed\n"
                "  --json keys, a line per advice: "
                "file advice start end [result]",
};
