/* Selection policies: records, their wire form, their text, and the add,
 * delete and show commands on the networking layer's control device. */
#include "udsp_internal.h"

#include <libkfx/util/ioctl.h>
#include <libkfx/util/nidstr.h>
#include <libkfx/util/string.h>
#include <zv/c_boundary.h>
#include <zv/owners.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace
{

/* The control device the embedding tool registers for the networking
 * layer. */
constexpr int varn_dev_id = 0;

/* Largest policy a size query may announce; anything above is a bad
 * reply, not an allocation to attempt. */
constexpr __s32 max_udsp_size = 1 << 20;

/* Unaligned access to the wire: replies are not ours to trust. */
__u32 get32(const char *p)
{
	__u32 v;
	memcpy(&v, p, sizeof(v));
	return v;
}

void put32(char *p, __u32 v)
{
	memcpy(p, &v, sizeof(v));
}

size_t varn_get_list_len(const list_head *head)
{
	size_t n = 0;
	for (const list_head *p = head->next; p != head; p = p->next)
		n++;
	return n;
}

kfx_expr_list *first_list(list_head *chain)
{
	if (list_empty(chain))
		return nullptr;
	return list_entry(chain->next, kfx_expr_list, el_link);
}

bool is_absent(const varn_ud_nid_descr *d)
{
	return d->ud_net_id.udn_net_type == 0;
}

size_t varn_size_marshaled_nid_descr(varn_ud_nid_descr *d)
{
	if (is_absent(d))
		return VARN_IOCTL_DESCR_LEN;
	size_t size = VARN_IOCTL_DESCR_LEN;
	if (kfx_expr_list *num = first_list(&d->ud_net_id.udn_net_num_range))
		size += VARN_RANGE_EXPR_LEN * varn_get_list_len(&num->el_exprs);
	list_head *pos;
	list_for_each(pos, &d->ud_addr_range)
	{
		auto *el = list_entry(pos, kfx_expr_list, el_link);
		size += VARN_EXPRESSIONS_LEN +
		        VARN_RANGE_EXPR_LEN * varn_get_list_len(&el->el_exprs);
	}
	return size;
}

/* The ranges of one list, each 12 bytes; returns the cursor after them. */
char *copy_exprs(kfx_expr_list *el, char *out)
{
	list_head *pos;
	list_for_each(pos, &el->el_exprs)
	{
		auto *re = list_entry(pos, kfx_range_expr, re_link);
		put32(out, re->re_lo);
		put32(out + 4, re->re_hi);
		put32(out + 8, re->re_stride);
		out += VARN_RANGE_EXPR_LEN;
	}
	return out;
}

char *copy_nid_range(varn_ud_nid_descr *d, __u32 type, char *out)
{
	memset(out, 0, VARN_IOCTL_DESCR_LEN);
	put32(out, type);
	if (is_absent(d))
		return out + VARN_IOCTL_DESCR_LEN;
	kfx_expr_list *num = first_list(&d->ud_net_id.udn_net_num_range);
	put32(out + 4,
	      static_cast<__u32>(varn_get_list_len(&d->ud_addr_range)));
	put32(out + 8, d->ud_net_id.udn_net_type);
	put32(out + 12,
	      num ? static_cast<__u32>(varn_get_list_len(&num->el_exprs)) : 0);
	out += VARN_IOCTL_DESCR_LEN;
	if (num)
		out = copy_exprs(num, out);
	list_head *pos;
	list_for_each(pos, &d->ud_addr_range)
	{
		auto *el = list_entry(pos, kfx_expr_list, el_link);
		put32(out,
		      static_cast<__u32>(varn_get_list_len(&el->el_exprs)));
		out = copy_exprs(el, out + VARN_EXPRESSIONS_LEN);
	}
	return out;
}

/* Block storage: one calloc'd block of records big enough for either a
 * list or a range. */
constexpr size_t blk_rec = sizeof(kfx_expr_list) > sizeof(kfx_range_expr)
                                   ? sizeof(kfx_expr_list)
                                   : sizeof(kfx_range_expr);

/* One list from count wire ranges at in, built in the block at *rec. */
kfx_expr_list *copy_range_info(const char *in, __u32 count, char **rec)
{
	auto *el = reinterpret_cast<kfx_expr_list *>(*rec);
	*rec += blk_rec;
	INIT_LIST_HEAD(&el->el_exprs);
	for (__u32 i = 0; i < count; i++) {
		auto *re = reinterpret_cast<kfx_range_expr *>(*rec);
		*rec += blk_rec;
		re->re_lo = get32(in);
		re->re_hi = get32(in + 4);
		re->re_stride = get32(in + 8);
		in += VARN_RANGE_EXPR_LEN;
		list_add_tail(&re->re_link, &el->el_exprs);
	}
	return el;
}

/* Demarshals one descriptor at *cursor; every size is checked before
 * anything is allocated. */
int copy_ioc_udsp_descr(varn_ud_nid_descr *d, __u32 type, const char **cursor,
                        size_t *remaining)
{
	const char *in = *cursor;
	size_t left = *remaining;
	if (left < VARN_IOCTL_DESCR_LEN)
		return -EINVAL;
	__u32 net_type = get32(in + 8);
	if (net_type == 0) {
		*cursor = in + VARN_IOCTL_DESCR_LEN;
		*remaining = left - VARN_IOCTL_DESCR_LEN;
		return 0;
	}
	__u32 code = get32(in), addr_count = get32(in + 4);
	__u32 net_ranges = get32(in + 12);
	if (code != type)
		return -EINVAL;
	size_t need = VARN_IOCTL_DESCR_LEN;
	if ((left - need) / VARN_RANGE_EXPR_LEN < net_ranges)
		return -EINVAL;
	need += size_t(net_ranges) * VARN_RANGE_EXPR_LEN;
	size_t ranges = net_ranges;
	for (__u32 i = 0; i < addr_count; i++) {
		if (left - need < VARN_EXPRESSIONS_LEN)
			return -EINVAL;
		__u32 count = get32(in + need);
		need += VARN_EXPRESSIONS_LEN;
		if ((left - need) / VARN_RANGE_EXPR_LEN < count)
			return -EINVAL;
		need += size_t(count) * VARN_RANGE_EXPR_LEN;
		ranges += count;
	}

	d->ud_net_id.udn_net_type = net_type;
	size_t lists = addr_count + (net_ranges ? 1 : 0);
	if (lists != 0) {
		char *rec = static_cast<char *>(
		        calloc(lists + ranges + 1, blk_rec));
		if (rec == nullptr)
			return -ENOMEM;
		const char *p = in + VARN_IOCTL_DESCR_LEN;
		if (net_ranges) {
			kfx_expr_list *el =
			        copy_range_info(p, net_ranges, &rec);
			list_add_tail(&el->el_link,
			              &d->ud_net_id.udn_net_num_range);
			p += size_t(net_ranges) * VARN_RANGE_EXPR_LEN;
		}
		for (__u32 i = 0; i < addr_count; i++) {
			__u32 count = get32(p);
			p += VARN_EXPRESSIONS_LEN;
			kfx_expr_list *el = copy_range_info(p, count, &rec);
			list_add_tail(&el->el_link, &d->ud_addr_range);
			p += size_t(count) * VARN_RANGE_EXPR_LEN;
		}
	}
	/* A descriptor without any expression needs no block at all. */
	*cursor = in + need;
	*remaining = left - need;
	return 0;
}

void varn_udsp_nid_descr_free(varn_ud_nid_descr *d, bool blk)
{
	/* The chains are looked at whatever the type: a parser that failed
	 * half way may have left lists on a descriptor still marked absent. */
	list_head *num = &d->ud_net_id.udn_net_num_range;
	if (!blk) {
		kfx_expr_list_free_list(num);
		kfx_expr_list_free_list(&d->ud_addr_range);
		return;
	}
	kfx_expr_list *first = first_list(num);
	if (first == nullptr)
		first = first_list(&d->ud_addr_range);
	free(first);
	INIT_LIST_HEAD(num);
	INIT_LIST_HEAD(&d->ud_addr_range);
}

void init_descr(varn_ud_nid_descr *d)
{
	INIT_LIST_HEAD(&d->ud_net_id.udn_net_num_range);
	INIT_LIST_HEAD(&d->ud_addr_range);
}

/* Appends text at the end of str (size bytes in all), cut to fit. */
void append(char *str, size_t size, const char *text)
{
	size_t len = strlen(str);
	if (len + 1 < size)
		snprintf(str + len, size - len, "%s", text);
}

} // namespace

