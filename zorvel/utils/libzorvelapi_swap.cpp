/* Data versions, volatile files, layout swaps and group locks: what a data
 * mover needs to copy a file aside and exchange its data placement with
 * the copy's once it knows the data did not change meanwhile. */
#include "zorvelapi_internal.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

namespace
{

/* Name collisions are retried with a new random number, but not forever:
 * a directory where every draw collides (or a kernel that always answers
 * EEXIST) must not hang the caller. */
constexpr int volatile_max_draws = 4096;

/* A request whose only success is 0: a positive answer carries no errno,
 * so it is a protocol error rather than a stale errno. */
int zero_or_errno(int rc)
{
	if (rc == 0)
		return 0;
	return rc < 0 ? -errno : -EPROTO;
}

int read_data_version(int fd, ioc_data_version *idv)
{
	return zero_or_errno(ioctl(fd, ZV_IOC_DATA_VERSION, idv));
}

/* The volatile name of one draw into path; its length, or -1. */
int format_volatile(char *path, const char *directory, int mdt_idx)
{
	long number = random();
	if (mdt_idx == -1)
		return snprintf(path, PATH_MAX, "%s/" ZV_VOLATILE_HDR "::%.4lX",
		                directory, number);
	return snprintf(path, PATH_MAX, "%s/" ZV_VOLATILE_HDR ":%.4X:%.4lX",
	                directory, static_cast<unsigned>(mdt_idx), number);
}

int volatile_open_flags(int open_flags)
{
	if ((open_flags & O_ACCMODE) == O_RDONLY)
		open_flags = (open_flags & ~O_ACCMODE) | O_RDWR;
	return open_flags | O_CREAT | O_EXCL | O_NOFOLLOW;
}

/* Access and modification times before a swap, whole seconds. */
struct times_before {
	time_t atime;
	time_t mtime;
};

int times_of(int fd, times_before *t)
{
	struct stat st;
	if (fstat(fd, &st) != 0)
		return -errno;
	t->atime = st.st_atime;
	t->mtime = st.st_mtime;
	return 0;
}

/* Gives fd the access time atime and modification time mtime, whole
 * seconds (the sub-second parts become 0). */
int set_times(int fd, time_t atime, time_t mtime)
{
	struct timespec ts[2] = {{atime, 0}, {mtime, 0}};
	return futimens(fd, ts) != 0 ? -errno : 0;
}

/* Both files of a swap by path are opened without a layout being made. */
int open_for_swap(const char *path, zv::unique_fd *fd)
{
	fd->reset(
	        zv::open_high(path, O_WRONLY | ZV_O_DELAY_CREATE | O_CLOEXEC));
	if (fd->valid())
		return 0;
	int rc = -errno;
	zvapi_error(ZVAPI_MSG_ERROR, rc, "error: cannot open '%s' for write",
	            path);
	return rc;
}

int group_request(int fd, unsigned long code, unsigned long gid,
                  const char *failure)
{
	int rc = ioctl(fd, code, gid);
	if (rc < 0) {
		rc = -errno;
		zvapi_error(ZVAPI_MSG_ERROR, rc, "%s", failure);
	}
	return rc;
}

} // namespace

ZV_EXPORT int zvapi_get_data_version(int fd, uint64_t *data_version,
                                     uint64_t flags)
{
	if (data_version == nullptr)
		return -EINVAL;
	ioc_data_version idv;
	idv.idv_flags = static_cast<uint32_t>(flags);
	int rc = read_data_version(fd, &idv);
	if (rc == 0)
		*data_version = idv.idv_version;
	return rc;
}

ZV_EXPORT int zvapi_get_ost_layout_version(int fd, uint32_t *layout_version)
{
	if (layout_version == nullptr)
		return -EINVAL;
	ioc_data_version idv = {};
	int rc = read_data_version(fd, &idv);
	if (rc == 0)
		*layout_version = idv.idv_layout_version;
	return rc;
}

