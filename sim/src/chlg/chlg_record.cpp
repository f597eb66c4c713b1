// Change-log records of namespace operations, encoded at explicit byte
// offsets in the layout each log asks for.
#include "chlg.h"

#include "core/wire.h"

#include <linux/zorvel/zorvel_changelog.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace zvsim::chlg
{

namespace
{

// Header.
constexpr size_t R_NAMELEN = 0, R_FLAGS = 2, R_TYPE = 4, R_TIME = 24,
                 R_TFID = 32, R_PFID = 48, R_HDR = 64;
// Extension sizes, in their order after the header.
constexpr size_t X_RENAME = 32, X_JOBID = 32, X_EXTRA = 8, X_UIDGID = 16,
                 X_NID = 24, X_OPEN = 4, X_XATTR = 256;

uint64_t now_ns()
{
	struct timespec ts;
	clock_gettime(CLOCK_REALTIME, &ts);
	return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL +
	       static_cast<uint64_t>(ts.tv_nsec);
}

// Copies text into a zero-filled field of size bytes, keeping a NUL.
void put_text(std::string &out, size_t off, std::string_view text, size_t size)
{
	size_t n = std::min(text.size(), size - 1);
	out.replace(off, n, text.substr(0, n));
}

// Network driver type of a NID's network name ("tcp", "o2ib3"...).
bool net_of(std::string_view net, uint32_t &value)
{
	static const struct {
		std::string_view name;
		uint32_t type;
	} types[] = {{"tcp", 2}, {"o2ib", 5}, {"lo", 9}};
	for (const auto &t : types) {
		if (net.substr(0, t.name.size()) != t.name)
			continue;
		std::string_view num = net.substr(t.name.size());
		uint32_t n = 0;
		for (char c : num) {
			if (c < '0' || c > '9' || n > 0xffff)
				return false;
			n = n * 10 + static_cast<uint32_t>(c - '0');
		}
		if (n > 0xffff)
			return false;
		value = t.type << 16 | n;
		return true;
	}
	return false;
}

} // namespace

uint64_t client_nid(const Config &cfg)
{
	const char *env = getenv("ZVSIM_NID");
	std::string nid = env && *env ? env : cfg.nid;
	size_t at = nid.find('@');
	if (at == std::string::npos)
		return 0;
	uint32_t net;
	if (!net_of(std::string_view(nid).substr(at + 1), net))
		return 0;
	std::string host = nid.substr(0, at);
	struct in_addr addr {
	};
	if (net >> 16 != 9 && inet_pton(AF_INET, host.c_str(), &addr) != 1)
		return 0;
	return static_cast<uint64_t>(net) << 32 | ntohl(addr.s_addr);
}

std::string job_id(uid_t real_uid)
{
	const char *env = getenv("ZVSIM_JOBID");
	std::string id = env ? env
	                     : std::string(program_invocation_short_name) +
	                                 "." + std::to_string(real_uid);
	if (id.size() > X_JOBID - 1)
		id.resize(X_JOBID - 1);
	return id;
}

std::string encode(const Config &cfg, const NsEvent &ev, uint16_t crf,
                   uint16_t cref)
{
	bool extra = crf & CLF_EXTRA_FLAGS;
	size_t namelen = std::min<size_t>(ev.name.size(), 0xffff);
	size_t size = R_HDR + (crf & CLF_RENAME ? X_RENAME : 0) +
	              (crf & CLF_JOBID ? X_JOBID : 0) + namelen;
	if (extra)
		size += X_EXTRA + (cref & CLFE_UIDGID ? X_UIDGID : 0) +
		        (cref & CLFE_NID ? X_NID : 0) +
		        (cref & CLFE_OPEN ? X_OPEN : 0) +
		        (cref & CLFE_XATTR ? X_XATTR : 0);
	// The real and effective user IDs come with one call.
	uid_t ruid = 0, euid = 0, suid;
	gid_t rgid, egid = 0, sgid;
	if (crf & CLF_JOBID || (extra && cref & CLFE_UIDGID))
		getresuid(&ruid, &euid, &suid);
	if (extra && cref & CLFE_UIDGID)
		getresgid(&rgid, &egid, &sgid);
	std::string out(size, '\0');
	char *p = out.data();
	rec::put16(p, R_NAMELEN, static_cast<uint16_t>(namelen));
	rec::put16(p, R_FLAGS, crf);
	rec::put32(p, R_TYPE, ev.type);
	rec::put64(p, R_TIME, now_ns());
	fid_put(p, R_TFID, ev.tfid);
	fid_put(p, R_PFID, ev.pfid);
	size_t off = R_HDR;
	if (crf & CLF_RENAME) {
		fid_put(p, off, ev.sfid);
		fid_put(p, off + 16, ev.spfid);
		off += X_RENAME;
	}
	if (crf & CLF_JOBID) {
		put_text(out, off, job_id(ruid), X_JOBID);
		off += X_JOBID;
	}
	if (extra) {
		rec::put64(p, off, cref);
		off += X_EXTRA;
		if (cref & CLFE_UIDGID) {
			rec::put64(p, off, euid);
			rec::put64(p, off + 8, egid);
			off += X_UIDGID;
		}
		if (cref & CLFE_NID) {
			rec::put64(p, off, client_nid(cfg));
			off += X_NID;
		}
		if (cref & CLFE_OPEN) {
			rec::put32(p, off, ev.open_flags);
			off += X_OPEN;
		}
		if (cref & CLFE_XATTR) {
			put_text(out, off, ev.xattr, X_XATTR);
			off += X_XATTR;
		}
	}
	out.replace(off, namelen, ev.name.substr(0, namelen));
	return out;
}

void set_target(std::string &record, const Fid &fid)
{
	if (record.size() >= R_HDR)
		fid_put(record.data(), R_TFID, fid);
}

void produce(const Config &cfg, const NsEvent &ev)
{
	if (ev.recorded)
		return; // written ahead, with its operation (chlg_intent.cpp)
	const Fid none{};
	int index = cfg.mdt_of(ev.pfid == none ? ev.tfid : ev.pfid);
	Locked log;
	if (log.open(cfg, index) < 0 || log.h.users.empty() || ev.type >= 32 ||
	    !(log.h.mask & (1U << ev.type)))
		return;
	std::string bytes = encode(cfg, ev, log.h.crf, log.h.cref);
	(void)append_unit(log, KIND_RECORD, bytes);
}

} // namespace zvsim::chlg
