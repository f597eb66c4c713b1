/* Selection-policy subcommand: udsp add, del, show and import, on the
 * networking layer's control device. */
#include "zorvel_cmd.h"
#include "zorvel_varn.h"

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

int usage(const char *what)
{
	return usage_error("udsp", what);
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
				return usage("bad --priority");
			type = "priority";
			break;
		case 'P':
			if (type != nullptr)
				return usage("--pref or --priority");
			type = "pref";
			break;
		case 'i':
			if (!to_int(optarg, 0, INT_MAX, &idx))
				return usage("bad --idx");
			break;
		default:
			return usage("unknown option");
		}
	}
	if (optind != argc || type == nullptr)
		return usage("add needs --priority N or --pref");
	cYAML *err = nullptr;
	int rc = zorvel_varn_add_udsp(src, dst, rte, const_cast<char *>(type),
	                              &action, idx, 0, &err);
	return finish_with_tree(rc, err);
}

int udsp_del(int argc, char **argv)
{
	int idx;
	if (argc != 2 || !to_int(argv[1], 0, INT_MAX, &idx))
		return usage("del needs one index");
	cYAML *err = nullptr;
	int rc = zorvel_varn_del_udsp(static_cast<unsigned>(idx), 0, &err);
	return finish_with_tree(rc, err);
}

int udsp_show(int argc, char **argv)
{
	int idx = -1;
	if (argc > 2 || (argc == 2 && !to_int(argv[1], 0, INT_MAX, &idx)))
		return usage("show takes at most one index");
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
	return finish_with_tree(rc, err);
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
		return usage("import needs one file");
	cYAML *err = nullptr;
	cYAML *tree = cYAML_build_tree(argv[1], nullptr, 0, &err);
	if (tree == nullptr)
		return finish_with_tree(-EINVAL, err);
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
	return finish_with_tree(rc, err);
}

} // namespace

int cmd_udsp(int argc, char **argv)
{
	if (argc < 2)
		return usage("missing add, del, show or import");
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
	return usage("unknown udsp command");
}
