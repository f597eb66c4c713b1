/* SPDX-License-Identifier: LGPL-2.1-or-later */
/*
 * Network configuration: user-defined selection policies (UDSP) of the
 * networking layer, their wire format and commands, and the network driver
 * tunables, all as YAML trees (cyaml/cyaml.h).
 *
 * Commands return a result code: VARN_CONFIG_OK (0), one of the negative
 * VARN_CONFIG_* codes below, or an errno-based value as each command says;
 * each files its outcome into the caller's error tree (*err_rc, see
 * cYAML_build_error) and prints only when asked to print a tree.
 * The commands send their requests to control device 0 (libkfx/util/ioctl.h),
 * which the embedding tool registers first.
 */
#ifndef VARN_VARNCONFIG_H
#define VARN_VARNCONFIG_H

#include <cyaml/cyaml.h>
#include <libkfx/list.h>
#include <linux/types.h>
#include <linux/varn/varn_udsp.h>
#include <linux/varn/varn_vnd.h>
#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VARN_CONFIG_OK             0
#define VARN_CONFIG_BAD_PARAM      -1
#define VARN_CONFIG_NO_MEMORY      -4
#define VARN_CONFIG_NO_MATCH       -6
#define VARN_CONFIG_MARSHAL_FAILED -10

/* Size of an outcome text, quotes included. */
#define VARN_ERR_STR_LEN 128

union varn_udsp_action {
	int udsp_priority;
};

/* A network pattern; udn_net_type 0: the descriptor is absent. */
struct varn_ud_net_descr {
	__u32 udn_net_type;
	struct list_head udn_net_num_range; /* kfx_expr_list via el_link */
};

/* An identifier pattern: network and one expression list per address
 * part. */
struct varn_ud_nid_descr {
	struct varn_ud_net_descr ud_net_id;
	struct list_head ud_addr_range; /* kfx_expr_list via el_link */
};

struct varn_udsp {
	struct list_head udsp_on_list;
	__u32 udsp_idx;
	struct varn_ud_nid_descr udsp_src;
	struct varn_ud_nid_descr udsp_dst;
	struct varn_ud_nid_descr udsp_rte;
	enum varn_udsp_action_type udsp_action_type;
	union {
		__u32 udsp_priority;
	} udsp_action;
};

/* A new empty policy (index 0, no action, all descriptors absent), or
 * NULL. Release it with varn_udsp_free(). */
struct varn_udsp *varn_udsp_alloc(void);

/* Releases a policy and its expression lists: blk true for a policy made
 * by varn_udsp_demarshal() (one block per descriptor), false for lists
 * allocated one by one (kfx_parse_nid_parts). NULL is fine. */
void varn_udsp_free(struct varn_udsp *udsp, bool blk);

/* Bytes of the request record plus the marshaled descriptors. */
size_t varn_get_udsp_size(struct varn_udsp *udsp);

/* A new policy (block storage) from a reply of bulk_size bytes starting
 * with the request record, or NULL when the reply is malformed or memory
 * runs out. */
struct varn_udsp *varn_udsp_demarshal(void *bulk, __u32 bulk_size);

/* Appends the descriptor's text to str (which holds an empty string; size
 * bytes): "NA" when absent, else ADDRESS@NETWORK or NETWORK. 0, -ENOBUFS,
 * or another negative errno. */
int zorvel_varn_nid_descr2str(struct varn_ud_nid_descr *d, char *str,
                              size_t size);

/* Adds a policy: descriptor texts src, dst, rte (NULL when absent), the
 * action type text ("priority..." or "pref..."), the priority in *action
 * for the priority action, and the index idx (-1: at the end). 0, -1, -4,
 * -10, the parser's negative result, or a positive errno when the request
 * fails. */
int zorvel_varn_add_udsp(char *src, char *dst, char *rte, char *type,
                         union varn_udsp_action *action, int idx, int seq_no,
                         struct cYAML **err_rc);

/* Deletes the policy at idx: 0 or a negative errno. */
int zorvel_varn_del_udsp(unsigned int idx, int seq_no, struct cYAML **err_rc);

/* Shows the policy at idx, or all with idx -1, as a "udsp" sequence:
 * printed when show_rc is NULL, else merged into *show_rc (made when
 * NULL). 0, -4, -EINVAL, -ENOMEM or another negative errno. */
int zorvel_varn_show_udsp(int idx, int seq_no, struct cYAML **show_rc,
                          struct cYAML **err_rc);

/* Adds the "action" object of a priority policy under y: 0 or -ENOMEM. */
int yaml_add_udsp_action(struct cYAML *y, struct varn_udsp *udsp);

/* Adds the common tunables of a network under tunables: 0 or -4. */
int zorvel_net_show_tunables(struct cYAML *tunables,
                             struct varn_ioctl_config_vnd_cmn_tunables *cmn);

/* Adds the driver tunables of an o2ib or socket interface: 0, -4, or -6
 * for any other type. */
int zorvel_ni_show_tunables(struct cYAML *vnd_tunables, __u32 net_type,
                            struct varn_vnd_tunables *vnd);

/* Fills tun from the "vnd tunables" object directly under tree (o2ib and
 * socket types); without that object nothing changes. */
void zorvel_yaml_extract_vnd_tunables(struct cYAML *tree, __u32 net_type,
                                      struct varn_vnd_tunables *tun);

#ifdef __cplusplus
}
#endif

#endif /* VARN_VARNCONFIG_H */
