// FID requests: FID to path, parent of a link, FID to target index, and the
// client's striping-device name; plus the dispatch of every ioctl.
#include "records.h"
#include "requests.h"
#include "tree.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

#include <linux/zorvel/zorvel_fid.h>
#include <linux/zorvel/zorvel_layout.h>

namespace zvsim
{

// Our offsets must match the kernel records.
static_assert(sizeof(struct zo_fid) == rec::FID_SIZE);
static_assert(offsetof(struct zo_fid, f_oid) == rec::FID_OID);
static_assert(offsetof(struct zo_fid, f_ver) == rec::FID_VER);
static_assert(sizeof(struct getinfo_fid2path) == rec::F2P_HDR);
static_assert(offsetof(struct getinfo_fid2path, gf_recno) == rec::F2P_RECNO);
static_assert(offsetof(struct getinfo_fid2path, gf_linkno) == rec::F2P_LINKNO);
static_assert(offsetof(struct getinfo_fid2path, gf_pathlen) ==
              rec::F2P_PATHLEN);
static_assert(sizeof(struct getparent) == rec::GP_HDR);
static_assert(offsetof(struct getparent, gp_linkno) == rec::GP_LINKNO);
static_assert(offsetof(struct getparent, gp_name_size) == rec::GP_NAMESIZE);
static_assert(offsetof(struct getparent, gp_name) == rec::GP_HDR);
static_assert(sizeof(struct zorvel_file_handle) == rec::FH_PAYLOAD);
static_assert(FILEID_ZORVEL == rec::FH_TYPE_ZORVEL);
static_assert(_IOC_SIZE(ZV_IOC_GETOBDNAME) == rec::OBD_UUID_LEN);

namespace
{

// Largest path area a FID-to-path request may announce.
constexpr uint32_t MAX_PATHLEN = 65536;

size_t hdr_plus(const void *arg, size_t hdr, size_t len_off)
{
	return hdr + rec::get32(arg, len_off);
}

} // namespace

bool known_ioctl(uint32_t code)
{
	switch (code) {
	case ZV_IOC_FID2PATH:
	case ZV_IOC_GETPARENT:
	case ZV_IOC_FID2MDTIDX:
	case ZV_IOC_GETOBDNAME:
	case ZV_IOC_LOV_SETSTRIPE:
	case ZV_IOC_LOV_GETSTRIPE:
	case ZV_IOC_LMV_SETSTRIPE:
	case ZV_IOC_LMV_GETSTRIPE:
	case ZV_IOC_RMFID:
	case ZV_IOC_REMOVE_ENTRY:
	case ZV_IOC_FOREIGN_UNLINK_PREP:
		return true;
	default:
		return false;
	}
}

ArgView describe_ioctl(const Config &cfg, uint32_t code, const void *arg)
{
	ArgView v;
	auto entry = [&](size_t n) {
		v.entry.assign(static_cast<const char *>(arg), n);
	};
	if (!arg)
		return v;
	switch (code) {
	case ZV_IOC_FID2PATH:
		entry(rec::F2P_HDR);
		v.reply_room = hdr_plus(arg, rec::F2P_HDR, rec::F2P_PATHLEN);
		break;
	case ZV_IOC_GETPARENT:
		entry(rec::GP_HDR);
		v.reply_room = hdr_plus(arg, rec::GP_HDR, rec::GP_NAMESIZE);
		break;
	case ZV_IOC_FID2MDTIDX:
		entry(rec::FID_SIZE);
		v.reply_room = rec::FID_SIZE;
		break;
	case ZV_IOC_GETOBDNAME:
		v.reply_room = rec::OBD_UUID_LEN;
		break;
	case ZV_IOC_LOV_SETSTRIPE:
		entry(lov_record_size(cfg, arg));
		v.reply_room = v.entry.size();
		break;
	case ZV_IOC_LMV_SETSTRIPE:
		entry(lmv_record_size(arg));
		v.reply_room = v.entry.size();
		break;
	case ZV_IOC_LOV_GETSTRIPE:
		v.reply_room = rec::LMM_MAX_SIZE;
		break;
	case ZV_IOC_LMV_GETSTRIPE:
		entry(rec::LUM_SIZE);
		// Callers that read foreign directories pass 64 KiB.
		v.reply_room = 65536;
		break;
	case ZV_IOC_RMFID:
		entry(rmfid_record_size(arg));
		v.reply_room = v.entry.size();
		break;
	case ZV_IOC_REMOVE_ENTRY:
		// The caller's name: read, never written.
		entry(entry_name_size(arg));
		break;
	default:
		// Unmodelled requests: their argument may be a value, not an
		// address, so nothing is read or written.
		break;
	}
	return v;
}

int handle_ioctl(const Config &cfg, const Object &obj, uint32_t code, void *arg)
{
	if (!known_ioctl(code))
		return -ENOTTY;
	// A request without an argument: whatever was passed is not read.
	if (code == ZV_IOC_FOREIGN_UNLINK_PREP)
		return do_foreign_unlink_prep(cfg, obj);
	if (!arg)
		return -EFAULT;
	switch (code) {
	case ZV_IOC_FID2PATH:
		return do_fid2path(cfg, arg);
	case ZV_IOC_GETPARENT:
		return do_getparent(cfg, obj, arg);
	case ZV_IOC_FID2MDTIDX:
		return do_fid2mdtidx(cfg, arg);
	case ZV_IOC_GETOBDNAME:
		return do_getobdname(cfg, arg);
	case ZV_IOC_LOV_SETSTRIPE:
		return do_lov_setstripe(cfg, obj, arg);
	case ZV_IOC_LOV_GETSTRIPE:
		return do_lov_getstripe(cfg, obj, arg);
	case ZV_IOC_LMV_SETSTRIPE:
		return do_lmv_setstripe(cfg, obj, arg);
	case ZV_IOC_LMV_GETSTRIPE:
		return do_lmv_getstripe(cfg, obj, arg);
	case ZV_IOC_RMFID:
		return do_rmfid(cfg, arg);
	case ZV_IOC_REMOVE_ENTRY:
		return do_remove_entry(cfg, obj, arg);
	}
	return -ENOTTY;
}

int mdt_index(const Config &cfg, const Fid &fid)
{
	FidTarget t = fid_decode(fid, cfg.mdts);
	return t.kind == FidKind::Normal ? t.mdt : 0;
}

// Link gf_linkno of the FID, relative to the root. On success gf_linkno
// moves to the next link, or stays when this was the last; gf_recno is
// echoed.
int do_fid2path(const Config &cfg, void *arg)
{
	uint32_t pathlen = rec::get32(arg, rec::F2P_PATHLEN);
	if (pathlen == 0 || pathlen > MAX_PATHLEN)
		return -EINVAL;
	Fid fid = fid_get(arg, rec::F2P_FID);
	uint32_t linkno = rec::get32(arg, rec::F2P_LINKNO);
	std::vector<std::string> links;
	int rc = fid_links(cfg, fid, links);
	if (rc < 0)
		return rc;
	if (linkno >= links.size())
		return -ENOENT;
	const std::string &path = links[linkno];
	if (path.size() + 1 > pathlen)
		return -EOVERFLOW;
	char *area = static_cast<char *>(arg) + rec::F2P_HDR;
	std::memcpy(area, path.c_str(), path.size() + 1);
	if (linkno + 1 < links.size())
		rec::put32(arg, rec::F2P_LINKNO, linkno + 1);
	return 0;
}

// Parent FID and entry name of link gp_linkno of the object itself.
int do_getparent(const Config &cfg, const Object &obj, void *arg)
{
	uint32_t linkno = rec::get32(arg, rec::GP_LINKNO);
	uint32_t name_size = rec::get32(arg, rec::GP_NAMESIZE);
	if (obj.fid == ROOT_FID)
		return -ENODATA;
	std::vector<std::string> links;
	if (fid_links(cfg, obj.fid, links) < 0 || linkno >= links.size())
		return -ENODATA;
	const std::string &link = links[linkno];
	std::string name = basename_of(link), parent = parent_of(link);
	if (name.size() + 1 > name_size)
		return -EOVERFLOW;
	struct stat st;
	if (::lstat(cfg.abs(parent).c_str(), &st) < 0)
		return -errno;
	fid_put(arg, rec::GP_FID, cfg.fid_of(st.st_dev, st.st_ino));
	std::memcpy(static_cast<char *>(arg) + rec::GP_HDR, name.c_str(),
	            name.size() + 1);
	return 0;
}

int do_fid2mdtidx(const Config &cfg, void *arg)
{
	Fid fid = fid_get(arg, 0);
	std::vector<std::string> links;
	int rc = fid_links(cfg, fid, links);
	if (rc < 0)
		return rc;
	return mdt_index(cfg, fid);
}

int do_getobdname(const Config &cfg, void *arg)
{
	std::string name = cfg.fsname + "-clilov-" + cfg.instance;
	if (name.size() + 1 > rec::OBD_UUID_LEN)
		return -EOVERFLOW;
	char *out = static_cast<char *>(arg);
	std::memset(out, 0, rec::OBD_UUID_LEN);
	std::memcpy(out, name.c_str(), name.size());
	return 0;
}

} // namespace zvsim