VARN_EXPORT struct varn_udsp *varn_udsp_alloc(void)
{
	auto *udsp = static_cast<varn_udsp *>(calloc(1, sizeof(varn_udsp)));
	if (udsp == nullptr)
		return nullptr;
	INIT_LIST_HEAD(&udsp->udsp_on_list);
	init_descr(&udsp->udsp_src);
	init_descr(&udsp->udsp_dst);
	init_descr(&udsp->udsp_rte);
	return udsp;
}

VARN_EXPORT void varn_udsp_free(struct varn_udsp *udsp, bool blk)
{
	if (udsp == nullptr)
		return;
	varn_udsp_nid_descr_free(&udsp->udsp_src, blk);
	varn_udsp_nid_descr_free(&udsp->udsp_dst, blk);
	varn_udsp_nid_descr_free(&udsp->udsp_rte, blk);
	free(udsp);
}

VARN_EXPORT size_t varn_get_udsp_size(struct varn_udsp *udsp)
{
	return VARN_IOCTL_UDSP_LEN +
	       varn_size_marshaled_nid_descr(&udsp->udsp_src) +
	       varn_size_marshaled_nid_descr(&udsp->udsp_dst) +
	       varn_size_marshaled_nid_descr(&udsp->udsp_rte);
}

int varn_udsp_marshal(struct varn_udsp *udsp, void *bulk, __s32 bulk_size)
{
	if (udsp == nullptr || bulk == nullptr || bulk_size < 0 ||
	    static_cast<size_t>(bulk_size) < varn_get_udsp_size(udsp))
		return -ENOBUFS;
	auto *out = static_cast<char *>(bulk);
	put32(out + 8, udsp->udsp_idx);
	put32(out + 12, udsp->udsp_action_type);
	put32(out + 20, udsp->udsp_action.udsp_priority);
	char *cursor = out + VARN_IOCTL_UDSP_LEN;
	cursor = copy_nid_range(&udsp->udsp_src, VARN_UDSP_SRC, cursor);
	cursor = copy_nid_range(&udsp->udsp_dst, VARN_UDSP_DST, cursor);
	copy_nid_range(&udsp->udsp_rte, VARN_UDSP_RTE, cursor);
	return 0;
}

