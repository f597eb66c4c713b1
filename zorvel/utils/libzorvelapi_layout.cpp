/* Striped creation, foreign directories, striping records and the client's
 * striping-device identifier. */
#include "zorvelapi_internal.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

namespace
{

/* Stripe sizes are whole multiples of this. */
constexpr unsigned long long stripe_size_unit = 64 * 1024;
/* Largest value of an extended attribute, which holds a layout. */
constexpr size_t xattr_size_max = 65536;

int check_stripe_param(const char *path, const zvapi_stripe_param *param)
{
	if (param->zsp_stripe_size % stripe_size_unit != 0 ||
	    param->zsp_stripe_size > UINT32_MAX) {
		zvapi_error(ZVAPI_MSG_ERROR, -EINVAL,
		            "error: bad stripe_size %llu for '%s', must be a "
		            "multiple of %llu bytes below 4 GiB",
		            param->zsp_stripe_size, path, stripe_size_unit);
		return -EINVAL;
	}
	if (param->zsp_stripe_count < -1 ||
	    param->zsp_stripe_count > ZV_LAYOUT_MAX_STRIPE_COUNT) {
		zvapi_error(ZVAPI_MSG_ERROR, -EINVAL,
		            "error: bad stripe_count %d for '%s'",
		            param->zsp_stripe_count, path);
		return -EINVAL;
	}
	if (param->zsp_stripe_offset < -1 ||
	    param->zsp_stripe_offset >= UINT16_MAX) {
		zvapi_error(ZVAPI_MSG_ERROR, -EINVAL,
		            "error: bad stripe offset %d for '%s'",
		            param->zsp_stripe_offset, path);
		return -EINVAL;
	}
	if (param->zsp_pool != nullptr &&
	    strlen(param->zsp_pool) >= ZV_LAYOUT_POOL_NAME_LEN) {
		zvapi_error(ZVAPI_MSG_ERROR, -EINVAL,
		            "error: pool name '%s' for '%s' is too long",
		            param->zsp_pool, path);
		return -EINVAL;
	}
	if (param->zsp_is_specific && param->zsp_stripe_count <= 0) {
		zvapi_error(ZVAPI_MSG_ERROR, -EINVAL,
		            "error: a list of targets for '%s' needs a stripe "
		            "count",
		            path);
		return -EINVAL;
	}
	return 0;
}

/* Builds the striping record of param; *size receives its length. */
zv::unique_malloc<zv_layout_v3> build_layout(const zvapi_stripe_param *param,
                                             size_t *size)
{
	bool v3 = param->zsp_is_specific ||
	          (param->zsp_pool != nullptr && param->zsp_pool[0] != '\0');
	size_t count = param->zsp_is_specific ? param->zsp_stripe_count : 0;
	*size = (v3 ? sizeof(zv_layout_v3) : sizeof(zv_layout_v1)) +
	        count * sizeof(zv_layout_ost_data);
	auto lum = zv::calloc_as<zv_layout_v3>(*size);
	if (!lum)
		return lum;
	lum->lmm_magic = param->zsp_is_specific ? ZV_LAYOUT_MAGIC_SPECIFIC
	                 : v3                   ? ZV_LAYOUT_MAGIC_V3
	                                        : ZV_LAYOUT_MAGIC_V1;
	lum->lmm_pattern = param->zsp_stripe_pattern;
	lum->lmm_stripe_size = param->zsp_stripe_size;
	lum->lmm_stripe_count = param->zsp_stripe_count;
	lum->lmm_stripe_offset = param->zsp_stripe_offset;
	if (v3 && param->zsp_pool != nullptr)
		snprintf(lum->lmm_pool_name, sizeof(lum->lmm_pool_name), "%s",
		         param->zsp_pool);
	for (size_t i = 0; i < count; i++)
		lum->lmm_objects[i].l_ost_idx = param->zsp_osts[i];
	return lum;
}

/* A name a call created, removed when the call fails (unless kept). */
class created_name
{
      public:
	explicit created_name(const char *path) : path_(path)
	{
	}
	created_name(const created_name &) = delete;
	created_name &operator=(const created_name &) = delete;
	~created_name()
	{
		if (path_ != nullptr)
			zv::keeping_errno([this] { unlink(path_); });
	}
	void keep()
	{
		path_ = nullptr;
	}

      private:
	const char *path_;
};

/* Splits "a/b/name/" into its directory and last component. */
bool split_path(const char *path, std::string *dir, std::string *name)
{
	std::string p(path);
	while (p.size() > 1 && p.back() == '/')
		p.pop_back();
	size_t slash = p.find_last_of('/');
	if (slash == std::string::npos) {
		*dir = std::string(".");
		*name = p;
	} else {
		*dir = slash == 0 ? std::string("/") : p.substr(0, slash);
		*name = p.substr(slash + 1);
	}
	return !name->empty() && *name != "/";
}

} // namespace

