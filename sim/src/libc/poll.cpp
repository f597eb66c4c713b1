// Interposed waits on descriptors: poll(), ppoll(), select(), pselect().
// A descriptor a family serves itself (a change-log device) is ready when
// the family says so, not when its backing file is (always); every other
// descriptor is left to libc. A call with none of the family's costs one
// look at the descriptor table per descriptor before libc.
#include "core/export.h"
#include "core/fd_table.h"
#include "core/guard.h"
#include "core/real.h"
#include "core/signals_held.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <vector>

using namespace zvsim;

namespace
{

// How often a wait on a served descriptor asks its family again, as a
// follow read of a change-log device looks at its log.
constexpr long WAIT_SLICE_NS = 10 * 1000 * 1000;

const FileOps *polled(int fd)
{
	const FileOps *ops = fd_ops(fd);
	return ops && ops->poll ? ops : nullptr;
}

bool any_polled(const struct pollfd *fds, nfds_t n)
{
	if (sys::Reentry::inside())
		return false;
	for (nfds_t i = 0; i < n; ++i)
		if (polled(fds[i].fd))
			return true;
	return false;
}

int64_t now_ns()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Asks the families of the served descriptors which events are ready;
// the others (and served ones that turn out stale) are copied into libc's
// array, served ones left out of it (fd -1). The count of served
// descriptors with events.
int ask_families(struct pollfd *fds, nfds_t n, std::vector<pollfd> &others)
{
	int ready = 0;
	for (nfds_t i = 0; i < n; ++i) {
		others[i] = fds[i];
		others[i].revents = 0;
		const FileOps *ops = polled(fds[i].fd);
		if (!ops)
			continue;
		short revents = 0;
		int served = 0; // -1: the family failed (a throw)
		guarded(served, [&] {
			served = ops->poll(fds[i].fd, fds[i].events, revents);
			return true;
		});
		if (served == 0)
			continue;
		others[i].fd = -1;
		fds[i].revents = served < 0 ? short(POLLERR) : revents;
		ready += fds[i].revents != 0;
	}
	return ready;
}

// ppoll() over descriptors some of which a family serves: libc waits on
// the others in slices, between which the families are asked again.
// deadline_ns < 0: no limit.
int served_ppoll(struct pollfd *fds, nfds_t n, int64_t deadline_ns,
                 const sigset_t *sigmask)
{
	std::vector<pollfd> others(n);
	SignalsHeld signals;
	signals.hold();
	if (!sigmask)
		sigmask = signals.caller_mask();
	for (;;) {
		int ready = ask_families(fds, n, others);
		int64_t wait = WAIT_SLICE_NS;
		if (ready > 0)
			wait = 0;
		else if (deadline_ns >= 0)
			wait = std::clamp<int64_t>(deadline_ns - now_ns(), 0,
			                           WAIT_SLICE_NS);
		struct timespec slice = {0, long(wait)};
		int rc = real::call(real::fns().ppoll, others.data(), n, &slice,
		                    sigmask);
		if (rc < 0)
			return rc;
		for (nfds_t i = 0; i < n; ++i)
			if (others[i].fd >= 0 || fds[i].fd < 0)
				fds[i].revents = others[i].revents;
		if (rc + ready > 0 || wait == 0)
			return rc + ready;
	}
}

// The monotonic time a wait of sec seconds and ns nanoseconds ends: -1
// for none (no timeout, or one beyond any wait), -2 for a time the kernel
// refuses (EINVAL).
int64_t deadline_after(int64_t sec, int64_t ns)
{
	constexpr int64_t NS = 1000000000, LONGEST = INT64_MAX / NS / 2;
	if (sec < 0 || ns < 0 || ns >= NS)
		return -2;
	return sec > LONGEST ? -1 : now_ns() + sec * NS + ns;
}

int64_t deadline_after(const struct timespec *timeout)
{
	return timeout ? deadline_after(timeout->tv_sec, timeout->tv_nsec) : -1;
}

int invalid_time()
{
	errno = EINVAL;
	return -1;
}

// select()'s sets as poll() entries, and back.
struct fd_sets {
	fd_set *read, *write, *except;
};

constexpr short SELECT_READ =
        POLLIN | POLLRDNORM | POLLRDBAND | POLLHUP | POLLERR;
constexpr short SELECT_WRITE = POLLOUT | POLLWRNORM | POLLWRBAND | POLLERR;

bool in(const fd_set *set, int fd)
{
	return set && FD_ISSET(fd, set);
}

bool any_polled(int nfds, const fd_sets &s)
{
	if (sys::Reentry::inside())
		return false;
	for (int fd = 0; fd < std::min(nfds, FD_SETSIZE); ++fd)
		if ((in(s.read, fd) || in(s.write, fd) || in(s.except, fd)) &&
		    polled(fd))
			return true;
	return false;
}

// select() through served_ppoll(): the count of bits set, or -1.
int served_pselect(int nfds, const fd_sets &s, int64_t deadline_ns,
                   const sigset_t *sigmask)
{
	std::vector<pollfd> fds;
	for (int fd = 0; fd < std::min(nfds, FD_SETSIZE); ++fd) {
		short events = (in(s.read, fd) ? POLLIN : 0) |
		               (in(s.write, fd) ? POLLOUT : 0) |
		               (in(s.except, fd) ? POLLPRI : 0);
		if (events)
			fds.push_back({fd, events, 0});
	}
	int rc = served_ppoll(fds.data(), fds.size(), deadline_ns, sigmask);
	if (rc < 0)
		return rc;
	for (const pollfd &p : fds)
		if (p.revents & POLLNVAL) {
			errno = EBADF;
			return -1;
		}
	int count = 0;
	auto keep = [&](fd_set *set, int fd, bool ready) {
		if (!in(set, fd))
			return;
		if (ready)
			count++;
		else
			FD_CLR(fd, set);
	};
	for (const pollfd &p : fds) {
		keep(s.read, p.fd, p.revents & SELECT_READ);
		keep(s.write, p.fd, p.revents & SELECT_WRITE);
		keep(s.except, p.fd, p.revents & POLLPRI);
	}
	return count;
}

[[noreturn]] void chk_fail()
{
	if (real::fns().__chk_fail)
		real::fns().__chk_fail();
	abort();
}

} // namespace

