// Records written with their operation: intents, and how the intents of
// dead writers are settled.
#include "chlg_intent.h"

#include "core/wire.h"

#include <utility>

namespace zvsim::chlg
{

namespace
{

// What follows a pending record: u32 kind, u32 directory path length,
// u32 name length, u32 0, directory FID, object FID, directory path (from
// the mount root), entry name.
constexpr size_t C_KIND = 0, C_DIRLEN = 4, C_NAMELEN = 8, C_DIR_FID = 16,
                 C_OBJECT = 32, C_HDR = 48;

std::string check_bytes(const NsCheck &c)
{
	std::string out(C_HDR, '\0');
	rec::put32(out.data(), C_KIND, c.kind);
	rec::put32(out.data(), C_DIRLEN, static_cast<uint32_t>(c.dir.size()));
	rec::put32(out.data(), C_NAMELEN, static_cast<uint32_t>(c.name.size()));
	fid_put(out.data(), C_DIR_FID, c.dir_fid);
	fid_put(out.data(), C_OBJECT, c.object);
	return out + c.dir + c.name;
}

bool check_from(std::string_view b, NsCheck &c)
{
	if (b.size() < C_HDR)
		return false;
	size_t dirlen = rec::get32(b.data(), C_DIRLEN),
	       namelen = rec::get32(b.data(), C_NAMELEN);
	if (C_HDR + dirlen + namelen > b.size())
		return false;
	c.kind = rec::get32(b.data(), C_KIND);
	c.dir_fid = fid_get(b.data(), C_DIR_FID);
	c.object = fid_get(b.data(), C_OBJECT);
	c.dir = b.substr(C_HDR, dirlen);
	c.name = b.substr(C_HDR + dirlen, namelen);
	return c.kind >= NsCheck::Appears && c.kind <= NsCheck::Gone;
}

} // namespace

int settle(const Config &cfg, Locked &log)
{
	if (!log.h.pending)
		return 0;
	std::string record, bytes;
	NsCheck check;
	Fid found;
	// A log nobody uses keeps nothing; a broken intent cannot be checked.
	if (log.h.users.empty() || read_pending(log, record, bytes) < 0 ||
	    !check_from(bytes, check) || !check.took_effect(cfg, found))
		return drop_pending(log);
	if (check.kind == NsCheck::Appears)
		set_target(record, found);
	return commit_pending(log, record);
}

bool settle_idle(const Config &cfg, const std::string &path)
{
	Locked log;
	return log.open(path, false) == 0 && log.h.pending &&
	       settle(cfg, log) == 0;
}

Intent::~Intent()
{
	end(false, nullptr);
}

bool Intent::lock(const Config &cfg, uint32_t type, int index, int other)
{
	cfg_ = &cfg;
	int order[2] = {index, other == index ? -1 : other};
	if (order[1] >= 0 && order[1] < order[0])
		std::swap(order[0], order[1]);
	for (int i = 0; i < 2; ++i) {
		Locked &log = logs_[i];
		if (order[i] < 0)
			continue;
		if (log.open(cfg, order[i]) < 0 || log.h.users.empty())
			log.close();
		else if (order[i] == index)
			rec_ = &log;
	}
	keeps_ = rec_ && type < 32 && (rec_->h.mask & (1U << type));
	return keeps_;
}

void Intent::write(const NsEvent &ev, const NsCheck &check)
{
	if (!keeps_ || pending_)
		return;
	record_ = encode(*cfg_, ev, rec_->h.crf, rec_->h.cref);
	pending_ = write_pending(*rec_, record_, check_bytes(check)) == 0;
}

void Intent::end(bool done, const Fid *tfid)
{
	if (pending_) {
		if (done && tfid)
			set_target(record_, *tfid);
		(void)(done ? commit_pending(*rec_, record_)
		            : drop_pending(*rec_));
		pending_ = false;
	}
	keeps_ = false;
	rec_ = nullptr;
	logs_[0].close();
	logs_[1].close();
}

std::unique_ptr<NsIntent> intent_of(const Config &cfg)
{
	if (!any_user(cfg))
		return nullptr;
	return std::make_unique<Intent>();
}

} // namespace zvsim::chlg
