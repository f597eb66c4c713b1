// Reads of the mount table list the simulated mount after the real ones:
//   <nid>:/<fsname> <mount> zorvel rw,flock,user_xattr,lazystatfs 0 0
// The stream is an anonymous memory file, so the caller's endmntent()
// releases everything. Updates of /etc/mtab go to <state>/etc/mtab.
#include "real.h"
#include "state.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mntent.h>
#include <stdio_ext.h>
#include <sys/mman.h>
#include <unistd.h>

#include <zvsim/zvsim.h>

#define ZV_EXPORT extern "C" __attribute__((visibility("default")))

namespace zvsim
{
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

// Mount-table fields escape blanks, line ends and backslashes in octal.
std::string escape(const std::string &s)
{
	std::string out;
	for (char c : s) {
		if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
			char buf[5];
			snprintf(buf, sizeof buf, "\\%03o",
			         static_cast<unsigned char>(c));
			out += buf;
		} else {
			out += c;
		}
	}
	return out;
}

FILE *table_stream(const Config &cfg, const char *file)
{
	std::string text;
	if (sys::read_file(file, text) < 0)
		text.clear();
	if (!text.empty() && text.back() != '\n')
		text += '\n';
	text += cfg.nid + ":/" + cfg.fsname + " " + escape(cfg.mount) +
	        " zorvel rw,flock,user_xattr,lazystatfs 0 0\n";
	int fd = ::memfd_create("zvsim-mounts", MFD_CLOEXEC);
	if (fd < 0)
		return nullptr;
	int rc = sys::write_all(fd, text.data(), text.size());
	if (rc < 0 || ::lseek(fd, 0, SEEK_SET) < 0) {
		::close(fd);
		errno = rc < 0 ? -rc : errno;
		return nullptr;
	}
	FILE *fp = ::fdopen(fd, "r");
	if (!fp) {
		int err = errno;
		::close(fd);
		errno = err;
		return nullptr;
	}
	__fsetlocking(fp, FSETLOCKING_BYCALLER); // as libc's own table streams
	return fp;
}

} // namespace
} // namespace zvsim

using namespace zvsim;

ZV_EXPORT FILE *setmntent(const char *file, const char *mode) noexcept
{
	if (file && mode && !sys::Reentry::inside() &&
	    ::getenv(ZVSIM_STATE_ENV) && is_mount_table(file) &&
	    read_only_mode(mode)) {
		sys::Reentry guard;
		try {
			ConfigPtr cfg = current();
			if (cfg)
				return table_stream(*cfg, file);
		} catch (const std::bad_alloc &) {
			/* nothing may unwind into a C caller */
			errno = ENOMEM;
			return nullptr;
		}
	}
	// Updates of /etc/mtab go to the file that stands for it.
	if (file && mode && !sys::Reentry::inside() &&
	    ::getenv(ZVSIM_STATE_ENV) && strcmp(file, "/etc/mtab") == 0 &&
	    !read_only_mode(mode)) {
		sys::Reentry guard;
		try {
			ConfigPtr cfg = current();
			if (cfg && real::fns().setmntent)
				return real::fns().setmntent(cfg->mtab.c_str(),
				                             mode);
		} catch (const std::bad_alloc &) {
			errno = ENOMEM;
			return nullptr;
		}
	}
	auto fn = real::fns().setmntent;
	if (!fn) {
		errno = ENOSYS;
		return nullptr;
	}
	return fn(file, mode);
}
