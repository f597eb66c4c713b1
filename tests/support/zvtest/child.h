/* Another process of the same simulation, for tests of what one process
 * sees of another's requests. */
#ifndef ZVTEST_CHILD_H
#define ZVTEST_CHILD_H

#include <cerrno>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace zvtest
{

/* A child started now that runs fn(); killed when its owner goes before
 * wait() was called. */
class child
{
      public:
	template <typename F>
	explicit child(F &&fn)
	{
		pid_ = fork();
		if (pid_ == 0)
			_exit(fn());
	}
	~child()
	{
		if (pid_ > 0) {
			kill(pid_, SIGKILL);
			wait();
		}
	}
	child(const child &) = delete;
	child &operator=(const child &) = delete;
	pid_t pid() const
	{
		return pid_;
	}
	/* Exit status as in_child(). */
	int wait()
	{
		int status = 0;
		if (pid_ <= 0)
			return -1;
		pid_t pid = pid_;
		pid_ = -1;
		while (waitpid(pid, &status, 0) < 0)
			if (errno != EINTR)
				return -1;
		return WIFEXITED(status) ? WEXITSTATUS(status)
		                         : 128 + WTERMSIG(status);
	}

      private:
	pid_t pid_ = -1;
};

/* Exit status of a child process that runs fn() (its result is the
 * status) and leaves with _exit, running no test code of the parent;
 * 128 + the signal that ended it. */
template <typename F>
int in_child(F &&fn)
{
	child c(fn);
	return c.wait();
}

} // namespace zvtest

#endif
