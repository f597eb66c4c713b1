#include "tree.h"

#include "sysio.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zvsim
{

namespace
{

// Visits one directory; pushes its subdirectories on todo.
void scan_dir(const Config &cfg, const std::string &rel, ino_t ino,
              std::vector<std::string> &todo, std::vector<std::string> &found,
              nlink_t &want)
{
	int fd = sys::open(cfg.abs(rel).c_str(),
	                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
	if (fd < 0)
		return;
	struct stat dst;
	if (::fstat(fd, &dst) < 0 || dst.st_dev != cfg.dev) {
		::close(fd);
		return;
	}
	DIR *dir = ::fdopendir(fd);
	if (!dir) {
		::close(fd);
		return;
	}
	while (struct dirent *de = ::readdir(dir)) {
		std::string_view name = de->d_name;
		if (name == "." || name == "..")
			continue;
		if (rel.empty() && name == ".zorvel")
			continue;
		std::string child = rel.empty() ? std::string(name)
		                                : rel + "/" + std::string(name);
		unsigned char type = de->d_type;
		if (de->d_ino == ino || type == DT_UNKNOWN) {
			struct stat st;
			if (::fstatat(fd, de->d_name, &st,
			              AT_SYMLINK_NOFOLLOW) < 0)
				continue;
			type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
			if (st.st_ino == ino && st.st_dev == cfg.dev) {
				found.push_back(child);
				want = S_ISDIR(st.st_mode) ? 1 : st.st_nlink;
			}
		}
		if (type == DT_DIR)
			todo.push_back(std::move(child));
	}
	::closedir(dir);
}

} // namespace

std::vector<std::string> find_links(const Config &cfg, ino_t ino)
{
	std::vector<std::string> found, todo{""};
	nlink_t want = 0;
	while (!todo.empty()) {
		std::string rel = std::move(todo.back());
		todo.pop_back();
		scan_dir(cfg, rel, ino, todo, found, want);
		if (want && found.size() >= want)
			break;
	}
	std::sort(found.begin(), found.end());
	return found;
}

int fid_links(const Config &cfg, const Fid &fid,
              std::vector<std::string> &links)
{
	links.clear();
	FidTarget t = fid_decode(fid, cfg.mdts);
	switch (t.kind) {
	case FidKind::Foreign:
		return -EINVAL;
	case FidKind::Unknown:
		return -ENOENT;
	case FidKind::Root:
		links.push_back("");
		return 0;
	case FidKind::DotZorvel:
		links.push_back(".zorvel");
		return 0;
	case FidKind::FidDir:
		links.push_back(".zorvel/fid");
		return 0;
	case FidKind::Normal:
		break;
	}
	// The root's inode number is reachable only through the root FID.
	if (t.ino == cfg.root_ino)
		return -ENOENT;
	links = find_links(cfg, static_cast<ino_t>(t.ino));
	return links.empty() ? -ENOENT : 0;
}

int fid_to_rel(const Config &cfg, const Fid &fid, std::string &rel)
{
	std::vector<std::string> links;
	int rc = fid_links(cfg, fid, links);
	if (rc < 0)
		return rc;
	rel = links.front();
	return 0;
}

std::string parent_of(const std::string &rel)
{
	auto pos = rel.rfind('/');
	return pos == std::string::npos ? std::string() : rel.substr(0, pos);
}

std::string basename_of(const std::string &rel)
{
	auto pos = rel.rfind('/');
	return pos == std::string::npos ? rel : rel.substr(pos + 1);
}

} // namespace zvsim
