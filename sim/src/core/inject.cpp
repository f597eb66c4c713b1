#include "inject.h"

#include "control_page.h"
#include "hexbytes.h"
#include "sysio.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include <zvsim/zvsim.h>

namespace zvsim
{

namespace
{

// --- injections: one text line each, applied first to last ---------------
//   E <code hex> <errno> once|always
//   R <code hex> <result> <bytes hex, or - when empty>

// "-" stands for no bytes.
bool from_hex(const std::string &hex, std::string &out)
{
	if (hex == "-") {
		out.clear();
		return true;
	}
	return hex_decode(hex, out);
}

std::string format(const Injection &inj)
{
	char head[64];
	if (inj.reply) {
		snprintf(head, sizeof head, "R %x %d ", inj.code, inj.result);
		return head +
		       (inj.bytes.empty() ? "-" : hex_encode(inj.bytes)) + "\n";
	}
	snprintf(head, sizeof head, "E %x %d %s\n", inj.code, inj.err,
	         inj.always ? "always" : "once");
	return head;
}

std::vector<Injection> parse(const std::string &text)
{
	std::vector<Injection> out;
	std::istringstream in(text);
	std::string line;
	while (std::getline(in, line)) {
		std::istringstream ls(line);
		std::string kind, code, a, b;
		if (!(ls >> kind >> code >> a >> b))
			continue;
		Injection inj;
		inj.code = static_cast<uint32_t>(
		        strtoul(code.c_str(), nullptr, 16));
		if (kind == "E") {
			inj.err = atoi(a.c_str());
			inj.always = b == "always";
		} else if (kind == "R") {
			inj.reply = true;
			inj.result = atoi(a.c_str());
			if (!from_hex(b, inj.bytes))
				continue;
		} else {
			continue;
		}
		out.push_back(std::move(inj));
	}
	return out;
}

std::string serialize(const std::vector<Injection> &list)
{
	std::string out;
	for (const auto &inj : list)
		out += format(inj);
	return out;
}

// What this process last read of the injection file, keyed by its identity.
struct InjectCache {
	std::string state;
	bool valid = false;
	ino_t ino = 0;
	off_t size = 0;
	struct timespec mtime {
	};
	std::vector<Injection> list;
};

InjectCache &inject_cache()
{
	// Never destroyed: interposed calls still come after static
	// destructors (other libraries' exit handlers, the sanitizer's).
	static InjectCache &c = *new InjectCache;
	return c;
}

std::mutex &inject_mutex()
{
	static std::mutex mu;
	return mu;
}

bool same_file(const InjectCache &c, const Config &cfg, const struct stat &st)
{
	return c.valid && c.state == cfg.state && c.ino == st.st_ino &&
	       c.size == st.st_size && c.mtime.tv_sec == st.st_mtim.tv_sec &&
	       c.mtime.tv_nsec == st.st_mtim.tv_nsec;
}

// Under the state lock: the file, then its count on the control page.
int store(const Config &cfg, const std::vector<Injection> &list)
{
	std::string path = cfg.path("inject");
	int rc = 0;
	if (list.empty())
		rc = ::unlink(path.c_str()) < 0 && errno != ENOENT ? -errno : 0;
	else
		rc = sys::write_file_atomic(path, serialize(list));
	if (rc == 0)
		page_set(cfg.page, &ControlPage::injections,
		         static_cast<uint32_t>(list.size()));
	return rc;
}

int load(const Config &cfg, std::vector<Injection> &list)
{
	std::string text;
	int rc = sys::read_file(cfg.path("inject"), text);
	if (rc == -ENOENT) {
		list.clear();
		return 0;
	}
	if (rc < 0)
		return rc;
	list = parse(text);
	return 0;
}

} // namespace

int inject_add(const Config &cfg, const Injection &inj)
{
	StateLock lock(cfg);
	std::vector<Injection> list;
	int rc = load(cfg, list);
	if (rc < 0)
		return rc;
	list.push_back(inj);
	return store(cfg, list);
}

int inject_clear(const Config &cfg)
{
	StateLock lock(cfg);
	return store(cfg, {});
}

std::optional<Injection> inject_take(const Config &cfg, uint32_t code)
{
	if (!page_get(cfg.page, &ControlPage::injections))
		return std::nullopt;
	std::lock_guard<std::mutex> guard(inject_mutex());
	struct stat st;
	if (::syscall(SYS_stat, cfg.path("inject").c_str(), &st) < 0)
		return std::nullopt;
	InjectCache &c = inject_cache();
	if (!same_file(c, cfg, st)) {
		std::string text;
		if (sys::read_file(cfg.path("inject"), text) < 0)
			return std::nullopt;
		c.list = parse(text);
		c.state = cfg.state;
		c.ino = st.st_ino;
		c.size = st.st_size;
		c.mtime = st.st_mtim;
		c.valid = true;
	}
	bool any = false;
	for (const auto &inj : c.list)
		any = any || inj.code == code;
	if (!any)
		return std::nullopt;

	// Consuming a one-shot must be atomic across processes: re-read under
	// the lock and rewrite.
	StateLock lock(cfg);
	std::vector<Injection> list;
	if (load(cfg, list) < 0)
		return std::nullopt;
	for (size_t i = 0; i < list.size(); ++i) {
		if (list[i].code != code)
			continue;
		Injection found = list[i];
		if (!found.always) {
			list.erase(list.begin() + static_cast<long>(i));
			store(cfg, list);
		}
		c.valid = false;
		return found;
	}
	c.valid = false;
	return std::nullopt;
}

} // namespace zvsim
