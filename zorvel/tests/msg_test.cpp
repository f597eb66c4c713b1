/* Messages: their format, and the level that lets them through. */
#include "wire_words.h"
#include "zvtest/fds.h"

#include <gtest/gtest.h>

#include <zorvel/zorvelapi.h>

#include <cerrno>

namespace
{

using zvtest::stderr_capture;

using wiretest::prog;

TEST(Msg, FormatWithAndWithoutErrorNumber)
{
	stderr_capture cap;
	errno = EBUSY;
	zvapi_error(ZVAPI_MSG_ERROR, -ENOENT, "cannot open '%s'", "x");
	EXPECT_EQ(errno, EBUSY) << "errno is preserved";
	zvapi_error(ZVAPI_MSG_ERROR, ENOENT, "positive %d", 2);
	zvapi_error(ZVAPI_MSG_ERROR | ZVAPI_MSG_NO_ERRNO, -ENOENT,
	            "no number\n");
	zvapi_error(ZVAPI_MSG_WARN, 0, "plain");
	EXPECT_EQ(cap.finish(),
	          prog() +
	                  ": cannot open 'x': No such file or directory (2)\n" +
	                  prog() +
	                  ": positive 2: No such file or directory (2)\n" +
	                  prog() + ": no number\n" + prog() + ": plain\n");
}

TEST(Msg, LevelThreshold)
{
	int old = zvapi_msg_set_level(ZVAPI_MSG_WARN);
	EXPECT_EQ(zvapi_msg_get_level(), ZVAPI_MSG_WARN);
	stderr_capture cap;
	zvapi_error(ZVAPI_MSG_INFO, 0, "hidden");
	zvapi_error(ZVAPI_MSG_WARN | ZVAPI_MSG_NO_ERRNO, 0, "shown");
	zvapi_msg_set_level(ZVAPI_MSG_OFF);
	zvapi_error(ZVAPI_MSG_FATAL, 0, "off");
	EXPECT_EQ(cap.finish(), prog() + ": shown\n");
	EXPECT_EQ(zvapi_msg_set_level(99), ZVAPI_MSG_OFF);
	EXPECT_EQ(zvapi_msg_get_level(), ZVAPI_MSG_DEBUG) << "clamped";
	zvapi_msg_set_level(old);
}

} // namespace
