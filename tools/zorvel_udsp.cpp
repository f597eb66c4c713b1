/* Network configuration subcommands: udsp (selection policies) and
 * tunables. The networking layer's control device is registered as device
 * 0: under the simulator it is <ZVSIM_STATE>/dev/varn, else /dev/varn. */
#include "zorvel_cmd.h"

#include <libkfx/util/ioctl.h>
#include <varn/varnconfig.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string>
#include <unistd.h>

namespace
{

std::string varn_dev_path()
{
	const char *state = getenv("ZVSIM_STATE");
	if (state != nullptr && *state != '\0')
		return std::string(state) + "/dev/varn";
	return "/dev/varn";
}

/* Registered once per process; the registry keeps the pointer. */
void register_varn_dev()
{
	static const std::string path = varn_dev_path();
	register_ioc_dev(0, path.c_str());
}

int usage(const char *sub, const char *what)
{
	fprintf(stderr, "zorvel %s: %s (see 'zorvel %s --help')\n", sub, what,
	        sub);
	return ZV_EXIT_USAGE;
}

bool to_int(const char *text, long min, long max, int *out)
{
	char *end = nullptr;
	errno = 0;
	long v = strtol(text, &end, 0);
	if (errno != 0 || end == text || *end != '\0' || v < min || v > max)
		return false;
	*out = static_cast<int>(v);
	return true;
}

/* The error tree of a failed command goes to standard error. */
int finish(int rc, cYAML *err)
{
	if (rc != 0 && err != nullptr)
		cYAML_print_tree2file(stderr, err);
	cYAML_free_tree(err);
	return exit_status(rc);
}

int udsp_add(int argc, char **argv)
{
	static const option opts[] = {
	        {"src", required_argument, nullptr, 's'},
	        {"dst", required_argument, nullptr, 'd'},
	        {"rte", required_argument, nullptr, 'r'},
	        {"priority", required_argument, nullptr, 'p'},
	        {"pref", no_argument, nullptr, 'P'},
	        {"idx", required_argument, nullptr, 'i'},
	        {nullptr, 0, nullptr, 0},
	};
	char *src = nullptr, *dst = nullptr, *rte = nullptr;
	const char *type = nullptr;
	varn_udsp_action action{};
	int idx = -1, c;
	optind = 1;
	opterr = 0;
	while ((c = getopt_long(argc, argv, "", opts, nullptr)) != -1) {
		switch (c) {
		case 's':
			src = optarg;
			break;
		case 'd':
			dst = optarg;
			break;
		case 'r':
			rte = optarg;
			break;
		case 'p':
			if (type != nullptr ||
			    !to_int(optarg, 0, INT_MAX, &action.udsp_priority))
				return usage("udsp", "bad --priority");
			type = "priority";
			break;
		case 'P':
			if (type != nullptr)
				return usage("udsp", "--pref or --priority");
			type = "pref";
			break;
		case 'i':
			if (!to_int(optarg, 0, INT_MAX, &idx))
				return usage("udsp", "bad --idx");
			break;
		default:
			return usage("udsp", "unknown option");
		}
	}
	if (optind != argc || type == nullptr)
		return usage("udsp", "add needs --priority N or --pref");
	cYAML *err = nullptr;
	int rc = zorvel_varn_add_udsp(src, dst, rte, const_cast<char *>(type),
	                              &action, idx, 0, &err);
	return finish(rc, err);
}

int udsp_del(int argc, char **argv)
{
	int idx;
	if (argc != 2 || !to_int(argv[1], 0, INT_MAX, &idx))
		return usage("udsp", "del needs one index");
	cYAML *err = nullptr;
	int rc = zorvel_varn_del_udsp(static_cast<unsigned>(idx), 0, &err);
	return finish(rc, err);
}

int udsp_show(int argc, char **argv)
{
	int idx = -1;
	if (argc > 2 || (argc == 2 && !to_int(argv[1], 0, INT_MAX, &idx)))
		return usage("udsp", "show takes at most one index");
	/* A missing device answers like an empty policy list (both are
	 * ENOENT to the command): tell them apart here. */
	std::string dev = varn_dev_path();
	if (access(dev.c_str(), R_OK | W_OK) != 0) {
		int err = errno;
		fprintf(stderr, "zorvel udsp: cannot use '%s': %s\n",
		        dev.c_str(), strerror(err));
		return exit_status(err);
	}
	cYAML *err = nullptr;
	int rc = zorvel_varn_show_udsp(idx, 0, nullptr, &err);
	return finish(rc, err);
}

/* A descriptor of an imported item: its text, or NULL for "NA" and none. */
bool descr_of(cYAML *item, const char *key, char **out)
{
	cYAML *n = cYAML_get_object_item(item, key);
	*out = nullptr;
	if (n == nullptr)
		return true;
	if (n->cy_type != CYAML_TYPE_STRING)
		return false;
	if (strcmp(n->cy_valuestring, "NA") != 0)
		*out = n->cy_valuestring;
	return true;
}

/* Adds every item of the "udsp" sequence of FILE, in order, each at the
 * index it names (or at the end). */
int udsp_import(int argc, char **argv)
{
	if (argc != 2)
		return usage("udsp", "import needs one file");
	cYAML *err = nullptr;
	cYAML *tree = cYAML_build_tree(argv[1], nullptr, 0, &err);
	if (tree == nullptr)
		return finish(-EINVAL, err);
	cYAML *seq = cYAML_get_object_item(tree, "udsp");
	int rc = 0;
	if (!cYAML_is_sequence(seq)) {
		fprintf(stderr, "zorvel udsp: %s holds no \"udsp\" sequence\n",
		        argv[1]);
		rc = -EINVAL;
	}
	int seq_no = 0;
	for (cYAML *item = seq ? seq->cy_child : nullptr;
	     rc == 0 && item != nullptr; item = item->cy_next, seq_no++) {
		char *src, *dst, *rte;
		varn_udsp_action action{};
		const char *type = "pref";
		cYAML *prio = cYAML_get_object_item(
		        cYAML_get_object_item(item, "action"), "priority");
		cYAML *idx = cYAML_get_object_item(item, "idx");
		if (!descr_of(item, "src", &src) ||
		    !descr_of(item, "dst", &dst) ||
		    !descr_of(item, "rte", &rte) ||
		    (idx && idx->cy_type != CYAML_TYPE_NUMBER) ||
		    (prio && prio->cy_type != CYAML_TYPE_NUMBER)) {
			fprintf(stderr,
			        "zorvel udsp: %s: item %d is not a "
			        "policy\n",
			        argv[1], seq_no);
			rc = -EINVAL;
			break;
		}
		if (prio != nullptr) {
			type = "priority";
			action.udsp_priority =
			        static_cast<int>(prio->cy_valueint);
		}
		rc = zorvel_varn_add_udsp(
		        src, dst, rte, const_cast<char *>(type), &action,
		        idx ? static_cast<int>(idx->cy_valueint) : -1, seq_no,
		        &err);
	}
	cYAML_free_tree(tree);
	return finish(rc, err);
}

} // namespace