ZV_EXPORT int
zvapi_create_volatile_param(const char *directory, int mdt_idx, int open_flags,
                            mode_t mode, const zvapi_stripe_param *stripe_param)
{
	if (directory == nullptr)
		return -EINVAL;
	int saved_errno = errno;
	int flags = volatile_open_flags(open_flags);
	/* What follows the header in the name: the part messages show. */
	size_t suffix = strlen(directory) + 1 + ZV_VOLATILE_HDR_LEN;
	char path[PATH_MAX];
	int rc = -EEXIST;
	for (int draw = 0; draw < volatile_max_draws && rc == -EEXIST; draw++) {
		int len = format_volatile(path, directory, mdt_idx);
		if (len < 0 || len >= PATH_MAX)
			return -ENAMETOOLONG;
		/* A striped open that fails after creating the name removes
		 * it again (O_EXCL tells it the name is its own). */
		int fd = stripe_param != nullptr
		                 ? zvapi_file_open_param(path, flags, mode,
		                                         stripe_param)
		                 : open(path, flags, mode);
		if (fd < 0) {
			rc = stripe_param != nullptr ? fd : -errno;
			continue;
		}
		/* The file lives on through the descriptor alone. */
		unlink(path);
		fd = zv::high_fd(fd);
		if (fd < 0) {
			rc = -errno;
			break;
		}
		errno = saved_errno;
		return fd;
	}
	zvapi_error(ZVAPI_MSG_ERROR, rc,
	            "Cannot create volatile file '%s' in '%s'", path + suffix,
	            directory);
	return rc;
}

ZV_EXPORT int zvapi_create_volatile_idx(const char *directory, int mdt_idx,
                                        int open_flags)
{
	return zvapi_create_volatile_param(directory, mdt_idx, open_flags,
	                                   S_IRUSR | S_IWUSR, nullptr);
}

ZV_EXPORT int zvapi_fswap_layouts_grouplock(int fd1, int fd2, uint64_t dv1,
                                            uint64_t dv2, int gid,
                                            uint64_t flags)
{
	zorvel_swap_layouts sl = {};
	sl.sl_flags = flags;
	sl.sl_fd = static_cast<uint32_t>(fd2);
	sl.sl_gid = static_cast<uint32_t>(gid);
	sl.sl_dv1 = dv1;
	sl.sl_dv2 = dv2;

	bool keep_atime = flags & ZV_SWAP_KEEP_ATIME;
	bool keep_mtime = flags & ZV_SWAP_KEEP_MTIME;
	if (!keep_atime && !keep_mtime)
		return ioctl(fd1, ZV_IOC_SWAP_LAYOUTS, &sl) < 0 ? -errno : 0;

	times_before t1 = {}, t2 = {};
	int rc = times_of(fd1, &t1);
	if (rc == 0)
		rc = times_of(fd2, &t2);
	if (rc != 0)
		return rc;
	if (ioctl(fd1, ZV_IOC_SWAP_LAYOUTS, &sl) < 0)
		return -errno;

	/* A time not kept goes with the data, to the other file. */
	rc = set_times(fd1, keep_atime ? t1.atime : t2.atime,
	               keep_mtime ? t1.mtime : t2.mtime);
	if (rc == 0)
		rc = set_times(fd2, keep_atime ? t2.atime : t1.atime,
		               keep_mtime ? t2.mtime : t1.mtime);
	return rc;
}

ZV_EXPORT int zvapi_fswap_layouts(int fd1, int fd2, uint64_t dv1, uint64_t dv2,
                                  uint64_t flags)
{
	long gid;
	do
		gid = random();
	while (gid == 0);
	int rc = zvapi_fswap_layouts_grouplock(fd1, fd2, dv1, dv2,
	                                       static_cast<int>(gid), flags);
	return rc > 0 ? 0 : rc;
}

ZV_EXPORT int zvapi_swap_layouts(const char *path1, const char *path2,
                                 uint64_t dv1, uint64_t dv2, uint64_t flags)
{
	if (path1 == nullptr || path2 == nullptr)
		return -EINVAL;
	zv::unique_fd fd1, fd2;
	int rc = open_for_swap(path1, &fd1);
	if (rc == 0)
		rc = open_for_swap(path2, &fd2);
	if (rc != 0)
		return rc;
	rc = zvapi_fswap_layouts(fd1.get(), fd2.get(), dv1, dv2, flags);
	if (rc < 0)
		zvapi_error(ZVAPI_MSG_ERROR, rc,
		            "error: cannot swap layout between '%s' and '%s'",
		            path1, path2);
	return rc;
}

ZV_EXPORT int zvapi_group_lock(int fd, int gid)
{
	return group_request(fd, ZV_IOC_GROUP_LOCK, static_cast<uint32_t>(gid),
	                     "cannot get group lock");
}

ZV_EXPORT int zvapi_group_unlock(int fd, int gid)
{
	return group_request(fd, ZV_IOC_GROUP_UNLOCK,
	                     static_cast<uint32_t>(gid),
	                     "cannot put group lock");
}

ZV_EXPORT int zvapi_group_lock64(int fd, uint64_t gid)
{
	return group_request(fd, ZV_IOC_GROUP_LOCK, gid,
	                     "cannot get group lock");
}

ZV_EXPORT int zvapi_group_unlock64(int fd, uint64_t gid)
{
	return group_request(fd, ZV_IOC_GROUP_UNLOCK, gid,
	                     "cannot put group lock");
}
