/* Network driver tunables subcommand: tunables show, from a YAML file. */
#include "zorvel_cmd.h"
#include "zorvel_output.h"
#include "zorvel_varn.h"

#include <varn/varnconfig.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

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

/* The keys of each object and the range of their fields. */
struct field {
	const char *key;
	double min, max;
};

const field common_fields[] = {
        {"peer_timeout", INT32_MIN, INT32_MAX},
        {"peer_credits", INT32_MIN, INT32_MAX},
        {"peer_buffer_credits", INT32_MIN, INT32_MAX},
        {"credits", INT32_MIN, INT32_MAX},
};
const field o2ib_fields[] = {
        {"peercredits_hiw", 0, UINT32_MAX},
        {"map_on_demand", 0, UINT32_MAX},
        {"concurrent_sends", 0, UINT32_MAX},
        {"fmr_pool_size", 0, UINT32_MAX},
        {"fmr_flush_trigger", 0, UINT32_MAX},
        {"fmr_cache", 0, UINT32_MAX},
        {"ntx", 0, UINT16_MAX},
        {"conns_per_peer", 0, UINT16_MAX},
};
const field sock_fields[] = {
        {"conns_per_peer", 0, UINT16_MAX},
};

/* Every value of the fields of obj is a whole number in its field's range;
 * else the message and the exit status. */
template <size_t N>
int check_fields(cYAML *obj, const char *what, const field (&fields)[N],
                 const char *file)
{
	if (obj == nullptr)
		return 0;
	for (const field &f : fields) {
		cYAML *n = cYAML_get_object_item(obj, f.key);
		if (n == nullptr)
			continue;
		double d = n->cy_valuedouble;
		if (n->cy_type != CYAML_TYPE_NUMBER || d != std::floor(d) ||
		    d < f.min || d > f.max)
			return fail(-ERANGE,
			            "%s: %s %s is not a whole number from "
			            "%.0f to %.0f",
			            escaped(file).c_str(), what, f.key, f.min,
			            f.max);
	}
	return 0;
}

int show_common(cYAML *holder, cYAML *out)
{
	cYAML *in = cYAML_get_object_item(holder, "tunables");
	if (in == nullptr)
		return 0;
	auto get = [&](const char *key) {
		cYAML *n = cYAML_get_object_item(in, key);
		return n ? static_cast<__s32>(n->cy_valuedouble) : 0;
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

int cmd_tunables(int argc, char **argv)
{
	bool json = take_json_flag(argc, argv);
	const char *file = nullptr, *type = nullptr;
	bool options = true;
	for (int i = 1; i < argc; i++) {
		if (options && strcmp(argv[i], "--") == 0)
			options = false;
		else if (options && strcmp(argv[i], "--type") == 0 &&
		         i + 1 < argc)
			type = argv[++i];
		else if (i == 1 && strcmp(argv[i], "show") == 0)
			continue;
		else if (file == nullptr && i > 1 &&
		         (!options || argv[i][0] != '-'))
			file = argv[i];
		else
			return usage_error("show FILE --type socket|o2ib");
	}
	if (argc < 2 || strcmp(argv[1], "show") != 0 || file == nullptr ||
	    type == nullptr)
		return argc < 3 ? missing_arguments()
		                : usage_error("show FILE --type socket|o2ib");
	__u32 net_type;
	if (strcmp(type, "socket") == 0)
		net_type = SOCKVND;
	else if (strcmp(type, "o2ib") == 0)
		net_type = O2IBVND;
	else
		return usage_error("--type is socket or o2ib");

	cYAML *err = nullptr;
	cYAML *tree = cYAML_build_tree(file, nullptr, 0, &err);
	if (tree == nullptr)
		return finish_with_tree(-EINVAL, err);
	cYAML *holder = tunables_holder(tree);
	if (holder == nullptr &&
	    cYAML_get_object_item(tree, "tunables") != nullptr)
		holder = tree;
	if (holder == nullptr) {
		cYAML_free_tree(tree);
		return fail(-ENOENT,
		            "%s holds no \"tunables\" or \"vnd tunables\" "
		            "object",
		            escaped(file).c_str());
	}
	cYAML *vnd_in = cYAML_get_object_item(holder, "vnd tunables");
	int rc = check_fields(cYAML_get_object_item(holder, "tunables"),
	                      "tunables", common_fields, file);
	if (rc == 0 && net_type == O2IBVND)
		rc = check_fields(vnd_in, "vnd tunables", o2ib_fields, file);
	else if (rc == 0)
		rc = check_fields(vnd_in, "vnd tunables", sock_fields, file);
	if (rc != 0) {
		cYAML_free_tree(tree);
		return rc;
	}
	varn_vnd_tunables tun{};
	zorvel_yaml_extract_vnd_tunables(holder, net_type, &tun);
	/* the one driver tunable that the library leaves out */
	cYAML *hiw = cYAML_get_object_item(vnd_in, "peercredits_hiw");
	if (net_type == O2IBVND && hiw != nullptr)
		tun.vnd_tun_u.vnd_o2ib.vnd_peercredits_hiw =
		        static_cast<__u32>(hiw->cy_valuedouble);
	cYAML *out = cYAML_create_object(nullptr, nullptr);
	rc = out ? show_common(holder, out) : VARN_CONFIG_NO_MEMORY;
	if (rc == 0 && vnd_in != nullptr) {
		cYAML *vnd = cYAML_create_object(out, "vnd tunables");
		rc = vnd ? zorvel_ni_show_tunables(vnd, net_type, &tun)
		         : VARN_CONFIG_NO_MEMORY;
	}
	rc = rc == 0 ? print_tree(out, json)
	             : fail(-ENOMEM, "cannot show the tunables of %s",
	                    escaped(file).c_str());
	cYAML_free_tree(out);
	cYAML_free_tree(tree);
	return rc;
}

} // namespace

const zorvel_cmd tunables_cmd = {
        .name = "tunables",
        .run = cmd_tunables,
        .usage = "[--json] show FILE --type socket|o2ib",
        .help = "print the network driver tunables of a YAML file\n"
                "  FILE holds \"tunables\" and \"vnd "
                "tunables\" objects, at the top or in\n"
                "  an item of a \"net\" sequence; "
                "values out of a field's range are\n"
                "  refused. An example with the "
                "range of each key is installed as\n"
                "  share/doc/zorvel/examples/tunables.yaml.\n"
                "  --json keys: tunables_KEY and vnd_tunables_KEY of each key",
};
