/* SPDX-License-Identifier: LGPL-2.1-or-later */
/*
 * YAML trees: nodes built by hand or from YAML text, printed as YAML, and
 * the error tree into which the configuration commands file their outcome.
 *
 * Nodes are separate heap blocks (keys and string values separate blocks
 * too); a whole tree is released with cYAML_free_tree(). Calls that make a
 * node return it, or NULL when out of memory; other calls return 0 or a
 * negative errno value unless said otherwise. Nothing is printed except by
 * the print calls.
 */
#ifndef CYAML_CYAML_H
#define CYAML_CYAML_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

enum cYAML_object_type {
	CYAML_TYPE_FALSE = 0,
	CYAML_TYPE_TRUE = 1,
	CYAML_TYPE_NULL = 2,
	CYAML_TYPE_NUMBER = 3,
	CYAML_TYPE_STRING = 4,
	CYAML_TYPE_ARRAY = 5,  /* a sequence; its items have no key */
	CYAML_TYPE_OBJECT = 6, /* a mapping; its children have keys */
};

struct cYAML {
	struct cYAML *cy_next, *cy_prev; /* siblings */
	struct cYAML *cy_child;          /* first child */
	enum cYAML_object_type cy_type;
	char *cy_valuestring; /* strings only */
	int64_t cy_valueint;  /* numbers (truncated), true 1, false 0 */
	double cy_valuedouble;
	char *cy_string; /* the key, NULL for sequence items and roots */
	void *cy_user_data;
};

/* Tree of one YAML document, read from the file at path when path is not
 * NULL, else from the size bytes at yaml_blk. NULL on failure; then, when
 * err_rc is not NULL, the failure (with line and column for bad YAML) is
 * filed into *err_rc as by cYAML_build_error with command "yaml". An empty
 * document gives an empty object. Aliases are refused. */
struct cYAML *cYAML_build_tree(const char *path, const char *yaml_blk,
                               size_t size, struct cYAML **err_rc);

/* New nodes, linked as the last child of parent when parent is not NULL.
 * key is copied (NULL: no key). */
struct cYAML *cYAML_create_object(struct cYAML *parent, const char *key);
struct cYAML *cYAML_create_seq(struct cYAML *parent, const char *key);
/* A new keyless object at the end of the sequence seq. */
struct cYAML *cYAML_create_seq_item(struct cYAML *seq);
struct cYAML *cYAML_create_number(struct cYAML *parent, const char *key,
                                  double value);
/* value is copied (NULL: an empty string). */
struct cYAML *cYAML_create_string(struct cYAML *parent, const char *key,
                                  const char *value);
struct cYAML *cYAML_create_bool(struct cYAML *parent, const char *key,
                                bool value);

/* First child of parent with this key, or NULL. */
struct cYAML *cYAML_get_object_item(struct cYAML *parent, const char *key);
bool cYAML_is_sequence(struct cYAML *node);

/* Moves node and the siblings after it to the end of parent's children. */
void cYAML_insert_child(struct cYAML *parent, struct cYAML *node);
/* Moves sibling and the siblings after it behind node's last sibling. */
void cYAML_insert_sibling(struct cYAML *node, struct cYAML *sibling);

/* Prints the tree at node (its own siblings excluded) as one YAML
 * document: to standard output, to a stream, or into a new NUL-terminated
 * buffer (*text, released with free). */
int cYAML_print_tree(struct cYAML *node);
int cYAML_print_tree2file(FILE *f, struct cYAML *node);
int cYAML_dump(struct cYAML *node, char **text);

/* Releases node and everything below it; its siblings are not touched, so
 * unlink it from a tree first. NULL is fine. */
void cYAML_free_tree(struct cYAML *node);

/*
 * Files one command outcome into *root (made when NULL) as
 *
 *   <cmd>:
 *   - <entity>:
 *       errno: <rc>
 *       seq_no: <seq_no>
 *       descr: <err_str without its surrounding double quotes>
 *
 * Later outcomes of the same command are appended to its sequence. Does
 * nothing when root is NULL; an allocation failure leaves *root as it was.
 */
void cYAML_build_error(int rc, int seq_no, const char *cmd, const char *entity,
                       const char *err_str, struct cYAML **root);

#ifdef __cplusplus
}
#endif

#endif /* CYAML_CYAML_H */
