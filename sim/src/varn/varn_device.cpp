// Selection policies as the networking layer keeps them: a list in index
// order, one line per policy in <state>/varn/udsp ("<action> <priority>
// <descriptor bytes in hex>"), rewritten atomically under the state lock so
// that every process sees the same list. Records are read and written at
// explicit byte offsets, independently of the library's own code.
#include "varn_device.h"

#include "core/hexbytes.h"
#include "core/sysio.h"
#include "core/wire.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/ioctl.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zvsim::varn
{
namespace
{

constexpr uint32_t ADD_UDSP = 0xc0b86569;
constexpr uint32_t DEL_UDSP = 0xc0b8656a;
constexpr uint32_t GET_UDSP_SIZE = 0xc0b8656b;
constexpr uint32_t GET_UDSP = 0xc0b8656c;
constexpr uint32_t VERSION_CONFIG = 0x0001000b;

// The request record: ioc_len 0, ioc_version 4, iou_idx 8,
// iou_action_type 12, iou_bulk_size 16, priority 20, iou_bulk 24.
constexpr size_t REC = 32;
constexpr size_t OFF_LEN = 0, OFF_VERSION = 4, OFF_IDX = 8, OFF_ACTION = 12,
                 OFF_BULK_SIZE = 16, OFF_PRIO = 20, OFF_BULK = 24;
// The largest policy the simulated layer takes.
constexpr size_t MAX_BULK = 64 * 1024;
constexpr uint32_t DESCR_CODES[] = {0x00435253, 0x00545344, 0x00455452};

struct Policy {
	uint32_t action = 0;
	uint32_t priority = 0;
	std::string descr; // the three marshaled descriptors
};

std::string list_path(const Config &cfg)
{
	return cfg.path("varn/udsp");
}

std::string dev_path(const Config &cfg)
{
	return cfg.path("dev/varn");
}

int load(const Config &cfg, std::vector<Policy> &list)
{
	std::string text;
	int rc = sys::read_file(list_path(cfg), text);
	if (rc == -ENOENT)
		return 0;
	if (rc < 0)
		return rc;
	std::istringstream in(text);
	std::string line;
	while (std::getline(in, line)) {
		std::istringstream words(line);
		Policy p;
		std::string bytes;
		if (!(words >> p.action >> p.priority >> bytes) ||
		    !hex_decode(bytes, p.descr))
			return -EIO;
		list.push_back(std::move(p));
	}
	return 0;
}

int store(const Config &cfg, const std::vector<Policy> &list)
{
	std::ostringstream out;
	for (const auto &p : list)
		out << p.action << ' ' << p.priority << ' '
		    << hex_encode(p.descr) << '\n';
	return sys::write_file_atomic(list_path(cfg), out.str());
}

// One descriptor at off: its code, and counts that fit what is left.
bool valid_descr(const std::string &b, size_t &off, uint32_t code,
                 bool &present)
{
	if (b.size() - off < 16 || rec::get32(b.data(), off) != code)
		return false;
	uint32_t addr_count = rec::get32(b.data(), off + 4);
	uint32_t net_type = rec::get32(b.data(), off + 8);
	uint64_t ranges = rec::get32(b.data(), off + 12);
	off += 16;
	present = net_type != 0;
	if (!present)
		return addr_count == 0 && ranges == 0;
	if ((b.size() - off) / 12 < ranges)
		return false;
	off += ranges * 12;
	for (uint32_t i = 0; i < addr_count; i++) {
		if (b.size() - off < 4)
			return false;
		uint64_t n = rec::get32(b.data(), off);
		off += 4;
		if ((b.size() - off) / 12 < n)
			return false;
		off += n * 12;
	}
	return true;
}

bool valid_policy(uint32_t action, const std::string &descr)
{
	if (action != 1 && action != 2)
		return false;
	size_t off = 0;
	int present = 0;
	for (uint32_t code : DESCR_CODES) {
		bool p = false;
		if (!valid_descr(descr, off, code, p))
			return false;
		present += p;
	}
	return present > 0 && off == descr.size();
}

// The descriptors follow the record in the caller's buffer, as the
// request's iou_bulk says; anything else is not a request we understand.
bool bulk_follows(const Request &req)
{
	return rec::get64(req.arg, OFF_BULK) == req.value + REC;
}

int do_add(Request &req)
{
	const Config &cfg = req.cfg;
	void *arg = req.arg;
	uint32_t len = rec::get32(arg, OFF_LEN);
	uint32_t bulk = rec::get32(arg, OFF_BULK_SIZE);
	if (len < REC || len - REC != bulk || bulk > MAX_BULK ||
	    !bulk_follows(req))
		return -EINVAL;
	Policy p;
	p.action = rec::get32(arg, OFF_ACTION);
	p.priority = rec::get32(arg, OFF_PRIO);
	p.descr.assign(static_cast<const char *>(arg) + REC, bulk);
	if (!valid_policy(p.action, p.descr))
		return -EINVAL;
	int32_t idx = static_cast<int32_t>(rec::get32(arg, OFF_IDX));
	StateLock lock(cfg);
	std::vector<Policy> list;
	int rc = load(cfg, list);
	if (rc < 0)
		return rc;
	size_t at = idx >= 0 && static_cast<size_t>(idx) < list.size()
	                    ? static_cast<size_t>(idx)
	                    : list.size();
	list.insert(list.begin() + static_cast<long>(at), std::move(p));
	return store(cfg, list);
}

int do_del(Request &req)
{
	const Config &cfg = req.cfg;
	void *arg = req.arg;
	int32_t idx = static_cast<int32_t>(rec::get32(arg, OFF_IDX));
	StateLock lock(cfg);
	std::vector<Policy> list;
	int rc = load(cfg, list);
	if (rc < 0)
		return rc;
	if (idx < 0 || static_cast<size_t>(idx) >= list.size())
		return -ENOENT;
	list.erase(list.begin() + idx);
	return store(cfg, list);
}

int find(const Config &cfg, void *arg, Policy &p)
{
	int32_t idx = static_cast<int32_t>(rec::get32(arg, OFF_IDX));
	std::vector<Policy> list;
	int rc = load(cfg, list);
	if (rc < 0)
		return rc;
	if (idx < 0 || static_cast<size_t>(idx) >= list.size())
		return -ENOENT;
	p = list[idx];
	return 0;
}

int do_get_size(Request &req)
{
	const Config &cfg = req.cfg;
	void *arg = req.arg;
	Policy p;
	int rc = find(cfg, arg, p);
	if (rc == 0)
		rec::put32(arg, OFF_IDX,
		           static_cast<uint32_t>(REC + p.descr.size()));
	return rc;
}

int do_get(Request &req)
{
	const Config &cfg = req.cfg;
	void *arg = req.arg;
	if (!bulk_follows(req))
		return -EINVAL;
	Policy p;
	int rc = find(cfg, arg, p);
	if (rc < 0)
		return rc;
	if (rec::get32(arg, OFF_BULK_SIZE) < p.descr.size())
		return -ENOSPC;
	rec::put32(arg, OFF_LEN, REC);
	rec::put32(arg, OFF_ACTION, p.action);
	rec::put32(arg, OFF_BULK_SIZE, static_cast<uint32_t>(p.descr.size()));
	rec::put32(arg, OFF_PRIO, p.priority);
	std::memcpy(static_cast<char *>(arg) + REC, p.descr.data(),
	            p.descr.size());
	return 0;
}

// Every request needs the layer's version and at least the record.
int checked(Request &req, int (*fn)(Request &))
{
	if (rec::get32(req.arg, OFF_VERSION) != VERSION_CONFIG ||
	    rec::get32(req.arg, OFF_LEN) < REC)
		return -EINVAL;
	return fn(req);
}

int handle_add(Request &req)
{
	return checked(req, do_add);
}

int handle_del(Request &req)
{
	return checked(req, do_del);
}

int handle_get_size(Request &req)
{
	return checked(req, do_get_size);
}

int handle_get(Request &req)
{
	return checked(req, do_get);
}

// What the layer reads on entry: the record, and an add's descriptors; a
// get may be answered over the record and its bulk.
Extent add_extent(const Config &, const void *arg)
{
	uint32_t len = rec::get32(arg, OFF_LEN);
	size_t n = REC;
	if (len > REC && len - REC <= MAX_BULK &&
	    rec::get32(arg, OFF_BULK_SIZE) == len - REC)
		n = len;
	return {n, REC};
}

Extent get_extent(const Config &, const void *arg)
{
	uint32_t bulk = rec::get32(arg, OFF_BULK_SIZE);
	return {REC, bulk <= MAX_BULK ? REC + bulk : REC};
}

int dev_init(const Config &cfg)
{
	for (const char *dir : {"dev", "varn"})
		if (::mkdir(cfg.path(dir).c_str(), 0755) < 0 && errno != EEXIST)
			return -errno;
	int fd = sys::open(dev_path(cfg).c_str(), O_RDWR | O_CREAT, 0600);
	if (fd < 0)
		return fd;
	sys::close(fd);
	return 0;
}

const Row rows[] = {
        {.code = ADD_UDSP,
         .name = "ADD_UDSP",
         .target = Target::NetDevice,
         .arg = ArgKind::Struct,
         .header = REC,
         .extent = add_extent,
         .handle = handle_add},
        {.code = DEL_UDSP,
         .name = "DEL_UDSP",
         .target = Target::NetDevice,
         .arg = ArgKind::Struct,
         .header = REC,
         .handle = handle_del},
        {.code = GET_UDSP_SIZE,
         .name = "GET_UDSP_SIZE",
         .target = Target::NetDevice,
         .arg = ArgKind::Struct,
         .header = REC,
         .handle = handle_get_size},
        {.code = GET_UDSP,
         .name = "GET_UDSP",
         .target = Target::NetDevice,
         .arg = ArgKind::Struct,
         .header = REC,
         .extent = get_extent,
         .handle = handle_get},
};

} // namespace

const Family family = {.rows = rows, .init = dev_init};

} // namespace zvsim::varn
