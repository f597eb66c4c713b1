/* Tree nodes: creation, lookup, linking, release and the error tree. */
#include "cyaml_internal.h"

#include <zv/owners.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace cyaml
{

cYAML *new_node(cYAML_object_type type, const char *key)
{
	auto *n = static_cast<cYAML *>(calloc(1, sizeof(cYAML)));
	if (n == nullptr)
		return nullptr;
	n->cy_type = type;
	if (key != nullptr) {
		n->cy_string = strdup(key);
		if (n->cy_string == nullptr) {
			free(n);
			return nullptr;
		}
	}
	return n;
}

void append_child(cYAML *parent, cYAML *child)
{
	child->cy_next = nullptr;
	if (parent->cy_child == nullptr) {
		child->cy_prev = nullptr;
		parent->cy_child = child;
		return;
	}
	cYAML *last = parent->cy_child;
	while (last->cy_next != nullptr)
		last = last->cy_next;
	last->cy_next = child;
	child->cy_prev = last;
}

void unlink_child(cYAML *parent, cYAML *node)
{
	if (node->cy_prev != nullptr)
		node->cy_prev->cy_next = node->cy_next;
	else if (parent->cy_child == node)
		parent->cy_child = node->cy_next;
	if (node->cy_next != nullptr)
		node->cy_next->cy_prev = node->cy_prev;
	node->cy_next = node->cy_prev = nullptr;
}

} // namespace cyaml

using namespace cyaml;

namespace
{

cYAML *create_under(cYAML *parent, cYAML_object_type type, const char *key)
{
	cYAML *n = new_node(type, key);
	if (n != nullptr && parent != nullptr)
		append_child(parent, n);
	return n;
}

/* Numbers keep an integer view; values beyond int64 are clamped, NaN 0. */
int64_t int_of(double value)
{
	if (std::isnan(value))
		return 0;
	if (value >= 9223372036854775807.0)
		return INT64_MAX;
	if (value <= -9223372036854775808.0)
		return INT64_MIN;
	return static_cast<int64_t>(value);
}

} // namespace

CYAML_EXPORT cYAML *cYAML_create_object(cYAML *parent, const char *key)
{
	return create_under(parent, CYAML_TYPE_OBJECT, key);
}

CYAML_EXPORT cYAML *cYAML_create_seq(cYAML *parent, const char *key)
{
	return create_under(parent, CYAML_TYPE_ARRAY, key);
}

CYAML_EXPORT cYAML *cYAML_create_seq_item(cYAML *seq)
{
	if (seq == nullptr)
		return nullptr;
	return create_under(seq, CYAML_TYPE_OBJECT, nullptr);
}

CYAML_EXPORT cYAML *cYAML_create_number(cYAML *parent, const char *key,
                                        double value)
{
	cYAML *n = create_under(parent, CYAML_TYPE_NUMBER, key);
	if (n != nullptr) {
		n->cy_valuedouble = value;
		n->cy_valueint = int_of(value);
	}
	return n;
}

CYAML_EXPORT cYAML *cYAML_create_string(cYAML *parent, const char *key,
                                        const char *value)
{
	zv::unique_malloc<char> copy(strdup(value != nullptr ? value : ""));
	if (!copy)
		return nullptr;
	cYAML *n = create_under(parent, CYAML_TYPE_STRING, key);
	if (n != nullptr)
		n->cy_valuestring = copy.release();
	return n;
}

CYAML_EXPORT cYAML *cYAML_create_bool(cYAML *parent, const char *key,
                                      bool value)
{
	cYAML *n = create_under(
	        parent, value ? CYAML_TYPE_TRUE : CYAML_TYPE_FALSE, key);
	if (n != nullptr)
		n->cy_valueint = value ? 1 : 0;
	return n;
}

CYAML_EXPORT cYAML *cYAML_get_object_item(cYAML *parent, const char *key)
{
	if (parent == nullptr || key == nullptr)
		return nullptr;
	for (cYAML *c = parent->cy_child; c != nullptr; c = c->cy_next)
		if (c->cy_string != nullptr && strcmp(c->cy_string, key) == 0)
			return c;
	return nullptr;
}