VARN_EXPORT struct varn_udsp *varn_udsp_demarshal(void *bulk, __u32 bulk_size)
{
	if (bulk == nullptr || bulk_size < VARN_IOCTL_UDSP_LEN)
		return nullptr;
	const char *in = static_cast<const char *>(bulk);
	varn_udsp *udsp = varn_udsp_alloc();
	if (udsp == nullptr)
		return nullptr;
	udsp->udsp_idx = get32(in + 8);
	udsp->udsp_action_type =
	        static_cast<varn_udsp_action_type>(get32(in + 12));
	udsp->udsp_action.udsp_priority = get32(in + 20);

	/* The descriptors are read right after the record, where the
	 * request put them; the address stored in iou_bulk is the kernel's
	 * view and never dereferenced here. */
	const char *cursor = in + VARN_IOCTL_UDSP_LEN;
	size_t remaining = bulk_size - VARN_IOCTL_UDSP_LEN;
	if (remaining != get32(in + 16) ||
	    copy_ioc_udsp_descr(&udsp->udsp_src, VARN_UDSP_SRC, &cursor,
	                        &remaining) < 0 ||
	    copy_ioc_udsp_descr(&udsp->udsp_dst, VARN_UDSP_DST, &cursor,
	                        &remaining) < 0 ||
	    copy_ioc_udsp_descr(&udsp->udsp_rte, VARN_UDSP_RTE, &cursor,
	                        &remaining) < 0) {
		varn_udsp_free(udsp, true);
		return nullptr;
	}
	return udsp;
}

