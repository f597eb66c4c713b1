// The interposed libc entry points. Each one decides cheaply whether the
// call concerns a simulated mount; everything else goes to libc unchanged.
#include "chlg.h"
#include "control.h"
#include "guard.h"
#include "params.h"
#include "real.h"
#include "records.h"
#include "requests.h"
#include "tree.h"
#include "varndev.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zvsim/zvsim.h>

#define ZV_EXPORT extern "C" __attribute__((visibility("default")))

namespace zvsim
{
namespace
{

// Open flag bit the kernel client reads as "create no layout yet"; the
// backing file system must not see it.
constexpr int DELAY_CREATE_BIT = 0x1000000;
constexpr std::string_view FID_DIR_MARK = ".zorvel/fid";

#ifndef STATX_MNT_ID
#define STATX_MNT_ID 0x00001000U
#endif
#ifndef AT_HANDLE_FID
#define AT_HANDLE_FID 0x200
#endif

bool may_simulate()
{
	return !sys::Reentry::inside() && ::getenv(ZVSIM_STATE_ENV) != nullptr;
}

// The object behind a descriptor, when it lies in the mount.
bool object_of(const Config &cfg, int fd, Object &obj)
{
	std::string path;
	if (sys::fd_path(fd, path, &obj.deleted) < 0 ||
	    !cfg.relative(path, obj.rel))
		return false;
	if (::fstat(fd, &obj.st) < 0 || obj.st.st_dev != cfg.dev)
		return false;
	obj.fd = fd;
	obj.fid = cfg.fid_of(obj.st.st_dev, obj.st.st_ino);
	return true;
}

bool sim_ioctl(int fd, uint32_t code, void *arg, int &result)
{
	sys::Reentry guard;
	std::lock_guard<std::mutex> lock(state_mutex());
	ConfigPtr cfg = current_locked();
	Object obj;
	if (!cfg || !object_of(*cfg, fd, obj))
		return false;
	int fl = ::fcntl(fd, F_GETFL);
	if (fl >= 0 && (fl & O_PATH)) {
		result = syscall_result(-EBADF);
		return true;
	}
	ArgView view = describe_ioctl(*cfg, code, arg);
	int rc = serve(*cfg, code, _IOC_SIZE(code), view.entry, arg,
	               view.reply_room,
	               [&] { return handle_ioctl(*cfg, obj, code, arg); });
	result = syscall_result(rc);
	return true;
}

int handle_to_fid(const Config &cfg, const Object &obj, struct file_handle *h,
                  int *mount_id)
{
	if (!mount_id)
		return -EFAULT;
	uint32_t room = rec::get32(h, rec::FH_BYTES);
	if (room > 128) // MAX_HANDLE_SZ
		return -EINVAL;
	if (room < rec::FH_PAYLOAD) {
		rec::put32(h, rec::FH_BYTES, rec::FH_PAYLOAD);
		return -EOVERFLOW;
	}
	Fid parent{};
	if (obj.fid == ROOT_FID) {
		parent = ROOT_FID; // the root is its own parent, as "/.."
	} else if (!obj.deleted) {
		struct stat pst;
		if (::lstat(cfg.abs(parent_of(obj.rel)).c_str(), &pst) == 0)
			parent = cfg.fid_of(pst.st_dev, pst.st_ino);
	}
	rec::put32(h, rec::FH_BYTES, rec::FH_PAYLOAD);
	rec::put32(h, rec::FH_TYPE, rec::FH_TYPE_ZORVEL);
	fid_put(h, rec::FH_HDR, obj.fid);
	fid_put(h, rec::FH_HDR + rec::FID_SIZE, parent);
	struct statx sx;
	*mount_id =
	        ::statx(obj.fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &sx) == 0 &&
	                        (sx.stx_mask & STATX_MNT_ID)
	                ? static_cast<int>(sx.stx_mnt_id)
	                : 0;
	return 0;
}

bool sim_name_to_handle(int dirfd, const char *path, struct file_handle *h,
                        int *mount_id, int flags, int &result)
{
	if (!path || !h ||
	    (flags & ~(AT_EMPTY_PATH | AT_SYMLINK_FOLLOW | AT_HANDLE_FID)))
		return false;
	sys::Reentry guard;
	int fd;
	bool own = true;
	if (*path == '\0') {
		if (!(flags & AT_EMPTY_PATH))
			return false;
		if (dirfd == AT_FDCWD) {
			fd = sys::open(".", O_PATH);
		} else {
			fd = dirfd;
			own = false;
		}
	} else {
		int nofollow = (flags & AT_SYMLINK_FOLLOW) ? 0 : O_NOFOLLOW;
		fd = sys::openat(dirfd, path, O_PATH | nofollow);
	}
	if (fd < 0)
		return false;
	bool handled = false;
	{
		std::lock_guard<std::mutex> lock(state_mutex());
		ConfigPtr cfg = current_locked();
		Object obj;
		if (cfg && object_of(*cfg, fd, obj)) {
			handled = true;
			int rc = serve(
			        *cfg, norm_code(ZVSIM_REQ_NAME_TO_HANDLE), 0,
			        path, h,
			        rec::FH_HDR + rec::get32(h, rec::FH_BYTES),
			        [&] {
				        return handle_to_fid(*cfg, obj, h,
				                             mount_id);
			        });
			result = syscall_result(rc);
		}
	}
	if (own)
		::close(fd);
	return handled;
}

// Where ".zorvel/fid" starts as a whole path component, or npos.
size_t fid_dir_mark(std::string_view path)
{
	for (size_t pos = path.find(FID_DIR_MARK);
	     pos != std::string_view::npos;
	     pos = path.find(FID_DIR_MARK, pos + 1)) {
		size_t end = pos + FID_DIR_MARK.size();
		if ((pos == 0 || path[pos - 1] == '/') && end < path.size() &&
		    path[end] == '/')
			return pos;
	}
	return std::string_view::npos;
}

int open_by_fid(const Config &cfg, std::string_view fid_text,
                std::string_view tail, int flags, mode_t mode)
{
	auto fid = fid_parse(fid_text);
	if (!fid)
		return -EINVAL;
	std::string rel;
	int rc = fid_to_rel(cfg, *fid, rel);
	if (rc < 0)
		return -ENOENT;
	std::string target = cfg.abs(rel);
	if (!tail.empty()) {
		target += "/";
		target += tail;
	} else {
		// The object itself: a symbolic link is not followed.
		flags |= O_NOFOLLOW;
	}
	int fd = real::fns().openat(AT_FDCWD, target.c_str(),
	                            flags & ~DELAY_CREATE_BIT, mode);
	return fd < 0 ? -errno : fd;
}

// Parent directory of the object an open names, as an absolute path.
std::string parent_dir(int dirfd, const char *path)
{
	std::string p = path;
	if (p.empty())
		return {};
	if (p[0] != '/') {
		std::string base;
		if (dirfd == AT_FDCWD) {
			char cwd[PATH_MAX];
			if (!::getcwd(cwd, sizeof cwd))
				return {};
			base = cwd;
		} else if (sys::fd_path(dirfd, base) < 0) {
			return {};
		}
		p = base + "/" + p;
	}
	while (p.size() > 1 && p.back() == '/')
		p.pop_back();
	auto slash = p.rfind('/');
	return slash == 0 ? std::string("/") : p.substr(0, slash);
}

bool in_mount(const Config &cfg, const std::string &dir)
{
	char real[PATH_MAX];
	std::string rel;
	return !dir.empty() && ::realpath(dir.c_str(), real) &&
	       cfg.relative(real, rel);
}

// Opens under <mount>/.zorvel/fid open objects by FID; other opens in the
// mount lose the delay-create bit. Returns true when the open was served
// here (result set); otherwise flags are what libc should get.
bool sim_open(int dirfd, const char *path, int &flags, mode_t mode, int &result)
{
	if (!path || !may_simulate())
		return false;
	// Change-log devices, and creations in the mount while a log has users.
	if (chlg::open_hook(dirfd, path, flags, mode, result))
		return true;
	// Absolute paths in the parameter trees open the state's copy.
	if (param_candidate(path) && param_open(path, flags, mode, result))
		return true;
	std::string_view p = path;
	size_t mark = fid_dir_mark(p);
	if (mark == std::string_view::npos && !(flags & DELAY_CREATE_BIT))
		return false;

	sys::Reentry guard;
	std::lock_guard<std::mutex> lock(state_mutex());
	ConfigPtr cfg = current_locked();
	if (!cfg)
		return false;
	if (mark != std::string_view::npos) {
		size_t end = mark + FID_DIR_MARK.size();
		std::string prefix(p.substr(0, end));
		struct stat st;
		std::string_view rest = p.substr(end + 1);
		size_t slash = rest.find('/');
		std::string_view fid_text = rest.substr(0, slash);
		std::string_view tail = slash == std::string_view::npos
		                                ? std::string_view()
		                                : rest.substr(slash + 1);
		if (!fid_text.empty() &&
		    ::fstatat(dirfd, prefix.c_str(), &st, 0) == 0 &&
		    st.st_dev == cfg->dev && st.st_ino == cfg->fiddir_ino) {
			int rc = serve(*cfg, norm_code(ZVSIM_REQ_OPEN_BY_FID),
			               0, path, nullptr, 0, [&] {
				               return open_by_fid(
				                       *cfg, fid_text, tail,
				                       flags, mode);
			               });
			result = syscall_result(rc);
			return true;
		}
	}
	if ((flags & DELAY_CREATE_BIT) &&
	    in_mount(*cfg, parent_dir(dirfd, path)))
		flags &= ~DELAY_CREATE_BIT;
	return false;
}

bool needs_mode(int flags)
{
	return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
}

int no_symbol()
{
	errno = ENOSYS;
	return -1;
}

} // namespace
} // namespace zvsim

