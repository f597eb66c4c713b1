/* File identifiers: FID text, and translations between FIDs, paths,
 * descriptors and parents through the kernel client. */
#include "zorvelapi_internal.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>

namespace
{

bool is_posix_space(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
	       c == '\r';
}

/* One field of the FID text, converted in base 0. */
struct field {
	unsigned long long value;
	char *end;
	bool invalid; /* the conversion itself reported EINVAL */
};

field read_field(const char *p)
{
	field f{};
	errno = 0;
	f.value = strtoull(p, &f.end, 0);
	f.invalid = errno == EINVAL;
	return f;
}

/* The kernel path area gets a NUL behind it that the kernel never sees, so
 * a reply that fills the area is still a terminated string here. */
constexpr size_t guard_nul = 1;

} // namespace

ZV_EXPORT int zvapi_fid_parse(const char *fidstr, struct zo_fid *fid,
                              char **endptr)
{
	if (fidstr == nullptr || fid == nullptr) {
		if (endptr != nullptr)
			*endptr = const_cast<char *>(fidstr);
		errno = EINVAL;
		return -EINVAL;
	}

	const char *p = fidstr;
	while (is_posix_space(*p))
		p++;
	bool bracket = *p == '[';
	while (*p == '[')
		p++;

	int rc = 0;
	bool invalid = false;
	field f{};
	/* Reads the field at `at` into *dst, unless it is larger than max. */
	auto take = [&](const char *at, auto *dst, unsigned long long max) {
		f = read_field(at);
		invalid |= f.invalid;
		if (f.value > max)
			rc = -ERANGE;
		else
			*dst = f.value;
	};
	/* the sequence's range ends where strtoull() reports an overflow */
	take(p, &fid->f_seq, ULLONG_MAX - 1);
	if (*f.end != ':') {
		rc = -EINVAL;
		goto out;
	}
	take(f.end + 1, &fid->f_oid, UINT32_MAX);
	if (*f.end != ':') {
		rc = -EINVAL;
		goto out;
	}
	take(f.end + 1, &fid->f_ver, UINT32_MAX);
	if (bracket && *f.end == ']')
		f.end++;
out:
	if (invalid)
		rc = -EINVAL;
	if (endptr != nullptr)
		*endptr = f.end;
	errno = -rc;
	return rc;
}

int copy_strip_dne_path(const char *src, char *tgt, size_t tgtlen)
{
	size_t len = 0;
	for (; *src != '\0'; src++) {
		if (*src == '/' && len > 0 && tgt[len - 1] == '/')
			continue;
		if (len + 1 >= tgtlen)
			goto range;
		tgt[len++] = *src;
	}
	if (len == 0) {
		if (tgtlen < 2)
			goto range;
		tgt[len++] = '/';
	}
	tgt[len] = '\0';
	return 0;
range:
	errno = ERANGE;
	return -ERANGE;
}

/* -errno for a failed request; a positive result is not a kernel answer. */
static int request_error(int rc)
{
	return rc < 0 && errno != 0 ? -errno : -EPROTO;
}

ZV_EXPORT int zvapi_fid2path_at(int mnt_fd, const struct zo_fid *fid,
                                char *path_buf, int path_buf_size,
                                long long *recno, int *linkno)
{
	/* A negative size would wrap the allocation below. */
	if (fid == nullptr || path_buf == nullptr || path_buf_size < 0)
		return -EINVAL;

	auto gf = zv::calloc_as<getinfo_fid2path>(sizeof(getinfo_fid2path) +
	                                          path_buf_size + guard_nul);
	if (!gf)
		return -ENOMEM;
	gf->gf_fid = *fid;
	gf->gf_recno = recno != nullptr ? *recno : 0;
	gf->gf_linkno = linkno != nullptr ? *linkno : 0;
	gf->gf_pathlen = path_buf_size;

	int rc = ioctl(mnt_fd, ZV_IOC_FID2PATH, gf.get());
	if (rc != 0)
		return request_error(rc);

	rc = copy_strip_dne_path(gf->gf_u.gf_path, path_buf, path_buf_size);
	if (recno != nullptr)
		*recno = gf->gf_recno;
	if (linkno != nullptr)
		*linkno = gf->gf_linkno;
	return rc;
}

ZV_EXPORT int zvapi_fid2path(const char *path_or_device, const char *fidstr,
                             char *path, int pathlen, long long *recno,
                             int *linkno)
{
	if (path_or_device == nullptr || path_or_device[0] == '\0')
		return -EINVAL;

	int root = -1;
	bool is_path = path_or_device[0] == '/';
	int rc = get_root_path(
	        WANT_FD, is_path ? nullptr : const_cast<char *>(path_or_device),
	        &root, is_path ? const_cast<char *>(path_or_device) : nullptr,
	        -1);
	if (rc < 0)
		return rc;
	zv::unique_fd root_fd(root);

	struct zo_fid fid;
	rc = zvapi_fid_parse(fidstr, &fid, nullptr);
	if (rc != 0) {
		zvapi_error(ZVAPI_MSG_ERROR | ZVAPI_MSG_NO_ERRNO, 0,
		            "bad FID format '%s', should be [seq:oid:ver] "
		            "(e.g. " ZO_FID_FMT ")\n",
		            fidstr != nullptr ? fidstr : "(null)",
		            (unsigned long long)FID_SEQ_NORMAL, 2U, 0U);
		return rc;
	}
	return zvapi_fid2path_at(root_fd.get(), &fid, path, pathlen, recno,
	                         linkno);
}

