// Handles and opens by FID: name_to_handle_at() of an object in the mount
// answers its FID and its parent's, and an open under <mount>/.zorvel/fid
// opens the object a FID names.
#include "fid.h"
#include "fid_wire.h"

#include "core/real.h"
#include "core/sysio.h"
#include "core/tree.h"
#include "core/user_memory.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace zvsim::fid
{

namespace
{

constexpr uint32_t HANDLE_ROOM_MAX = 128; // MAX_HANDLE_SZ

#ifndef STATX_MNT_ID
#define STATX_MNT_ID 0x00001000U
#endif
#ifndef AT_HANDLE_FID
#define AT_HANDLE_FID 0x200
#endif

// Fills the handle buffer h (header and room) for obj; *mount_id too.
int handle_to_fid(const Config &cfg, const Object &obj, char *h, int &mount_id)
{
	uint32_t room = rec::get32(h, rec::FH_BYTES);
	if (room > HANDLE_ROOM_MAX)
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
	mount_id = ::statx(obj.fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &sx) == 0 &&
	                           (sx.stx_mask & STATX_MNT_ID)
	                   ? static_cast<int>(sx.stx_mnt_id)
	                   : 0;
	return 0;
}

// The request on an object of the mount, with the caller's handle and
// mount id reached only through copies.
int serve_handle(const Config &cfg, const Object &obj, const char *path,
                 ::file_handle *user_h, int *user_mount_id)
{
	char h[rec::FH_HDR + HANDLE_ROOM_MAX] = {};
	bool readable = copy_from_user(h, user_h, rec::FH_HDR) == 0;
	uint32_t room = readable ? rec::get32(h, rec::FH_BYTES) : 0;
	size_t len = rec::FH_HDR + std::min(room, HANDLE_ROOM_MAX);
	if (readable)
		copy_from_user_partly(h + rec::FH_HDR,
		                      reinterpret_cast<char *>(user_h) +
		                              rec::FH_HDR,
		                      len - rec::FH_HDR);
	char orig[sizeof h];
	std::memcpy(orig, h, sizeof h);
	int mount_id = 0;
	bool answered = false;
	int rc = request_tail(
	        cfg, REQ_NAME_TO_HANDLE, 0, path, h, readable ? len : 0, [&] {
		        if (!readable || !user_mount_id)
			        return -EFAULT;
		        answered = true;
		        return handle_to_fid(cfg, obj, h, mount_id);
	        });
	if (readable && copy_changes_to_user(user_h, h, orig, len) < 0)
		return -EFAULT;
	if (answered && rc == 0 &&
	    copy_to_user(user_mount_id, &mount_id, sizeof mount_id) < 0)
		return -EFAULT;
	return rc;
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

} // namespace

bool name_to_handle(int dirfd, const char *path, ::file_handle *h,
                    int *mount_id, int flags, int &result)
{
	if (flags & ~(AT_EMPTY_PATH | AT_SYMLINK_FOLLOW | AT_HANDLE_FID))
		return false;
	UserPath p(path);
	if (!p.ok())
		return false; // the kernel answers a path it cannot read
	sys::Reentry guard;
	int fd;
	bool own = true;
	if (*p.c_str() == '\0') {
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
		fd = sys::openat(dirfd, p.c_str(), O_PATH | nofollow);
	}
	if (fd < 0)
		return false;
	bool handled = false;
	ConfigPtr cfg = current();
	Object obj;
	if (cfg && object_named(*cfg, fd, obj)) {
		handled = true;
		result = syscall_result(
		        serve_handle(*cfg, obj, p.c_str(), h, mount_id));
	}
	if (own)
		sys::close(fd);
	return handled;
}

bool open_hook(OpenCall &call, int &result)
{
	int dirfd = call.dirfd;
	const char *path = call.path;
	int &flags = call.flags;
	mode_t mode = call.mode;
	std::string_view p = path;
	size_t mark = fid_dir_mark(p);
	if (mark == std::string_view::npos && !(flags & DELAY_CREATE_BIT))
		return false;

	sys::Reentry guard;
	ConfigPtr cfg = current();
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
			int rc = request_tail(
			        *cfg, REQ_OPEN_BY_FID, 0, path, nullptr, 0,
			        [&] {
				        return open_by_fid(*cfg, fid_text, tail,
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

} // namespace zvsim::fid