using namespace zvsim;

#define READ_MODE(flags, last)                                                 \
	mode_t mode = 0;                                                       \
	if (needs_mode(flags)) {                                               \
		va_list ap;                                                    \
		va_start(ap, last);                                            \
		mode = static_cast<mode_t>(va_arg(ap, int));                   \
		va_end(ap);                                                    \
	}

ZV_EXPORT int open(const char *path, int flags, ...)
{
	READ_MODE(flags, flags);
	int rc;
	if (guarded(rc,
	            [&] { return sim_open(AT_FDCWD, path, flags, mode, rc); }))
		return rc;
	auto fn = real::fns().open;
	return fn ? fn(path, flags, mode) : no_symbol();
}

ZV_EXPORT int open64(const char *path, int flags, ...)
{
	READ_MODE(flags, flags);
	int rc;
	if (guarded(rc,
	            [&] { return sim_open(AT_FDCWD, path, flags, mode, rc); }))
		return rc;
	auto fn = real::fns().open64;
	return fn ? fn(path, flags, mode) : no_symbol();
}

ZV_EXPORT int openat(int dirfd, const char *path, int flags, ...)
{
	READ_MODE(flags, flags);
	int rc;
	if (guarded(rc, [&] { return sim_open(dirfd, path, flags, mode, rc); }))
		return rc;
	auto fn = real::fns().openat;
	return fn ? fn(dirfd, path, flags, mode) : no_symbol();
}

