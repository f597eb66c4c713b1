// The check of every fuzz target: a promise the code under test broke is
// said on standard error, after the program's name, and aborts, so that
// the fuzzer keeps the input that broke it.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>

inline void require(bool ok, const char *what, const char *input = nullptr)
{
	if (ok)
		return;
	if (input)
		fprintf(stderr, "%s: %s (input \"%s\")\n",
		        program_invocation_short_name, what, input);
	else
		fprintf(stderr, "%s: %s\n", program_invocation_short_name,
		        what);
	abort();
}