VARN_EXPORT int zorvel_varn_nid_descr2str(struct varn_ud_nid_descr *d,
                                          char *str, size_t size)
{
	if (d == nullptr || str == nullptr || size == 0)
		return -EINVAL;
	if (is_absent(d)) {
		append(str, size, "NA");
		return 0;
	}
	int rc = kfx_expr2str(&d->ud_addr_range, str, size);
	if (rc < 0)
		return rc;
	size_t room = static_cast<size_t>(rc);
	const char *name =
	        libkfx_net2str(VARN_MKNET(d->ud_net_id.udn_net_type, 0));
	size_t name_len = strlen(name);
	if (room < size) {
		if (room < name_len + 2)
			return -ENOBUFS;
		append(str, size, "@");
		room--;
	} else if (room < name_len + 1) {
		return -ENOBUFS;
	}
	append(str, size, name);
	rc = kfx_expr2str(&d->ud_net_id.udn_net_num_range, str,
	                  room - 1 - name_len);
	return rc < 0 ? rc : 0;
}

/* ---- Commands ----------------------------------------------------------- */

namespace
{

using err_text = char[VARN_ERR_STR_LEN];

void set_text(err_text &err, const char *fmt, const char *arg = nullptr)
{
	snprintf(err, sizeof(err_text), fmt, arg);
	/* a cut text still ends in its closing quote */
	size_t len = strlen(err);
	if (len == sizeof(err_text) - 1 && err[len - 1] != '"')
		err[len - 1] = '"';
}

void init_request(varn_ioctl_udsp *req, __u32 len, __s32 idx)
{
	memset(req, 0, sizeof(*req));
	req->iou_hdr.ioc_len = len;
	req->iou_hdr.ioc_version = KFX_IOCTL_VERSION_CONFIG;
	req->iou_idx = idx;
}

/* The request failed: l_ioctl's negative result, or errno. */
int request_errno(int rc)
{
	return rc < 0 ? -rc : (errno ? errno : EIO);
}

int parse_descr(const char *text, varn_ud_nid_descr *d)
{
	return kfx_parse_nid_parts(text, &d->ud_addr_range,
	                           &d->ud_net_id.udn_net_num_range,
	                           &d->ud_net_id.udn_net_type);
}

} // namespace

enum varn_udsp_action_type varn_str2udsp_action(const char *type)
{
	if (type == nullptr)
		return EN_VARN_UDSP_ACTION_NONE;
	if (strncmp(type, "priority", 8) == 0)
		return EN_VARN_UDSP_ACTION_PRIORITY;
	if (strncmp(type, "pref", 4) == 0)
		return EN_VARN_UDSP_ACTION_PREFERRED_LIST;
	return EN_VARN_UDSP_ACTION_NONE;
}

namespace
{

int add_udsp(char *src, char *dst, char *rte, char *type,
             union varn_udsp_action *action, int idx, err_text &err)
{
	varn_udsp_action_type action_type = varn_str2udsp_action(type);
	if (action_type == EN_VARN_UDSP_ACTION_NONE) {
		set_text(err, "\"bad action type specified: %s\"",
		         type ? type : "(none)");
		return VARN_CONFIG_BAD_PARAM;
	}
	if ((src && rte) || (!src && !dst && !rte)) {
		set_text(err, "\"The combination of src, dst and rte is not "
		              "supported\"");
		return VARN_CONFIG_BAD_PARAM;
	}
	if (action_type == EN_VARN_UDSP_ACTION_PRIORITY && action == nullptr) {
		set_text(err, "\"bad action type specified: %s\"", type);
		return VARN_CONFIG_BAD_PARAM;
	}