ZV_EXPORT int openat64(int dirfd, const char *path, int flags, ...)
{
	READ_MODE(flags, flags);
	int rc;
	if (guarded(rc, [&] { return sim_open(dirfd, path, flags, mode, rc); }))
		return rc;
	auto fn = real::fns().openat64;
	return fn ? fn(dirfd, path, flags, mode) : no_symbol();
}

// Fortified opens carry no mode; with changed flags they go to openat.
ZV_EXPORT int __open_2(const char *path, int flags)
{
	int orig = flags, rc;
	if (guarded(rc, [&] { return sim_open(AT_FDCWD, path, flags, 0, rc); }))
		return rc;
	if (flags != orig)
		return real::fns().openat(AT_FDCWD, path, flags, 0);
	auto fn = real::fns().open_2;
	return fn ? fn(path, flags) : no_symbol();
}

ZV_EXPORT int __open64_2(const char *path, int flags)
{
	int orig = flags, rc;
	if (guarded(rc, [&] { return sim_open(AT_FDCWD, path, flags, 0, rc); }))
		return rc;
	if (flags != orig)
		return real::fns().openat(AT_FDCWD, path, flags, 0);
	auto fn = real::fns().open64_2;
	return fn ? fn(path, flags) : no_symbol();
}

ZV_EXPORT int __openat_2(int dirfd, const char *path, int flags)
{
	int orig = flags, rc;
	if (guarded(rc, [&] { return sim_open(dirfd, path, flags, 0, rc); }))
		return rc;
	if (flags != orig)
		return real::fns().openat(dirfd, path, flags, 0);
	auto fn = real::fns().openat_2;
	return fn ? fn(dirfd, path, flags) : no_symbol();
}

ZV_EXPORT int __openat64_2(int dirfd, const char *path, int flags)
{
	int orig = flags, rc;
	if (guarded(rc, [&] { return sim_open(dirfd, path, flags, 0, rc); }))
		return rc;
	if (flags != orig)
		return real::fns().openat(dirfd, path, flags, 0);
	auto fn = real::fns().openat64_2;
	return fn ? fn(dirfd, path, flags) : no_symbol();
}

ZV_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept
{
	va_list ap;
	va_start(ap, request);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	uint32_t code = norm_code(request);
	// Change-log devices (chlgdev.cpp).
	if (_IOC_TYPE(code) == 'f' && _IOC_NR(code) >= 128 &&
	    chlg::is_log_fd(fd)) {
		int rc;
		if (guarded(rc,
		            [&] { return chlg::log_ioctl(fd, code, arg, rc); }))
			return rc;
	}
	// The file system's own requests; the generic 'f' requests below 128
	// (flags, extent maps...) are the backing file system's to answer.
	if (_IOC_TYPE(code) == 'f' && _IOC_NR(code) >= 128 && may_simulate()) {
		int rc;
		if (guarded(rc, [&] { return sim_ioctl(fd, code, arg, rc); }))
			return rc;
	}
	// The networking layer's control device (varndev.cpp).
	if (_IOC_TYPE(code) == 'e' && may_simulate()) {
		int rc;
		if (guarded(rc, [&] { return varn_ioctl(fd, code, arg, rc); }))
			return rc;
	}
	auto fn = real::fns().ioctl;
	return fn ? fn(fd, request, arg) : no_symbol();
}

ZV_EXPORT int name_to_handle_at(int dirfd, const char *path,
                                struct file_handle *handle, int *mount_id,
                                int flags) noexcept
{
	int rc;
	if (may_simulate() && guarded(rc, [&] {
		    return sim_name_to_handle(dirfd, path, handle, mount_id,
		                              flags, rc);
	    }))
		return rc;
	auto fn = real::fns().name_to_handle_at;
	return fn ? fn(dirfd, path, handle, mount_id, flags) : no_symbol();
}
