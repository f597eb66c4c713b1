/* Change-log reader: records of a metadata target's log device, rebuilt in
 * the layout the reader asked for, and purging by a log user. */
#include "thread_spare.h"
#include "zorvelapi_internal.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>

namespace
{

constexpr int chlg_priv_magic = int(0xCA8E1080);
constexpr size_t chlg_buf_size = 4096;
constexpr size_t rec_hdr = sizeof(changelog_rec);

/* Each warned about once per process, whichever thread comes first. */
std::atomic<bool> warned_extra_flags, warned_jobid, warned_uidgid;

/* The warning that function was called without flag, once a process. */
void warn_once_without(std::atomic<bool> &warned, const char *function,
                       const char *flag)
{
	if (!warned.exchange(true))
		zvapi_error(ZVAPI_MSG_WARN | ZVAPI_MSG_NO_ERRNO, 0,
		            "warning: %s() called without %s", function, flag);
}

/* The name offsets of the 16 format and 16 extension combinations,
 * computed when the library loads: every record asks for two of them. */
const std::array<uint16_t, 256> offset_table = [] {
	std::array<uint16_t, 256> t{};
	for (int f = 0; f < 16; f++)
		for (int e = 0; e < 16; e++)
			t[f << 4 | e] = changelog_rec_offset(
			        static_cast<enum changelog_rec_flags>(f << 12),
			        static_cast<enum changelog_rec_extra_flags>(e));
	return t;
}();

/* The name offset for format bits crf and extension bits cref. (The
 * extension enum shares its name with an accessor, hence the casts.) */
inline size_t offset_of(int crf, int cref)
{
	return offset_table[((crf & CLF_SUPPORTED) >> 8) |
	                    (cref & CLFE_SUPPORTED)];
}

int chlg_dev_path(char *path, size_t len, const char *device)
{
	int n = snprintf(path, len, CHANGELOG_DEV_FMT, device);
	if (n < 0)
		return -EIO;
	if (size_t(n) >= len)
		return -EOVERFLOW;
	return 0;
}

/* The format and extension bits of a record. */
struct layout {
	int crf;
	int cref;
};

/* The extensions in the order they follow the header. */
struct ext_place {
	int crf_bit;  /* format bit that carries it */
	int cref_bit; /* extension bit, 0 for the format-level ones */
	size_t size;
};

const ext_place ext_places[] = {
        {CLF_RENAME, 0, sizeof(changelog_ext_rename)},
        {CLF_JOBID, 0, sizeof(changelog_ext_jobid)},
        {CLF_EXTRA_FLAGS, 0, sizeof(changelog_ext_extra_flags)},
        {CLF_EXTRA_FLAGS, CLFE_UIDGID, sizeof(changelog_ext_uidgid)},
        {CLF_EXTRA_FLAGS, CLFE_NID, sizeof(changelog_ext_nid)},
        {CLF_EXTRA_FLAGS, CLFE_OPEN, sizeof(changelog_ext_openmode)},
        {CLF_EXTRA_FLAGS, CLFE_XATTR, sizeof(changelog_ext_xattr)},
};

bool has(const layout &l, const ext_place &e)
{
	if (!(l.crf & e.crf_bit))
		return false;
	return e.cref_bit == 0 || (l.cref & e.cref_bit);
}

/* How to rebuild records of one layout in another: copies and zero fills
 * in record order, neighbours merged, so a stream of records of one layout
 * costs a few block moves each. */
struct remap_step {
	uint16_t to, from, len;
	bool zero;
};

struct remap_plan {
	int key = -1; /* layout the plan starts from, see layout_key() */
	int nsteps = 0;
	remap_step steps[2 * std::size(ext_places) + 1];
	uint16_t name_to = 0, name_from = 0;
	bool name_joins_last = false; /* the name extends the last copy */
	int extra_word = -1;          /* offset of the extra-flags word */
	int extra_from = -1;          /* and in the source (-1: zeroed) */
	int want_crf = 0, want_cref = 0;
};

int layout_key(const layout &l)
{
	return (l.crf << 8) | l.cref;
}

void add_step(remap_plan &plan, size_t to, size_t from, size_t len, bool zero)
{
	if (plan.nsteps > 0) {
		remap_step &last = plan.steps[plan.nsteps - 1];
		if (last.zero == zero && last.to + last.len == to &&
		    (zero || last.from + last.len == from)) {
			last.len += len;
			return;
		}
	}
	plan.steps[plan.nsteps++] = {uint16_t(to), uint16_t(from),
	                             uint16_t(len), zero};
}

void build_plan(const layout &have, const layout &want, remap_plan &plan)
{
	plan = remap_plan();
	plan.key = layout_key(have);
	plan.want_crf = want.crf;
	plan.want_cref = want.cref;
	add_step(plan, 0, 0, rec_hdr, false);
	size_t from = rec_hdr, to = rec_hdr;
	for (const ext_place &e : ext_places) {
		bool present = has(have, e), wanted = has(want, e);
		if (wanted) {
			if (e.crf_bit == CLF_EXTRA_FLAGS && e.cref_bit == 0) {
				plan.extra_word = int(to);
				plan.extra_from = present ? int(from) : -1;
			}
			add_step(plan, to, from, e.size, !present);
			to += e.size;
		}
		if (present)
			from += e.size;
	}
	plan.name_to = uint16_t(to);
	plan.name_from = uint16_t(from);
	const remap_step &last = plan.steps[plan.nsteps - 1];
	plan.name_joins_last = !last.zero && last.to + last.len == to &&
	                       last.from + last.len == from;
}

/* A record's buffer is aligned to a cache line: measured, 8% more
 * remapped records a second than with malloc's 16 bytes. */
constexpr size_t rec_align = 64;
constexpr size_t rec_buffer_size =
        (CHLG_REC_MAXSIZE + rec_align - 1) / rec_align * rec_align;

/* Builds at dst the record at src by the plan; dst and src do not
 * overlap, and dst holds the result. The words it changes are read from
 * src: read back from dst, each would wait on the copy's stores. */
void apply_plan(char *dst, const char *src, size_t namelen,
                const remap_plan &plan)
{
	for (int i = 0; i < plan.nsteps; i++) {
		const remap_step &st = plan.steps[i];
		size_t len = st.len;
		if (i == plan.nsteps - 1 && plan.name_joins_last)
			len += namelen;
		if (st.zero)
			memset(dst + st.to, 0, len);
		else
			memcpy(dst + st.to, src + st.from, len);
	}
	if (!plan.name_joins_last)
		memcpy(dst + plan.name_to, src + plan.name_from, namelen);

	uint16_t flags;
	memcpy(&flags, src + offsetof(changelog_rec, cr_flags), sizeof(flags));
	flags = (flags & CLF_FLAGMASK) | plan.want_crf;
	memcpy(dst + offsetof(changelog_rec, cr_flags), &flags, sizeof(flags));
	if (plan.extra_word >= 0) {
		uint64_t extra = 0;
		if (plan.extra_from >= 0)
			memcpy(&extra, src + plan.extra_from, sizeof(extra));
		extra = (extra & ~uint64_t(CLFE_SUPPORTED)) | plan.want_cref;
		memcpy(dst + plan.extra_word, &extra, sizeof(extra));
	}
}

struct changelog_private {
	int clp_magic;
	int clp_fd;
	enum changelog_send_flag clp_send_flags;
	enum changelog_send_extra_flag clp_send_extra_flags;
	size_t clp_buf_len;
	char *clp_buf_pos;
	char clp_buf[chlg_buf_size];
	remap_plan clp_plan; /* for the layout of the last record remapped */
	/* The layout the send flags ask for, and its name offset. */
	layout clp_want;
	size_t clp_want_offset;
};

changelog_private *checked(void *priv)
{
	auto *cp = static_cast<changelog_private *>(priv);
	return cp != nullptr && cp->clp_magic == chlg_priv_magic ? cp : nullptr;
}

/* One read of whole records; 0 at the end of the log. An interrupted read
 * is the caller's to see (-EINTR): a follower waits in it, and a signal
 * is how its owner stops it. */
int chlg_read_bulk(changelog_private *cp)
{
	errno = 0;
	ssize_t n = read(cp->clp_fd, cp->clp_buf, sizeof(cp->clp_buf));
	if (n < 0)
		return errno == 0 ? 0 : -errno;
	cp->clp_buf_pos = cp->clp_buf;
	cp->clp_buf_len = n;
	return int(n);
}

/* Format and extension bits of a record, read without assuming that it is
 * aligned or complete: -EPROTO when the extra-flags word lies beyond
 * avail bytes. */
int record_layout(const char *rec, size_t avail, layout *l)
{
	uint16_t flags;
	memcpy(&flags, rec + offsetof(changelog_rec, cr_flags), sizeof(flags));
	l->crf = flags & CLF_SUPPORTED;
	l->cref = 0;
	if (l->crf & CLF_EXTRA_FLAGS) {
		size_t off = offset_of(l->crf & (CLF_RENAME | CLF_JOBID), 0);
		if (off + sizeof(uint64_t) > avail)
			return -EPROTO;
		uint64_t extra;
		memcpy(&extra, rec + off, sizeof(extra));
		l->cref = int(extra & CLFE_SUPPORTED);
	}
	return 0;
}

/* The layout a reader asked for, cut to the supported bits. */
layout wanted_layout(int crf_wanted, int cref_want)
{
	layout want{crf_wanted & CLF_SUPPORTED, cref_want & CLFE_SUPPORTED};
	if (!(want.crf & CLF_EXTRA_FLAGS))
		want.cref = 0;
	return want;
}

bool same_layout(const layout &have, const layout &want)
{
	return have.crf == want.crf &&
	       (!(have.crf & CLF_EXTRA_FLAGS) || have.cref == want.cref);
}

/* Records are rebuilt in the layout the send flags ask for: kept with
 * them, for each record to be compared with. */
void set_wanted_layout(changelog_private *cp)
{
	int crf_wanted = CLF_VERSION | CLF_RENAME;
	int cref_want = 0;
	if (cp->clp_send_flags & CHANGELOG_FLAG_JOBID)
		crf_wanted |= CLF_JOBID;
	if (cp->clp_send_flags & CHANGELOG_FLAG_EXTRA_FLAGS) {
		crf_wanted |= CLF_EXTRA_FLAGS;
		cref_want = int(cp->clp_send_extra_flags) & CLFE_SUPPORTED;
	}
	cp->clp_want = wanted_layout(crf_wanted, cref_want);
	cp->clp_want_offset = offset_of(cp->clp_want.crf, cp->clp_want.cref);
}

} // namespace

