// Layout requests: striping of files, default striping of directories,
// foreign layouts of files and directories (kept as layout_store.h says).
#include "layout.h"
#include "layout_store.h"
#include "layout_wire.h"

#include "core/sysio.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <linux/zorvel/zorvel_layout.h>

namespace zvsim::layout
{

static_assert(sizeof(struct zv_layout_v1) == rec::LMM_V1_HDR);
static_assert(sizeof(struct zv_layout_v3) == rec::LMM_V3_HDR);
static_assert(offsetof(struct zv_layout_v1, lmm_oi) == rec::LMM_OI_ID);
static_assert(offsetof(struct zv_layout_v1, lmm_stripe_size) ==
              rec::LMM_STRIPE_SIZE);
static_assert(offsetof(struct zv_layout_v1, lmm_stripe_count) ==
              rec::LMM_STRIPE_COUNT);
static_assert(offsetof(struct zv_layout_v1, lmm_stripe_offset) ==
              rec::LMM_STRIPE_OFFSET);
static_assert(offsetof(struct zv_layout_v3, lmm_pool_name) == rec::LMM_POOL);
static_assert(sizeof(struct zv_layout_ost_data) == rec::OST_SIZE);
static_assert(offsetof(struct zv_layout_ost_data, l_ost_gen) == rec::OST_GEN);
static_assert(offsetof(struct zv_layout_ost_data, l_ost_idx) == rec::OST_IDX);
static_assert(ZV_LAYOUT_MAX_SIZE == rec::LMM_MAX_SIZE);
static_assert(sizeof(struct zv_foreign_layout) == rec::LFM_HDR);
static_assert(offsetof(struct zv_foreign_layout, lfm_type) == rec::LFM_TYPE);
static_assert(sizeof(struct zv_lmv_user_md) == rec::LUM_SIZE);
static_assert(offsetof(struct zv_lmv_user_md, lum_pool_name) == rec::LUM_POOL);
static_assert(sizeof(struct zv_foreign_dir_create) == rec::FDC_HDR);
static_assert(offsetof(struct zv_foreign_dir_create, zfd_reclen) ==
              rec::FDC_RECLEN);
static_assert(ZV_LAYOUT_MAGIC_V1 == rec::MAGIC_V1 &&
              ZV_LAYOUT_MAGIC_V3 == rec::MAGIC_V3 &&
              ZV_LAYOUT_MAGIC_SPECIFIC == rec::MAGIC_SPECIFIC &&
              ZV_FOREIGN_FILE_MAGIC == rec::MAGIC_FOREIGN_FILE &&
              ZV_FOREIGN_DIR_MAGIC == rec::MAGIC_FOREIGN_DIR &&
              ZV_DIR_STRIPE_REQUEST_MAGIC == rec::MAGIC_DIR_REQUEST);

namespace
{

constexpr uint32_t STRIPE_UNIT = 64 * 1024;
constexpr uint32_t DEFAULT_STRIPE_SIZE = 1024 * 1024;
constexpr uint16_t STRIPE_ANY = 0xFFFF; // count: all targets; offset: any
constexpr uint32_t MAX_FOREIGN_VALUE = 65536 - rec::LFM_HDR;
constexpr uint32_t MAX_NAMELEN = 256; // name and its NUL
constexpr size_t MAX_FDC = rec::FDC_HDR + MAX_NAMELEN + 65536;

// A striping request checked against the targets, in the form the kernel
// answers with (less lmm_oi, filled on every read).
int build_striping(const Config &cfg, const void *arg, bool dir, const Fid &fid,
                   std::string &out)
{
	uint32_t magic = rec::get32(arg, rec::LMM_MAGIC);
	uint32_t pattern = rec::get32(arg, rec::LMM_PATTERN);
	uint32_t size = rec::get32(arg, rec::LMM_STRIPE_SIZE);
	uint16_t count = rec::get16(arg, rec::LMM_STRIPE_COUNT);
	uint16_t offset = rec::get16(arg, rec::LMM_STRIPE_OFFSET);
	uint32_t osts = static_cast<uint32_t>(cfg.osts);

	if (pattern != 0 && pattern != rec::PATTERN_RAID0)
		return -EINVAL;
	if (size % STRIPE_UNIT != 0)
		return -EINVAL;
	if (count != STRIPE_ANY && count > osts)
		return -EINVAL;
	if (offset != STRIPE_ANY && offset >= osts)
		return -EINVAL;

	std::vector<uint32_t> targets;
	if (magic == rec::MAGIC_SPECIFIC) {
		if (dir || count == 0 || count == STRIPE_ANY)
			return -EINVAL;
		std::set<uint32_t> seen;
		for (uint16_t i = 0; i < count; ++i) {
			uint32_t idx = rec::get32(
			        arg, rec::LMM_V3_HDR + i * rec::OST_SIZE +
			                     rec::OST_IDX);
			if (idx >= osts || !seen.insert(idx).second)
				return -EINVAL;
			targets.push_back(idx);
		}
	}

	bool v3 = magic != rec::MAGIC_V1;
	size_t hdr = v3 ? rec::LMM_V3_HDR : rec::LMM_V1_HDR;
	if (dir) {
		// A directory default is kept as given.
		out.assign(static_cast<const char *>(arg), hdr);
		rec::put32(out.data(), rec::LMM_PATTERN, rec::PATTERN_RAID0);
		return 0;
	}
	if (targets.empty()) {
		uint32_t n = count == 0            ? 1
		             : count == STRIPE_ANY ? osts
		                                   : count;
		// "Any" start: the first target follows from the FID, as for
		// the default layout.
		uint32_t first = offset == STRIPE_ANY ? fid.oid % osts : offset;
		for (uint32_t i = 0; i < n; ++i)
			targets.push_back((first + i) % osts);
	}
	out.assign(hdr + targets.size() * rec::OST_SIZE, '\0');
	char *p = out.data();
	rec::put32(p, rec::LMM_MAGIC, v3 ? rec::MAGIC_V3 : rec::MAGIC_V1);
	rec::put32(p, rec::LMM_PATTERN, rec::PATTERN_RAID0);
	rec::put32(p, rec::LMM_STRIPE_SIZE, size ? size : DEFAULT_STRIPE_SIZE);
	rec::put16(p, rec::LMM_STRIPE_COUNT,
	           static_cast<uint16_t>(targets.size()));
	rec::put16(p, rec::LMM_STRIPE_OFFSET, 0); // layout generation
	if (v3)
		std::memcpy(p + rec::LMM_POOL,
		            static_cast<const char *>(arg) + rec::LMM_POOL,
		            rec::LMM_POOL_LEN);
	for (size_t i = 0; i < targets.size(); ++i)
		rec::put32(p, hdr + i * rec::OST_SIZE + rec::OST_IDX,
		           targets[i]);
	return 0;
}

// Fill what depends on the object: lmm_oi and the stripes' object ids.
void personalize(std::string &record, const Object &obj)
{
	char *p = record.data();
	rec::put64(p, rec::LMM_OI_ID, obj.fid.oid);
	rec::put64(p, rec::LMM_OI_SEQ, obj.fid.seq);
	bool v3 = rec::get32(p, rec::LMM_MAGIC) == rec::MAGIC_V3;
	size_t hdr = v3 ? rec::LMM_V3_HDR : rec::LMM_V1_HDR;
	for (size_t off = hdr; off + rec::OST_SIZE <= record.size();
	     off += rec::OST_SIZE) {
		rec::put64(p, off + rec::OST_OI_ID, obj.st.st_ino);
		rec::put64(p, off + rec::OST_OI_SEQ, 0);
		rec::put32(p, off + rec::OST_GEN, 0);
	}
}

std::string default_striping(const Config &cfg, const Object &obj)
{
	std::string r(rec::LMM_V1_HDR + rec::OST_SIZE, '\0');
	rec::put32(r.data(), rec::LMM_MAGIC, rec::MAGIC_V1);
	rec::put32(r.data(), rec::LMM_PATTERN, rec::PATTERN_RAID0);
	rec::put32(r.data(), rec::LMM_STRIPE_SIZE, DEFAULT_STRIPE_SIZE);
	rec::put16(r.data(), rec::LMM_STRIPE_COUNT, 1);
	rec::put32(r.data(), rec::LMM_V1_HDR + rec::OST_IDX,
	           obj.fid.oid % static_cast<uint32_t>(cfg.osts));
	personalize(r, obj);
	return r;
}

size_t lov_record_size(const Config &cfg, const void *arg)
{
	switch (rec::get32(arg, rec::LMM_MAGIC)) {
	case rec::MAGIC_V1:
		return rec::LMM_V1_HDR;
	case rec::MAGIC_V3:
		return rec::LMM_V3_HDR;
	case rec::MAGIC_SPECIFIC: {
		// Entries are read only when their count can be valid.
		uint16_t count = rec::get16(arg, rec::LMM_STRIPE_COUNT);
		if (count > cfg.osts)
			return rec::LMM_V3_HDR;
		return rec::LMM_V3_HDR + count * rec::OST_SIZE;
	}
	case rec::MAGIC_FOREIGN_FILE: {
		uint32_t len = rec::get32(arg, rec::LFM_LENGTH);
		return rec::LFM_HDR + (len <= MAX_FOREIGN_VALUE ? len : 0);
	}
	default:
		return sizeof(uint32_t);
	}
}

size_t lmv_record_size(const void *arg)
{
	uint32_t reclen = rec::get32(arg, rec::FDC_RECLEN);
	return reclen >= rec::FDC_HDR && reclen <= MAX_FDC ? reclen
	                                                   : rec::FDC_HDR;
}

Extent lov_set_extent(const Config &cfg, const void *hdr)
{
	size_t n = lov_record_size(cfg, hdr);
	return {n, n};
}

Extent lmv_set_extent(const Config &, const void *hdr)
{
	size_t n = lmv_record_size(hdr);
	return {n, n};
}

Extent lov_get_extent(const Config &, const void *)
{
	return {0, rec::LMM_MAX_SIZE};
}

// Callers that read foreign directories pass 64 KiB.
constexpr size_t LMV_GET_ROOM = 65536;

Extent lmv_get_extent(const Config &, const void *)
{
	return {rec::LUM_SIZE, LMV_GET_ROOM};
}

int do_lov_setstripe(Request &req)
{
	const Config &cfg = req.cfg;
	const Object &obj = *req.obj;
	const void *arg = req.arg;
	bool dir = S_ISDIR(obj.st.st_mode);
	if (!dir && !S_ISREG(obj.st.st_mode))
		return -EINVAL;
	uint32_t magic = rec::get32(arg, rec::LMM_MAGIC);
	uint32_t kind;
	std::string record;
	switch (magic) {
	case rec::MAGIC_V1:
	case rec::MAGIC_V3:
	case rec::MAGIC_SPECIFIC: {
		int rc = build_striping(cfg, arg, dir, obj.fid, record);
		if (rc < 0)
			return rc;
		kind = dir ? KIND_DIR_DEFAULT : KIND_STRIPED;
		break;
	}
	case rec::MAGIC_FOREIGN_FILE: {
		uint32_t len = rec::get32(arg, rec::LFM_LENGTH);
		if (dir || len > MAX_FOREIGN_VALUE)
			return -EINVAL;
		record.assign(static_cast<const char *>(arg),
		              rec::LFM_HDR + len);
		kind = KIND_FOREIGN_FILE;
		break;
	}
	case rec::MAGIC_COMP:
		return -EOPNOTSUPP; // composite layouts are not modelled
	default:
		return -EINVAL;
	}

	Birth birth = birth_of(obj.fd);
	StateLock lock(cfg);
	uint32_t old_kind;
	std::string old;
	// A file's layout is set once; a directory's default may be replaced.
	if (!dir && load_layout(cfg, obj.st.st_ino, birth, LOV, old_kind, old))
		return -EEXIST;
	return save_layout(cfg, obj.st.st_ino, birth, LOV, kind, record);
}

int do_lov_getstripe(Request &req)
{
	std::string record;
	int rc = lov_record(req.cfg, *req.obj, record);
	if (rc < 0)
		return rc;
	// The caller's buffer holds ZV_LAYOUT_MAX_SIZE bytes.
	if (record.size() > rec::LMM_MAX_SIZE)
		return -ERANGE;
	std::memcpy(req.arg, record.data(), record.size());
	return 0;
}

int do_lmv_setstripe(Request &req)
{
	const Config &cfg = req.cfg;
	const Object &obj = *req.obj;
	const void *arg = req.arg;
	if (!S_ISDIR(obj.st.st_mode))
		return -ENOTDIR;
	const char *p = static_cast<const char *>(arg);
	uint32_t mode = rec::get32(p, rec::FDC_MODE);
	uint32_t namelen = rec::get32(p, rec::FDC_NAMELEN);
	uint32_t reclen = rec::get32(p, rec::FDC_RECLEN);
	if (reclen > MAX_FDC || namelen < 2 || namelen > MAX_NAMELEN)
		return -EINVAL;
	size_t padded = (namelen + 7u) & ~size_t{7};
	size_t lfm = rec::FDC_HDR + padded;
	if (reclen < lfm + rec::LFM_HDR)
		return -EINVAL;
	const char *name = p + rec::FDC_HDR;
	if (name[namelen - 1] != '\0' || strlen(name) != namelen - 1 ||
	    strchr(name, '/'))
		return -EINVAL;
	if (rec::get32(p, lfm + rec::LFM_MAGIC) != rec::MAGIC_FOREIGN_DIR ||
	    rec::get32(p, lfm + rec::LFM_LENGTH) != reclen - lfm - rec::LFM_HDR)
		return -EINVAL;
	if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
		return -EEXIST;

	if (::mkdirat(obj.fd, name, mode & 07777) < 0)
		return -errno;
	struct stat st;
	int rc = ::fstatat(obj.fd, name, &st, AT_SYMLINK_NOFOLLOW) < 0 ? -errno
	                                                               : 0;
	if (rc == 0) {
		StateLock lock(cfg);
		// Nothing of an earlier object with this inode number applies.
		::unlink(store_path(cfg, st.st_ino, LOV).c_str());
		rc = save_layout(cfg, st.st_ino, birth_of(obj.fd, name, 0), LMV,
		                 KIND_FOREIGN_DIR,
		                 std::string(p + lfm, reclen - lfm));
	}
	if (rc < 0)
		::unlinkat(obj.fd, name, AT_REMOVEDIR);
	return rc;
}

int do_lmv_getstripe(Request &req)
{
	const Config &cfg = req.cfg;
	const Object &obj = *req.obj;
	void *arg = req.arg;
	if (!S_ISDIR(obj.st.st_mode))
		return -ENOTDIR;
	if (rec::get32(arg, rec::LUM_MAGIC) != rec::MAGIC_DIR_REQUEST)
		return -EINVAL;
	std::string record;
	if (lmv_record(cfg, obj, record) == 0) {
		// A record larger than the caller's room is never written
		// past it.
		if (record.size() > LMV_GET_ROOM)
			return -ERANGE;
		std::memcpy(arg, record.data(), record.size());
		return 0;
	}
	char *p = static_cast<char *>(arg);
	std::memset(p, 0, rec::LUM_SIZE);
	rec::put32(p, rec::LUM_MAGIC, rec::MAGIC_LMV_USER);
	rec::put32(p, rec::LUM_STRIPE_COUNT, 0);
	rec::put32(p, rec::LUM_STRIPE_OFFSET,
	           static_cast<uint32_t>(cfg.mdt_of(obj.fid)));
	return 0;
}

const Row rows[] = {
        {.code = ZV_IOC_LOV_SETSTRIPE,
         .name = "LOV_SETSTRIPE",
         .target = Target::MountObject,
         .arg = ArgKind::Struct,
         .header = rec::LMM_V1_HDR,
         .extent = lov_set_extent,
         .handle = do_lov_setstripe},
        {.code = ZV_IOC_LOV_GETSTRIPE,
         .name = "LOV_GETSTRIPE",
         .target = Target::MountObject,
         .arg = ArgKind::Struct,
         .extent = lov_get_extent,
         .handle = do_lov_getstripe},
        {.code = ZV_IOC_LMV_SETSTRIPE,
         .name = "LMV_SETSTRIPE",
         .target = Target::MountObject,
         .arg = ArgKind::Struct,
         .header = rec::FDC_HDR,
         .extent = lmv_set_extent,
         .handle = do_lmv_setstripe},
        {.code = ZV_IOC_LMV_GETSTRIPE,
         .name = "LMV_GETSTRIPE",
         .target = Target::MountObject,
         .arg = ArgKind::Struct,
         .header = rec::LUM_SIZE,
         .extent = lmv_get_extent,
         .handle = do_lmv_getstripe},
        // The layout attributes (layout_xattr.cpp), for their names.
        {.code = REQ_GETXATTR, .name = "GETXATTR", .target = Target::Call},
        {.code = REQ_LISTXATTR, .name = "LISTXATTR", .target = Target::Call},
};

} // namespace

const Family family = {.rows = rows};

int lov_record(const Config &cfg, const Object &obj, std::string &record)
{
	uint32_t kind;
	bool stored = load_layout(cfg, obj.st.st_ino, birth_of(obj.fd), LOV,
	                          kind, record);
	if (S_ISDIR(obj.st.st_mode)) {
		if (!stored || (kind != KIND_DIR_DEFAULT && kind != KIND_RAW))
			return -ENODATA;
	} else if (!S_ISREG(obj.st.st_mode)) {
		return -ENODATA;
	} else if (!stored) {
		record = default_striping(cfg, obj);
	} else if (kind == KIND_STRIPED) {
		personalize(record, obj);
	}
	return 0;
}

int lmv_record(const Config &cfg, const Object &obj, std::string &record)
{
	uint32_t kind;
	if (S_ISDIR(obj.st.st_mode) &&
	    load_layout(cfg, obj.st.st_ino, birth_of(obj.fd), LMV, kind,
	                record) &&
	    (kind == KIND_FOREIGN_DIR || kind == KIND_RAW))
		return 0;
	return -ENODATA;
}

bool has_foreign_layout(const Config &cfg, const Object &obj)
{
	uint32_t kind;
	std::string record;
	Birth birth = birth_of(obj.fd);
	if (S_ISDIR(obj.st.st_mode))
		return load_layout(cfg, obj.st.st_ino, birth, LMV, kind,
		                   record) &&
		       kind == KIND_FOREIGN_DIR;
	return S_ISREG(obj.st.st_mode) &&
	       load_layout(cfg, obj.st.st_ino, birth, LOV, kind, record) &&
	       kind == KIND_FOREIGN_FILE;
}

bool has_file_layout(const Config &cfg, const Object &obj)
{
	uint32_t kind;
	std::string record;
	return S_ISREG(obj.st.st_mode) &&
	       load_layout(cfg, obj.st.st_ino, birth_of(obj.fd), ".lov", kind,
	                   record);
}

int exchange_file_layouts(const Config &cfg, const Object &a, const Object &b)
{
	Birth birth[2] = {birth_of(a.fd), birth_of(b.fd)};
	ino_t ino[2] = {a.st.st_ino, b.st.st_ino};
	uint32_t kind[2];
	std::string record[2];
	bool has[2];
	for (int i = 0; i < 2; ++i)
		has[i] = load_layout(cfg, ino[i], birth[i], ".lov", kind[i],
		                     record[i]);
	int rc = 0;
	for (int i = 0; i < 2 && rc == 0; ++i) {
		int other = 1 - i;
		if (has[other])
			rc = save_layout(cfg, ino[i], birth[i], ".lov",
			                 kind[other], record[other]);
		else if (::unlink(store_path(cfg, ino[i], ".lov").c_str()) <
		                 0 &&
		         errno != ENOENT)
			rc = -errno;
	}
	return rc;
}

} // namespace zvsim::layout
