// What the link index keeps in <state>/links/, shared by every process of
// a simulation:
//   base            a table of directory entries (parent inode, name,
//                   inode) sorted by inode, written whole by a rebuild
//                   and renamed into place
//   journal.<gen>   changes since the base of generation <gen>, one
//                   O_APPEND record per namespace operation
//   lock            flock held by whoever rebuilds or compacts
// and, on the control page, the directories where exclusive creations
// made entries: such a creation marks its directory instead of writing
// a record (no system call, and no look at the new file), and a lookup
// that misses lists the marked directories first.
// Nothing here is trusted: every answer built from these files is checked
// against the file system, so a damaged file costs a walk, never a wrong
// answer.
#pragma once

#include "control_page.h"
#include "state.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zvsim::links
{

// A directory entry: the name it has in its parent directory.
struct Key {
	uint64_t parent = 0;
	std::string name;
	bool operator==(const Key &) const = default;
};

struct KeyHash {
	size_t operator()(const Key &k) const;
};

// One journal record: an entry that went away and/or an entry that now
// names ino (a rename is both).
struct Change {
	bool del = false, set = false;
	Key gone, made;
	uint64_t ino = 0;
};

// The longest record: its header and two names.
constexpr size_t RECORD_MAX = 48 + 2 * 255;
// c's record written into out: its length, or 0 when a name is too long
// for one (never made: names are checked before).
size_t encode(const Change &c, char (&out)[RECORD_MAX]);
// The whole records at the start of bytes, appended to out; returns the
// bytes they take (a record still being written is left for later), or -1
// when a record is damaged.
long decode(std::string_view bytes, std::vector<Change> &out);

// Whether a name can be a directory entry's.
bool valid_name(std::string_view name);

// Entries of a base being built: names in one pool.
struct Entries {
	struct Row {
		uint64_t ino, parent;
		uint32_t off, len;
	};
	std::vector<Row> rows;
	std::string pool;
	void add(uint64_t parent, std::string_view name, uint64_t ino);
};

// The base table: the file's bytes, read in place.
class Table
{
      public:
	// The file's bytes for a generation of this simulation.
	static std::string build(const Config &cfg, uint32_t gen,
	                         Entries &entries);
	// Takes blob when it is a base of generation gen of this simulation.
	bool adopt(std::string blob, const Config &cfg, uint32_t gen);
	void clear()
	{
		blob_.clear();
		count_ = 0;
	}
	size_t size() const
	{
		return count_;
	}
	// Rows of inode ino: [first, last).
	std::pair<size_t, size_t> range(uint64_t ino) const;
	uint64_t ino(size_t i) const;
	uint64_t parent(size_t i) const;
	// Empty when the row's name is damaged.
	std::string_view name(size_t i) const;

      private:
	std::string blob_;
	size_t count_ = 0;
	uint64_t pool_at_ = 0, pool_len_ = 0;
};

std::string dir_path(const Config &cfg);
std::string base_path(const Config &cfg);
std::string journal_path(const Config &cfg, uint32_t gen);

// A file from byte `from` to its end: -errno on failure.
int read_from(const std::string &path, uint64_t from, std::string &out);
// O_APPEND writes to the journal of generation gen (never created here: a
// journal that is gone belongs to a finished generation), one per record
// or per batch of whole records.
void append(const Config &cfg, uint32_t gen, const Change &c);
void append(const Config &cfg, uint32_t gen, const std::vector<Change> &cs);
// Closes the journal append() keeps open (the simulation is let go).
void close_journal();

// Marks dir as holding entries made since it was last listed: false when
// it cannot (no slot, or a directory too big to list again), and a record
// must say what was made.
bool mark_made(ControlPage *page, uint64_t dir);
// dir is being listed: what is made in it later marks it anew.
void unmark(ControlPage *page, uint64_t dir);
// dir was too big to list at every lookup: what is made in it is recorded.
void mark_big(ControlPage *page, uint64_t dir);
// dir is gone: no mark of any kind stays.
void forget_dir(ControlPage *page, uint64_t dir);
// The directories marked as holding new entries.
void marked(const ControlPage *page, std::vector<uint64_t> &dirs);
// Every mark dropped, before a walk that sees every entry.
void clear_marks(ControlPage *page);

// Exclusive flock on <state>/links/lock (made with its directory when
// missing) for the life of the object.
class Lock
{
      public:
	explicit Lock(const Config &cfg, bool wait = true);
	~Lock();
	Lock(const Lock &) = delete;
	Lock &operator=(const Lock &) = delete;
	bool held() const
	{
		return held_;
	}

      private:
	int fd_ = -1;
	bool held_ = false;
};

} // namespace zvsim::links