ZV_EXPORT int zvapi_get_mdt_index_by_fid(int fd, const struct zo_fid *fid,
                                         int *mdt_index)
{
	if (fid == nullptr)
		return -EINVAL;
	struct zo_fid arg = *fid; /* the request may write its argument */
	int rc = ioctl(fd, ZV_IOC_FID2MDTIDX, &arg);
	if (rc < 0)
		return -errno;
	if (mdt_index != nullptr)
		*mdt_index = rc;
	return rc;
}

ZV_EXPORT int zvapi_fd2fid(int fd, struct zo_fid *fid)
{
	if (fid == nullptr)
		return -EINVAL;
	*fid = {};

	/* Handles of this file system fit in 128 bytes. */
	union {
		struct file_handle fh;
		unsigned char room[sizeof(struct file_handle) + 128];
	} handle;
	handle.fh.handle_bytes = 128;
	int mount_id;
	if (name_to_handle_at(fd, "", &handle.fh, &mount_id, AT_EMPTY_PATH) !=
	    0)
		return errno == EOVERFLOW ? -ENOTTY : -errno;
	if (handle.fh.handle_type != FILEID_ZORVEL ||
	    handle.fh.handle_bytes < sizeof(struct zo_fid))
		return -EOPNOTSUPP;
	memcpy(fid, handle.fh.f_handle, sizeof(*fid));
	return 0;
}

ZV_EXPORT int zvapi_path2fid(const char *path, struct zo_fid *fid)
{
	if (path == nullptr)
		return -EINVAL;
	zv::unique_fd fd(zv::open_high(path, O_PATH | O_CLOEXEC | O_NOFOLLOW));
	if (!fd.valid())
		return -errno;
	int rc = zvapi_fd2fid(fd.get(), fid);
	return rc == -EBADF ? -EOPNOTSUPP : rc;
}

ZV_EXPORT int zvapi_fd2parent(int fd, unsigned int linkno,
                              struct zo_fid *parent_fid, char *name,
                              size_t name_size)
{
	if (name != nullptr && name_size < 2) {
		errno = EOVERFLOW;
		return -EOVERFLOW;
	}
	/* The kernel gets the caller's size even without a name buffer. A
	 * size too small for any name (below 2, as when only the parent FID
	 * is asked for with 0) would have the kernel refuse the request: it
	 * gets room for any entry name instead. */
	size_t area =
	        name == nullptr && name_size < 2 ? NAME_MAX + 1 : name_size;
	if (area > UINT32_MAX) {
		errno = EOVERFLOW;
		return -EOVERFLOW;
	}
	auto gp =
	        zv::calloc_as<getparent>(sizeof(getparent) + area + guard_nul);
	if (!gp) {
		errno = ENOMEM;
		return -ENOMEM;
	}
	gp->gp_linkno = linkno;
	gp->gp_name_size = area;

	int rc = ioctl(fd, ZV_IOC_GETPARENT, gp.get());
	if (rc < 0)
		return -errno;
	if (parent_fid != nullptr)
		*parent_fid = gp->gp_fid;
	if (name != nullptr)
		return copy_strip_dne_path(gp->gp_name, name, name_size);
	return rc;
}

ZV_EXPORT int zvapi_path2parent(const char *path, unsigned int linkno,
                                struct zo_fid *parent_fid, char *name,
                                size_t name_size)
{
	if (path == nullptr)
		return -EINVAL;
	zv::unique_fd fd(zv::open_high(path, O_RDONLY | O_NONBLOCK |
	                                             O_NOFOLLOW | O_CLOEXEC));
	if (!fd.valid())
		return -errno;
	return zvapi_fd2parent(fd.get(), linkno, parent_fid, name, name_size);
}

ZV_EXPORT int zvapi_open_by_fid(const char *zorvel_dir,
                                const struct zo_fid *fid, int flags)
{
	if (zorvel_dir == nullptr || fid == nullptr)
		return -EINVAL;
	char mntdir[PATH_MAX];
	int rc = zvapi_search_mounts(zorvel_dir, 0, mntdir, nullptr);
	if (rc != 0)
		return rc;

	char path[PATH_MAX + 64];
	snprintf(path, sizeof(path), "%s/" ZV_DOT_ZORVEL_FID_DIR "/" ZO_FID_FMT,
	         mntdir, ZO_FID_ARGS(fid));
	int fd = zv::open_high(path, flags, 0);
	return fd < 0 ? -errno : fd;
}
