/* Exit statuses and messages of the zorvel front end, the same in every
 * subcommand:
 *   0        success
 *   1-253    the errno of the first failure (EPERM is 1, ENOENT 2, ...;
 *            mirror verify answers EUCLEAN, 117, for differences)
 *   254      a failure whose code is no errno
 *   255      a usage error: nothing was done
 * Each failure writes one line to standard error:
 *   "zorvel COMMAND: WHAT: ERROR TEXT (ERRNO)". */
#ifndef ZORVEL_TOOLS_ZORVEL_STATUS_H
#define ZORVEL_TOOLS_ZORVEL_STATUS_H

#include <string>

#define ZV_EXIT_USAGE  255
#define ZV_EXIT_OTHER  254
#define ZV_EXIT_DIFFER 117

/* The subcommand named in messages ("" before one is chosen). */
void set_command_name(const char *name);
const char *command_name();

/* Exit status of a result: 0, a negative or positive errno, or anything
 * else (ZV_EXIT_OTHER). */
int exit_status(int rc);

/* "zorvel CMD: WHAT (see 'zorvel CMD --help')"; returns ZV_EXIT_USAGE. */
int usage_error(const char *what);
/* The one message of missing operands. */
int missing_arguments();

/* One failure line, with the error text of rc when rc is not 0; returns
 * exit_status(rc), or ZV_EXIT_OTHER when rc is 0. */
int fail(int rc, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

/* The status of a command that goes on after failures: the first one. */
class first_failure
{
      public:
	void note(int status)
	{
		if (status_ == 0)
			status_ = status;
	}
	int status() const
	{
		return status_;
	}

      private:
	int status_ = 0;
};

/* A name as the text form prints it: backslash, newline, tab and other
 * control characters as C escapes (\\, \n, \t, \ooo), so that each record
 * stays one line. */
std::string escaped(const char *name);

#endif
