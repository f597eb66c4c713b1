/* Running a program as a user runs it, for tests. */
#ifndef ZVTEST_RUN_H
#define ZVTEST_RUN_H

#include <string>
#include <vector>

namespace zvtest
{

/* Outcome of a program run. */
struct run_result {
	int status; /* exit status, or 128 + signal */
	std::string out;
	std::string err;
};

/* Runs argv (argv[0] a path) with standard input from /dev/null, in this
 * process's environment changed by env: "NAME=VALUE" sets a variable,
 * "NAME" alone removes it. */
run_result run_program(const std::vector<std::string> &argv,
                       const std::vector<std::string> &env = {});

/* Runs cmd with /bin/sh -c; out is its standard output (err stays empty:
 * redirect in cmd). */
run_result run_shell(const std::string &cmd);

/* s quoted for the shell. */
std::string shell_quote(const std::string &s);

} // namespace zvtest

#endif
