// The extended attributes through which the kernel shows layouts: a file's
// (or a directory's default) striping as "zorvel.lov", a directory's own
// layout record as "trusted.lmv"; and raw records stored by steering.
#include "layout.h"
#include "layout_store.h"

#include "core/sysio.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace zvsim::layout
{

namespace
{
constexpr const char *XATTR_LOV = "zorvel.lov";
constexpr const char *XATTR_LMV = "trusted.lmv";
constexpr size_t XATTR_MAX = 65536;
} // namespace

bool is_layout_xattr(const char *name)
{
	return std::strcmp(name, XATTR_LOV) == 0 ||
	       std::strcmp(name, XATTR_LMV) == 0;
}

int xattr_value(const Config &cfg, const Object &obj, const char *name,
                std::string &value)
{
	if (std::strcmp(name, XATTR_LOV) == 0)
		return lov_record(cfg, obj, value);
	if (std::strcmp(name, XATTR_LMV) == 0)
		return lmv_record(cfg, obj, value);
	return -ENODATA;
}

std::string xattr_names(const Config &cfg, const Object &obj)
{
	std::string names, record;
	if (lov_record(cfg, obj, record) == 0)
		names.append(XATTR_LOV, std::strlen(XATTR_LOV) + 1);
	if (lmv_record(cfg, obj, record) == 0)
		names.append(XATTR_LMV, std::strlen(XATTR_LMV) + 1);
	return names;
}

int store_raw(const Config &cfg, const Object &obj, bool lmv,
              const std::string &bytes)
{
	if (bytes.size() > XATTR_MAX)
		return -E2BIG;
	if (lmv && !S_ISDIR(obj.st.st_mode))
		return -ENOTDIR;
	if (!S_ISDIR(obj.st.st_mode) && !S_ISREG(obj.st.st_mode))
		return -EINVAL;
	StateLock lock(cfg);
	return save_layout(cfg, obj.st.st_ino, birth_of(obj.fd),
	                   lmv ? LMV : LOV, KIND_RAW, bytes);
}

} // namespace zvsim::layout
