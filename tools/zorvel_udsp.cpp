/* Selection-policy subcommand: udsp add, del, show and import, on the
 * networking layer's control device. */
#include "zorvel_cmd.h"
#include "zorvel_output.h"
#include "zorvel_varn.h"

#include <varn/varnconfig.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string>
#include <unistd.h>

namespace
{

bool json = false;

int usage(const char *what)
{
	return usage_error(what);
}

/* A whole number of a YAML node within [min, max]. */
bool yaml_int(cYAML *n, long min, long max, int *out)
{
	if (n == nullptr || n->cy_type != CYAML_TYPE_NUMBER)
		return false;
	double d = n->cy_valuedouble;
	if (d != std::floor(d) || d < min || d > max)
		return false;
	*out = static_cast<int>(d);
	return true;
}

/* What was added, as JSON. */
int added(const char *src, const char *dst, const char *rte, const char *type,
          int priority, int idx)
{
	if (!json)
		return 0;
	json_line line;
	line.add("src", src ? src : "NA")
	        .add("dst", dst ? dst : "NA")
	        .add("rte", rte ? rte : "NA")
	        .add("action", type);
	if (strcmp(type, "priority") == 0)
		line.add_int("priority", priority);
	line.add_int("idx", idx);
	return exit_status(line.write());
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
	if (rc != 0)
		return finish_with_tree(rc, err);
	cYAML_free_tree(err);
	return added(src, dst, rte, type, action.udsp_priority, idx);
}

int udsp_del(int argc, char **argv)
{
	int idx;
	if (argc != 2 || !to_int(argv[1], 0, INT_MAX, &idx))
		return usage("del needs one index");
	cYAML *err = nullptr;
	int rc = zorvel_varn_del_udsp(static_cast<unsigned>(idx), 0, &err);
	if (rc != 0 || !json)
		return finish_with_tree(rc, err);
	cYAML_free_tree(err);
	return exit_status(
	        json_line().add_int("idx", idx).add_int("deleted", 1).write());
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
		return fail(err, "cannot use '%s'",
		            escaped(dev.c_str()).c_str());
	}
	cYAML *err = nullptr, *show = nullptr;
	int rc = zorvel_varn_show_udsp(idx, 0, &show, &err);
	/* The library answers an index that holds no policy as the end of
	 * the list: success with nothing shown. */
	if (rc == 0 && show == nullptr && idx != -1)
		rc = fail(-ENOENT, "no policy has index %d", idx);
	else if (rc == 0)
		rc = print_tree(show, json);
	else
		rc = finish_with_tree(rc, err), err = nullptr;
	cYAML_free_tree(show);
	cYAML_free_tree(err);
	return rc;
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
		cYAML_free_tree(tree);
		return fail(-EINVAL, "%s holds no \"udsp\" sequence",
		            escaped(argv[1]).c_str());
	}
	int seq_no = 0, out = 0;
	for (cYAML *item = seq ? seq->cy_child : nullptr;
	     rc == 0 && item != nullptr; item = item->cy_next, seq_no++) {
		char *src, *dst, *rte;
		varn_udsp_action action{};
		const char *type = "pref";
		cYAML *prio = cYAML_get_object_item(
		        cYAML_get_object_item(item, "action"), "priority");
		cYAML *idx = cYAML_get_object_item(item, "idx");
		int at = -1;
		/* the bounds of --priority and --idx */
		if (!descr_of(item, "src", &src) ||
		    !descr_of(item, "dst", &dst) ||
		    !descr_of(item, "rte", &rte) ||
		    (idx && !yaml_int(idx, 0, INT_MAX, &at)) ||
		    (prio &&
		     !yaml_int(prio, 0, INT_MAX, &action.udsp_priority))) {
			fail(-EINVAL,
			     "%s: item %d is no policy (a priority and an idx "
			     "are whole numbers from 0 to %d)",
			     escaped(argv[1]).c_str(), seq_no, INT_MAX);
			cYAML_free_tree(tree);
			return EINVAL;
		}
		if (prio != nullptr)
			type = "priority";
		rc = zorvel_varn_add_udsp(src, dst, rte,
		                          const_cast<char *>(type), &action, at,
		                          seq_no, &err);
		if (rc == 0 && (out = added(src, dst, rte, type,
		                            action.udsp_priority, at)) != 0)
			break; /* the output failed, told at the end */
	}
	cYAML_free_tree(tree);
	return out != 0 ? out : finish_with_tree(rc, err);
}

int cmd_udsp(int argc, char **argv)
{
	json = take_json_flag(argc, argv);
	if (argc < 2)
		return missing_arguments();
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

} // namespace

const zorvel_cmd udsp_cmd = {
        .name = "udsp",
        .run = cmd_udsp,
        .usage = "[--json] add [--src D] [--dst D] [--rte D] (--priority "
                 "N | --pref) [--idx N] | del IDX | show [IDX] | import FILE",
        .help = "add, delete, show or import "
                "network selection policies (YAML)\n"
                "  D is a network (tcp1) or "
                "ADDRESSES@NETWORK (10.0.0.[1-9]@o2ib).\n"
                "  Descriptors: --src, --dst, "
                "--rte alone, --src with --dst, or\n"
                "  --dst with --rte (--src with --rte is refused).\n"
                "  --priority N (0 to 2147483647): "
                "show prints action: priority: N.\n"
                "  --pref with --src alone or --dst "
                "alone is stored as --priority 0\n"
                "  (show prints action: priority: "
                "0); with two descriptors or --rte\n"
                "  alone it is a preferred list (show prints no action).\n"
                "  import FILE adds the items of its "
                "\"udsp\" sequence, as show prints it.\n"
                "  A failure prints the YAML "
                "error tree; the status is its rc.\n"
                "  show IDX of an index that holds "
                "no policy: status 2 (ENOENT).\n"
                "  --json keys: add, import: src "
                "dst rte action [priority] idx\n"
                "    (idx -1: at the end); del: idx "
                "deleted; show, a line per policy:\n"
                "    idx src dst rte [action_priority]",
};