CYAML_EXPORT bool cYAML_is_sequence(cYAML *node)
{
	return node != nullptr && node->cy_type == CYAML_TYPE_ARRAY;
}

CYAML_EXPORT void cYAML_insert_child(cYAML *parent, cYAML *node)
{
	if (parent == nullptr || node == nullptr)
		return;
	/* node leaves whatever chain it was on, taking its followers along */
	if (node->cy_prev != nullptr)
		node->cy_prev->cy_next = nullptr;
	node->cy_prev = nullptr;
	if (parent->cy_child == nullptr) {
		parent->cy_child = node;
		return;
	}
	cYAML *last = parent->cy_child;
	while (last->cy_next != nullptr)
		last = last->cy_next;
	last->cy_next = node;
	node->cy_prev = last;
}

CYAML_EXPORT void cYAML_insert_sibling(cYAML *node, cYAML *sibling)
{
	if (node == nullptr || sibling == nullptr || node == sibling)
		return;
	if (sibling->cy_prev != nullptr)
		sibling->cy_prev->cy_next = nullptr;
	cYAML *last = node;
	while (last->cy_next != nullptr)
		last = last->cy_next;
	last->cy_next = sibling;
	sibling->cy_prev = last;
}

CYAML_EXPORT void cYAML_free_tree(cYAML *node)
{
	if (node == nullptr)
		return;
	/* Iterative, so that no tree is too deep to release: children are
	 * spliced in front of the nodes still to be freed. */
	node->cy_next = nullptr;
	cYAML *work = node;
	while (work != nullptr) {
		cYAML *n = work;
		work = n->cy_next;
		if (n->cy_child != nullptr) {
			cYAML *last = n->cy_child;
			while (last->cy_next != nullptr)
				last = last->cy_next;
			last->cy_next = work;
			work = n->cy_child;
		}
		free(n->cy_valuestring);
		free(n->cy_string);
		free(n);
	}
}

CYAML_EXPORT void cYAML_build_error(int rc, int seq_no, const char *cmd,
                                    const char *entity, const char *err_str,
                                    cYAML **root)
{
	if (root == nullptr)
		return;
	if (cmd == nullptr)
		cmd = "";
	if (entity == nullptr)
		entity = "";

	/* The outcome texts are YAML double-quoted scalars; the tree holds
	 * the text itself and the printer quotes it again where needed. */
	const char *text = err_str != nullptr ? err_str : "";
	size_t len = strlen(text);
	if (len > 0 && text[0] == '"') {
		text++;
		len--;
		if (len > 0 && text[len - 1] == '"')
			len--;
	}
	char *descr = strndup(text, len);
	if (descr == nullptr)
		return;

	cYAML *r = *root;
	bool made_root = false;
	if (r == nullptr) {
		r = cYAML_create_object(nullptr, nullptr);
		made_root = true;
	}
	cYAML *seq = nullptr, *item = nullptr, *ent = nullptr;
	bool made_seq = false;
	if (r != nullptr) {
		seq = cYAML_get_object_item(r, cmd);
		if (!cYAML_is_sequence(seq)) {
			seq = cYAML_create_seq(r, cmd);
			made_seq = true;
		}
	}
	if (seq != nullptr)
		item = cYAML_create_seq_item(seq);
	if (item != nullptr)
		ent = cYAML_create_object(item, entity);
	bool ok = ent != nullptr && cYAML_create_number(ent, "rc", rc) &&
	          cYAML_create_number(ent, "seq_no", seq_no) &&
	          cYAML_create_string(ent, "descr", descr);
	free(descr);
	if (ok) {
		*root = r;
		return;
	}
	if (made_root) {
		cYAML_free_tree(r);
	} else if (made_seq && seq != nullptr) {
		unlink_child(r, seq);
		cYAML_free_tree(seq);
	} else if (item != nullptr) {
		unlink_child(seq, item);
		cYAML_free_tree(item);
	}
}
