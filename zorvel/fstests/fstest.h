/* Small helpers shared by the file system test programs. */
#ifndef ZORVEL_FSTESTS_FSTEST_H
#define ZORVEL_FSTESTS_FSTEST_H

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace fstest
{

/* perror(label), returning the errno of the failed call: the report itself
 * may change errno (a write to a closed pipe). */
inline int report(const char *label)
{
	int err = errno;
	perror(label);
	return err;
}

/* Descriptors 0, 1 and 2 that are closed are opened on /dev/null, so that
 * nothing the program opens takes their numbers and gets its output or
 * messages. Standard input is held write-only and the outputs read-only:
 * a read or write on one still fails with EBADF, as on the closed
 * descriptor. Without /dev/null the program cannot run safely: it ends
 * with the errno. Every program calls this first. */
inline void hold_standard_streams()
{
	/* From 0 up: with the lower ones open, the open takes this number. */
	for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
		if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
			continue;
		int held = open("/dev/null",
		                fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
		if (held == fd)
			continue;
		int err = held < 0 ? errno : EBADF;
		if (held >= 0)
			close(held);
		errno = err;
		exit(report("cannot hold a closed standard stream on "
		            "/dev/null"));
	}
}

/* A whole number in the given base (0: C notation, 0x for hexadecimal and
 * a leading 0 for octal) with nothing after it, within [min, max]. */
inline bool parse_number(const char *text, long long min, long long max,
                         long long &out, int base = 0)
{
	char *end = nullptr;
	errno = 0;
	long long v = strtoll(text, &end, base);
	if (errno != 0 || end == text || *end != '\0' || v < min || v > max)
		return false;
	out = v;
	return true;
}

/* A 32-bit unsigned number as parse_number reads it; a value that does
 * not fit 32 bits is refused rather than cut. */
inline bool parse_u32(const char *text, uint32_t &out, int base = 0)
{
	long long v;
	if (!parse_number(text, 0, UINT32_MAX, v, base))
		return false;
	out = static_cast<uint32_t>(v);
	return true;
}

/* An option's 32-bit value as parse_u32 reads it; on a refusal prints
 * "<prog>: invalid <what> '<text>'" and returns false. With flags set, all
 * ones (0xFFFFFFFF) is refused too, as the tools' flags options do. */
inline bool option_u32(const char *prog, const char *what, const char *text,
                       uint32_t &out, int base = 0, bool flags = false)
{
	if (parse_u32(text, out, base) && !(flags && out == UINT32_MAX))
		return true;
	fprintf(stderr, "%s: invalid %s '%s'\n", prog, what, text);
	return false;
}

} // namespace fstest

#endif
