/* Small helpers shared by the file system test programs. */
#ifndef ZORVEL_FSTESTS_FSTEST_H
#define ZORVEL_FSTESTS_FSTEST_H

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

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

/* A 32-bit number in C notation (0x for hexadecimal, 0 for octal) with
 * nothing after it; a value that does not fit 32 bits is refused rather
 * than cut. */
inline bool parse_u32(const char *text, uint32_t &out, int base = 0)
{
	char *end = nullptr;
	errno = 0;
	unsigned long long v = strtoull(text, &end, base);
	if (errno != 0 || end == text || *end != '\0' || v > UINT32_MAX ||
	    text[0] == '-')
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
