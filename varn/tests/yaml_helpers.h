// Readers of YAML trees and error trees for the tests.
#pragma once

#include <cyaml/cyaml.h>

#include <cstdlib>
#include <ostream>
#include <string>

namespace varntest
{

// YAML text of a tree ("" for none).
inline std::string dump(cYAML *tree)
{
	if (tree == nullptr)
		return "";
	char *text = nullptr;
	if (cYAML_dump(tree, &text) != 0)
		return "<dump failed>";
	std::string out = text;
	free(text);
	return out;
}

// One outcome filed by a command.
struct Outcome {
	std::string cmd;
	long long rc = 0;
	std::string text;
	bool operator==(const Outcome &o) const
	{
		return cmd == o.cmd && rc == o.rc && text == o.text;
	}
};

inline std::ostream &operator<<(std::ostream &os, const Outcome &o)
{
	return os << "{" << o.cmd << ", " << o.rc << ", \"" << o.text << "\"}";
}

// The last outcome in an error tree (the last item of its last command).
inline Outcome last_outcome_of(cYAML *err)
{
	Outcome o;
	if (err == nullptr || err->cy_child == nullptr)
		return o;
	cYAML *cmd = err->cy_child;
	while (cmd->cy_next)
		cmd = cmd->cy_next;
	o.cmd = cmd->cy_string ? cmd->cy_string : "";
	cYAML *item = cmd->cy_child;
	if (item == nullptr)
		return o;
	while (item->cy_next)
		item = item->cy_next;
	cYAML *ent = item->cy_child;
	if (ent == nullptr)
		return o;
	if (cYAML *rc = cYAML_get_object_item(ent, "rc"))
		o.rc = rc->cy_valueint;
	if (cYAML *d = cYAML_get_object_item(ent, "descr"))
		o.text = d->cy_valuestring ? d->cy_valuestring : "";
	return o;
}

} // namespace varntest
