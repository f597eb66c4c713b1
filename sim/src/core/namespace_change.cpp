#include "namespace_change.h"

#include "fopenmode.h"
#include "libc/real.h"
#include "request.h"
#include "sysio.h"
#include "tree.h"
#include "user_memory.h"

#include <linux/zorvel/zorvel_changelog.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zvsim/zvsim.h>

namespace zvsim
{

namespace
{

constexpr int DELAY_CREATE_BIT = 0x1000000;

bool dir_in_mount(const Config &cfg, int fd, NsDir &d)
{
	std::string real, rel;
	struct stat st;
	if (sys::fd_path(fd, real) < 0 || !cfg.relative(real, rel) ||
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
	d.fd.fd = sys::openat(dirfd, dir.c_str(), O_PATH | O_DIRECTORY);
	return d.fd.fd >= 0 && dir_in_mount(cfg, d.fd.fd, d);
}

bool entry_fid(const Config &cfg, const NsDir &d, const std::string &name,
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
bool object_event(const Config &cfg, int fd, NsEvent &ev)
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

} // namespace

OwnedFd::~OwnedFd()
{
	if (fd >= 0)
		sys::close(fd);
}

ConfigPtr ns_watching()
{
	if (!::getenv(ZVSIM_STATE_ENV))
		return nullptr;
	ConfigPtr cfg = current();
	if (!cfg)
		return nullptr;
	for (const Family *f : families())
		if (f->watching && f->watching(*cfg))
			return cfg;
	return nullptr;
}

void ns_publish(const Config &cfg, const NsEvent &ev)
{
	for (const Family *f : families())
		if (f->observe && f->watching && f->watching(cfg))
			f->observe(cfg, ev);
}

void EntryChange::prepare(uint32_t type, int dirfd, const char *path)
{
	quietly([&] {
		cfg = ns_watching();
		if (!cfg)
			return;
		UserPath p(path);
		armed = p.ok() &&
		        locate_entry(*cfg, dirfd, p.c_str(), dir, ev.name) &&
		        (!fid_before || entry_fid(*cfg, dir, ev.name, ev.tfid));
		ev.type = type;
		ev.pfid = dir.fid;
	});
}

int EntryChange::finish(int rc)
{
	if (rc == 0 && armed)
		quietly([&] {
			if (fid_before ||
			    entry_fid(*cfg, dir, ev.name, ev.tfid))
				ns_publish(*cfg, ev);
		});
	return rc;
}

void RenameChange::prepare(int olddirfd, const char *oldpath, int newdirfd,
                           const char *newpath)
{
	from.prepare(CL_RENAME, olddirfd, oldpath);
	if (from.armed)
		quietly([&] {
			UserPath p(newpath);
			armed = p.ok() && locate_entry(*from.cfg, newdirfd,
			                               p.c_str(), to, to_name);
		});
}

int RenameChange::finish(int rc)
{
	if (rc == 0 && armed)
		quietly([&] {
			NsEvent ev = from.ev;
			ev.sfid = ev.tfid;
			ev.spfid = ev.pfid;
			ev.pfid = to.fid;
			ev.sname = ev.name;
			ev.name = to_name;
			ns_publish(*from.cfg, ev);
		});
	return rc;
}

int attr_changed(int rc, uint32_t type, int dirfd, const char *path,
                 bool follow, const char *xattr)
{
	if (rc == 0)
		quietly([&] {
			ConfigPtr cfg = ns_watching();
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

bool create_open(int dirfd, const char *path, int flags, unsigned mode,
                 int &result)
{
	bool served = false;
	int err = 0;
	quietly([&] {
		ConfigPtr cfg = ns_watching();
		if (!cfg || std::strstr(path, ".zorvel/fid"))
			return;
		NsDir dir;
		NsEvent ev;
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
			ns_publish(*cfg, ev);
	});
	if (served && result < 0)
		errno = err;
	return served;
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
	c.prepare(CL_CREATE, AT_FDCWD, path);
	quietly([&] {
		Fid existing;
		if (c.armed && entry_fid(*c.cfg, c.dir, c.ev.name, existing))
			c.armed = false; // opened, not created
	});
	c.ev.open_flags = static_cast<uint32_t>(flags);
	FILE *fp = real::call(fn, path, mode);
	c.finish(fp ? 0 : -1);
	return fp;
}

} // namespace zvsim
