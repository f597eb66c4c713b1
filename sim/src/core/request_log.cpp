#include "request_log.h"

#include "control_page.h"
#include "sysio.h"
#include "wire.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <vector>

#include <zvsim/zvsim.h>

namespace zvsim
{

namespace
{

// Records:
//   u32 magic "ZVLG", u32 record length, u64 code, u64 size, u64 nbytes,
//   then nbytes argument bytes.
constexpr uint32_t LOG_MAGIC = 0x474C565A;
constexpr size_t LOG_HDR = 32;

} // namespace

void log_append(const Config &cfg, uint32_t code, size_t size,
                const void *bytes, size_t nbytes)
{
	if (!page_get(cfg.page, &ControlPage::log_on))
		return;
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
	sys::close(fd);
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
	sys::close(fd);
	return 0;
}

int log_enable(const Config &cfg, bool on)
{
	if (!cfg.page)
		return -EIO;
	StateLock lock(cfg);
	page_set(cfg.page, &ControlPage::log_on, on ? 1 : 0);
	return 0;
}

} // namespace zvsim