	std::unique_ptr<varn_udsp, void (*)(varn_udsp *)> udsp(
	        varn_udsp_alloc(),
	        [](varn_udsp *u) { varn_udsp_free(u, false); });
	if (!udsp) {
		set_text(err, "\"out of memory\"");
		return VARN_CONFIG_NO_MEMORY;
	}
	udsp->udsp_idx = static_cast<__u32>(idx);
	udsp->udsp_action_type = action_type;
	if (action_type == EN_VARN_UDSP_ACTION_PRIORITY) {
		udsp->udsp_action.udsp_priority =
		        static_cast<__u32>(action->udsp_priority);
	} else if (!rte && (src == nullptr) != (dst == nullptr)) {
		/* a preferred list needs a pair; one side alone is a
		 * priority of 0 */
		udsp->udsp_action_type = EN_VARN_UDSP_ACTION_PRIORITY;
		udsp->udsp_action.udsp_priority = 0;
	}

	struct {
		const char *text;
		varn_ud_nid_descr *d;
		const char *msg;
	} descrs[] = {
	        {src, &udsp->udsp_src, "\"failed to parse src parameter\""},
	        {dst, &udsp->udsp_dst, "\"failed to parse dst parameter\""},
	        {rte, &udsp->udsp_rte, "\"failed to parse rte parameter\""},
	};
	for (auto &d : descrs) {
		if (d.text == nullptr)
			continue;
		int rc = parse_descr(d.text, d.d);
		if (rc < 0) {
			set_text(err, d.msg);
			return rc;
		}
	}

	size_t size = varn_get_udsp_size(udsp.get());
	auto buf = zv::calloc_as(size);
	if (!buf) {
		set_text(err, "\"out of memory\"");
		return VARN_CONFIG_NO_MEMORY;
	}
	auto *req = reinterpret_cast<varn_ioctl_udsp *>(buf.get());
	req->iou_hdr.ioc_len = static_cast<__u32>(size);
	req->iou_hdr.ioc_version = KFX_IOCTL_VERSION_CONFIG;
	req->iou_bulk_size = static_cast<__u32>(size - VARN_IOCTL_UDSP_LEN);
	if (size > static_cast<size_t>(INT32_MAX) ||
	    varn_udsp_marshal(udsp.get(), buf.get(),
	                      static_cast<__s32>(size)) != 0) {
		set_text(err, "\"failed to marshal udsp\"");
		return VARN_CONFIG_MARSHAL_FAILED;
	}
	req->iou_bulk = buf.get() + VARN_IOCTL_UDSP_LEN;
	errno = 0;
	int rc = l_ioctl(varn_dev_id, VARN_IOC_ADD_UDSP, buf.get());
	if (rc != 0) {
		int e = request_errno(rc);
		set_text(err, "\"cannot add udsp: %s\"", strerror(e));
		return e;
	}
	return VARN_CONFIG_OK;
}

} // namespace

VARN_EXPORT int zorvel_varn_add_udsp(char *src, char *dst, char *rte,
                                     char *type, union varn_udsp_action *action,
                                     int idx, int seq_no, struct cYAML **err_rc)
{
	err_text err = "\"success\"";
	int rc = add_udsp(src, dst, rte, type, action, idx, err);
	cYAML_build_error(rc, seq_no, "add", "udsp", err, err_rc);
	return rc;
}

