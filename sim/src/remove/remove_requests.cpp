// Removal requests: objects by FID, directory entries by name, and the
// preparation of a foreign object for its unlink.
#include "remove.h"

#include "core/namespace_change.h"
#include "core/tree.h"
#include "core/wire.h"
#include "layout/layout.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <linux/zorvel/zorvel_fid.h>
#include <linux/zorvel/zorvel_layout.h>

namespace zvsim::remove
{

// Removal by FID: 16-byte header, then fa_nr FIDs.
constexpr size_t FA_NR = 0, FA_HDR = 16;

static_assert(sizeof(struct fid_array) == FA_HDR);
static_assert(offsetof(struct fid_array, fa_fids) == FA_HDR);
static_assert(_IOC_SIZE(ZV_IOC_RMFID) == FA_HDR);

namespace
{

// Largest FID count one removal request may carry.
constexpr uint32_t RMFID_MAX = 4096;
// How far the kernel reads an entry name before giving up on its NUL.
constexpr size_t NAME_READ_MAX = PATH_MAX;

// Removes every link of the object behind fid: 0 or a positive errno.
int remove_object(const Config &cfg, const Fid &fid)
{
	FidTarget t = fid_decode(fid, cfg.mdts);
	switch (t.kind) {
	case FidKind::Foreign:
		return EINVAL;
	case FidKind::Unknown:
		return ENOENT;
	case FidKind::Root:
	case FidKind::DotZorvel:
	case FidKind::FidDir:
		return EBUSY; // the file system's own directories
	case FidKind::Normal:
		break;
	}
	std::vector<std::string> links;
	if (fid_links(cfg, fid, links) < 0)
		return ENOENT;
	struct stat st;
	if (::lstat(cfg.abs(links.front()).c_str(), &st) < 0)
		return errno;
	if (S_ISDIR(st.st_mode))
		return EISDIR;
	int err = 0;
	for (const auto &link : links)
		if (::unlink(cfg.abs(link).c_str()) < 0 && !err)
			err = errno;
	ns_entry_gone(cfg);
	return err;
}

size_t rmfid_record_size(const void *arg)
{
	uint32_t nr = rec::get32(arg, FA_NR);
	if (nr > RMFID_MAX)
		return FA_HDR;
	return FA_HDR + static_cast<size_t>(nr) * rec::FID_SIZE;
}

size_t entry_name_size(const void *arg)
{
	return strnlen(static_cast<const char *>(arg), NAME_READ_MAX);
}

Extent rmfid_extent(const Config &, const void *hdr)
{
	size_t n = rmfid_record_size(hdr);
	return {n, n};
}

// Each FID removed is zeroed; each one that stays keeps its sequence and
// object id and carries the errno in its version. The request fails with
// the first of those errors.
int do_rmfid(Request &req)
{
	const Config &cfg = req.cfg;
	void *arg = req.arg;
	uint32_t nr = rec::get32(arg, FA_NR);
	if (nr > RMFID_MAX)
		return -EINVAL;
	int first = 0;
	auto *fids = static_cast<unsigned char *>(arg) + FA_HDR;
	for (uint32_t i = 0; i < nr; ++i) {
		size_t off = static_cast<size_t>(i) * rec::FID_SIZE;
		int err = remove_object(cfg, fid_get(fids, off));
		if (err == 0) {
			std::memset(fids + off, 0, rec::FID_SIZE);
			continue;
		}
		rec::put32(fids, off + rec::FID_VER,
		           static_cast<uint32_t>(err));
		if (!first)
			first = err;
	}
	return -first;
}

// The entry goes without a look at its object: a file or link is
// unlinked, an empty directory removed.
int do_remove_entry(Request &req)
{
	const Config &cfg = req.cfg;
	const Object &obj = *req.obj;
	const void *arg = req.arg;
	if (!S_ISDIR(obj.st.st_mode))
		return -ENOTDIR;
	const char *name = static_cast<const char *>(arg);
	size_t len = entry_name_size(arg);
	if (len == 0 || std::memchr(name, '/', len) ||
	    std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
		return -EINVAL;
	if (len > NAME_MAX)
		return -ENAMETOOLONG;
	struct stat st;
	if (::fstatat(obj.fd, name, &st, AT_SYMLINK_NOFOLLOW) < 0)
		return -errno;
	if (st.st_dev == cfg.dev &&
	    (st.st_ino == cfg.dotz_ino || st.st_ino == cfg.fiddir_ino))
		return -EPERM;
	int rc = ::unlinkat(obj.fd, name,
	                    S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0);
	if (rc < 0)
		return S_ISDIR(st.st_mode) && errno == EEXIST ? -ENOTEMPTY
		                                              : -errno;
	ns_entry_gone(cfg);
	return 0;
}

// Only an object with a stored foreign layout can be prepared; nothing is
// kept, since the simulated unlink is never refused.
int do_foreign_unlink_prep(Request &req)
{
	return layout::has_foreign_layout(req.cfg, *req.obj) ? 0 : -ENODATA;
}

const Row rows[] = {
        {.code = ZV_IOC_RMFID,
         .name = "RMFID",
         .target = Target::MountObject,
         .arg = ArgKind::Struct,
         .header = FA_HDR,
         .extent = rmfid_extent,
         .handle = do_rmfid},
        // The caller's name: read, never written.
        {.code = ZV_IOC_REMOVE_ENTRY,
         .name = "REMOVE_ENTRY",
         .target = Target::MountObject,
         .arg = ArgKind::String,
         .handle = do_remove_entry},
        // No argument: whatever was passed is not read.
        {.code = ZV_IOC_FOREIGN_UNLINK_PREP,
         .name = "FOREIGN_UNLINK_PREP",
         .target = Target::MountObject,
         .handle = do_foreign_unlink_prep},
};

} // namespace

const Family family = {.rows = rows};

} // namespace zvsim::remove
