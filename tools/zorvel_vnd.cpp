/* Network driver tunables subcommand: tunables show, from a YAML file. */
#include "zorvel_cmd.h"
#include "zorvel_varn.h"

#include <varn/varnconfig.h>

#include <cstdio>
#include <cstring>

namespace
{

/* The node holding "vnd tunables": the root itself, or the first item of
 * a "net" sequence that holds it. */
cYAML *tunables_holder(cYAML *tree)
{
	if (cYAML_get_object_item(tree, "vnd tunables") != nullptr)
		return tree;
	cYAML *net = cYAML_get_object_item(tree, "net");
	if (!cYAML_is_sequence(net))
		return nullptr;
	for (cYAML *item = net->cy_child; item != nullptr; item = item->cy_next)
		if (cYAML_get_object_item(item, "vnd tunables") != nullptr)
			return item;
	return nullptr;
}

int show_common(cYAML *holder, cYAML *out)
{
	cYAML *in = cYAML_get_object_item(holder, "tunables");
	if (in == nullptr)
		return 0;
	auto get = [&](const char *key) {
		cYAML *n = cYAML_get_object_item(in, key);
		return n ? static_cast<__s32>(n->cy_valueint) : 0;
	};
	varn_ioctl_config_vnd_cmn_tunables cmn{};
	cmn.vct_peer_timeout = get("peer_timeout");
	cmn.vct_peer_tx_credits = get("peer_credits");
	cmn.vct_peer_rtr_credits = get("peer_buffer_credits");
	cmn.vct_max_tx_credits = get("credits");
	cYAML *node = cYAML_create_object(out, "tunables");
	return node ? zorvel_net_show_tunables(node, &cmn)
	            : VARN_CONFIG_NO_MEMORY;
}

} // namespace

int cmd_tunables(int argc, char **argv)
{
	const char *file = nullptr, *type = nullptr;
	for (int i = 1; i < argc; i++) {
		if (strcmp(argv[i], "--type") == 0 && i + 1 < argc)
			type = argv[++i];
		else if (strcmp(argv[i], "show") == 0 && file == nullptr &&
		         i == 1)
			continue;
		else if (file == nullptr && i > 1 && argv[i][0] != '-')
			file = argv[i];
		else
			return usage_error("tunables", "bad arguments");
	}
	if (argc < 2 || strcmp(argv[1], "show") != 0 || file == nullptr ||
	    type == nullptr)
		return usage_error("tunables", "show FILE --type socket|o2ib");
	__u32 net_type;
	if (strcmp(type, "socket") == 0)
		net_type = SOCKVND;
	else if (strcmp(type, "o2ib") == 0)
		net_type = O2IBVND;
	else
		return usage_error("tunables", "--type is socket or o2ib");

	cYAML *err = nullptr;
	cYAML *tree = cYAML_build_tree(file, nullptr, 0, &err);
	if (tree == nullptr)
		return finish_with_tree(-EINVAL, err);
	cYAML *holder = tunables_holder(tree);
	varn_vnd_tunables tun{};
	zorvel_yaml_extract_vnd_tunables(holder ? holder : tree, net_type,
	                                 &tun);
	cYAML *out = cYAML_create_object(nullptr, nullptr);
	cYAML *vnd = nullptr;
	int rc = out ? show_common(holder ? holder : tree, out)
	             : VARN_CONFIG_NO_MEMORY;
	if (rc == 0) {
		vnd = cYAML_create_object(out, "vnd tunables");
		rc = vnd ? zorvel_ni_show_tunables(vnd, net_type, &tun)
		         : VARN_CONFIG_NO_MEMORY;
	}
	if (rc == 0)
		rc = cYAML_print_tree(out);
	else
		fprintf(stderr, "zorvel tunables: cannot show: %d\n", rc);
	cYAML_free_tree(out);
	cYAML_free_tree(tree);
	return exit_status(rc);
}
