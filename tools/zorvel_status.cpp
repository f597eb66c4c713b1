#include "zorvel_status.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace
{

const char *current = "";

/* Linux errno values stay below this; larger codes are not errnos. */
constexpr int max_errno = 253;

} // namespace

void set_command_name(const char *name)
{
	current = name;
}

const char *command_name()
{
	return current;
}

int exit_status(int rc)
{
	if (rc == 0)
		return 0;
	if (rc < 0 && rc >= -max_errno)
		return -rc;
	if (rc > 0 && rc <= max_errno)
		return rc;
	return ZV_EXIT_OTHER;
}

static void prefix()
{
	fprintf(stderr, current[0] ? "zorvel %s: " : "zorvel: ", current);
}

int usage_error(const char *what)
{
	prefix();
	if (current[0])
		fprintf(stderr, "%s (see 'zorvel %s --help')\n", what, current);
	else
		fprintf(stderr, "%s (see 'zorvel --help')\n", what);
	return ZV_EXIT_USAGE;
}

int missing_arguments()
{
	return usage_error("missing arguments");
}

int fail(int rc, const char *fmt, ...)
{
	int saved = errno;
	prefix();
	va_list ap;
	va_start(ap, fmt);
	vfprintf(stderr, fmt, ap);
	va_end(ap);
	int err = rc < 0 ? -rc : rc;
	if (err != 0)
		fprintf(stderr, ": %s (%d)", strerror(err), err);
	fputc('\n', stderr);
	errno = saved;
	return rc == 0 ? ZV_EXIT_OTHER : exit_status(rc);
}

std::string escaped(const char *name)
{
	std::string out;
	for (const unsigned char *p = (const unsigned char *)name; *p; p++) {
		if (*p == '\\')
			out += "\\\\";
		else if (*p == '\n')
			out += "\\n";
		else if (*p == '\t')
			out += "\\t";
		else if (*p < 0x20 || *p == 0x7f) {
			char buf[8];
			snprintf(buf, sizeof buf, "\\%03o", *p);
			out += buf;
		} else
			out += char(*p);
	}
	return out;
}
