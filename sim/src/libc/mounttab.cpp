// Interposed mount-table calls: reads of the mount table list the
// simulated mount, updates of /etc/mtab go to the file that stands for it,
// and a mount of the debug file system is answered.
#include "core/export.h"
#include "core/guard.h"
#include "core/real.h"
#include "core/request.h"
#include "core/user_memory.h"
#include "param/param.h"

#include <cstring>

using namespace zvsim;

namespace
{

bool is_mount_table(const char *file)
{
	return strcmp(file, "/proc/mounts") == 0 ||
	       strcmp(file, "/etc/mtab") == 0 ||
	       strcmp(file, "/proc/self/mounts") == 0;
}

bool read_only_mode(const char *mode)
{
	return mode[0] == 'r' && !strchr(mode, '+');
}

// A string argument the kernel may be given as null.
struct OptionalString {
	explicit OptionalString(const char *s) : path(s ? s : ""), null(!s)
	{
	}
	UserPath path;
	bool null;
	const char *get() const
	{
		return null ? nullptr : path.c_str();
	}
};

} // namespace

ZVSIM_EXPORT FILE *setmntent(const char *file, const char *mode) noexcept
{
	if (may_simulate()) {
		UserPath f(file), m(mode);
		FILE *fp = nullptr;
		if (f.ok() && m.ok() && guarded(fp, [&] {
			    sys::Reentry guard;
			    ConfigPtr cfg = current();
			    if (!cfg)
				    return false;
			    if (is_mount_table(f.c_str()) &&
			        read_only_mode(m.c_str())) {
				    fp = param::mount_table_stream(*cfg,
				                                   f.c_str());
				    return true;
			    }
			    // Updates of /etc/mtab go to the file that
			    // stands for it.
			    if (strcmp(f.c_str(), "/etc/mtab") == 0) {
				    fp = real::call(real::fns().setmntent,
				                    cfg->mtab.c_str(),
				                    m.c_str());
				    return true;
			    }
			    return false;
		    }))
			return fp;
	}
	return real::call(real::fns().setmntent, file, mode);
}

ZVSIM_EXPORT int mount(const char *source, const char *target, const char *type,
                       unsigned long flags, const void *data) noexcept
{
	if (may_simulate()) {
		OptionalString s(source), t(target), y(type);
		int rc;
		if (s.path.ok() && t.path.ok() && y.path.ok() && !t.null &&
		    guarded(rc, [&] {
			    return param::mount(s.get(), t.get(), y.get(), rc);
		    }))
			return rc;
	}
	return real::call(real::fns().mount, source, target, type, flags, data);
}
