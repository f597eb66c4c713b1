/* Internals shared by the units of the YAML tree component. */
#ifndef VARN_CYAML_INTERNAL_H
#define VARN_CYAML_INTERNAL_H

#include <cyaml/cyaml.h>

#include <cstdint>
#include <string_view>

#define CYAML_EXPORT __attribute__((visibility("default")))

namespace cyaml
{

/* Deepest nesting a tree may have when it is read or printed; deeper input
 * is refused rather than risking the stack. */
constexpr int max_depth = 512;

/* What a plain (unquoted) scalar means. */
struct Scalar {
	cYAML_object_type type;
	int64_t valueint = 0;
	double valuedouble = 0;
};
Scalar resolve_plain(std::string_view text);

/* A new node with a copy of key; NULL when out of memory. */
cYAML *new_node(cYAML_object_type type, const char *key);
/* Links child as the last child of parent. */
void append_child(cYAML *parent, cYAML *child);
/* Takes node out of parent's children. */
void unlink_child(cYAML *parent, cYAML *node);

} // namespace cyaml

#endif