/* Rebuilds rec in place in the layout crf_wanted/cref_want, through a
 * copy so that parts moving either way arrive intact. The record buffer
 * must hold the result (CHLG_REC_MAXSIZE). */
void changelog_remap_rec(struct changelog_rec *rec,
                         enum changelog_rec_flags crf_wanted,
                         enum changelog_rec_extra_flags cref_want)
{
	layout want = wanted_layout(crf_wanted, cref_want);
	layout have;
	record_layout(reinterpret_cast<const char *>(rec), CHLG_REC_MAXSIZE,
	              &have);
	if (same_layout(have, want))
		return;
	size_t size = offset_of(have.crf, have.cref) + rec->cr_namelen;
	size_t wanted = offset_of(want.crf, want.cref) + rec->cr_namelen;
	if (size > CHLG_REC_MAXSIZE || wanted > CHLG_REC_MAXSIZE)
		return; /* no such record fits the buffer: left as it is */
	char copy[CHLG_REC_MAXSIZE];
	memcpy(copy, rec, size);
	remap_plan plan;
	build_plan(have, want, plan);
	apply_plan(reinterpret_cast<char *>(rec), copy, rec->cr_namelen, plan);
}

ZV_EXPORT int zvapi_changelog_start(void **priv, enum changelog_send_flag flags,
                                    const char *device, long long startrec)
{
	if (priv == nullptr || device == nullptr)
		return -EINVAL;
	char path[PATH_MAX];
	int rc = chlg_dev_path(path, sizeof(path), device);
	if (rc != 0)
		return rc;

	auto cp = zv::calloc_as<changelog_private>(sizeof(changelog_private));
	if (!cp)
		return -ENOMEM;
	cp->clp_magic = chlg_priv_magic;
	cp->clp_send_flags = flags;
	cp->clp_buf_len = 0;
	cp->clp_buf_pos = cp->clp_buf;
	cp->clp_plan.key = -1; /* no plan yet */
	set_wanted_layout(cp.get());

	/* The descriptor is handed to the caller (for poll) as the device
	 * gave it. */
	zv::unique_fd fd(zv::open_high(path, O_RDONLY));
	if (!fd.valid())
		return -errno;
	if (startrec != 0 && lseek(fd.get(), startrec, SEEK_SET) < 0)
		return -errno;
	int dev = fd.release();
	cp->clp_fd = dev;
	*priv = cp.release();

	if (!(flags & CHANGELOG_FLAG_EXTRA_FLAGS))
		warn_once_without(warned_extra_flags, "zvapi_changelog_start",
		                  "CHANGELOG_FLAG_EXTRA_FLAGS");
	if (!(flags & CHANGELOG_FLAG_JOBID))
		warn_once_without(warned_jobid, "zvapi_changelog_start",
		                  "CHANGELOG_FLAG_JOBID");
	if ((flags & CHANGELOG_FLAG_FOLLOW) &&
	    ioctl(dev, ZV_IOC_CHLG_FOLLOW, 1) != 0)
		zvapi_error(ZVAPI_MSG_ERROR | ZVAPI_MSG_NO_ERRNO, 0,
		            "can't enable CHANGELOG_FLAG_FOLLOW");
	return 0;
}

