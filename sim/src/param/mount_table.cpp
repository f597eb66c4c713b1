// Reads of the mount table list the simulated mount after the real ones,
// then its further mounts, each:
//   <nid>:/<fsname> <mount> zorvel rw,flock,user_xattr,lazystatfs 0 0
// The stream is an anonymous memory file, so the caller's endmntent()
// releases everything.
#include "param.h"

#include "core/mounts.h"
#include "core/sysio.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdio_ext.h>
#include <sys/mman.h>
#include <unistd.h>

namespace zvsim::param
{

namespace
{

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

} // namespace

FILE *mount_table_stream(const Config &cfg, const char *file)
{
	std::string text;
	if (sys::read_file(file, text) < 0)
		text.clear();
	if (!text.empty() && text.back() != '\n')
		text += '\n';
	// The mount, then its further mounts as listed now.
	std::vector<std::string> dirs = mounts_listed(cfg);
	dirs.insert(dirs.begin(), cfg.mount);
	for (const std::string &dir : dirs)
		text += cfg.nid + ":/" + cfg.fsname + " " + escape(dir) +
		        " zorvel rw,flock,user_xattr,lazystatfs 0 0\n";
	int fd = ::memfd_create("zvsim-mounts", MFD_CLOEXEC);
	if (fd < 0)
		return nullptr;
	int rc = sys::write_all(fd, text.data(), text.size());
	if (rc < 0 || ::lseek(fd, 0, SEEK_SET) < 0) {
		int err = rc < 0 ? -rc : errno;
		sys::close(fd);
		errno = err;
		return nullptr;
	}
	FILE *fp = ::fdopen(fd, "r");
	if (!fp) {
		int err = errno;
		sys::close(fd);
		errno = err;
		return nullptr;
	}
	__fsetlocking(fp, FSETLOCKING_BYCALLER); // as libc's own table streams
	return fp;
}

} // namespace zvsim::param
