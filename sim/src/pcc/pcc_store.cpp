#include "pcc_store.h"

#include "core/control_page.h"
#include "core/sysio.h"
#include "param/param.h"
#include "swap/swap.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zvsim::pcc
{

namespace
{

constexpr const char *KIND = "pcc/attached";

bool parse_u64(std::string_view s, uint64_t &v)
{
	auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
	return ec == std::errc() && end == s.data() + s.size() && !s.empty();
}

// The areas' list, and the parameter that shows it.
std::string areas_file(const Config &cfg)
{
	return cfg.path("pcc/areas");
}

int publish(const Config &cfg, const std::vector<uint32_t> &ids)
{
	std::string text, param_path;
	for (uint32_t id : ids)
		text += std::to_string(id) + "\n";
	int rc = sys::mkdir_p(cfg.path("pcc"));
	if (rc == 0)
		rc = sys::write_file_atomic(areas_file(cfg), text);
	if (rc < 0)
		return rc;
	std::string shown;
	for (uint32_t id : ids)
		shown += "archive_id=" + std::to_string(id) +
		         " root=" + area_root(cfg, id) + "\n";
	std::string kernel = "/sys/fs/zorvel/zvlite/" + cfg.fsname + "-" +
	                     cfg.instance + "/pcc";
	if (param::map_param(cfg, kernel.c_str(), param_path) !=
	    param::Where::Mapped)
		return -EIO;
	return sys::write_file_atomic(param_path, shown);
}

void count(const Config &cfg, int delta)
{
	if (!cfg.page)
		return;
	int64_t now = page_get(cfg.page, attached_flag);
	now += delta;
	page_set(cfg.page, attached_flag,
	         static_cast<uint32_t>(std::max<int64_t>(now, 0)));
}

// Every file attached to area id (all areas with id 0) detached.
void detach_area(const Config &cfg, uint32_t id)
{
	for (ino_t ino : record_list(cfg, KIND)) {
		std::string text;
		std::string path =
		        cfg.state + "/" + KIND + "/" + std::to_string(ino);
		if (sys::read_file(path, text) < 0)
			continue;
		if (id != 0 && text.find("\nid " + std::to_string(id) + "\n") ==
		                       std::string::npos)
			continue;
		::syscall(SYS_unlink, path.c_str());
		count(cfg, -1);
	}
	if (id != 0)
		sys::remove_all(area_root(cfg, id));
}

int add_area(const Config &cfg, uint32_t id)
{
	std::vector<uint32_t> ids = areas(cfg);
	if (std::find(ids.begin(), ids.end(), id) != ids.end())
		return -EEXIST;
	int rc = sys::mkdir_p(area_root(cfg, id), 0700);
	if (rc < 0)
		return rc;
	ids.push_back(id);
	return publish(cfg, ids);
}

int del_area(const Config &cfg, uint32_t id)
{
	std::vector<uint32_t> ids = areas(cfg);
	auto it = std::find(ids.begin(), ids.end(), id);
	if (it == ids.end())
		return -ENOENT;
	ids.erase(it);
	detach_area(cfg, id);
	return publish(cfg, ids);
}

int clear_areas(const Config &cfg)
{
	for (uint32_t id : areas(cfg))
		detach_area(cfg, id);
	detach_area(cfg, 0); // stale records of areas gone by other means
	return publish(cfg, {});
}

int one_command(const Config &cfg, std::string_view line)
{
	std::istringstream in{std::string(line)};
	std::string verb, arg, extra;
	in >> verb >> arg >> extra;
	if (verb == "clear" && arg.empty())
		return clear_areas(cfg);
	uint64_t id;
	if (!extra.empty() || !parse_u64(arg, id) || id == 0 || id > UINT32_MAX)
		return -EINVAL;
	if (verb == "add")
		return add_area(cfg, static_cast<uint32_t>(id));
	if (verb == "del")
		return del_area(cfg, static_cast<uint32_t>(id));
	return -EINVAL;
}

} // namespace

const PageFlag attached_flag{};

std::string area_root(const Config &cfg, uint32_t id)
{
	return cfg.path("pcc/") + std::to_string(id);
}

std::vector<uint32_t> areas(const Config &cfg)
{
	std::vector<uint32_t> ids;
	std::string text;
	if (sys::read_file(areas_file(cfg), text) < 0)
		return ids;
	std::istringstream in(text);
	std::string line;
	uint64_t id;
	while (std::getline(in, line))
		if (parse_u64(line, id) && id <= UINT32_MAX)
			ids.push_back(static_cast<uint32_t>(id));
	return ids;
}

int command(const Config &cfg, std::string_view text)
{
	// A kernel parameter takes a trailing line end or NUL as nothing.
	while (!text.empty() && (text.back() == '\n' || text.back() == '\0'))
		text.remove_suffix(1);
	if (text.empty())
		return -EINVAL;
	while (!text.empty()) {
		size_t nl = text.find('\n');
		int rc = one_command(cfg, text.substr(0, nl));
		if (rc < 0)
			return rc;
		text.remove_prefix(nl == std::string_view::npos ? text.size()
		                                                : nl + 1);
	}
	return 0;
}

std::optional<Attached> load(const Config &cfg, const ObjectKey &key)
{
	std::vector<std::string> lines = record_load(cfg, KIND, key);
	if (lines.empty())
		return std::nullopt;
	Attached a;
	for (const std::string &l : lines) {
		std::string word = line_word(l, 0);
		std::string rest = l.size() > word.size() + 1
		                           ? l.substr(word.size() + 1)
		                           : std::string();
		uint64_t v = 0;
		if (word == "id" && parse_u64(rest, v))
			a.id = static_cast<uint32_t>(v);
		else if (word == "fid")
			a.fid = rest;
		else if (word == "dv" && parse_u64(rest, v))
			a.data_version = v;
		else if (word == "path")
			a.path = rest;
		else if (auto h = Holder::parse(rest);
		         word == "open" && h && h->alive(cfg))
			a.opens.push_back(*h);
	}
	return a;
}

int store(const Config &cfg, const ObjectKey &key, const Attached &a)
{
	// The id comes first: an area's files are found by "\nid <n>\n".
	std::vector<std::string> lines = {
	        "id " + std::to_string(a.id), "fid " + a.fid,
	        "dv " + std::to_string(a.data_version), "path " + a.path};
	for (const Holder &h : a.opens)
		lines.push_back("open " + h.text());
	return record_store(cfg, KIND, key, lines);
}

int detach_locked(const Config &cfg, const ObjectKey &key)
{
	std::optional<Attached> a = load(cfg, key);
	if (!a)
		return -ENODATA;
	int rc = record_store(cfg, KIND, key, {});
	if (rc < 0)
		return rc;
	count(cfg, -1);
	::syscall(SYS_unlink, a->path.c_str());
	return 0;
}

int attach_locked(const Config &cfg, const Object &obj, uint32_t archive_id)
{
	if (!S_ISREG(obj.st.st_mode))
		return -EINVAL;
	std::vector<uint32_t> ids = areas(cfg);
	if (std::find(ids.begin(), ids.end(), archive_id) == ids.end())
		return -ENOENT;
	ObjectKey key = key_of(obj.fd, obj.st.st_ino);
	if (load(cfg, key))
		return -EEXIST;
	swap::Versions v;
	int rc = swap::versions_locked(cfg, obj, v);
	if (rc < 0)
		return rc;
	Attached a;
	a.id = archive_id;
	a.fid = fid_format(obj.fid);
	a.fid = a.fid.substr(1, a.fid.size() - 2); // no brackets in a name
	a.data_version = v.data;
	a.path = area_root(cfg, archive_id) + "/" + a.fid;

	std::string self = "/proc/self/fd/" + std::to_string(obj.fd);
	int from = sys::open(self.c_str(), O_RDONLY | O_CLOEXEC);
	if (from < 0)
		return from;
	int to = sys::open(a.path.c_str(),
	                   O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
	rc = to < 0 ? to : swap::copy_data(from, to);
	sys::close(from);
	if (to >= 0)
		sys::close(to);
	if (rc == 0)
		rc = store(cfg, key, a);
	if (rc < 0) {
		::syscall(SYS_unlink, a.path.c_str());
		return rc;
	}
	count(cfg, 1);
	return 0;
}

} // namespace zvsim::pcc