ZV_EXPORT int zvapi_file_open_param(const char *path, int flags, mode_t mode,
                                    const struct zvapi_stripe_param *param)
{
	if (path == nullptr || param == nullptr)
		return -EINVAL;
	int rc = check_stripe_param(path, param);
	if (rc != 0)
		return rc;

	size_t size;
	auto lum = build_layout(param, &size);
	if (!lum)
		return -ENOMEM;

	int opened = open(path, flags | O_CREAT | ZV_O_DELAY_CREATE, mode);
	/* With O_EXCL the name is this call's own: a failure from here on
	 * removes it, so that a refused striping leaves nothing behind. */
	created_name created(opened >= 0 && (flags & O_EXCL) ? path : nullptr);
	zv::unique_fd fd(zv::high_fd(opened));
	if (!fd.valid()) {
		rc = -errno;
		if (rc != -EEXIST)
			zvapi_error(ZVAPI_MSG_ERROR, rc, "unable to open '%s'",
			            path);
		return rc;
	}
	if (ioctl(fd.get(), ZV_IOC_LOV_SETSTRIPE, lum.get()) != 0) {
		rc = -errno;
		/* An existing layout means the name existed before. */
		if (rc != -EEXIST && rc != -EALREADY)
			zvapi_error(ZVAPI_MSG_ERROR, rc,
			            "setstripe error for '%s'", path);
		return rc == -EALREADY ? -EEXIST : rc;
	}
	created.keep();
	return fd.release();
}

ZV_EXPORT int zvapi_dir_create_foreign(const char *name, mode_t mode,
                                       uint32_t type, uint32_t flags,
                                       const char *value)
{
	if (name == nullptr || value == nullptr)
		return -EINVAL;
	return zv::c_boundary(ENAMETOOLONG, [&] {
		std::string dir, entry;
		if (!split_path(name, &dir, &entry))
			return -EINVAL;
		if (entry.size() > NAME_MAX)
			return -ENAMETOOLONG;
		size_t vlen = strlen(value);
		if (vlen > xattr_size_max - sizeof(zv_foreign_layout))
			return -E2BIG;

		size_t namelen = entry.size() + 1;
		size_t padded = (namelen + 7) & ~size_t(7);
		size_t size = sizeof(zv_foreign_dir_create) + padded +
		              sizeof(zv_foreign_layout) + vlen;
		auto rec = zv::calloc_as(size);
		if (!rec)
			return -ENOMEM;
		auto *hdr =
		        reinterpret_cast<zv_foreign_dir_create *>(rec.get());
		hdr->zfd_mode = mode;
		hdr->zfd_namelen = namelen;
		hdr->zfd_reclen = size;
		memcpy(hdr->zfd_name, entry.c_str(), namelen);
		auto *lfm = reinterpret_cast<zv_foreign_layout *>(
		        rec.get() + sizeof(*hdr) + padded);
		lfm->lfm_magic = ZV_FOREIGN_DIR_MAGIC;
		lfm->lfm_length = vlen;
		lfm->lfm_type = type;
		lfm->lfm_flags = flags;
		memcpy(lfm->lfm_value, value, vlen);

		zv::unique_fd parent(zv::open_high(
		        dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
		if (!parent.valid()) {
			int rc = -errno;
			zvapi_error(ZVAPI_MSG_ERROR, rc, "unable to open '%s'",
			            dir.c_str());
			return rc;
		}
		if (ioctl(parent.get(), ZV_IOC_LMV_SETSTRIPE, rec.get()) != 0) {
			int rc = -errno;
			zvapi_error(ZVAPI_MSG_ERROR, rc,
			            "error on LMV setstripe for '%s'", name);
			return rc;
		}
		return 0;
	});
}

ZV_EXPORT int zvapi_file_get_stripe(const char *path, struct zv_layout_v1 *lum)
{
	if (path == nullptr || lum == nullptr) {
		errno = EINVAL;
		return -EINVAL;
	}
	zv::unique_fd fd(
	        zv::open_high(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
	if (!fd.valid())
		return -errno;
	if (ioctl(fd.get(), ZV_IOC_LOV_GETSTRIPE, lum) != 0)
		return -errno; /* unique_fd keeps errno across close */
	return 0;
}

ZV_EXPORT int zvapi_file_get_lov_uuid(const char *path,
                                      struct obd_uuid *lov_uuid)
{
	if (path == nullptr || lov_uuid == nullptr)
		return -EINVAL;
	zv::unique_fd fd(
	        zv::open_high(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
	if (!fd.valid()) {
		int rc = -errno;
		zvapi_error(ZVAPI_MSG_ERROR, rc, "cannot open '%s'", path);
		return rc;
	}
	if (ioctl(fd.get(), ZV_IOC_GETOBDNAME, lov_uuid) != 0) {
		int rc = -errno;
		zvapi_error(ZVAPI_MSG_ERROR, rc,
		            "cannot get striping device name of '%s'", path);
		return rc;
	}
	/* The kernel's text is NUL-terminated; never trust that blindly. */
	lov_uuid->uuid[sizeof(lov_uuid->uuid) - 1] = '\0';
	return 0;
}
