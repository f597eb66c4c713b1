// What the simulator keeps per descriptor number, read without a lock: one
// slot each, holding either
// - the FileOps of a descriptor a family serves itself (a change-log
//   device), or of a descriptor the simulator keeps for itself;
// - the OpenFile a descriptor of the mount's files names, when a family
//   keeps something on it (a mirror selected, I/O counted, a group lock,
//   a lease or an open of a cached file held).
// A call on a descriptor with an empty slot costs that one load before
// libc.
#pragma once

#include "holder.h"
#include "object_record.h"
#include "request.h"

#include <bit>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace zvsim
{

// What a family does with its descriptors. Each operation returns false
// when fd turns out not to be the family's any more (closed behind our
// back and reused): the call then goes to libc. Results are the system
// call's: >= 0, or -1 with errno.
struct FileOps {
	const char *family;
	std::span<const Row> rows; // ioctls served on these descriptors
	bool (*read)(int fd, void *buf, size_t count, ssize_t &result);
	bool (*write)(int fd, const void *buf, size_t count, ssize_t &result);
	bool (*seek)(int fd, int64_t off, int whence, int64_t &result);
	void (*closed)(int fd);          // before libc closes it
	void (*duped)(int from, int to); // to now names from's file
	// The poll events of `events` ready now (0: none yet, the caller
	// waits and asks again); null: libc polls the descriptor itself.
	bool (*poll)(int fd, short events, short &revents) = nullptr;
};

constexpr int FD_TABLE_SIZE = 65536;

// The marks, one per family that keeps state in this process on the open
// files it follows; the bit's index is the family's state slot.
namespace fdmark
{
constexpr uint32_t MIRROR = 1u << 0; // a mirror is selected
constexpr uint32_t HEAT = 1u << 1;   // its I/O is counted
constexpr int COUNT = 2;
} // namespace fdmark

// A mark's state slot.
constexpr int mark_index(uint32_t mark)
{
	return std::countr_zero(mark);
}

// An open file description as this process follows it: every descriptor
// of the process that names it (dup, dup2, dup3, F_DUPFD, inheritance by
// fork) shares it, and what families keep on it goes with its last
// descriptor. A child made by fork starts with a copy.
struct OpenFile {
	uint32_t marks = 0;              // fdmark bits, read unlocked
	void *state[fdmark::COUNT] = {}; // each marking family's own
	std::vector<int> fds;            // its descriptors here
	std::optional<Holder> holder;    // once it holds something
	ObjectKey key;                   // the object, with the holder
	std::string state_dir;           // the simulation it holds in
	int sentinel = -1;               // see holder.h
};

enum class IoKind : uint8_t {
	Read,
	Write
};

// What a read or write saw of its descriptor's open file before libc ran
// it: the marks, and the marking families' state. Its families hear of the
// result through this, without the descriptor being looked up again: a
// system call may have emptied the TLB, and every page touched after it
// costs a walk. Another thread may close the descriptor meanwhile, so a
// family whose state can be freed before the process ends must not take
// it from here (heat's records live as long as the process).
struct IoSeen {
	uint32_t marks = 0;
	void *state[fdmark::COUNT] = {};
};

// What a family does on the open files it follows. A hook returns true
// when it served the call (result set, in the system call's convention)
// and false to pass it on, to the next family that marked the open file
// and then to libc. An offset of -1 is the descriptor's own position
// (read, write); others are pread/pwrite's. Null hooks are not called.
struct FdHooks {
	uint32_t mark = 0; // 0: a family that only holds things
	bool (*read)(int fd, void *buf, size_t n, int64_t off,
	             ssize_t &r) = nullptr;
	bool (*write)(int fd, const void *buf, size_t n, int64_t off,
	              ssize_t &r) = nullptr;
	bool (*seek)(int fd, int64_t off, int whence, int64_t &r) = nullptr;
	bool (*truncate)(int fd, int64_t len, int &r) = nullptr;
	bool (*allocate)(int fd, int mode, int64_t off, int64_t len,
	                 int &r) = nullptr;
	bool (*stat)(int fd, struct stat64 *st, int &r) = nullptr;
	// After a read or write nobody served: what it returned. It keeps
	// errno, and throws nothing: every counted read and write comes here.
	void (*after)(int fd, const IoSeen &seen, IoKind kind,
	              ssize_t result) noexcept = nullptr;
	// The open file's last descriptor in this process went: the family
	// lets go of its state slot.
	void (*dropped)(OpenFile &file) = nullptr;
	// The open file is gone from every process: what its holder held on
	// the object goes. Under StateLock; asked of every family, since a
	// process may not know what another took through a shared file.
	void (*released)(const Config &cfg, const ObjectKey &key,
	                 const Holder &h) = nullptr;
};

// The hooks on marked descriptors of the families having member H, in
// the order of families(), and the union of their marks: a read, write or
// close of a marked descriptor asks only the families that do something
// there, and none when its marks are not among them.
struct FdHookList : FamilyList<FdHooks> {
	uint32_t marks = 0;
};

// Inline: once built, a test of its guard.
template <auto H>
[[gnu::always_inline]] inline const FdHookList &fd_hooks_with()
{
	static const FdHookList list = [] {
		FdHookList l;
		for (const Family *f : families_with<&Family::fd_hooks>())
			if (f->fd_hooks->*H) {
				l.at[l.n++] = f->fd_hooks;
				l.marks |= f->fd_hooks->mark;
			}
		return l;
	}();
	return list;
}

// --- families' view --------------------------------------------------------

// Marks fd's open file (followed from now on); unmarking leaves it
// followed until its last descriptor goes.
void fd_mark(int fd, uint32_t bits);
void fd_unmark(int fd, uint32_t bits);
// A family's state slot on fd's open file (null when none). Setting it
// follows the open file; false when it cannot be followed.
void *fd_state(int fd, uint32_t mark);
bool fd_set_state(int fd, uint32_t mark, void *state);

// The holder of fd's open file, made (with its sentinel) when the open
// file holds nothing yet: 0 or -errno. The caller holds nothing of the
// descriptor table.
int fd_hold(const Config &cfg, int fd, Holder &out);
// The holder of fd's open file when it has one.
std::optional<Holder> fd_holder(int fd);

// A truncation that a family marking fd serves (libc/io.cpp): true when
// served, result set.
bool marked_truncate(int fd, int64_t len, int &result);

void fd_register(int fd, const FileOps *ops);
void fd_forget(int fd);

// A descriptor the simulator keeps for itself across calls (a sentinel, a
// mirror's backing file): moved out of the caller's way, up from
// OWN_FD_BASE where the limit allows, and invisible to the caller's
// close, close_range and closefrom; a dup2 or dup3 onto its number moves
// it. *where holds its number and is updated when it moves. Returns the
// new number, or -errno (fd closed).
int fd_keep(int fd, int *where);
// Closes the kept descriptor *where holds (none when -1) and sets *where
// to -1: the number is read under the table's lock, since a dup2 onto it
// may move it at any time.
void fd_unkeep(int *where);

// --- the interposed calls' view (open_file.cpp) -----------------------------

// fd is a new open file (returned by an open): whatever the table still
// said of its number (closed behind our back) goes. Inline (below) up to
// the look at its slot, which is empty for most opens.
inline int fd_fresh(int fd);
// fd is about to be closed.
void fd_closing(int fd);
// to now names from's open file (dup, dup2, dup3, F_DUPFD...); what to
// named before is closed.
void fd_duped(int from, int to);
// Every descriptor from first to last is about to be closed.
void fd_range_closing(unsigned first, unsigned last);
// The close-on-exec flag of fd (or of every descriptor when fd is -1)
// may have changed. errno is kept.
void fd_cloexec_changed(int fd) noexcept;
// A dup2 or dup3 onto fd is coming: a kept descriptor there moves.
void fd_make_room(int fd);

namespace detail
{
// 0, a FileOps * with bit 0 set, or an OpenFile *.
extern uintptr_t fd_slots[FD_TABLE_SIZE];
// Held while the table changes (but for a family's FileOps).
std::mutex &fd_mutex();
void set_slot(int fd, uintptr_t slot);
// fd_keep() and fd_unkeep() with fd_mutex() held.
int keep_locked(int fd, int *where);
void unkeep_locked(int fd);
// Whether this process owns the table. A child made by vfork shares our
// memory until it runs another program: it changes nothing here (what it
// closes or dups is the kernel's business alone).
bool table_owner();
// This process is about to call vfork.
void vfork_coming();
} // namespace detail

inline uintptr_t fd_slot(int fd)
{
	if (static_cast<unsigned>(fd) >= static_cast<unsigned>(FD_TABLE_SIZE))
		return 0;
	return __atomic_load_n(&detail::fd_slots[fd], __ATOMIC_ACQUIRE);
}

inline const FileOps *slot_ops(uintptr_t slot)
{
	return slot & 1 ? reinterpret_cast<const FileOps *>(slot - 1) : nullptr;
}

inline OpenFile *slot_file(uintptr_t slot)
{
	return slot & 1 ? nullptr : reinterpret_cast<OpenFile *>(slot);
}

inline const FileOps *fd_ops(int fd)
{
	return slot_ops(fd_slot(fd));
}

inline OpenFile *fd_file(int fd)
{
	return slot_file(fd_slot(fd));
}

inline uint32_t slot_marks(uintptr_t slot)
{
	OpenFile *f = slot_file(slot);
	return f ? __atomic_load_n(&f->marks, __ATOMIC_ACQUIRE) : 0;
}

inline uint32_t fd_marks(int fd)
{
	return slot_marks(fd_slot(fd));
}

namespace detail
{
int fresh_file(int fd);
}

inline int fd_fresh(int fd)
{
	return fd_file(fd) ? detail::fresh_file(fd) : fd;
}

// The descriptors the simulator keeps for itself.
extern const FileOps own_ops;

} // namespace zvsim
