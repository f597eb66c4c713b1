// Interposed attribute reads: the layout attributes of objects in the mount
// ("zorvel.lov", "trusted.lmv") are the layout family's; listing an
// object's attributes adds those it has. Every other name, and every object
// outside the mount, goes to libc.
#include "core/export.h"
#include "core/guard.h"
#include "core/real.h"
#include "core/request.h"
#include "core/sysio.h"
#include "core/user_memory.h"
#include "layout/layout.h"

#include <fcntl.h>
#include <sys/xattr.h>

using namespace zvsim;

namespace
{

// Runs serve(cfg, obj) on the object a path names (follow: the last
// component followed): true when it lies in the mount (result set).
template <typename Serve>
bool on_path(const char *path, bool follow, ssize_t &result, Serve &&serve)
{
	UserPath p(path);
	if (!p.ok())
		return false;
	return guarded(result, [&] {
		sys::Reentry guard;
		ConfigPtr cfg = current();
		if (!cfg)
			return false;
		int fd =
		        sys::open(p.c_str(), O_PATH | O_CLOEXEC |
		                                     (follow ? 0 : O_NOFOLLOW));
		if (fd < 0)
			return false; // libc gives the kernel's answer
		Object obj;
		bool ours = object_of(*cfg, fd, obj);
		if (ours)
			result = serve(*cfg, obj);
		sys::close(fd);
		return ours;
	});
}

template <typename Serve>
bool on_fd(int fd, ssize_t &result, Serve &&serve)
{
	return guarded(result, [&] {
		sys::Reentry guard;
		ConfigPtr cfg = current();
		Object obj;
		if (!cfg || !object_of(*cfg, fd, obj))
			return false;
		result = serve(*cfg, obj);
		return true;
	});
}

// A layout attribute's value into the caller's buffer: size 0 asks for the
// size, a smaller buffer is ERANGE.
ssize_t get_value(const Config &cfg, const Object &obj, const char *name,
                  void *value, size_t size)
{
	std::string v;
	int rc = request_tail(
	        cfg, layout::REQ_GETXATTR, 0, name, nullptr, 0,
	        [&] { return layout::xattr_value(cfg, obj, name, v); });
	if (rc < 0)
		return syscall_result<ssize_t>(rc);
	if (size == 0)
		return static_cast<ssize_t>(v.size());
	if (v.size() > size)
		return syscall_result<ssize_t>(-ERANGE);
	if (!v.empty() && copy_to_user(value, v.data(), v.size()) < 0)
		return syscall_result<ssize_t>(-EFAULT);
	return static_cast<ssize_t>(v.size());
}

// The file system's own names, then the layout attributes the object has.
template <typename Real>
ssize_t list_names(const Config &cfg, const Object &obj, char *list,
                   size_t size, Real &&real)
{
	std::string ours;
	ssize_t n = 0;
	int rc = request_tail(cfg, layout::REQ_LISTXATTR, 0, {}, nullptr, 0,
	                      [&] {
		                      ours = layout::xattr_names(cfg, obj);
		                      n = real(size ? list : nullptr, size);
		                      if (n < 0 && errno != ENOTSUP)
			                      return -errno;
		                      n = n < 0 ? 0 : n;
		                      return 0;
	                      });
	if (rc < 0)
		return syscall_result<ssize_t>(rc);
	size_t total = static_cast<size_t>(n) + ours.size();
	if (size == 0)
		return static_cast<ssize_t>(total);
	if (total > size)
		return syscall_result<ssize_t>(-ERANGE);
	if (!ours.empty() &&
	    copy_to_user(list + n, ours.data(), ours.size()) < 0)
		return syscall_result<ssize_t>(-EFAULT);
	return static_cast<ssize_t>(total);
}

// Whether the attribute named (copied in as copy) is a layout attribute.
bool layout_name(const UserPath &copy)
{
	return copy.ok() && layout::is_layout_xattr(copy.c_str());
}

ssize_t sim_getxattr(const char *path, const char *name, void *value,
                     size_t size, bool follow,
                     ssize_t (*fn)(const char *, const char *, void *, size_t))
{
	if (may_simulate()) {
		UserPath n(name);
		ssize_t r;
		if (layout_name(n) &&
		    on_path(path, follow, r,
		            [&](const Config &c, const Object &o) {
			            return get_value(c, o, n.c_str(), value,
			                             size);
		            }))
			return r;
	}
	return real::call(fn, path, name, value, size);
}

ssize_t sim_listxattr(const char *path, char *list, size_t size, bool follow,
                      ssize_t (*fn)(const char *, char *, size_t))
{
	ssize_t r;
	if (may_simulate() &&
	    on_path(path, follow, r, [&](const Config &c, const Object &o) {
		    return list_names(c, o, list, size, [&](char *l, size_t s) {
			    return real::call(fn, path, l, s);
		    });
	    }))
		return r;
	return real::call(fn, path, list, size);
}

} // namespace

ZVSIM_EXPORT ssize_t getxattr(const char *path, const char *name, void *value,
                              size_t size)
{
	return sim_getxattr(path, name, value, size, true,
	                    real::fns().getxattr);
}

ZVSIM_EXPORT ssize_t lgetxattr(const char *path, const char *name, void *value,
                               size_t size)
{
	return sim_getxattr(path, name, value, size, false,
	                    real::fns().lgetxattr);
}

ZVSIM_EXPORT ssize_t fgetxattr(int fd, const char *name, void *value,
                               size_t size)
{
	if (may_simulate()) {
		UserPath n(name);
		ssize_t r;
		if (layout_name(n) &&
		    on_fd(fd, r, [&](const Config &c, const Object &o) {
			    return get_value(c, o, n.c_str(), value, size);
		    }))
			return r;
	}
	return real::call(real::fns().fgetxattr, fd, name, value, size);
}

ZVSIM_EXPORT ssize_t listxattr(const char *path, char *list, size_t size)
{
	return sim_listxattr(path, list, size, true, real::fns().listxattr);
}

ZVSIM_EXPORT ssize_t llistxattr(const char *path, char *list, size_t size)
{
	return sim_listxattr(path, list, size, false, real::fns().llistxattr);
}

ZVSIM_EXPORT ssize_t flistxattr(int fd, char *list, size_t size)
{
	ssize_t r;
	if (may_simulate() &&
	    on_fd(fd, r, [&](const Config &c, const Object &o) {
		    return list_names(c, o, list, size, [&](char *l, size_t s) {
			    return real::call(real::fns().flistxattr, fd, l, s);
		    });
	    }))
		return r;
	return real::call(real::fns().flistxattr, fd, list, size);
}