VARN_EXPORT int zorvel_varn_del_udsp(unsigned int idx, int seq_no,
                                     struct cYAML **err_rc)
{
	err_text err = "\"success\"";
	varn_ioctl_udsp req;
	init_request(&req, VARN_IOCTL_UDSP_LEN, static_cast<__s32>(idx));
	errno = 0;
	int rc = l_ioctl(varn_dev_id, VARN_IOC_DEL_UDSP, &req);
	if (rc != 0) {
		rc = -request_errno(rc);
		set_text(err, "\"cannot del udsp: %s\"", strerror(-rc));
	}
	cYAML_build_error(rc, seq_no, "del", "udsp", err, err_rc);
	return rc;
}

VARN_EXPORT int yaml_add_udsp_action(struct cYAML *y, struct varn_udsp *udsp)
{
	if (udsp->udsp_action_type != EN_VARN_UDSP_ACTION_PRIORITY)
		return 0;
	cYAML *action = cYAML_create_object(y, "action");
	if (action == nullptr ||
	    !cYAML_create_number(action, "priority",
	                         udsp->udsp_action.udsp_priority))
		return -ENOMEM;
	return 0;
}

namespace
{

using tree_ptr = std::unique_ptr<cYAML, void (*)(cYAML *)>;

/* Fetches the policy at idx into a new block-storage record; 0 or the
 * positive errno that stops the walk (ENOENT past the last one). */
int fetch_udsp(int idx, varn_udsp **out)
{
	varn_ioctl_udsp query;
	init_request(&query, VARN_IOCTL_UDSP_LEN, idx);
	errno = 0;
	int rc = l_ioctl(varn_dev_id, VARN_IOC_GET_UDSP_SIZE, &query);
	if (rc != 0)
		return request_errno(rc);
	__s32 size = query.iou_idx;
	/* a size that cannot hold the record would have the header written
	 * past the buffer */
	if (size < VARN_IOCTL_UDSP_LEN || size > max_udsp_size)
		return EFAULT;
	auto buf = zv::calloc_as(size);
	if (!buf)
		return ENOMEM;
	auto *req = reinterpret_cast<varn_ioctl_udsp *>(buf.get());
	init_request(req, VARN_IOCTL_UDSP_LEN, idx);
	req->iou_bulk_size = static_cast<__u32>(size - VARN_IOCTL_UDSP_LEN);
	req->iou_bulk = buf.get() + VARN_IOCTL_UDSP_LEN;
	errno = 0;
	rc = l_ioctl(varn_dev_id, VARN_IOC_GET_UDSP, buf.get());
	if (rc != 0)
		return request_errno(rc);
	/* the lengths come back from the kernel: never read past what was
	 * allocated for them */
	unsigned long long total =
	        static_cast<unsigned long long>(req->iou_bulk_size) +
	        req->iou_hdr.ioc_len;
	if (total > static_cast<unsigned long long>(size))
		return EFAULT;
	*out = varn_udsp_demarshal(buf.get(), static_cast<__u32>(total));
	return *out ? 0 : EFAULT;
}

/* The string key under item, the text of descriptor d. 128 bytes hold
 * most texts; a longer one (a long list of addresses) gets a buffer
 * doubled until it fits. A policy prints in at most a few characters per
 * byte of its wire form, so the doubling ends well before its bound. 0 or
 * the command's result. */
int add_descr(cYAML *item, const char *key, varn_ud_nid_descr *d)
{
	constexpr size_t max_text = size_t(4) * max_udsp_size;
	char text[128] = "";
	int rc = zorvel_varn_nid_descr2str(d, text, sizeof(text));
	zv::unique_malloc<char> longer;
	for (size_t size = 2 * sizeof(text); rc == -ENOBUFS && size <= max_text;
	     size *= 2) {
		longer = zv::calloc_as(size);
		if (!longer)
			return -ENOMEM;
		rc = zorvel_varn_nid_descr2str(d, longer.get(), size);
	}
	if (rc < 0)
		return rc;
	return cYAML_create_string(item, key, longer ? longer.get() : text)
	               ? 0
	               : -EINVAL;
}

/* One sequence item for a policy; 0 or the command's result. */
int add_item(cYAML *seq, varn_udsp *udsp)
{
	cYAML *item = cYAML_create_seq_item(seq);
	if (item == nullptr ||
	    !cYAML_create_number(item, "idx", udsp->udsp_idx))
		return -EINVAL;
	struct {
		const char *key;
		varn_ud_nid_descr *d;
	} descrs[] = {{"src", &udsp->udsp_src},
	              {"dst", &udsp->udsp_dst},
	              {"rte", &udsp->udsp_rte}};
	for (auto &d : descrs)
		if (int rc = add_descr(item, d.key, d.d); rc != 0)
			return rc;
	return yaml_add_udsp_action(item, udsp) < 0 ? -ENOMEM : 0;
}

/* Hands the new "udsp" sequence over to the caller's tree. */
void merge(cYAML *root, cYAML *seq, cYAML **show_rc)
{
	if (*show_rc == nullptr) {
		*show_rc = root;
		return;
	}
	cYAML *theirs = cYAML_get_object_item(*show_rc, "udsp");
	if (theirs == nullptr) {
		root->cy_child = nullptr;
		seq->cy_prev = seq->cy_next = nullptr;
		/* a caller's tree without children has no sibling to link
		 * after: the sequence becomes its first child */
		if ((*show_rc)->cy_child == nullptr)
			cYAML_insert_child(*show_rc, seq);
		else
			cYAML_insert_sibling((*show_rc)->cy_child, seq);
		cYAML_free_tree(root);
	} else if (cYAML_is_sequence(theirs)) {
		cYAML *items = seq->cy_child;
		seq->cy_child = nullptr;
		if (items != nullptr)
			cYAML_insert_child(theirs, items);
		cYAML_free_tree(root);
	} else {
		cYAML_free_tree(root);
	}
}

int show_udsp(int idx, cYAML **show_rc, err_text &err)
{
	tree_ptr root(cYAML_create_object(nullptr, nullptr), cYAML_free_tree);
	cYAML *seq = root ? cYAML_create_seq(root.get(), "udsp") : nullptr;
	if (seq == nullptr)
		return VARN_CONFIG_NO_MEMORY;

	int shown = 0, stop = 0;
	for (int i = 0;; i++) {
		int at = idx == -1 ? i : idx;
		varn_udsp *udsp = nullptr;
		stop = fetch_udsp(at, &udsp);
		if (stop != 0)
			break;
		int rc = add_item(seq, udsp);
		varn_udsp_free(udsp, true);
		if (rc != 0)
			return rc;
		shown++;
		if (idx != -1)
			break;
	}
	if (stop != 0 && show_rc == nullptr)
		cYAML_print_tree(root.get());
	if (stop != 0 && stop != ENOENT) {
		set_text(err, "\"cannot get udsp: %s\"", strerror(stop));
		return -stop;
	}
	set_text(err, "\"success\"");
	if (stop == 0 && show_rc == nullptr)
		cYAML_print_tree(root.get());
	if (shown > 0 && show_rc != nullptr)
		merge(root.release(), seq, show_rc);
	return VARN_CONFIG_OK;
}

} // namespace

VARN_EXPORT int zorvel_varn_show_udsp(int idx, int seq_no,
                                      struct cYAML **show_rc,
                                      struct cYAML **err_rc)
{
	err_text err = "\"out of memory\"";
	/* An exception (only the containers of the show throw, only for
	 * memory) is the library's own out-of-memory code. */
	bool returned = false;
	int rc = zv::c_boundary(ENOMEM, [&] {
		int shown = show_udsp(idx, show_rc, err);
		returned = true;
		return shown;
	});
	if (!returned)
		rc = VARN_CONFIG_NO_MEMORY;
	cYAML_build_error(rc, seq_no, "show", "udsp", err, err_rc);
	return rc;
}
