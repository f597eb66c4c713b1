// ZV_IOC_DATA_VERSION and ZV_IOC_SWAP_LAYOUTS.
#include "swap.h"
#include "swap_wire.h"

#include "core/object_record.h"
#include "grouplock.h"
#include "layout/layout.h"
#include "mirror/mirror.h"

#include <cerrno>
#include <cstddef>
#include <fcntl.h>

#include <linux/zorvel/zorvel_swap.h>

namespace zvsim::swap
{

static_assert(sizeof(struct ioc_data_version) == rec::IDV_SIZE);
static_assert(offsetof(struct ioc_data_version, idv_layout_version) ==
              rec::IDV_LAYOUT_VERSION);
static_assert(offsetof(struct ioc_data_version, idv_flags) == rec::IDV_FLAGS);
static_assert(sizeof(struct zorvel_swap_layouts) == rec::SL_SIZE);
static_assert(offsetof(struct zorvel_swap_layouts, sl_fd) == rec::SL_FD);
static_assert(offsetof(struct zorvel_swap_layouts, sl_gid) == rec::SL_GID);
static_assert(offsetof(struct zorvel_swap_layouts, sl_dv1) == rec::SL_DV1);
static_assert(offsetof(struct zorvel_swap_layouts, sl_dv2) == rec::SL_DV2);
static_assert(ZV_SWAP_CHECK_DV1 == rec::SWAP_CHECK_DV1 &&
              ZV_SWAP_CHECK_DV2 == rec::SWAP_CHECK_DV2);
static_assert(sizeof(ZV_VOLATILE_HDR) == sizeof(rec::VOLATILE_HDR));

namespace
{

bool writable(int fd)
{
	int fl = ::fcntl(fd, F_GETFL);
	return fl >= 0 &&
	       ((fl & O_ACCMODE) == O_WRONLY || (fl & O_ACCMODE) == O_RDWR);
}

int do_data_version(Request &req)
{
	if (!S_ISREG(req.obj->st.st_mode))
		return -EINVAL;
	Versions v;
	int rc;
	{
		StateLock lock(req.cfg);
		rc = versions_locked(req.cfg, *req.obj, v);
	}
	if (rc < 0)
		return rc;
	rec::put64(req.arg, rec::IDV_VERSION, v.data);
	rec::put32(req.arg, rec::IDV_LAYOUT_VERSION, v.layout);
	return 0;
}

// The second file, named by a descriptor of the caller.
int second_file(const Config &cfg, int fd, Object &obj)
{
	if (::fcntl(fd, F_GETFL) < 0)
		return -EBADF;
	if (!object_of(cfg, fd, obj))
		return -EXDEV;
	return 0;
}

int do_swap(Request &req)
{
	const Config &cfg = req.cfg;
	const Object &a = *req.obj;
	const char *arg = static_cast<const char *>(req.arg);
	uint64_t flags = rec::get64(arg, rec::SL_FLAGS);
	Object b;
	int rc = second_file(cfg, static_cast<int>(rec::get32(arg, rec::SL_FD)),
	                     b);
	if (rc < 0)
		return rc;
	if (!S_ISREG(a.st.st_mode) || !S_ISREG(b.st.st_mode) ||
	    a.st.st_ino == b.st.st_ino)
		return -EINVAL;
	if (!writable(a.fd) || !writable(b.fd))
		return -EBADF;

	StateLock lock(cfg);
	uint64_t gid = rec::get32(arg, rec::SL_GID);
	if (locked_by_other(cfg, key_of(a.fd, a.st.st_ino), gid) ||
	    locked_by_other(cfg, key_of(b.fd, b.st.st_ino), gid))
		return -EBUSY;
	Versions va, vb;
	if ((rc = versions_locked(cfg, a, va)) < 0 ||
	    (rc = versions_locked(cfg, b, vb)) < 0)
		return rc;
	if (((flags & rec::SWAP_CHECK_DV1) &&
	     va.data != rec::get64(arg, rec::SL_DV1)) ||
	    ((flags & rec::SWAP_CHECK_DV2) &&
	     vb.data != rec::get64(arg, rec::SL_DV2)))
		return -EAGAIN;
	if ((rc = exchange_data(cfg, a.fd, b.fd)) < 0)
		return rc;
	// Whole layouts move: the other mirrors go with their file's data.
	if ((rc = mirror::exchange(cfg, a.fd, b.fd)) < 0) {
		exchange_data(cfg, a.fd, b.fd);
		return rc;
	}
	if ((rc = layout::exchange_file_layouts(cfg, a, b)) < 0)
		return rc;
	if ((rc = versions_locked(cfg, a, va, true)) < 0)
		return rc;
	return versions_locked(cfg, b, vb, true);
}

const Row rows[] = {
        {.code = ZV_IOC_DATA_VERSION,
         .name = "DATA_VERSION",
         .target = Target::MountObject,
         .arg = ArgKind::Struct,
         .header = rec::IDV_SIZE,
         .handle = do_data_version},
        {.code = ZV_IOC_SWAP_LAYOUTS,
         .name = "SWAP_LAYOUTS",
         .target = Target::MountObject,
         .arg = ArgKind::Struct,
         .header = rec::SL_SIZE,
         .handle = do_swap},
        {.code = REQ_VOLATILE_OPEN,
         .name = "VOLATILE_OPEN",
         .target = Target::Call},
};

} // namespace

const Family family = {
        .rows = rows,
        .open = volatile_open,
        .open_flags = O_CREAT,
};

} // namespace zvsim::swap