int cmd_udsp(int argc, char **argv)
{
	if (argc < 2)
		return usage("udsp", "missing add, del, show or import");
	register_varn_dev();
	const char *sub = argv[1];
	if (strcmp(sub, "add") == 0)
		return udsp_add(argc - 1, argv + 1);
	if (strcmp(sub, "del") == 0)
		return udsp_del(argc - 1, argv + 1);
	if (strcmp(sub, "show") == 0)
		return udsp_show(argc - 1, argv + 1);
	if (strcmp(sub, "import") == 0)
		return udsp_import(argc - 1, argv + 1);
	return usage("udsp", "unknown udsp command");
}

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
			return usage("tunables", "bad arguments");
	}
	if (argc < 2 || strcmp(argv[1], "show") != 0 || file == nullptr ||
	    type == nullptr)
		return usage("tunables", "show FILE --type socket|o2ib");
	__u32 net_type;
	if (strcmp(type, "socket") == 0)
		net_type = SOCKVND;
	else if (strcmp(type, "o2ib") == 0)
		net_type = O2IBVND;
	else
		return usage("tunables", "--type is socket or o2ib");

	cYAML *err = nullptr;
	cYAML *tree = cYAML_build_tree(file, nullptr, 0, &err);
	if (tree == nullptr)
		return finish(-EINVAL, err);
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
