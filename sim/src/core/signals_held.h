// Signals held while the simulator looks at its state on behalf of a call
// that waits (a follow read, a poll), and taken only while it sleeps: a
// signal that comes while it looks is not lost but interrupts the next
// sleep, as a kernel's wait is interrupted by any signal that comes after
// the call began. Faults stay deliverable.
#pragma once

#include "real.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <poll.h>
#include <pthread.h>

namespace zvsim
{

class SignalsHeld
{
      public:
	SignalsHeld() = default;
	SignalsHeld(const SignalsHeld &) = delete;
	SignalsHeld &operator=(const SignalsHeld &) = delete;
	~SignalsHeld()
	{
		if (held_)
			pthread_sigmask(SIG_SETMASK, &old_, nullptr);
	}
	void hold()
	{
		if (held_)
			return;
		sigset_t all;
		sigfillset(&all);
		for (int sig :
		     {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS})
			sigdelset(&all, sig);
		held_ = pthread_sigmask(SIG_BLOCK, &all, &old_) == 0;
	}
	// The caller's own mask, for a sleep (null when nothing is held).
	const sigset_t *caller_mask() const
	{
		return held_ ? &old_ : nullptr;
	}
	// Sleeps for ns with the caller's mask: -EINTR when a handler ran.
	int sleep(long ns) const
	{
		struct timespec ts {
			0, ns
		};
		int rc = real::call(real::fns().ppoll, nullptr, 0, &ts,
		                    caller_mask());
		return rc < 0 && errno == EINTR ? -EINTR : 0;
	}

      private:
	bool held_ = false;
	sigset_t old_;
};

} // namespace zvsim
