// Volatile names: a creation whose name starts with the volatile header is
// checked against the name's form and the mount's metadata targets, and
// otherwise made as an ordinary file, which has no name once its creator
// unlinks it.
#include "swap.h"
#include "swap_wire.h"

#include "core/sysio.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/syscall.h>

namespace zvsim::swap
{

namespace
{

// Upper-case hexadecimal of 4 to 8 digits, as the name is formed.
bool hex_field(std::string_view s, uint32_t &value)
{
	if (s.size() < 4 || s.size() > 8)
		return false;
	value = 0;
	for (char c : s) {
		int d = c >= '0' && c <= '9'   ? c - '0'
		        : c >= 'A' && c <= 'F' ? c - 'A' + 10
		                               : -1;
		if (d < 0)
			return false;
		value = value * 16 + static_cast<uint32_t>(d);
	}
	return true;
}

// What follows the header: ":<index>:<random>" or "::<random>". 0,
// -EINVAL for another form, -ENODEV for a target this mount lacks.
int check_suffix(const Config &cfg, std::string_view s)
{
	uint32_t index, number;
	if (s.starts_with("::"))
		return hex_field(s.substr(2), number) ? 0 : -EINVAL;
	size_t colon = s.find(':', 1);
	if (!s.starts_with(":") || colon == std::string_view::npos ||
	    !hex_field(s.substr(1, colon - 1), index) ||
	    !hex_field(s.substr(colon + 1), number))
		return -EINVAL;
	return index < static_cast<uint32_t>(cfg.mdts) ? 0 : -ENODEV;
}

// Whether the directory the name is made in lies in the mount.
bool parent_in_mount(const Config &cfg, int dirfd, std::string_view path)
{
	size_t slash = path.rfind('/');
	std::string parent = slash == std::string_view::npos ? "."
	                     : slash == 0                    ? "/"
	                                  : std::string(path.substr(0, slash));
	int fd = sys::openat(dirfd, parent.c_str(),
	                     O_PATH | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0)
		return false;
	std::string real, rel;
	struct stat st;
	bool in = sys::fd_path(fd, real) == 0 && cfg.relative(real, rel) &&
	          ::syscall(SYS_fstat, fd, &st) == 0 && st.st_dev == cfg.dev;
	sys::close(fd);
	return in;
}

} // namespace

bool volatile_open(OpenCall &call, int &result)
{
	int dirfd = call.dirfd;
	const char *path = call.path;
	int flags = call.flags;
	if (!(flags & O_CREAT))
		return false;
	const char *slash = std::strrchr(path, '/');
	const char *name = slash ? slash + 1 : path;
	if (std::strncmp(name, rec::VOLATILE_HDR, rec::VOLATILE_HDR_LEN) != 0)
		return false;
	sys::Reentry guard;
	ConfigPtr cfg = current();
	if (!cfg || !parent_in_mount(*cfg, dirfd, path))
		return false;
	// The creation is a request of its own: logged with the path and
	// open to injections (a kernel that always answers EEXIST).
	int rc =
	        request_tail(*cfg, REQ_VOLATILE_OPEN, 0, path, nullptr, 0, [&] {
		        return check_suffix(*cfg, name + rec::VOLATILE_HDR_LEN);
	        });
	if (rc >= 0)
		return false;
	errno = -rc;
	result = -1;
	return true;
}

} // namespace zvsim::swap
