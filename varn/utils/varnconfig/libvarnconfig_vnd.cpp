/* Network driver tunables: common and driver-specific tunables shown as
 * YAML nodes, and driver-specific tunables taken from a user's tree. */
#include "udsp_internal.h"

namespace
{

struct number_field {
	const char *key;
	double value;
};

/* Adds the numbers in order; the first one that cannot be made ends the
 * call, the ones before it stay. */
template <size_t N>
int add_numbers(cYAML *parent, const number_field (&fields)[N])
{
	for (const auto &f : fields)
		if (cYAML_create_number(parent, f.key, f.value) == nullptr)
			return VARN_CONFIG_NO_MEMORY;
	return VARN_CONFIG_OK;
}

int zorvel_o2ibvnd_show_tun(cYAML *tun,
                            const varn_ioctl_config_o2ibvnd_tunables *t)
{
	const number_field fields[] = {
	        {"peercredits_hiw",
	         static_cast<double>(t->vnd_peercredits_hiw)},
	        {"map_on_demand", static_cast<double>(t->vnd_map_on_demand)},
	        {"concurrent_sends",
	         static_cast<double>(t->vnd_concurrent_sends)},
	        {"fmr_pool_size", static_cast<double>(t->vnd_fmr_pool_size)},
	        {"fmr_flush_trigger",
	         static_cast<double>(t->vnd_fmr_flush_trigger)},
	        {"fmr_cache", static_cast<double>(t->vnd_fmr_cache)},
	        {"ntx", static_cast<double>(t->vnd_ntx)},
	        {"conns_per_peer", static_cast<double>(t->vnd_conns_per_peer)},
	};
	return add_numbers(tun, fields);
}

int zorvel_sockvnd_show_tun(cYAML *tun,
                            const varn_ioctl_config_sockvnd_tunables *t)
{
	const number_field fields[] = {
	        {"conns_per_peer", static_cast<double>(t->vnd_conns_per_peer)},
	};
	return add_numbers(tun, fields);
}

/* The integer of a key in the object, or dflt when it is absent. */
long long value_of(cYAML *obj, const char *key, long long dflt)
{
	cYAML *n = cYAML_get_object_item(obj, key);
	return n != nullptr ? n->cy_valueint : dflt;
}

void yaml_extract_o2ib_tun(cYAML *tree, varn_ioctl_config_o2ibvnd_tunables *t)
{
	cYAML *obj = cYAML_get_object_item(tree, "vnd tunables");
	if (obj == nullptr)
		return;
	t->vnd_map_on_demand =
	        static_cast<__u32>(value_of(obj, "map_on_demand", 0));
	t->vnd_concurrent_sends =
	        static_cast<__u32>(value_of(obj, "concurrent_sends", 0));
	t->vnd_fmr_pool_size =
	        static_cast<__u32>(value_of(obj, "fmr_pool_size", 0));
	t->vnd_fmr_flush_trigger =
	        static_cast<__u32>(value_of(obj, "fmr_flush_trigger", 0));
	t->vnd_fmr_cache = static_cast<__u32>(value_of(obj, "fmr_cache", 0));
	t->vnd_ntx = static_cast<__u16>(value_of(obj, "ntx", 0));
	t->vnd_conns_per_peer =
	        static_cast<__u16>(value_of(obj, "conns_per_peer", 1));
}

void yaml_extract_sock_tun(cYAML *tree, varn_ioctl_config_sockvnd_tunables *t)
{
	cYAML *obj = cYAML_get_object_item(tree, "vnd tunables");
	if (obj == nullptr)
		return;
	t->vnd_conns_per_peer =
	        static_cast<__u16>(value_of(obj, "conns_per_peer", 1));
}

} // namespace

VARN_EXPORT int
zorvel_net_show_tunables(struct cYAML *tunables,
                         struct varn_ioctl_config_vnd_cmn_tunables *cmn)
{
	if (tunables == nullptr || cmn == nullptr)
		return VARN_CONFIG_NO_MEMORY;
	const number_field fields[] = {
	        {"peer_timeout", static_cast<double>(cmn->vct_peer_timeout)},
	        {"peer_credits", static_cast<double>(cmn->vct_peer_tx_credits)},
	        {"peer_buffer_credits",
	         static_cast<double>(cmn->vct_peer_rtr_credits)},
	        {"credits", static_cast<double>(cmn->vct_max_tx_credits)},
	};
	return add_numbers(tunables, fields);
}

VARN_EXPORT int zorvel_ni_show_tunables(struct cYAML *vnd_tunables,
                                        __u32 net_type,
                                        struct varn_vnd_tunables *vnd)
{
	if (net_type != O2IBVND && net_type != SOCKVND)
		return VARN_CONFIG_NO_MATCH;
	if (vnd_tunables == nullptr || vnd == nullptr)
		return VARN_CONFIG_NO_MEMORY;
	if (net_type == O2IBVND)
		return zorvel_o2ibvnd_show_tun(vnd_tunables,
		                               &vnd->vnd_tun_u.vnd_o2ib);
	return zorvel_sockvnd_show_tun(vnd_tunables, &vnd->vnd_tun_u.vnd_sock);
}

VARN_EXPORT void zorvel_yaml_extract_vnd_tunables(struct cYAML *tree,
                                                  __u32 net_type,
                                                  struct varn_vnd_tunables *tun)
{
	if (tree == nullptr || tun == nullptr)
		return;
	if (net_type == O2IBVND)
		yaml_extract_o2ib_tun(tree, &tun->vnd_tun_u.vnd_o2ib);
	else if (net_type == SOCKVND)
		yaml_extract_sock_tun(tree, &tun->vnd_tun_u.vnd_sock);
}
