// The simulation's configuration, kept in <state>/config and cached per
// process. Every process naming the same state directory in ZVSIM_STATE sees
// one simulated file system.
#pragma once

#include "identity.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

#include <zvsim/zvsim.h>

namespace zvsim
{

struct Config {
	std::string state; // real path of the state directory
	std::string mount; // real path of the mount directory
	std::string fsname;
	std::string instance; // 16 lowercase hex digits
	std::string nid;
	std::string mtab; // what stands for /etc/mtab
	// Further mounts of this file system (<state>/mounts): links to the
	// mount, so they name its objects. Paths answered are the mount's.
	std::vector<std::string> more_mounts;
	int mdts = 1;
	int osts = 2;
	// Identity of the special directories, read when the config is loaded.
	dev_t dev = 0;
	ino_t root_ino = 0, dotz_ino = 0, fiddir_ino = 0;
	// <state>/control, mapped for the life of the process (null when it
	// cannot be: every flag then reads as set).
	struct ControlPage *page = nullptr;

	std::string path(const char *name) const
	{
		return state + "/" + name;
	}
	// Relative path inside the mount ("" for the root) to an absolute one.
	std::string abs(const std::string &rel) const
	{
		return rel.empty() ? mount : mount + "/" + rel;
	}
	// The path relative to the mount root when path lies in the mount
	// (or in a further mount of it).
	bool relative(const std::string &path, std::string &rel) const;
	Fid fid_of(dev_t dev, ino_t ino) const;
	// Target index of an object: from its FID; the root and .zorvel on 0.
	int mdt_of(const Fid &fid) const;
};

using ConfigPtr = std::shared_ptr<const Config>;

namespace detail
{
struct Published;

// What this thread last found of ZVSIM_STATE in the environment: where the
// variable was (its entry and slot), or, when it was not, the list's
// length and last entry; setenv, unsetenv and putenv change one of those,
// or the list itself. With the entry, the publication current_peek()
// matched it to and its config (null: none yet). Zeroed at thread start.
struct EnvSeen {
	char **list;
	size_t slot;
	const char *entry; // or the last entry when absent
	bool found;
	const Published *published;
	const Config *config;
};
extern __thread EnvSeen env_seen __attribute__((tls_model("initial-exec")));
extern std::atomic<const Published *> published;

const char *state_env_scan() noexcept;
const Config *current_peek_anew();
} // namespace detail

// getenv(ZVSIM_STATE_ENV), without a scan of the environment while the
// environment's list is as it was at the last call in this thread: inline,
// since every interposed call asks.
inline const char *state_env() noexcept
{
	const detail::EnvSeen &s = detail::env_seen;
	char **list = environ;
	if (s.found && list == s.list && list[s.slot] == s.entry)
		return s.entry + sizeof(ZVSIM_STATE_ENV);
	return detail::state_env_scan();
}

// One lock for all simulator state of this process.
std::mutex &state_mutex();

// Configuration named by ZVSIM_STATE, or null when there is none (every call
// then passes to libc). Cheap when nothing changed. Needs state_mutex().
ConfigPtr current_locked();
ConfigPtr current();
// The config this thread last found, while the environment and the
// publication are as it saw them; null otherwise (current_peek() looks
// again). Only loads: no call, errno untouched.
inline const Config *current_seen()
{
	const detail::EnvSeen &s = detail::env_seen;
	char **list = environ;
	if (s.config && list == s.list && list[s.slot] == s.entry &&
	    detail::published.load(std::memory_order_acquire) == s.published)
		return s.config;
	return nullptr;
}

// current() without its lock while nothing changed; configs are never
// freed, so the pointer stays valid. Inline: a few loads while the
// environment and the publication are as this thread last saw them.
inline const Config *current_peek()
{
	if (const Config *cfg = current_seen())
		return cfg;
	return detail::current_peek_anew();
}

// Create (or attach to) a state directory and export it. Defaults apply for
// a null fsname and zero counts. Every family then makes what it keeps in
// the state directory (its init hook), leaving what exists as it is.
int setup(const char *state_dir, const char *fsname, int mdts, int osts);
int attach(const char *state_dir);
void forget();
// Drops this process's copy of the config: the next call reads it again.
void refresh();

// Cross-process exclusive lock on <state>/lock, held for its lifetime.
class StateLock
{
      public:
	explicit StateLock(const Config &cfg);
	~StateLock();
	StateLock(const StateLock &) = delete;
	StateLock &operator=(const StateLock &) = delete;

      private:
	int fd_;
};

} // namespace zvsim
