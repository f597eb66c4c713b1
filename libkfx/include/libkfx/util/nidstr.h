/* SPDX-License-Identifier: LGPL-2.1-or-later */
/*
 * Network identifier text: descriptors such as 192.168.[1-3].*@tcp1,
 * 7@gni or o2ib[0-2] parsed into expression lists (string.h), and the
 * printers of expression chains and network names.
 *
 * Results are 0 (or the value named) on success and a negative errno value
 * on failure; nothing is printed.
 */
#ifndef LIBKFX_UTIL_NIDSTR_H
#define LIBKFX_UTIL_NIDSTR_H

#include <libkfx/list.h>
#include <linux/types.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the buffers libkfx_next_nidstring() hands out. */
#define KFX_NIDSTR_SIZE 64

/*
 * Parses a descriptor: ADDRESS@NETWORK or NETWORK alone, where NETWORK is a
 * type name ("tcp", "o2ib", "lo", "gni", "gip", "ptl4") followed by an
 * optional network number expression (0 to 65535), and ADDRESS is four
 * dot-separated expressions of 0 to 255 for the IP types (tcp, o2ib, gip)
 * or one expression of 32-bit numbers for the others; a lone * stands for
 * any address. Each part is appended to addr (address parts, in order) or
 * net_num (at most one list; none when no number is written) as a list
 * allocated on its own, released with kfx_expr_list_free_list(); the type
 * goes to *net_type. -EINVAL for bad text, -ENOMEM; on failure nothing is
 * appended.
 */
int kfx_parse_nid_parts(const char *str, struct list_head *addr,
                        struct list_head *net_num, __u32 *net_type);

/* Appends the text of the expression lists chained on chain (joined with
 * '.') at the end of the NUL-terminated text in str, using at most size
 * bytes past that end, NUL included. Returns the room left (size minus the
 * characters appended; size when the chain is empty), or -ENOBUFS when the
 * text does not fit, leaving str as it was. */
int kfx_expr2str(struct list_head *chain, char *str, size_t size);

/* Name of the network net (type in the upper 16 bits, number in the lower
 * 16; the number is left out when 0) into buf; returns buf. Unknown types
 * print as "<TYPE:NUM>". */
char *libkfx_net2str_r(__u32 net, char *buf, size_t buf_size);

/* A scratch buffer of KFX_NIDSTR_SIZE bytes from a small ring kept per
 * thread: valid until the same thread has taken eight more. */
char *libkfx_next_nidstring(void);

/* Network type number of a name ("tcp"), or -ENOENT. */
int libkfx_str2nettype(const char *name);

/* Name of the network net in a scratch buffer of libkfx_next_nidstring. */
static inline char *libkfx_net2str(__u32 net)
{
	return libkfx_net2str_r(net, libkfx_next_nidstring(), KFX_NIDSTR_SIZE);
}

#ifdef __cplusplus
}
#endif

#endif /* LIBKFX_UTIL_NIDSTR_H */
