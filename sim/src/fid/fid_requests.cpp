// FID requests: FID to path, parent of a link, FID to target index, and the
// client's striping-device name.
#include "fid.h"
#include "fid_wire.h"

#include "core/link_index.h"
#include "core/tree.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

#include <linux/zorvel/zorvel_fid.h>
#include <linux/zorvel/zorvel_layout.h>

namespace zvsim::fid
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
// Largest name area of a parent request a reply may use.
constexpr uint32_t MAX_NAME_ROOM = 65536;

// Link gf_linkno of the FID, relative to the root. On success gf_linkno
// moves to the next link, or stays when this was the last; gf_recno is
// echoed.
int do_fid2path(Request &req)
{
	void *arg = req.arg;
	uint32_t pathlen = rec::get32(arg, rec::F2P_PATHLEN);
	if (pathlen == 0 || pathlen > MAX_PATHLEN)
		return -EINVAL;
	Fid fid = fid_get(arg, rec::F2P_FID);
	uint32_t linkno = rec::get32(arg, rec::F2P_LINKNO);
	std::vector<std::string> links;
	int rc = fid_links(req.cfg, fid, links);
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
int do_getparent(Request &req)
{
	const Config &cfg = req.cfg;
	const Object &obj = *req.obj;
	void *arg = req.arg;
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

int do_fid2mdtidx(Request &req)
{
	Fid fid = fid_get(req.arg, 0);
	std::vector<std::string> links;
	int rc = fid_links(req.cfg, fid, links);
	if (rc < 0)
		return rc;
	return req.cfg.mdt_of(fid);
}

int do_getobdname(Request &req)
{
	std::string name = req.cfg.fsname + "-clilov-" + req.cfg.instance;
	if (name.size() + 1 > rec::OBD_UUID_LEN)
		return -EOVERFLOW;
	char *out = static_cast<char *>(req.arg);
	std::memset(out, 0, rec::OBD_UUID_LEN);
	std::memcpy(out, name.c_str(), name.size());
	return 0;
}

Extent fid2path_extent(const Config &, const void *hdr)
{
	uint32_t pathlen = rec::get32(hdr, rec::F2P_PATHLEN);
	return {rec::F2P_HDR,
	        rec::F2P_HDR + (pathlen <= MAX_PATHLEN ? pathlen : 0)};
}

Extent getparent_extent(const Config &, const void *hdr)
{
	uint32_t size = rec::get32(hdr, rec::GP_NAMESIZE);
	return {rec::GP_HDR, rec::GP_HDR + std::min(size, MAX_NAME_ROOM)};
}

Extent obdname_extent(const Config &, const void *)
{
	return {0, rec::OBD_UUID_LEN};
}

const Row rows[] = {
        {.code = ZV_IOC_FID2PATH,
         .name = "FID2PATH",
         .target = Target::MountObject,
         .arg = ArgKind::Struct,
         .header = rec::F2P_HDR,
         .extent = fid2path_extent,
         .handle = do_fid2path},
        {.code = ZV_IOC_GETPARENT,
         .name = "GETPARENT",
         .target = Target::MountObject,
         .arg = ArgKind::Struct,
         .header = rec::GP_HDR,
         .extent = getparent_extent,
         .handle = do_getparent},
        {.code = ZV_IOC_FID2MDTIDX,
         .name = "FID2MDTIDX",
         .target = Target::MountObject,
         .arg = ArgKind::Struct,
         .header = rec::FID_SIZE,
         .handle = do_fid2mdtidx},
        {.code = ZV_IOC_GETOBDNAME,
         .name = "GETOBDNAME",
         .target = Target::MountObject,
         .arg = ArgKind::Struct,
         .extent = obdname_extent,
         .handle = do_getobdname},
        {.code = REQ_NAME_TO_HANDLE,
         .name = "NAME_TO_HANDLE",
         .target = Target::Call},
        {.code = REQ_OPEN_BY_FID,
         .name = "OPEN_BY_FID",
         .target = Target::Call},
};

} // namespace

// The link index follows the namespace once a FID has been looked up.
const Family family = {
        .rows = rows,
        .watching = link_index_on,
        .observe = link_index_note,
        .observes_attributes = false, // the index keeps names alone
        .open = open_hook,
        .open_flags = DELAY_CREATE_BIT,
        .open_words = {FID_DIR_MARK},
};

} // namespace zvsim::fid
