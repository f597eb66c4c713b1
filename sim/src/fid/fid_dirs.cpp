// The file system's own directories, .zorvel and .zorvel/fid: opens by FID
// go through them, so they cannot be removed, renamed or replaced.
#include "fid.h"

#include "core/sysio.h"
#include "core/user_memory.h"

#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zvsim::fid
{

namespace
{

// The last component of a path, trailing slashes ignored.
std::string_view last_component(std::string_view p)
{
	while (p.size() > 1 && p.back() == '/')
		p.remove_suffix(1);
	size_t slash = p.rfind('/');
	return slash == std::string_view::npos ? p : p.substr(slash + 1);
}

} // namespace

bool own_directory(int dirfd, const char *path) noexcept
try {
	if (!may_simulate())
		return false;
	// Most paths end in neither name: told on the caller's bytes where
	// they are known to be readable, before any copy.
	if (long n = string_in_place(path, USER_PATH_MAX); n >= 0) {
		std::string_view name = last_component({path, size_t(n)});
		if (name != ".zorvel" && name != "fid")
			return false;
	}
	UserPath p(path);
	if (!p.ok())
		return false;
	std::string_view name = last_component(p.c_str());
	// Only these names can be them: anything else costs nothing more.
	if (name != ".zorvel" && name != "fid")
		return false;
	sys::Reentry guard;
	ConfigPtr cfg = current();
	struct stat st;
	return cfg &&
	       ::syscall(SYS_newfstatat, dirfd, p.c_str(), &st,
	                 AT_SYMLINK_NOFOLLOW) == 0 &&
	       st.st_dev == cfg->dev &&
	       ((cfg->dotz_ino && st.st_ino == cfg->dotz_ino) ||
	        (cfg->fiddir_ino && st.st_ino == cfg->fiddir_ino));
} catch (...) {
	return false; // the call goes on to the C library
}

} // namespace zvsim::fid
