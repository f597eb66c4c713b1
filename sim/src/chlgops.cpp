// Namespace operations in a simulated mount, and the change-log records
// they produce. The operation itself always runs on the backing directory
// through libc; a record follows only when it succeeded.
//
// Cost for other calls: one getenv() without a simulation; with one, a
// check that some log has a user (one system call) before anything else.
#include "chlg.h"
#include "fopenmode.h"

#include "real.h"
#include "tree.h"

#include <linux/zorvel/zorvel_changelog.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <zvsim/zvsim.h>

#define ZV_EXPORT extern "C" __attribute__((visibility("default")))

namespace zvsim::chlg
{

namespace
{

constexpr int DELAY_CREATE_BIT = 0x1000000;

template <typename F>
F next(const char *name)
{
	return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Owned descriptor.
struct Fd {
	int fd = -1;
	Fd() = default;
	Fd(const Fd &) = delete;
	Fd &operator=(const Fd &) = delete;
	~Fd()
	{
		if (fd >= 0)
			::close(fd);
	}
};

// The current simulation when some log of it has a user.
ConfigPtr watching()
{
	if (!::getenv(ZVSIM_STATE_ENV))
		return nullptr;
	ConfigPtr cfg = current();
	return cfg && any_user(*cfg) ? cfg : nullptr;
}

// A directory of the mount reached through a path: its FID and an O_PATH
// descriptor on it.
struct Dir {
	Fd fd;
	Fid fid;
};

bool dir_in_mount(const Config &cfg, int fd, Dir &d)
{
	std::string real, rel;
	struct stat st;
	if (sys::fd_path(fd, real) < 0 || !cfg.relative(real, rel) ||
	    ::fstat(fd, &st) < 0 || st.st_dev != cfg.dev)
		return false;
	d.fid = cfg.fid_of(st.st_dev, st.st_ino);
	return true;
}

// The parent directory and entry name of the last component of path;
// false when it is not in the mount or names no entry (".", "..").
bool locate_entry(const Config &cfg, int dirfd, const char *path, Dir &d,
                  std::string &name)
{
	if (!path || !*path)
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
	d.fd.fd = sys::openat(dirfd, dir.c_str(), O_PATH | O_DIRECTORY);
	return d.fd.fd >= 0 && dir_in_mount(cfg, d.fd.fd, d);
}

bool entry_fid(const Config &cfg, const Dir &d, const std::string &name,
               Fid &fid)
{
	struct stat st;
	if (::fstatat(d.fd.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) < 0 ||
	    st.st_dev != cfg.dev)
		return false;
	fid = cfg.fid_of(st.st_dev, st.st_ino);
	return true;
}

// An existing object behind a descriptor: its FID, parent and name (the
// root and unlinked objects have neither).
bool object_event(const Config &cfg, int fd, Event &ev)
{
	std::string real, rel;
	bool deleted = false;
	struct stat st;
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

// An existing object named by dirfd and path (path empty or null: dirfd
// itself, as with AT_EMPTY_PATH or utimensat's null path).
bool path_event(const Config &cfg, int dirfd, const char *path, bool follow,
                Event &ev)
{
	if (!path || !*path)
		return object_event(cfg, dirfd, ev);
	Fd fd;
	fd.fd = sys::openat(dirfd, path, O_PATH | (follow ? 0 : O_NOFOLLOW));
	return fd.fd >= 0 && object_event(cfg, fd.fd, ev);
}

// Nothing unwinds into a C caller; a failure to record loses the record,
// never the operation's result. Calls made by the simulator itself record
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

// A change of one directory entry: located before the operation, recorded
// after it. The object's FID is taken after the operation for a new entry
// and before it for a removal, while the entry exists.
struct EntryChange {
	explicit EntryChange(bool fid_before) : fid_before(fid_before)
	{
	}
	ConfigPtr cfg;
	Dir dir;
	Event ev;
	bool armed = false;
	const bool fid_before;

	void prepare(uint32_t type, int dirfd, const char *path)
	{
		quietly([&] {
			cfg = watching();
			armed = cfg &&
			        locate_entry(*cfg, dirfd, path, dir, ev.name) &&
			        (!fid_before ||
			         entry_fid(*cfg, dir, ev.name, ev.tfid));
			ev.type = type;
			ev.pfid = dir.fid;
		});
	}
	int finish(int rc)
	{
		if (rc == 0 && armed)
			quietly([&] {
				if (fid_before ||
				    entry_fid(*cfg, dir, ev.name, ev.tfid))
					produce(*cfg, ev);
			});
		return rc;
	}
};

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

// Attribute changes: the object is found after the change.
int attr_path(int rc, uint32_t type, int dirfd, const char *path, bool follow,
              const char *xattr = nullptr)
{
	if (rc == 0)
		quietly([&] {
			ConfigPtr cfg = watching();
			Event ev;
			ev.type = type;
			if (xattr)
				ev.xattr = xattr;
			if (cfg && path_event(*cfg, dirfd, path, follow, ev))
				produce(*cfg, ev);
		});
	return rc;
}

int attr_fd(int rc, uint32_t type, int fd, const char *xattr = nullptr)
{
	return attr_path(rc, type, fd, nullptr, true, xattr);
}

int missing()
{
	errno = ENOSYS;
	return -1;
}

#define NEXT(name, type)                                                       \
	static const auto next_##name = next<type>(#name);                     \
	if (!next_##name)                                                      \
		return missing();

} // namespace

bool create_open(int dirfd, const char *path, int flags, unsigned mode,
                 int &result)
{
	bool served = false;
	int err = 0;
	quietly([&] {
		ConfigPtr cfg = watching();
		if (!cfg || std::strstr(path, ".zorvel/fid"))
			return;
		Dir dir;
		Event ev;
		Fid existing;
		if (!locate_entry(*cfg, dirfd, path, dir, ev.name) ||
		    entry_fid(*cfg, dir, ev.name, existing))
			return; // outside the mount, or no creation
		served = true;
		int fd = real::fns().openat(dirfd, path,
		                            flags & ~DELAY_CREATE_BIT, mode);
		if (fd < 0) {
			result = -1;
			err = errno;
			return;
		}
		result = fd;
		ev.type = CL_CREATE;
		ev.pfid = dir.fid;
		ev.open_flags = static_cast<uint32_t>(flags);
		if (entry_fid(*cfg, dir, ev.name, ev.tfid))
			produce(*cfg, ev);
	});
	if (served && result < 0)
		errno = err;
	return served;
}

// fopen() in a creating mode ('w', 'a') may make a new file.
FILE *fopen_hook(const char *path, const char *mode,
                 FILE *(*fn)(const char *, const char *))
{
	int flags = 0;
	if (!path || !mode || !parse_fopen_mode(mode, flags) ||
	    !(flags & O_CREAT))
		return fn(path, mode);
	Creation c;
	c.prepare(CL_CREATE, AT_FDCWD, path);
	quietly([&] {
		Fid existing;
		if (c.armed && entry_fid(*c.cfg, c.dir, c.ev.name, existing))
			c.armed = false; // opened, not created
	});
	c.ev.open_flags = static_cast<uint32_t>(flags);
	FILE *fp = fn(path, mode);
	c.finish(fp ? 0 : -1);
	return fp;
}

} // namespace zvsim::chlg

using namespace zvsim::chlg;

// --- creations ---------------------------------------------------------

ZV_EXPORT int mkdirat(int dirfd, const char *path, mode_t mode)
{
	NEXT(mkdirat, int (*)(int, const char *, mode_t));
	Creation c;
	c.prepare(CL_MKDIR, dirfd, path);
	return c.finish(next_mkdirat(dirfd, path, mode));
}

ZV_EXPORT int mkdir(const char *path, mode_t mode)
{
	NEXT(mkdir, int (*)(const char *, mode_t));
	Creation c;
	c.prepare(CL_MKDIR, AT_FDCWD, path);
	return c.finish(next_mkdir(path, mode));
}

ZV_EXPORT int mknodat(int dirfd, const char *path, mode_t mode, dev_t dev)
{
	NEXT(mknodat, int (*)(int, const char *, mode_t, dev_t));
	Creation c;
	c.prepare(CL_MKNOD, dirfd, path);
	return c.finish(next_mknodat(dirfd, path, mode, dev));
}

ZV_EXPORT int mknod(const char *path, mode_t mode, dev_t dev)
{
	NEXT(mknod, int (*)(const char *, mode_t, dev_t));
	Creation c;
	c.prepare(CL_MKNOD, AT_FDCWD, path);
	return c.finish(next_mknod(path, mode, dev));
}

ZV_EXPORT int symlinkat(const char *target, int dirfd, const char *path)
{
	NEXT(symlinkat, int (*)(const char *, int, const char *));
	Creation c;
	c.prepare(CL_SOFTLINK, dirfd, path);
	return c.finish(next_symlinkat(target, dirfd, path));
}

ZV_EXPORT int symlink(const char *target, const char *path)
{
	NEXT(symlink, int (*)(const char *, const char *));
	Creation c;
	c.prepare(CL_SOFTLINK, AT_FDCWD, path);
	return c.finish(next_symlink(target, path));
}

ZV_EXPORT int linkat(int olddirfd, const char *oldpath, int newdirfd,
                     const char *newpath, int flags)
{
	NEXT(linkat, int (*)(int, const char *, int, const char *, int));
	Creation c;
	c.prepare(CL_HARDLINK, newdirfd, newpath);
	return c.finish(
	        next_linkat(olddirfd, oldpath, newdirfd, newpath, flags));
}

ZV_EXPORT int link(const char *oldpath, const char *newpath)
{
	NEXT(link, int (*)(const char *, const char *));
	Creation c;
	c.prepare(CL_HARDLINK, AT_FDCWD, newpath);
	return c.finish(next_link(oldpath, newpath));
}

// creat() is an open; ours records the creation.
ZV_EXPORT int creat(const char *path, mode_t mode)
{
	return open(path, O_CREAT | O_WRONLY | O_TRUNC, mode);
}

ZV_EXPORT int creat64(const char *path, mode_t mode)
{
	return open64(path, O_CREAT | O_WRONLY | O_TRUNC, mode);
}

// --- removals ----------------------------------------------------------

ZV_EXPORT int unlinkat(int dirfd, const char *path, int flags)
{
	NEXT(unlinkat, int (*)(int, const char *, int));
	Removal r;
	r.prepare((flags & AT_REMOVEDIR) ? CL_RMDIR : CL_UNLINK, dirfd, path);
	return r.finish(next_unlinkat(dirfd, path, flags));
}

ZV_EXPORT int unlink(const char *path)
{
	NEXT(unlink, int (*)(const char *));
	Removal r;
	r.prepare(CL_UNLINK, AT_FDCWD, path);
	return r.finish(next_unlink(path));
}

ZV_EXPORT int rmdir(const char *path)
{
	NEXT(rmdir, int (*)(const char *));
	Removal r;
	r.prepare(CL_RMDIR, AT_FDCWD, path);
	return r.finish(next_rmdir(path));
}

// --- renames: tfid and sfid the object, pfid the new parent and name the
// new name, spfid the old parent -----------------------------------------

namespace
{
struct Rename {
	Removal from;
	Dir to;
	std::string to_name;
	bool armed = false;

	void prepare(int olddirfd, const char *oldpath, int newdirfd,
	             const char *newpath)
	{
		from.prepare(CL_RENAME, olddirfd, oldpath);
		if (from.armed)
			quietly([&] {
				armed = locate_entry(*from.cfg, newdirfd,
				                     newpath, to, to_name);
			});
	}
	int finish(int rc)
	{
		if (rc == 0 && armed)
			quietly([&] {
				Event ev = from.ev;
				ev.sfid = ev.tfid;
				ev.spfid = ev.pfid;
				ev.pfid = to.fid;
				ev.name = to_name;
				produce(*from.cfg, ev);
			});
		return rc;
	}
};
} // namespace

ZV_EXPORT int renameat2(int olddirfd, const char *oldpath, int newdirfd,
                        const char *newpath, unsigned flags)
{
	NEXT(renameat2,
	     int (*)(int, const char *, int, const char *, unsigned));
	Rename r;
	r.prepare(olddirfd, oldpath, newdirfd, newpath);
	return r.finish(
	        next_renameat2(olddirfd, oldpath, newdirfd, newpath, flags));
}

ZV_EXPORT int renameat(int olddirfd, const char *oldpath, int newdirfd,
                       const char *newpath)
{
	NEXT(renameat, int (*)(int, const char *, int, const char *));
	Rename r;
	r.prepare(olddirfd, oldpath, newdirfd, newpath);
	return r.finish(next_renameat(olddirfd, oldpath, newdirfd, newpath));
}

ZV_EXPORT int rename(const char *oldpath, const char *newpath)
{
	NEXT(rename, int (*)(const char *, const char *));
	Rename r;
	r.prepare(AT_FDCWD, oldpath, AT_FDCWD, newpath);
	return r.finish(next_rename(oldpath, newpath));
}

// --- attributes --------------------------------------------------------

ZV_EXPORT int chmod(const char *path, mode_t mode)
{
	NEXT(chmod, int (*)(const char *, mode_t));
	return attr_path(next_chmod(path, mode), CL_SETATTR, AT_FDCWD, path,
	                 true);
}

ZV_EXPORT int fchmod(int fd, mode_t mode)
{
	NEXT(fchmod, int (*)(int, mode_t));
	return attr_fd(next_fchmod(fd, mode), CL_SETATTR, fd);
}

ZV_EXPORT int fchmodat(int dirfd, const char *path, mode_t mode, int flags)
{
	NEXT(fchmodat, int (*)(int, const char *, mode_t, int));
	return attr_path(next_fchmodat(dirfd, path, mode, flags), CL_SETATTR,
	                 dirfd, path, !(flags & AT_SYMLINK_NOFOLLOW));
}

ZV_EXPORT int chown(const char *path, uid_t uid, gid_t gid)
{
	NEXT(chown, int (*)(const char *, uid_t, gid_t));
	return attr_path(next_chown(path, uid, gid), CL_SETATTR, AT_FDCWD, path,
	                 true);
}

ZV_EXPORT int lchown(const char *path, uid_t uid, gid_t gid)
{
	NEXT(lchown, int (*)(const char *, uid_t, gid_t));
	return attr_path(next_lchown(path, uid, gid), CL_SETATTR, AT_FDCWD,
	                 path, false);
}

ZV_EXPORT int fchown(int fd, uid_t uid, gid_t gid)
{
	NEXT(fchown, int (*)(int, uid_t, gid_t));
	return attr_fd(next_fchown(fd, uid, gid), CL_SETATTR, fd);
}

ZV_EXPORT int fchownat(int dirfd, const char *path, uid_t uid, gid_t gid,
                       int flags)
{
	NEXT(fchownat, int (*)(int, const char *, uid_t, gid_t, int));
	return attr_path(next_fchownat(dirfd, path, uid, gid, flags),
	                 CL_SETATTR, dirfd, path,
	                 !(flags & AT_SYMLINK_NOFOLLOW));
}

ZV_EXPORT int utimensat(int dirfd, const char *path,
                        const struct timespec times[2], int flags)
{
	NEXT(utimensat,
	     int (*)(int, const char *, const struct timespec *, int));
	return attr_path(next_utimensat(dirfd, path, times, flags), CL_SETATTR,
	                 dirfd, path, !(flags & AT_SYMLINK_NOFOLLOW));
}

ZV_EXPORT int futimens(int fd, const struct timespec times[2])
{
	NEXT(futimens, int (*)(int, const struct timespec *));
	return attr_fd(next_futimens(fd, times), CL_SETATTR, fd);
}

ZV_EXPORT int truncate(const char *path, off_t len)
{
	NEXT(truncate, int (*)(const char *, off_t));
	return attr_path(next_truncate(path, len), CL_TRUNC, AT_FDCWD, path,
	                 true);
}

ZV_EXPORT int truncate64(const char *path, off_t len)
{
	NEXT(truncate64, int (*)(const char *, off_t));
	return attr_path(next_truncate64(path, len), CL_TRUNC, AT_FDCWD, path,
	                 true);
}

ZV_EXPORT int ftruncate(int fd, off_t len)
{
	NEXT(ftruncate, int (*)(int, off_t));
	return attr_fd(next_ftruncate(fd, len), CL_TRUNC, fd);
}

ZV_EXPORT int ftruncate64(int fd, off_t len)
{
	NEXT(ftruncate64, int (*)(int, off_t));
	return attr_fd(next_ftruncate64(fd, len), CL_TRUNC, fd);
}

ZV_EXPORT int setxattr(const char *path, const char *name, const void *value,
                       size_t size, int flags)
{
	NEXT(setxattr,
	     int (*)(const char *, const char *, const void *, size_t, int));
	return attr_path(next_setxattr(path, name, value, size, flags),
	                 CL_SETXATTR, AT_FDCWD, path, true, name);
}

ZV_EXPORT int lsetxattr(const char *path, const char *name, const void *value,
                        size_t size, int flags)
{
	NEXT(lsetxattr,
	     int (*)(const char *, const char *, const void *, size_t, int));
	return attr_path(next_lsetxattr(path, name, value, size, flags),
	                 CL_SETXATTR, AT_FDCWD, path, false, name);
}

ZV_EXPORT int fsetxattr(int fd, const char *name, const void *value,
                        size_t size, int flags)
{
	NEXT(fsetxattr, int (*)(int, const char *, const void *, size_t, int));
	return attr_fd(next_fsetxattr(fd, name, value, size, flags),
	               CL_SETXATTR, fd, name);
}
