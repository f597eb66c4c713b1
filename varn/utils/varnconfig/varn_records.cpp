/* The wire records and request codes, checked against the layout the
 * networking layer expects. */
#include <linux/varn/varn_udsp.h>
#include <linux/varn/varn_vnd.h>

#include <cstddef>

static_assert(sizeof(struct varn_ioctl_udsp) == VARN_IOCTL_UDSP_LEN);
static_assert(offsetof(varn_ioctl_udsp, iou_hdr.ioc_version) == 4);
static_assert(offsetof(varn_ioctl_udsp, iou_idx) == 8);
static_assert(offsetof(varn_ioctl_udsp, iou_action_type) == 12);
static_assert(offsetof(varn_ioctl_udsp, iou_bulk_size) == 16);
static_assert(offsetof(varn_ioctl_udsp, iou_action.priority) == 20);
static_assert(offsetof(varn_ioctl_udsp, iou_bulk) == 24);
static_assert(sizeof(struct varn_ioctl_udsp_descr) == VARN_IOCTL_DESCR_LEN);
static_assert(offsetof(varn_ioctl_udsp_descr, iud_src_hdr.ud_descr_count) == 4);
static_assert(offsetof(varn_ioctl_udsp_descr, iud_net.ud_net_type) == 8);
static_assert(offsetof(varn_ioctl_udsp_descr,
                       iud_net.ud_net_num_expr.ve_count) == 12);
static_assert(sizeof(struct varn_range_expr) == VARN_RANGE_EXPR_LEN);
static_assert(offsetof(varn_range_expr, re_hi) == 4);
static_assert(offsetof(varn_range_expr, re_stride) == 8);
static_assert(sizeof(struct varn_expressions) == VARN_EXPRESSIONS_LEN);
static_assert(sizeof(enum varn_udsp_action_type) == 4);

/* "SRC", "DST", "RTE" and a zero byte read as little-endian u32. */
static_assert(VARN_UDSP_SRC == ('S' | 'R' << 8 | 'C' << 16));
static_assert(VARN_UDSP_DST == ('D' | 'S' << 8 | 'T' << 16));
static_assert(VARN_UDSP_RTE == ('R' | 'T' << 8 | 'E' << 16));

/* A request code composed from its parts independently of the header:
 * read/write, type 'e', the number, 184 bytes encoded. */
constexpr unsigned long rw_config(unsigned nr)
{
	return (3UL << 30) | (184UL << 16) | ('e' << 8) | nr;
}
static_assert(VARN_IOC_ADD_UDSP == 0xc0b86569UL);
static_assert(VARN_IOC_ADD_UDSP == rw_config(105));
static_assert(VARN_IOC_DEL_UDSP == 0xc0b8656aUL);
static_assert(VARN_IOC_DEL_UDSP == rw_config(106));
static_assert(VARN_IOC_GET_UDSP_SIZE == 0xc0b8656bUL);
static_assert(VARN_IOC_GET_UDSP_SIZE == rw_config(107));
static_assert(VARN_IOC_GET_UDSP == 0xc0b8656cUL);
static_assert(VARN_IOC_GET_UDSP == rw_config(108));
static_assert(KFX_IOCTL_VERSION_CONFIG == 0x0001000b);

static_assert(sizeof(struct varn_ioctl_config_vnd_cmn_tunables) == 20);
static_assert(offsetof(varn_ioctl_config_vnd_cmn_tunables,
                       vct_max_tx_credits) == 16);
static_assert(sizeof(struct varn_ioctl_config_o2ibvnd_tunables) == 32);
static_assert(offsetof(varn_ioctl_config_o2ibvnd_tunables,
                       vnd_conns_per_peer) == 28);
static_assert(offsetof(varn_ioctl_config_o2ibvnd_tunables, vnd_ntx) == 30);
static_assert(sizeof(struct varn_ioctl_config_sockvnd_tunables) == 8);
static_assert(offsetof(varn_ioctl_config_sockvnd_tunables, vnd_pad) == 6);
static_assert(sizeof(struct varn_vnd_tunables) == 32);
static_assert(VARN_MKNET(SOCKVND, 3) == 0x00020003U);
