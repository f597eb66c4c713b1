/* What the network configuration subcommands share: the networking
 * layer's control device and the error trees of the commands. */
#include "zorvel_varn.h"

#include "zorvel_cmd.h"
#include "zorvel_output.h"

#include <libkfx/util/ioctl.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

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

namespace
{

/* The first "rc" number of a tree, depth first; false when it has none. */
bool tree_rc(cYAML *node, int *rc)
{
	for (; node != nullptr; node = node->cy_next) {
		if (node->cy_type == CYAML_TYPE_NUMBER && node->cy_string &&
		    strcmp(node->cy_string, "rc") == 0) {
			*rc = static_cast<int>(node->cy_valueint);
			return true;
		}
		if (tree_rc(node->cy_child, rc))
			return true;
	}
	return false;
}

/* Adds the leaves under node with keys joined by '_' (spaces too). */
void flatten(cYAML *node, const std::string &prefix, json_line &line)
{
	for (; node != nullptr; node = node->cy_next) {
		std::string key = node->cy_string ? node->cy_string : "";
		for (char &c : key)
			if (c == ' ')
				c = '_';
		if (!prefix.empty())
			key = prefix + "_" + key;
		double d = node->cy_valuedouble;
		switch (node->cy_type) {
		case CYAML_TYPE_OBJECT:
		case CYAML_TYPE_ARRAY:
			flatten(node->cy_child, key, line);
			break;
		case CYAML_TYPE_STRING:
			line.add(key.c_str(), node->cy_valuestring);
			break;
		case CYAML_TYPE_NUMBER:
			if (d == std::floor(d) && d >= 0 && d < 1.8e19)
				line.add_u64(key.c_str(), uint64_t(d));
			else
				line.add_real(key.c_str(), d);
			break;
		case CYAML_TYPE_TRUE:
		case CYAML_TYPE_FALSE:
			line.add_int(key.c_str(),
			             node->cy_type == CYAML_TYPE_TRUE);
			break;
		default:
			break;
		}
	}
}

} // namespace

int finish_with_tree(int rc, cYAML *err)
{
	if (rc != 0 && err != nullptr) {
		/* the status says what the tree says */
		tree_rc(err, &rc);
		cYAML_print_tree2file(stderr, err);
	} else if (rc != 0) {
		fail(rc, "failed");
	}
	cYAML_free_tree(err);
	return rc == 0 ? 0 : exit_status(rc);
}

int print_tree(cYAML *tree, bool json)
{
	if (tree == nullptr) { /* an empty list */
		if (!json)
			out_printf("udsp: []\n");
		return 0;
	}
	if (!json) {
		int rc = cYAML_print_tree(tree);
		/* a lost write is told once, at the end */
		if (rc != 0 && output_ok())
			return fail(-ENOMEM, "cannot print the tree");
		return 0;
	}
	/* A sequence under the root: a line per item; else one line. */
	cYAML *top = tree ? tree->cy_child : nullptr;
	if (top != nullptr && top->cy_next == nullptr &&
	    cYAML_is_sequence(top)) {
		for (cYAML *item = top->cy_child; item; item = item->cy_next) {
			json_line line;
			flatten(item->cy_child, "", line);
			if (int rc = line.write())
				return exit_status(rc);
		}
		return 0;
	}
	json_line line;
	flatten(top, "", line);
	return exit_status(line.write());
}
