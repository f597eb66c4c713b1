#include "tree.h"

#include "link_index.h"
#include "sysio.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace zvsim
{

namespace
{

// Lists one directory; pushes its subdirectories on todo. False when the
// visitor asked to stop.
bool scan_dir(const Config &cfg, const std::string &rel,
              std::vector<std::string> &todo,
              const std::function<bool(const WalkEntry &)> &visit)
{
	int fd = sys::open(cfg.abs(rel).c_str(),
	                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
	if (fd < 0)
		return true;
	struct stat dst;
	if (::fstat(fd, &dst) < 0 || dst.st_dev != cfg.dev) {
		::close(fd);
		return true;
	}
	DIR *dir = ::fdopendir(fd);
	if (!dir) {
		::close(fd);
		return true;
	}
	bool go_on = true;
	while (struct dirent *de = go_on ? ::readdir(dir) : nullptr) {
		std::string_view name = de->d_name;
		if (name == "." || name == "..")
			continue;
		if (rel.empty() && name == ".zorvel")
			continue;
		bool is_dir = de->d_type == DT_DIR;
		if (de->d_type == DT_UNKNOWN) {
			struct stat st;
			if (::fstatat(fd, de->d_name, &st,
			              AT_SYMLINK_NOFOLLOW) < 0)
				continue;
			is_dir = S_ISDIR(st.st_mode);
		}
		go_on = visit({rel, dst.st_ino, fd, name, de->d_ino, is_dir});
		if (is_dir)
			todo.push_back(join_rel(rel, name));
	}
	::closedir(dir);
	return go_on;
}

} // namespace

void walk_mount(const Config &cfg,
                const std::function<bool(const WalkEntry &)> &visit)
{
	std::vector<std::string> todo{""};
	while (!todo.empty()) {
		std::string rel = std::move(todo.back());
		todo.pop_back();
		if (!scan_dir(cfg, rel, todo, visit))
			break;
	}
}

void list_dir(const Config &cfg, const std::string &rel,
              const std::function<bool(const WalkEntry &)> &visit)
{
	std::vector<std::string> below; // not descended into
	scan_dir(cfg, rel, below, visit);
}

bool entry_names(const Config &cfg, const WalkEntry &e, ino_t ino,
                 struct stat &st)
{
	std::string name(e.name);
	return e.ino == ino &&
	       ::fstatat(e.dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) ==
	               0 &&
	       st.st_ino == ino && st.st_dev == cfg.dev;
}

std::vector<std::string> find_links(const Config &cfg, ino_t ino)
{
	std::vector<std::string> found;
	nlink_t want = 0;
	walk_mount(cfg, [&](const WalkEntry &e) {
		struct stat st;
		if (entry_names(cfg, e, ino, st)) {
			found.push_back(join_rel(e.dir, e.name));
			want = S_ISDIR(st.st_mode) ? 1 : st.st_nlink;
		}
		return !want || found.size() < want;
	});
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
	links = lookup_links(cfg, static_cast<ino_t>(t.ino));
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

std::string join_rel(const std::string &rel, std::string_view name)
{
	std::string out = rel;
	if (!out.empty())
		out += '/';
	out += name;
	return out;
}

} // namespace zvsim