ZV_EXPORT int zvapi_changelog_set_xflags(void *priv,
                                         enum changelog_send_extra_flag flags)
{
	changelog_private *cp = checked(priv);
	if (cp == nullptr)
		return -EINVAL;
	cp->clp_send_extra_flags = flags;
	set_wanted_layout(cp);
	if (!(flags & CHANGELOG_EXTRA_FLAG_UIDGID))
		warn_once_without(warned_uidgid, "zvapi_changelog_set_xflags",
		                  "CHANGELOG_EXTRA_FLAG_UIDGID");
	return 0;
}

/*
 * A record that is not whole within the bytes read leaves no way to find
 * the next one: the rest of the buffer is dropped and the next call reads
 * the device again. A whole record too large for the record buffer, as
 * sent or as asked for, is skipped. Both are refused with -EPROTO.
 */
ZV_EXPORT int zvapi_changelog_recv(void *priv, struct changelog_rec **rech)
{
	changelog_private *cp = checked(priv);
	if (cp == nullptr || rech == nullptr)
		return -EINVAL;
	*rech = nullptr;
	if (cp->clp_buf_pos >= cp->clp_buf + cp->clp_buf_len) {
		int rc = chlg_read_bulk(cp);
		if (rc <= 0)
			return rc == 0 ? 1 : rc;
	}

	char *rec = cp->clp_buf_pos;
	char *end = cp->clp_buf + cp->clp_buf_len;
	size_t avail = end - rec;
	layout have;
	uint16_t namelen;
	if (avail < rec_hdr || record_layout(rec, avail, &have) != 0) {
		cp->clp_buf_pos = end;
		return -EPROTO;
	}
	memcpy(&namelen, rec + offsetof(changelog_rec, cr_namelen),
	       sizeof(namelen));
	size_t size = offset_of(have.crf, have.cref) + namelen;
	if (size > avail) {
		cp->clp_buf_pos = end;
		return -EPROTO;
	}
	const layout &want = cp->clp_want;
	size_t wanted = cp->clp_want_offset + namelen;
	if (size > CHLG_REC_MAXSIZE || wanted > CHLG_REC_MAXSIZE) {
		cp->clp_buf_pos += size;
		return -EPROTO;
	}

	/* A reader frees each record before it asks for the next: the
	 * thread's spare saves the trip through malloc. */
	void *buf = zv::take_spare(zv::SPARE_CHANGELOG_RECORD);
	if (buf == nullptr &&
	    posix_memalign(&buf, rec_align, rec_buffer_size) != 0)
		return -ENOMEM; /* the record is not consumed */
	cp->clp_buf_pos += size;
	auto *out = static_cast<char *>(buf);
	if (same_layout(have, want)) {
		memcpy(out, rec, size);
	} else {
		/* the wanted layout changes with set_xflags */
		const remap_plan &plan = cp->clp_plan;
		if (plan.key != layout_key(have) || plan.want_crf != want.crf ||
		    plan.want_cref != want.cref)
			build_plan(have, want, cp->clp_plan);
		apply_plan(out, rec, namelen, cp->clp_plan);
	}
	/* Callers print names with %s: end the name where the record leaves
	 * room, so no stale byte of an earlier record follows it. */
	if (wanted < CHLG_REC_MAXSIZE)
		out[wanted] = '\0';
	*rech = reinterpret_cast<changelog_rec *>(out);
	return 0;
}

