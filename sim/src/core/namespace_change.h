// Changes of the namespace in a simulated mount, captured around the
// operation for the families that follow them (the change logs). The
// operation itself always runs on the backing directory through libc.
// Changes of directory entries are recorded with the operation (see
// EntryChange); attribute changes are published once they succeeded.
//
// Cost while no family watches: a look at the environment and the control
// page, no system call.
#pragma once

#include "identity.h"
#include "state.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <sys/types.h>

namespace zvsim
{

struct NsCheck;

// One change, in the change log's vocabulary (record types CL_*).
struct NsEvent {
	uint32_t type = 0;
	Fid tfid, pfid;
	Fid sfid, spfid; // rename only
	std::string name;
	std::string sname; // rename only: the old name
	uint32_t open_flags = 0;
	std::string xattr;
	// The change log wrote this change's record with the operation.
	bool recorded = false;
	// The link index marked the new entry's directory: the event names
	// the entry alone (no tfid).
	bool indexed = false;
};

// A record a family writes with an entry change, as one step with it:
// written ahead as pending, then committed or dropped (see EntryChange).
class NsIntent
{
      public:
	virtual ~NsIntent() = default;
	// Takes the locks of the records of directories index and other (-1:
	// none): true when a record of this type is kept.
	virtual bool lock(const Config &cfg, uint32_t type, int index,
	                  int other) = 0;
	// Writes ev's record ahead of the operation.
	virtual void write(const NsEvent &ev, const NsCheck &check) = 0;
	// After the operation: the record is committed when it took effect
	// (with the created object's FID when given), else dropped; the locks
	// are released.
	virtual void end(bool done, const Fid *tfid) = 0;
};

// The current simulation when some family watches the namespace; seen,
// when given, is set to the current simulation, watched or not.
ConfigPtr ns_watching(const Config **seen = nullptr);
// Hands an event to every watching family.
void ns_publish(const Config &cfg, const NsEvent &ev);
// Whether an entry change now needs an EntryChange: some family watches
// the namespace, or the look failed and EntryChange finds out. seen is set
// to the current simulation, watched or not; null for the simulator's own
// calls, which publish nothing.
bool ns_may_watch(const Config *&seen) noexcept;
// An entry of the mount went (by the simulator's own hand: a removal by
// FID or by name; or by a removal nobody watched): what a path names may
// have changed.
void ns_entry_gone(const Config &cfg);

// An owned descriptor.
struct OwnedFd {
	int fd = -1;
	OwnedFd() = default;
	OwnedFd(const OwnedFd &) = delete;
	OwnedFd &operator=(const OwnedFd &) = delete;
	~OwnedFd();
};

// A directory of the mount reached through a path: its FID, its path
// relative to the mount root and an O_PATH descriptor on it, or, when
// this process knows the directory by the absolute text that named it
// (no descriptor), that text.
struct NsDir {
	OwnedFd fd;
	Fid fid;
	std::string rel;
	std::string text;
};

// What an entry change leaves in the namespace: how a later process tells
// whether the operation of one that died took effect. The entry is `name`
// in directory `dir`, found again by its FID when the directory moved (a
// directory gone holds no entry).
struct NsCheck {
	enum Kind : uint32_t {
		Appears = 1, // a creation: the entry exists
		Names = 2,   // a rename: the entry names `object`
		Gone = 3,    // a removal: the entry no longer names `object`
	};
	uint32_t kind = Appears;
	std::string dir;
	Fid dir_fid;
	std::string name;
	Fid object;
	// found: the object the entry names now, when there is one.
	bool took_effect(const Config &cfg, Fid &found) const;
};

// A change of one directory entry, made as one step with its record:
// while the log of the entry's directory has a user, its lock is held from
// prepare() to finish(), and the record is written ahead as pending
// (NsIntent), then committed or dropped. The object's FID is taken
// after the operation for a new entry and before it for a removal, while
// the entry exists.
struct EntryChange {
	explicit EntryChange(bool removal);
	~EntryChange();
	ConfigPtr cfg;
	const Config *seen = nullptr; // the simulation, watched or not
	NsDir dir;
	NsEvent ev;      // open_flags may be set before prepare()
	mode_t mode = 0; // of the entry before the operation (0: none)
	std::unique_ptr<NsIntent> intent;
	const bool removal;
	bool located = false; // the entry is in the mount
	bool changes = false; // the operation would change it
	int made_fd = -1;     // an open that created the entry: its result

	void prepare(uint32_t type, int dirfd, const char *path);
	int finish(int rc);
};

// An entry change made by op (libc's call, returning 0 or -1 with errno):
// through an EntryChange while some family watches the namespace;
// otherwise op alone, and for a removal what is known of where inodes lie
// goes, as EntryChange::finish() lets it go.
template <typename Op>
int entry_change(bool removal, uint32_t type, int dirfd, const char *path,
                 Op &&op)
{
	const Config *seen = nullptr;
	if (!ns_may_watch(seen)) {
		int rc = op();
		if (removal && rc == 0 && seen)
			ns_entry_gone(*seen);
		return rc;
	}
	EntryChange c(removal);
	c.prepare(type, dirfd, path);
	return c.finish(op());
}

struct Creation : EntryChange {
	Creation() : EntryChange(false)
	{
	}
};

struct Removal : EntryChange {
	Removal() : EntryChange(true)
	{
	}
};

// A rename: the renamed object's FID in tfid and sfid, the new parent and
// name, the old parent in spfid. It holds the logs of both directories.
struct RenameChange {
	RenameChange();
	~RenameChange();
	ConfigPtr cfg;
	const Config *seen = nullptr; // the simulation, watched or not
	NsDir from, to;
	std::string from_name;
	NsEvent ev;
	std::unique_ptr<NsIntent> intent;
	bool located = false; // both entries are in the mount

	void prepare(int olddirfd, const char *oldpath, int newdirfd,
	             const char *newpath);
	int finish(int rc);
};

// Attribute changes: the object is found after the change (path null or
// empty: dirfd itself).
int attr_changed(int rc, uint32_t type, int dirfd, const char *path,
                 bool follow, const char *xattr = nullptr);

// An open with O_CREAT in the mount while the namespace is watched: true
// when it was served here (result: a descriptor, or -1 with errno).
bool create_open(int dirfd, const char *path, int flags, unsigned mode,
                 int &result);

// Objects a C library function made without passing through the opens we
// see (the mkstemp family, mkdtemp): published from what they now are.
void created_fd(int fd, uint32_t open_flags);
void made_dir(const char *path);

// fopen()/fopen64() through fn, publishing a file the stream creates.
FILE *fopen_creating(const char *path, const char *mode,
                     FILE *(*fn)(const char *, const char *));

} // namespace zvsim
