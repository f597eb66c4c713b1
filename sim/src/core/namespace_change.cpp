#include "namespace_change.h"

#include "control_page.h"
#include "fopenmode.h"
#include "link_index.h"
#include "real.h"
#include "request.h"
#include "sysio.h"
#include "tree.h"
#include "user_memory.h"

#include <linux/zorvel/zorvel_changelog.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#include <zvsim/zvsim.h>

namespace zvsim
{

namespace
{

// Directories of the mount that changes in this process went to, by the
// absolute text that named them, with their FIDs and paths from the mount
// root; and the names of the files this process created, by descriptor.
// A change there resolves nothing but its entry, and an attribute change
// through such a descriptor nothing but its object. The texts and names
// hold while no removal or rename happened in the simulation (the control
// page counts them), since only those change what a path names or where
// an open file lies.
struct DirText {
	Fid fid;
	std::string rel;
};

struct FdName {
	int fd = -1;
	Fid fid, pfid;
	std::string name;
};

// Looked up by a std::string_view of a caller's path, without a copy.
struct TextHash {
	using is_transparent = void;
	size_t operator()(std::string_view s) const noexcept
	{
		return std::hash<std::string_view>{}(s);
	}
};

constexpr size_t DIR_TEXTS_MAX = 256;
constexpr size_t FD_NAMES = 64; // by descriptor number, modulo

struct DirTexts {
	std::mutex mu;
	std::string state, instance;
	uint32_t moved = 0;
	std::unordered_map<std::string, DirText, TextHash, std::equal_to<>>
	        dirs;
	FdName fds[FD_NAMES];
};

DirTexts &dir_texts()
{
	static auto *t = new DirTexts; // never destroyed: used until exit
	return *t;
}

uint32_t entries_moved(const Config &cfg)
{
	return page_get(cfg.page, &ControlPage::entries_moved);
}

void moved(const Config &cfg)
{
	page_bump(cfg.page, &ControlPage::entries_moved);
}

bool texts_hold(const DirTexts &t, const Config &cfg, uint32_t moved)
{
	return t.state == cfg.state && t.instance == cfg.instance &&
	       t.moved == moved;
}

// The texts, locked, when they hold now; not waited for: a child of fork
// whose parent held the lock goes without.
std::unique_lock<std::mutex> texts_now(const Config &cfg)
{
	DirTexts &t = dir_texts();
	std::unique_lock<std::mutex> lock(t.mu, std::try_to_lock);
	if (lock.owns_lock() && !texts_hold(t, cfg, entries_moved(cfg)))
		lock.unlock();
	return lock;
}

// The texts, locked, to keep what was found while the count of moves
// was `moved`: emptied when they were of another count or simulation.
std::unique_lock<std::mutex> texts_to_keep(const Config &cfg, uint32_t moved)
{
	DirTexts &t = dir_texts();
	std::unique_lock<std::mutex> lock(t.mu, std::try_to_lock);
	if (!lock.owns_lock() || texts_hold(t, cfg, moved))
		return lock;
	t.dirs.clear();
	for (FdName &n : t.fds)
		n.fd = -1;
	t.state = cfg.state;
	t.instance = cfg.instance;
	t.moved = moved;
	return lock;
}

// fn(text) on dir's text, when the texts hold now and know it.
template <typename Fn>
bool dir_text_with(const Config &cfg, std::string_view dir, Fn &&fn)
{
	auto lock = texts_now(cfg);
	if (!lock.owns_lock())
		return false;
	auto it = dir_texts().dirs.find(dir);
	if (it == dir_texts().dirs.end())
		return false;
	fn(it->second);
	return true;
}

bool dir_text_find(const Config &cfg, std::string_view dir, NsDir &d)
{
	return dir_text_with(cfg, dir, [&](const DirText &t) {
		d.fid = t.fid;
		d.rel = t.rel;
		d.text = dir;
	});
}

// dir, found in the mount as d while the count of moves was `moved`.
void dir_text_keep(const Config &cfg, uint32_t moved, const std::string &dir,
                   const NsDir &d)
{
	auto lock = texts_to_keep(cfg, moved);
	DirTexts &t = dir_texts();
	if (!lock.owns_lock() || t.dirs.size() >= DIR_TEXTS_MAX)
		return;
	t.dirs[dir] = {d.fid, d.rel};
}

// The name a created file was given, for its descriptor fd.
void fd_name_keep(const Config &cfg, uint32_t moved, int fd, const NsEvent &ev)
{
	auto lock = texts_to_keep(cfg, moved);
	if (lock.owns_lock() && fd >= 0)
		dir_texts().fds[size_t(fd) % FD_NAMES] = {fd, ev.tfid, ev.pfid,
		                                          ev.name};
}

bool fd_name_find(const Config &cfg, int fd, FdName &out)
{
	auto lock = texts_now(cfg);
	if (!lock.owns_lock() || fd < 0)
		return false;
	const FdName &n = dir_texts().fds[size_t(fd) % FD_NAMES];
	if (n.fd != fd)
		return false;
	out = n;
	return true;
}

bool dir_in_mount(const Config &cfg, int fd, NsDir &d)
{
	std::string real;
	struct stat st;
	if (sys::fd_path(fd, real) < 0 || !cfg.relative(real, d.rel) ||
	    ::fstat(fd, &st) < 0 || st.st_dev != cfg.dev)
		return false;
	d.fid = cfg.fid_of(st.st_dev, st.st_ino);
	return true;
}

// The parent directory and entry name of the last component of path (a
// copy in our memory); false when it is not in the mount or names no
// entry (".", "..").
bool locate_entry(const Config &cfg, int dirfd, const char *path, NsDir &d,
                  std::string &name)
{
	if (!*path)
		return false;
	std::string p = path;
	while (p.size() > 1 && p.back() == '/')
		p.pop_back();
	size_t slash = p.rfind('/');
	std::string dir = slash == std::string::npos ? "."
	                  : slash == 0               ? "/"
	                                             : p.substr(0, slash);
	name = slash == std::string::npos ? p : p.substr(slash + 1);
	if (name.empty() || name == "." || name == "..")
		return false;
	bool absolute = dir[0] == '/';
	if (absolute && dir_text_find(cfg, dir, d))
		return true;
	uint32_t moves = entries_moved(cfg);
	d.fd.fd = sys::openat(dirfd, dir.c_str(), O_PATH | O_DIRECTORY);
	if (d.fd.fd < 0 || !dir_in_mount(cfg, d.fd.fd, d))
		return false;
	if (absolute)
		dir_text_keep(cfg, moves, dir, d);
	return true;
}

// The object behind a descriptor, when it lies on the mount's file system.
bool fd_fid(const Config &cfg, int fd, Fid &fid)
{
	struct stat st;
	if (::fstat(fd, &st) < 0 || st.st_dev != cfg.dev)
		return false;
	fid = cfg.fid_of(st.st_dev, st.st_ino);
	return true;
}

bool entry_fid(const Config &cfg, const NsDir &d, const std::string &name,
               Fid &fid, mode_t *mode = nullptr)
{
	struct stat st;
	int rc = d.fd.fd >= 0
	                 ? ::fstatat(d.fd.fd, name.c_str(), &st,
	                             AT_SYMLINK_NOFOLLOW)
	                 : ::fstatat(AT_FDCWD, (d.text + "/" + name).c_str(),
	                             &st, AT_SYMLINK_NOFOLLOW);
	if (rc < 0 || st.st_dev != cfg.dev)
		return false;
	fid = cfg.fid_of(st.st_dev, st.st_ino);
	if (mode)
		*mode = st.st_mode;
	return true;
}

// An open of an existing FIFO or device (or through a symbolic link) may
// wait for another process, which may need the log's lock to get there:
// such an open does not hold the lock.
bool open_may_wait(const EntryChange &c)
{
	return c.mode && !S_ISREG(c.mode) && !S_ISDIR(c.mode);
}

bool open_dir(const Config &cfg, const std::string &rel, NsDir &d)
{
	if (d.fd.fd >= 0)
		sys::close(d.fd.fd);
	d.fd.fd = sys::openat(AT_FDCWD, cfg.abs(rel).c_str(),
	                      O_PATH | O_DIRECTORY | O_NOFOLLOW);
	return d.fd.fd >= 0 && dir_in_mount(cfg, d.fd.fd, d);
}

// A checked directory: where it was, else wherever its FID is now.
bool find_dir(const Config &cfg, const NsCheck &c, NsDir &d)
{
	std::string rel;
	return (open_dir(cfg, c.dir, d) && d.fid == c.dir_fid) ||
	       (fid_to_rel(cfg, c.dir_fid, rel) == 0 && open_dir(cfg, rel, d) &&
	        d.fid == c.dir_fid);
}

NsCheck check_of(uint32_t kind, const NsDir &d, const std::string &name,
                 const Fid &object = {})
{
	return {kind, d.rel, d.fid, name, object};
}

// An existing object behind a descriptor: its FID, parent and name (the
// root and unlinked objects have neither).
bool object_event(const Config &cfg, int fd, NsEvent &ev)
{
	std::string real, rel;
	bool deleted = false;
	struct stat st;
	// A file this process created, with one name: the name it was given.
	FdName known;
	if (fd_name_find(cfg, fd, known) && ::fstat(fd, &st) == 0 &&
	    st.st_dev == cfg.dev && st.st_nlink == 1 &&
	    cfg.fid_of(st.st_dev, st.st_ino) == known.fid) {
		ev.tfid = known.fid;
		ev.pfid = known.pfid;
		ev.name = known.name;
		return true;
	}
	if (sys::fd_path(fd, real, &deleted) < 0 || !cfg.relative(real, rel) ||
	    ::fstat(fd, &st) < 0 || st.st_dev != cfg.dev)
		return false;
	ev.tfid = cfg.fid_of(st.st_dev, st.st_ino);
	if (rel.empty() || deleted)
		return true;
	struct stat pst;
	if (::lstat(cfg.abs(parent_of(rel)).c_str(), &pst) == 0)
		ev.pfid = cfg.fid_of(pst.st_dev, pst.st_ino);
	ev.name = basename_of(rel);
	return true;
}

// An existing object named by dirfd and path (path empty: dirfd itself, as
// with AT_EMPTY_PATH or utimensat's null path).
bool path_event(const Config &cfg, int dirfd, const char *path, bool follow,
                NsEvent &ev)
{
	if (!*path)
		return object_event(cfg, dirfd, ev);
	OwnedFd fd;
	fd.fd = sys::openat(dirfd, path, O_PATH | (follow ? 0 : O_NOFOLLOW));
	return fd.fd >= 0 && object_event(cfg, fd.fd, ev);
}

// Nothing unwinds into a C caller; a failure to publish loses the event,
// never the operation's result. Calls made by the simulator itself publish
// nothing.
template <typename F>
void quietly(F &&f) noexcept
{
	if (sys::Reentry::inside())
		return;
	int saved = errno;
	try {
		sys::Reentry guard;
		f();
	} catch (...) {
	}
	errno = saved;
}

// Whether some family writes a record with an entry change now.
bool intended(const Config &cfg)
{
	for (const Family *f : families_with<&Family::intends>())
		if (f->intends(cfg))
			return true;
	return false;
}

// The record a family writes with an entry change, when one keeps them.
std::unique_ptr<NsIntent> intent_of(const Config &cfg)
{
	for (const Family *f : families_with<&Family::intent>())
		if (std::unique_ptr<NsIntent> i = f->intent(cfg))
			return i;
	return nullptr;
}

// The directory text and entry name of an absolute path, as
// locate_entry() takes them; false for a path it would not take or that
// ends in a slash.
bool split_absolute(std::string_view p, std::string_view &dir,
                    std::string_view &name)
{
	if (p.empty() || p[0] != '/' || p.back() == '/')
		return false;
	size_t slash = p.rfind('/');
	dir = slash == 0 ? std::string_view("/") : p.substr(0, slash);
	name = p.substr(slash + 1);
	return name != "." && name != "..";
}

// A creation that must make a new file (O_EXCL), by an absolute path,
// in a directory this process met before, while no family keeps
// a record with the change: the open, then the event. The link index
// takes a mark of the directory when it can; otherwise the new file's
// identity is looked up for its record. False when it is not such
// a creation.
bool quick_create(const ConfigPtr &cfg, int dirfd, const char *path, int flags,
                  unsigned mode, int &result)
{
	std::string_view dir, name;
	if (!(flags & O_EXCL) || !split_absolute(path, dir, name))
		return false;
	NsEvent ev;
	bool known = false;
	quietly([&] {
		known = cfg->page && !intended(*cfg) &&
		        dir_text_with(*cfg, dir, [&](const DirText &t) {
			        ev.pfid = t.fid;
		        });
	});
	if (!known)
		return false;
	result = real::fns().openat(dirfd, path, flags & ~DELAY_CREATE_BIT,
	                            mode);
	if (result >= 0)
		quietly([&] {
			ev.indexed = link_index_mark(*cfg, ev.pfid);
			if (!ev.indexed && !fd_fid(*cfg, result, ev.tfid))
				return;
			ev.type = CL_CREATE;
			ev.name = name;
			ev.open_flags = static_cast<uint32_t>(flags);
			ns_publish(*cfg, ev);
		});
	return true;
}

} // namespace

OwnedFd::~OwnedFd()
{
	if (fd >= 0)
		sys::close(fd);
}

namespace
{
// Whether some family follows the namespace now; with attributes, one
// that hears of attribute changes.
bool watched(const Config &cfg, bool attributes = false)
{
	for (const Family *f : families_with<&Family::watching>())
		if ((!attributes || f->observes_attributes) && f->watching(cfg))
			return true;
	return false;
}

ConfigPtr watching(const Config **seen, bool attributes)
{
	// Looked at without the state lock first: nothing watches, most of
	// the time.
	const Config *peek = current_peek();
	if (seen)
		*seen = peek;
	if (!peek || !watched(*peek, attributes))
		return nullptr;
	ConfigPtr cfg = current();
	return cfg && watched(*cfg, attributes) ? cfg : nullptr;
}
} // namespace

ConfigPtr ns_watching(const Config **seen)
{
	return watching(seen, false);
}

bool ns_may_watch(const Config *&seen) noexcept
{
	seen = nullptr;
	if (sys::Reentry::inside())
		return false; // the simulator's own calls publish nothing
	bool may = true;      // a look that failed: EntryChange finds out
	quietly([&] {
		const Config *peek = current_peek();
		may = peek && watched(*peek);
		seen = peek;
	});
	return may;
}

void ns_publish(const Config &cfg, const NsEvent &ev)
{
	for (const Family *f : families_with<&Family::observe>())
		if (f->watching && f->watching(cfg))
			f->observe(cfg, ev);
}

bool NsCheck::took_effect(const Config &cfg, Fid &found) const
{
	NsDir d;
	bool there = find_dir(cfg, *this, d) && entry_fid(cfg, d, name, found);
	switch (kind) {
	case Appears:
		return there;
	case Names:
		return there && found == object;
	default:
		return !(there && found == object);
	}
}

EntryChange::EntryChange(bool removal) : removal(removal)
{
}

EntryChange::~EntryChange() = default;

// What the entry is is read under the log's lock (when a log keeps the
// change): a creation is a change only when the entry is missing, a
// removal only when it exists. Every watching family hears of it after the
// operation; the change log, which wrote its record ahead, skips it then.
void EntryChange::prepare(uint32_t type, int dirfd, const char *path)
{
	quietly([&] {
		if (!(cfg = ns_watching(&seen)))
			return;
		UserPath p(path);
		if (!p.ok() ||
		    !locate_entry(*cfg, dirfd, p.c_str(), dir, ev.name))
			return;
		located = true;
		ev.type = type;
		ev.pfid = dir.fid;
		bool keeps = false;
		if ((intent = intent_of(*cfg)))
			keeps = intent->lock(*cfg, type, cfg->mdt_of(dir.fid),
			                     -1);
		bool exists = entry_fid(*cfg, dir, ev.name, ev.tfid, &mode);
		changes = removal ? exists : !exists;
		if (keeps && changes)
			intent->write(ev, removal ? check_of(NsCheck::Gone, dir,
			                                     ev.name, ev.tfid)
			                          : check_of(NsCheck::Appears,
			                                     dir, ev.name));
	});
}

int EntryChange::finish(int rc)
{
	// Counted watched or not: what is known of where inodes lie goes.
	if (removal && rc == 0 && seen)
		moved(*seen);
	if (located)
		quietly([&] {
			// A creating open's object is its descriptor's: no walk
			// of the path.
			Fid made;
			bool done = rc == 0 && changes &&
			            (removal ||
			             (made_fd >= 0 ? fd_fid(*cfg, made_fd, made)
			                           : entry_fid(*cfg, dir,
			                                       ev.name, made)));
			if (intent)
				intent->end(done, removal ? nullptr : &made);
			if (!done)
				return;
			if (!removal)
				ev.tfid = made;
			ev.recorded = intent != nullptr;
			ns_publish(*cfg, ev);
		});
	return rc;
}

RenameChange::RenameChange() = default;
RenameChange::~RenameChange() = default;

void RenameChange::prepare(int olddirfd, const char *oldpath, int newdirfd,
                           const char *newpath)
{
	quietly([&] {
		if (!(cfg = ns_watching(&seen)))
			return;
		UserPath o(oldpath), n(newpath);
		if (!o.ok() || !n.ok() ||
		    !locate_entry(*cfg, olddirfd, o.c_str(), from, from_name) ||
		    !locate_entry(*cfg, newdirfd, n.c_str(), to, ev.name))
			return;
		bool keeps = false;
		if ((intent = intent_of(*cfg)))
			keeps = intent->lock(*cfg, CL_RENAME,
			                     cfg->mdt_of(to.fid),
			                     cfg->mdt_of(from.fid));
		if (!entry_fid(*cfg, from, from_name, ev.tfid))
			return;
		located = true;
		ev.type = CL_RENAME;
		ev.pfid = to.fid;
		ev.sfid = ev.tfid;
		ev.spfid = from.fid;
		ev.sname = from_name;
		if (keeps)
			intent->write(ev, check_of(NsCheck::Names, to, ev.name,
			                           ev.tfid));
	});
}

int RenameChange::finish(int rc)
{
	if (rc == 0 && seen)
		moved(*seen);
	quietly([&] {
		if (intent)
			intent->end(rc == 0, nullptr);
		if (rc != 0 || !located)
			return;
		ev.recorded = intent != nullptr;
		ns_publish(*cfg, ev);
	});
	return rc;
}

int attr_changed(int rc, uint32_t type, int dirfd, const char *path,
                 bool follow, const char *xattr)
{
	if (rc == 0)
		quietly([&] {
			ConfigPtr cfg = watching(nullptr, true);
			if (!cfg)
				return;
			UserPath p(path ? path : "");
			NsEvent ev;
			ev.type = type;
			if (xattr) {
				UserPath name(xattr);
				ev.xattr = name.c_str();
			}
			if (p.ok() &&
			    path_event(*cfg, dirfd, p.c_str(), follow, ev))
				ns_publish(*cfg, ev);
		});
	return rc;
}

// Served under the log's lock also when the file exists, so that no
// removal comes between the look at the entry and the open.
bool create_open(int dirfd, const char *path, int flags, unsigned mode,
                 int &result)
{
	if (std::strstr(path, ".zorvel/fid"))
		return false;
	ConfigPtr cfg;
	quietly([&] { cfg = ns_watching(); });
	if (!cfg)
		return false; // nothing follows the namespace
	if (quick_create(cfg, dirfd, path, flags, mode, result))
		return true;
	uint32_t moves = entries_moved(*cfg);
	Creation c;
	c.ev.open_flags = static_cast<uint32_t>(flags);
	c.prepare(CL_CREATE, dirfd, path);
	if (!c.located || (!c.changes && !c.intent) || open_may_wait(c))
		return false; // not watched, outside the mount, or no creation
	result = real::fns().openat(dirfd, path, flags & ~DELAY_CREATE_BIT,
	                            mode);
	c.made_fd = result;
	c.finish(result < 0 ? -1 : 0); // keeps errno
	if (result >= 0 && c.changes)
		quietly([&] { fd_name_keep(*c.cfg, moves, result, c.ev); });
	return true;
}

void ns_entry_gone(const Config &cfg)
{
	moved(cfg);
}

void created_fd(int fd, uint32_t open_flags)
{
	quietly([&] {
		ConfigPtr cfg = ns_watching();
		NsEvent ev;
		ev.type = CL_CREATE;
		ev.open_flags = open_flags;
		if (cfg && object_event(*cfg, fd, ev))
			ns_publish(*cfg, ev);
	});
}

void made_dir(const char *path)
{
	quietly([&] {
		ConfigPtr cfg = ns_watching();
		NsEvent ev;
		ev.type = CL_MKDIR;
		if (cfg && path_event(*cfg, AT_FDCWD, path, false, ev))
			ns_publish(*cfg, ev);
	});
}

// fopen() in a creating mode ('w', 'a') may make a new file.
FILE *fopen_creating(const char *path, const char *mode,
                     FILE *(*fn)(const char *, const char *))
{
	int flags = 0;
	if (!parse_fopen_mode(mode, flags) || !(flags & O_CREAT))
		return real::call(fn, path, mode);
	Creation c;
	c.ev.open_flags = static_cast<uint32_t>(flags);
	c.prepare(CL_CREATE, AT_FDCWD, path);
	if (open_may_wait(c))
		c.intent.reset();
	FILE *fp = real::call(fn, path, mode);
	c.finish(fp ? 0 : -1);
	return fp;
}

} // namespace zvsim
