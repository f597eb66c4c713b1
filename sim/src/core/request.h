// Requests the simulated kernel answers, and the table they are found in.
//
// Every family exports rows: the request code, where it is served, how its
// argument is read (what the kernel reads on entry is logged; how many
// bytes a reply may write) and its handler. One dispatcher finds the row of
// an ioctl, copies its argument in as a kernel does, runs the request tail
// (log, injection, handler) and copies the reply out. Calls that are not
// ioctls (opens by FID, statfs, mount...) have rows too, for their names,
// and run the same tail from their interposed entry point.
#pragma once

#include "control_page.h"
#include "identity.h"
#include "inject.h"
#include "request_log.h"
#include "state.h"
#include "sysio.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace zvsim
{

// An object of a simulated mount reached through a descriptor.
struct Object {
	int fd = -1;
	// Set by object_named(): the path relative to the mount root ("" =
	// root), and whether the object is unlinked.
	std::string rel;
	bool deleted = false;
	struct stat st {
	};
	Fid fid;
};

// Where a request is served.
enum class Target : uint8_t {
	Call,        // not an ioctl: served by its interposed entry point
	MountObject, // a descriptor of an object in the mount
	Device,      // a descriptor a family registered (fd_table.h)
	NetDevice,   // the networking layer's control device
};

// How the kernel reads the argument.
enum class ArgKind : uint8_t {
	None,   // nothing, whatever was passed
	Value,  // the argument is the value itself
	Struct, // a record: header bytes, then what extent() says
	String, // a NUL-terminated name
};

struct Request {
	const Config &cfg;
	uint32_t code;
	int fd;
	const Object *obj;   // MountObject requests
	void *arg;           // the kernel's copy of a Struct or String argument
	unsigned long value; // the argument as passed
};

// Bytes the kernel reads on entry (logged) and the bytes a reply may write,
// from the start of the argument.
struct Extent {
	size_t entry = 0;
	size_t room = 0;
};

struct Row {
	uint32_t code = 0;
	const char *name = nullptr; // for steering ("FID2PATH"); null: none
	Target target = Target::Call;
	ArgKind arg = ArgKind::None;
	size_t header = 0; // Struct: bytes read before extent() is asked
	// Struct: what the header announces; null: {header, header}.
	Extent (*extent)(const Config &cfg, const void *header) = nullptr;
	int (*handle)(Request &req) = nullptr; // >= 0 or -errno
	bool traced = true;                    // logged and open to injections
};

struct NsEvent;
class NsIntent;
struct FdHooks;

// Open flag bit the kernel client reads as "create no layout yet"; the
// backing file system must not see it.
constexpr int DELAY_CREATE_BIT = 0x1000000;

// An open the caller made, as the families see it.
struct OpenCall {
	int dirfd;
	// The caller's path: a copy, or where it lies when that is known to be
	// readable and no family serves it (the families that hear of the
	// open read it no further than its NUL). Null when the open is not
	// followed by its path (a stream's reads and writes are the C
	// library's own).
	const char *path;
	int flags; // what libc gets, when no family serves the open
	mode_t mode;
	size_t len = 0; // path's length
};

// A family (a folder under sim/src, named as the library unit it serves):
// its rows, what it keeps in a state directory, and whether and
// how it follows changes of the namespace and opens.
struct Family {
	std::span<const Row> rows = {};
	int (*init)(const Config &cfg) = nullptr; // setup hook; null: nothing
	bool (*watching)(const Config &cfg) = nullptr; // cheap, no syscall
	void (*observe)(const Config &cfg, const NsEvent &ev) = nullptr;
	// Whether observe hears of attribute changes (times, modes, owners,
	// extended attributes) too, or of entry changes alone: an attribute
	// change nobody hears of is not looked into.
	bool observes_attributes = true;
	// The record it writes with an entry change, as one step with it,
	// when it keeps such records now; null: none.
	std::unique_ptr<NsIntent> (*intent)(const Config &cfg) = nullptr;
	// Whether intent() would give one now: cheap, no system call, no
	// allocation. Set with intent. While no family intends one, a quick
	// creation the link index marked is observed by its entry alone (no
	// tfid): a family whose observe needs the object's FID says so here.
	bool (*intends)(const Config &cfg) = nullptr;
	// What it does on descriptors it marked (fd_table.h); null: none.
	const FdHooks *fd_hooks = nullptr;
	// The flags it keeps on the control page.
	std::span<const PageFlag> page_flags = {};
	// An open of a path the family serves itself (a device, a parameter
	// file, an open by FID): true when served, result in the system
	// call's convention. It may change call.flags for the open that goes
	// on. Asked in the order of families(), before the open, of the opens
	// under a simulation that show one of open_flags or have a path
	// component beginning with one of open_words; a path it does not
	// serve costs it no system call and no lock.
	bool (*open)(OpenCall &call, int &result) = nullptr;
	// What an open must show for open to be asked: most opens show
	// nothing of the kind, and pass without a call to any family.
	int open_flags = 0;
	std::array<std::string_view, 2> open_words = {};
	// The same for fopen() and opendir().
	bool (*fopen)(const char *path, const char *mode,
	              FILE *&result) = nullptr;
	bool (*opendir)(const char *path, DIR *&result) = nullptr;
	// A descriptor opened by the caller (any open that succeeded); it
	// must look at the control page or the path's text before anything
	// costing a call.
	void (*opened)(const Config &cfg, const OpenCall &call,
	               int fd) = nullptr;
	// The process leaves the simulation: what it keeps open for it goes.
	void (*forget)() = nullptr;
};

// Every family (families.cpp), at most FAMILIES_MAX.
constexpr size_t FAMILIES_MAX = 32;
std::span<const Family *const> families();
int families_init(const Config &cfg);

// What the families have of one kind (the families themselves, their
// descriptor hooks...), listed once: at most one item a family.
template <typename T>
struct FamilyList {
	const T *at[FAMILIES_MAX] = {};
	size_t n = 0;
	std::span<const T *const> all() const
	{
		return {at, n};
	}
	const T *const *begin() const
	{
		return at;
	}
	const T *const *end() const
	{
		return at + n;
	}
};

// The families having Hook (a member of Family), in the order of
// families(): hooks asked on every call are asked of these alone.
template <auto Hook>
[[gnu::always_inline]] inline std::span<const Family *const> families_with()
{
	static const FamilyList<Family> list = [] {
		FamilyList<Family> l;
		for (const Family *f : families())
			if (f->*Hook)
				l.at[l.n++] = f;
		return l;
	}();
	return list.all();
}

// The row serving code at target, else the catch-all row of that target
// (ENOTTY); null when no row serves the code anywhere. Device rows come
// from the descriptor's family (pass them as rows).
const Row *find_row(Target target, uint32_t code,
                    std::span<const Row> rows = {});
// Whether any row could serve an ioctl with this code (no lookup of the
// descriptor needed otherwise).
bool ioctl_may_be_served(uint32_t code);
// A row by its steering name, with or without the "ZV_IOC_" prefix.
const Row *find_row_by_name(const char *name);

// The shared tail of every simulated request: log it (the code, the size
// it encodes and the entry bytes), then let an injection answer it, else
// the handler. A crafted reply is copied over at most reply_room bytes of
// the reply buffer. Returns >= 0 or -errno.
template <typename Handler>
int request_tail(const Config &cfg, uint32_t code, size_t size,
                 std::string_view entry, void *reply, size_t reply_room,
                 Handler &&handler)
{
	log_append(cfg, code, size, entry.data(), entry.size());
	if (auto inj = inject_take(cfg, code)) {
		if (!inj->reply)
			return -inj->err;
		size_t n = std::min(inj->bytes.size(), reply_room);
		if (reply && n)
			std::memcpy(reply, inj->bytes.data(), n);
		return inj->result;
	}
	return handler();
}

// Serves an ioctl through its row: -errno or the result.
int serve_ioctl(const Row &row, Request &req, void *user_arg);

// Whether this call may concern a simulation: one is named in the
// environment and the call does not come from the simulator itself.
inline bool may_simulate()
{
	return !sys::Reentry::inside() && state_env() != nullptr;
}

// The object behind a descriptor, when it lies in the mount: its status
// and FID. The path is looked up only for a descriptor whose inode was
// not met before (obj.rel and obj.deleted are then set, else left empty).
bool object_of(const Config &cfg, int fd, Object &obj);
// The same with the object's path always looked up: obj.rel and
// obj.deleted set.
bool object_named(const Config &cfg, int fd, Object &obj);

// An ioctl the simulated kernel serves: true when served here (result in
// the system call's convention), false when it goes to libc.
bool dispatch_ioctl(int fd, uint32_t code, void *arg, int &result);

// -errno results become -1 with errno, as system calls report them.
template <typename T>
T syscall_result(T rc)
{
	if (rc >= 0)
		return rc;
	errno = static_cast<int>(-rc);
	return -1;
}

} // namespace zvsim