// The C library declares the array write-only (the kernel fills revents);
// we read the descriptors and events the caller put there.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

ZVSIM_EXPORT int poll(struct pollfd *fds, nfds_t nfds, int timeout)
{
	if (!any_polled(fds, nfds))
		return real::call(real::fns().poll, fds, nfds, timeout);
	int64_t deadline = timeout < 0
	                           ? -1
	                           : deadline_after(timeout / 1000,
	                                            timeout % 1000 * 1000000);
	return served_ppoll(fds, nfds, deadline, nullptr);
}

ZVSIM_EXPORT int ppoll(struct pollfd *fds, nfds_t nfds,
                       const struct timespec *timeout, const sigset_t *sigmask)
{
	if (!any_polled(fds, nfds))
		return real::call(real::fns().ppoll, fds, nfds, timeout,
		                  sigmask);
	int64_t deadline = deadline_after(timeout);
	if (deadline == -2)
		return invalid_time();
	return served_ppoll(fds, nfds, deadline, sigmask);
}

ZVSIM_EXPORT int select(int nfds, fd_set *readfds, fd_set *writefds,
                        fd_set *exceptfds, struct timeval *timeout)
{
	fd_sets sets{readfds, writefds, exceptfds};
	if (!any_polled(nfds, sets))
		return real::call(real::fns().select, nfds, readfds, writefds,
		                  exceptfds, timeout);
	int64_t deadline = -1;
	if (timeout) {
		if (timeout->tv_usec < 0 || timeout->tv_usec >= 1000000)
			return invalid_time();
		deadline = deadline_after(timeout->tv_sec,
		                          int64_t(timeout->tv_usec) * 1000);
		if (deadline == -2)
			return invalid_time();
	}
	int rc = served_pselect(nfds, sets, deadline, nullptr);
	// As the kernel does, select() leaves the time not slept.
	if (timeout && deadline >= 0 && rc >= 0) {
		int64_t left = std::max<int64_t>(deadline - now_ns(), 0);
		timeout->tv_sec = left / 1000000000;
		timeout->tv_usec = (left % 1000000000) / 1000;
	}
	return rc;
}

ZVSIM_EXPORT int pselect(int nfds, fd_set *readfds, fd_set *writefds,
                         fd_set *exceptfds, const struct timespec *timeout,
                         const sigset_t *sigmask)
{
	fd_sets sets{readfds, writefds, exceptfds};
	if (!any_polled(nfds, sets))
		return real::call(real::fns().pselect, nfds, readfds, writefds,
		                  exceptfds, timeout, sigmask);
	int64_t deadline = deadline_after(timeout);
	if (deadline == -2)
		return invalid_time();
	return served_pselect(nfds, sets, deadline, sigmask);
}

// The fortified forms some callers are compiled to.
ZVSIM_EXPORT int __poll_chk(struct pollfd *fds, nfds_t nfds, int timeout,
                            size_t room)
{
	if (room / sizeof(*fds) < nfds)
		chk_fail();
	return poll(fds, nfds, timeout);
}

ZVSIM_EXPORT int __ppoll_chk(struct pollfd *fds, nfds_t nfds,
                             const struct timespec *timeout,
                             const sigset_t *sigmask, size_t room)
{
	if (room / sizeof(*fds) < nfds)
		chk_fail();
	return ppoll(fds, nfds, timeout, sigmask);
}
