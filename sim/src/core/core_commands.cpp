// zvsim commands of the core: injections and the request log.
#include "launcher/command.h"

#include <cstdio>
#include <cstring>

#include <zvsim/zvsim.h>

namespace zvsim::launcher
{

namespace
{

// inject CODE ERRNO [--always]
int cmd_inject(const char *state, int nargs, char **args)
{
	bool always = nargs == 3 && strcmp(args[2], "--always") == 0;
	unsigned long code;
	int err;
	if ((nargs != 2 && !always) || !parse_code(args[0], code) ||
	    !parse_errno(args[1], err))
		usage_error();
	if (attach(state))
		return 1;
	return report("inject", zvsim_inject_errno(code, err, always));
}

// reply CODE HEXBYTES [RESULT]
int cmd_reply(const char *state, int nargs, char **args)
{
	unsigned long code;
	std::string bytes;
	long long result = 0;
	if (nargs < 2 || nargs > 3 || !parse_code(args[0], code) ||
	    !parse_hex(args[1], bytes) ||
	    (nargs == 3 && !parse_long(args[2], result)))
		usage_error();
	if (attach(state))
		return 1;
	return report("reply",
	              zvsim_inject_reply(code, bytes.data(), bytes.size(),
	                                 static_cast<int>(result)));
}

int print_log()
{
	struct zvsim_request *reqs;
	size_t n;
	int rc = zvsim_log_read(&reqs, &n);
	if (rc < 0)
		return report("log", rc);
	std::string out;
	char buf[64];
	for (size_t k = 0; k < n; ++k) {
		snprintf(buf, sizeof buf, "%#lx %zu", reqs[k].code,
		         reqs[k].size);
		out += buf;
		if (reqs[k].nbytes)
			out += ' ';
		for (size_t b = 0; b < reqs[k].nbytes; ++b) {
			snprintf(buf, sizeof buf, "%02x", reqs[k].bytes[b]);
			out += buf;
		}
		out += '\n';
	}
	zvsim_log_free(reqs, n);
	return print(out);
}

// log [on|off]
int cmd_log(const char *state, int nargs, char **args)
{
	if (nargs > 1 ||
	    (nargs == 1 && strcmp(args[0], "on") && strcmp(args[0], "off")))
		usage_error();
	if (attach(state))
		return 1;
	if (nargs == 0)
		return print_log();
	return report("log", zvsim_log_enable(strcmp(args[0], "on") == 0));
}

int cmd_log_clear(const char *state, int nargs, char **)
{
	if (nargs != 0)
		usage_error();
	if (attach(state))
		return 1;
	return report("log-clear", zvsim_log_clear());
}

int cmd_clear_injections(const char *state, int nargs, char **)
{
	if (nargs != 0)
		usage_error();
	if (attach(state))
		return 1;
	return report("clear-injections", zvsim_clear_injections());
}

const Command commands[] = {
        {"inject", "CODE ERRNO [--always]", cmd_inject},
        {"reply", "CODE HEXBYTES [RESULT]", cmd_reply},
        {"log", "[on|off]", cmd_log},
        {"log-clear", "", cmd_log_clear},
        {"clear-injections", "", cmd_clear_injections},
};

const CommandGroup group{"core", commands};

} // namespace

} // namespace zvsim::launcher
