/* The process's descriptors, for tests: how many are open, and what is
 * written to standard error. */
#ifndef ZVTEST_FDS_H
#define ZVTEST_FDS_H

#include <string>

namespace zvtest
{

/* Number of descriptors open in this process, -1 when unknown. */
int open_fd_count();

/* Owns a descriptor a test opened; closes it when it goes. */
struct fd_owner {
	int fd;
	explicit fd_owner(int f) : fd(f)
	{
	}
	~fd_owner();
	fd_owner(const fd_owner &) = delete;
	fd_owner &operator=(const fd_owner &) = delete;
};

/* Captures what is written to standard error (descriptor 2) from its
 * construction until finish(). */
class stderr_capture
{
      public:
	stderr_capture();
	~stderr_capture();
	stderr_capture(const stderr_capture &) = delete;
	stderr_capture &operator=(const stderr_capture &) = delete;
	/* Stops capturing and returns the text. */
	std::string finish();

      private:
	int saved_ = -1;
	int file_ = -1;
};

/* What f() writes to standard error. */
template <typename F>
std::string stderr_of(F &&f)
{
	stderr_capture capture;
	f();
	return capture.finish();
}

} // namespace zvtest

#endif