ZV_EXPORT int zvapi_changelog_free(struct changelog_rec **rech)
{
	if (rech == nullptr)
		return 0;
	if (*rech != nullptr &&
	    !zv::keep_spare(zv::SPARE_CHANGELOG_RECORD, *rech))
		free(*rech);
	*rech = nullptr;
	return 0;
}

ZV_EXPORT int zvapi_changelog_in_buf(void *priv)
{
	auto *cp = static_cast<changelog_private *>(priv);
	return cp != nullptr && cp->clp_buf_pos < cp->clp_buf + cp->clp_buf_len
	               ? 1
	               : 0;
}

ZV_EXPORT int zvapi_changelog_get_fd(void *priv)
{
	changelog_private *cp = checked(priv);
	return cp == nullptr ? -EINVAL : cp->clp_fd;
}

ZV_EXPORT int zvapi_changelog_fini(void **priv)
{
	if (priv == nullptr)
		return -EINVAL;
	changelog_private *cp = checked(*priv);
	if (cp == nullptr)
		return -EINVAL;
	close(cp->clp_fd);
	cp->clp_magic = 0;
	free(cp);
	*priv = nullptr;
	return 0;
}

ZV_EXPORT int zvapi_changelog_clear(const char *mdtname, const char *idstr,
                                    long long endrec)
{
	if (endrec < 0) {
		zvapi_error(ZVAPI_MSG_ERROR | ZVAPI_MSG_NO_ERRNO, 0,
		            "can't purge negative records\n");
		return -EINVAL;
	}
	if (mdtname == nullptr || idstr == nullptr)
		return -EINVAL;
	char path[PATH_MAX];
	int rc = chlg_dev_path(path, sizeof(path), mdtname);
	if (rc != 0)
		return rc;

	/* A log user may carry a suffix after a dash; the user is before. */
	zv::unique_malloc<char> user(strndup(idstr, strcspn(idstr, "-")));
	if (!user)
		return -ENOMEM;
	char cmd[64];
	int len =
	        snprintf(cmd, sizeof(cmd), "clear:%s:%lld", user.get(), endrec);
	if (len < 0 || size_t(len) >= sizeof(cmd))
		return -EINVAL;

	zv::unique_fd fd(zv::open_high(path, O_WRONLY | O_CLOEXEC));
	if (!fd.valid()) {
		rc = -errno;
		zvapi_error(ZVAPI_MSG_ERROR, rc, "cannot open '%s'", path);
		return rc;
	}
	if (write(fd.get(), cmd, len + 1) < 0) {
		rc = -errno;
		zvapi_error(ZVAPI_MSG_ERROR, rc,
		            "cannot purge records for '%s'", idstr);
	}
	return rc;
}
