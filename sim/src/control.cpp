#include "control.h"
#include "hexbytes.h"

#include "real.h"
#include "records.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

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
	static InjectCache c;
	return c;
}

bool same_file(const InjectCache &c, const Config &cfg, const struct stat &st)
{
	return c.valid && c.state == cfg.state && c.ino == st.st_ino &&
	       c.size == st.st_size && c.mtime.tv_sec == st.st_mtim.tv_sec &&
	       c.mtime.tv_nsec == st.st_mtim.tv_nsec;
}

int store(const Config &cfg, const std::vector<Injection> &list)
{
	std::string path = cfg.path("inject");
	if (list.empty())
		return ::unlink(path.c_str()) < 0 && errno != ENOENT ? -errno
		                                                     : 0;
	return sys::write_file_atomic(path, serialize(list));
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

// --- log: binary records --------------------------------------------------
//   u32 magic "ZVLG", u32 record length, u64 code, u64 size, u64 nbytes,
//   then nbytes argument bytes.
constexpr uint32_t LOG_MAGIC = 0x474C565A;
constexpr size_t LOG_HDR = 32;

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
	struct stat st;
	if (::stat(cfg.path("inject").c_str(), &st) < 0)
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

void log_append(const Config &cfg, uint32_t code, size_t size,
                const void *bytes, size_t nbytes)
{
	std::string rec(LOG_HDR + nbytes, '\0');
	rec::put32(rec.data(), 0, LOG_MAGIC);
	rec::put32(rec.data(), 4, static_cast<uint32_t>(rec.size()));
	rec::put64(rec.data(), 8, code);
	rec::put64(rec.data(), 16, size);
	rec::put64(rec.data(), 24, nbytes);
	if (nbytes)
		std::memcpy(rec.data() + LOG_HDR, bytes, nbytes);
	int fd = sys::open(cfg.path("log").c_str(),
	                   O_WRONLY | O_APPEND | O_CREAT, 0644);
	if (fd < 0)
		return;
	// One write: O_APPEND keeps concurrent records whole.
	(void)sys::write_all(fd, rec.data(), rec.size());
	::close(fd);
}

int log_read(const Config &cfg, zvsim_request **reqs, size_t *count)
{
	std::string data;
	int rc = sys::read_file(cfg.path("log"), data);
	if (rc == -ENOENT)
		data.clear();
	else if (rc < 0)
		return rc;
	std::vector<zvsim_request> out;
	auto release = [&out] {
		for (auto &r : out)
			free(r.bytes);
	};
	size_t off = 0;
	while (off + LOG_HDR <= data.size()) {
		const char *p = data.data() + off;
		uint32_t len = rec::get32(p, 4);
		uint64_t nbytes = rec::get64(p, 24);
		if (len > data.size() - off)
			break; // a record still being appended
		if (rec::get32(p, 0) != LOG_MAGIC || len < LOG_HDR ||
		    nbytes != len - LOG_HDR) {
			release();
			return -EIO;
		}
		zvsim_request r{};
		r.code = static_cast<unsigned long>(rec::get64(p, 8));
		r.size = static_cast<size_t>(rec::get64(p, 16));
		r.nbytes = static_cast<size_t>(nbytes);
		r.bytes = static_cast<unsigned char *>(
		        malloc(nbytes ? nbytes : 1));
		if (!r.bytes) {
			release();
			return -ENOMEM;
		}
		std::memcpy(r.bytes, p + LOG_HDR, nbytes);
		out.push_back(r);
		off += len;
	}
	zvsim_request *arr = nullptr;
	if (!out.empty()) {
		arr = static_cast<zvsim_request *>(
		        malloc(out.size() * sizeof(zvsim_request)));
		if (!arr) {
			release();
			return -ENOMEM;
		}
		std::memcpy(arr, out.data(),
		            out.size() * sizeof(zvsim_request));
	}
	*reqs = arr;
	*count = out.size();
	return static_cast<int>(out.size());
}

int log_clear(const Config &cfg)
{
	int fd = sys::open(cfg.path("log").c_str(),
	                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
	if (fd < 0)
		return fd;
	::close(fd);
	return 0;
}

} // namespace zvsim
