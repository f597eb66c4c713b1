/* Internal steps of the selection-policy unit, visible to its tests. */
#ifndef VARN_UDSP_INTERNAL_H
#define VARN_UDSP_INTERNAL_H

#include <varn/varnconfig.h>

#define VARN_EXPORT __attribute__((visibility("default")))

/* Writes the policy's index, action and descriptors into the request
 * record at bulk and after it; 0, or -ENOBUFS when bulk_size is smaller
 * than varn_get_udsp_size(). The header and the other fields are the
 * caller's. */
int varn_udsp_marshal(struct varn_udsp *udsp, void *bulk, __s32 bulk_size);

/* Action type of a text: "priority..." or "pref..."; anything else and
 * NULL are EN_VARN_UDSP_ACTION_NONE. */
enum varn_udsp_action_type varn_str2udsp_action(const char *type);

#endif
