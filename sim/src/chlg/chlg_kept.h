// The change logs' descriptors this process keeps open from one update to
// the next, so that a record costs its lock and its writes, not an open
// and a close, and the header is read and written through a shared
// mapping instead of the file.
//
// One descriptor per log and process: its lock (flock) belongs to the
// open file, which the process's threads share, so a thread lock keeps
// them apart while one of them holds the log. A child of fork gets open
// files of its own in place of its parent's at once (it must not share
// their locks, nor keep one alive for a parent that dies holding it); a
// child of vfork, which shares our memory, opens the log for each update
// (take() answers null).
#pragma once

#include "core/state.h"

#include <mutex>
#include <string>

namespace zvsim::chlg
{

class KeptLog
{
      public:
	// Log index of cfg, for the calling thread alone until release();
	// null when none is kept (rc 0) or it cannot be opened (rc -errno).
	static KeptLog *take(const Config &cfg, int index, int &rc);
	void release();
	int fd() const;
	// The header page, mapped shared once map_header() saw it whole; null
	// before. Only the holder of the log's lock writes it.
	char *header() const
	{
		return header_;
	}
	void map_header();
	// Its descriptor is not the log's any more: it is opened again at
	// the next take().
	void forsake();
	// The simulation is left: every kept descriptor is closed.
	static void forget_all();

	// Slots of the process's table (never destroyed).
	KeptLog() = default;
	KeptLog(const KeptLog &) = delete;
	KeptLog &operator=(const KeptLog &) = delete;

      private:
	friend struct KeptFork;
	bool of(const Config &cfg) const;
	int reopen(const Config &cfg, int index);
	void drop();

	std::mutex use_;
	int fd_ = -1; // moved by fd_table when a dup2 takes its number
	char *header_ = nullptr;
	// The simulation it belongs to (its state directory and instance;
	// empty: none) and the log's path.
	std::string state_, instance_, path_;
};

} // namespace zvsim::chlg
