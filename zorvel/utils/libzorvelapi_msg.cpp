/* Error and message reporting of the client library. */
#include "zorvelapi_internal.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace
{

std::atomic<int> msg_level{ZVAPI_MSG_INFO};

int clamp_level(int level)
{
	if (level < ZVAPI_MSG_OFF)
		return ZVAPI_MSG_OFF;
	if (level >= ZVAPI_MSG_MAX)
		return ZVAPI_MSG_MAX - 1;
	return level;
}

} // namespace

ZV_EXPORT int zvapi_msg_set_level(int level)
{
	return msg_level.exchange(clamp_level(level));
}

ZV_EXPORT int zvapi_msg_get_level(void)
{
	return msg_level.load();
}

/*
 * The whole line is formed first and written with one call, so messages of
 * concurrent threads do not interleave. A trailing line end of the format
 * is dropped so that every message is exactly one line.
 */
ZV_EXPORT void zvapi_error(int level, int errcode, const char *fmt, ...)
{
	int saved_errno = errno;
	int threshold = msg_level.load();
	int msg = level & ZVAPI_MSG_MASK;

	if (threshold == ZVAPI_MSG_OFF || msg > threshold || fmt == nullptr) {
		errno = saved_errno;
		return;
	}

	char *text = nullptr;
	va_list args;
	va_start(args, fmt);
	int len = vasprintf(&text, fmt, args);
	va_end(args);
	if (len < 0) {
		text = nullptr;
		len = 0;
	}
	while (len > 0 && text[len - 1] == '\n')
		text[--len] = '\0';

	const char *body = text ? text : fmt;
	if (errcode != 0 && !(level & ZVAPI_MSG_NO_ERRNO)) {
		int err = errcode < 0 ? -errcode : errcode;
		fprintf(stderr, "%s: %s: %s (%d)\n",
		        program_invocation_short_name, body, strerror(err),
		        err);
	} else {
		fprintf(stderr, "%s: %s\n", program_invocation_short_name,
		        body);
	}
	free(text);
	errno = saved_errno;
}
