/* Trees as YAML: the nodes become libyaml emitter events, so whatever is
 * printed reads back (with libyaml or any YAML 1.1 reader) as the same
 * tree. */
#include "cyaml_internal.h"

#include <zv/c_boundary.h>

#include <yaml.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace cyaml
{
namespace
{

bool is_alpha(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

/* Words older YAML readers take for booleans. */
bool bool_word(std::string_view s)
{
	static const char *const words[] = {"y", "n", "yes", "no", "on", "off"};
	for (const char *w : words)
		if (s.size() == strlen(w) &&
		    strncasecmp(s.data(), w, s.size()) == 0)
			return true;
	return false;
}

/* A text goes out plain only when no reader could take it for anything but
 * a string; everything else is double-quoted. */
yaml_scalar_style_t string_style(std::string_view s)
{
	if (!s.empty() && is_alpha(s[0]) && !bool_word(s) &&
	    resolve_plain(s).type == CYAML_TYPE_STRING)
		return YAML_ANY_SCALAR_STYLE;
	return YAML_DOUBLE_QUOTED_SCALAR_STYLE;
}

std::string number_text(const cYAML *n)
{
	double d = n->cy_valuedouble;
	if (std::isnan(d))
		return ".nan";
	if (std::isinf(d))
		return d < 0 ? "-.inf" : ".inf";
	if (d == static_cast<double>(n->cy_valueint) && std::fabs(d) < 9.2e18)
		return std::to_string(n->cy_valueint);
	char buf[64];
	snprintf(buf, sizeof(buf), "%.15g", d);
	if (strtod(buf, nullptr) != d)
		snprintf(buf, sizeof(buf), "%.17g", d);
	std::string s = buf;
	/* a float always shows a dot, as YAML 1.1 readers need one */
	if (s.find_first_of(".") == std::string::npos) {
		size_t e = s.find_first_of("eE");
		s.insert(e == std::string::npos ? s.size() : e, ".0");
	}
	return s;
}

class Printer
{
      public:
	Printer()
	{
		ok_ = yaml_emitter_initialize(&em_) != 0;
		if (ok_) {
			yaml_emitter_set_output(&em_, write_out, &out_);
			yaml_emitter_set_unicode(&em_, 1);
			yaml_emitter_set_indent(&em_, 2);
			yaml_emitter_set_width(&em_, -1);
		}
	}
	~Printer()
	{
		if (ok_)
			yaml_emitter_delete(&em_);
	}
	int print(const cYAML *root);
	std::string out_;

      private:
	static int write_out(void *data, unsigned char *buf, size_t size)
	{
		int rc = zv::c_boundary(ENOMEM, [&] {
			static_cast<std::string *>(data)->append(
			        reinterpret_cast<char *>(buf), size);
			return 1;
		});
		return rc == 1 ? 1 : 0;
	}
	bool emit(yaml_event_t *ev)
	{
		return yaml_emitter_emit(&em_, ev) != 0;
	}
	bool scalar(std::string_view text, yaml_scalar_style_t style);
	bool text_scalar(const char *s)
	{
		std::string_view v = s != nullptr ? s : "";
		return scalar(v, string_style(v));
	}
	bool node(const cYAML *n, int depth);
	bool value(const cYAML *n, int depth);

	yaml_emitter_t em_{};
	bool ok_ = false;
};

bool Printer::scalar(std::string_view text, yaml_scalar_style_t style)
{
	yaml_event_t ev;
	auto *value = reinterpret_cast<yaml_char_t *>(
	        const_cast<char *>(text.data()));
	/* Texts may go out plain or quoted, whichever the emitter can do;
	 * numbers and the like only plain, so they never turn into text. */
	int plain = style != YAML_DOUBLE_QUOTED_SCALAR_STYLE;
	int quoted = style != YAML_PLAIN_SCALAR_STYLE;
	if (!yaml_scalar_event_initialize(&ev, nullptr, nullptr, value,
	                                  static_cast<int>(text.size()), plain,
	                                  quoted, style))
		return false;
	return emit(&ev);
}

/* The value of one node: a collection or a scalar. */
bool Printer::value(const cYAML *n, int depth)
{
	if (depth > max_depth)
		return false;
	yaml_event_t ev;
	switch (n->cy_type) {
	case CYAML_TYPE_OBJECT:
		if (!yaml_mapping_start_event_initialize(
		            &ev, nullptr, nullptr, 1,
		            YAML_BLOCK_MAPPING_STYLE) ||
		    !emit(&ev))
			return false;
		for (const cYAML *c = n->cy_child; c != nullptr;
		     c = c->cy_next) {
			if (!text_scalar(c->cy_string) || !value(c, depth + 1))
				return false;
		}
		return yaml_mapping_end_event_initialize(&ev) && emit(&ev);
	case CYAML_TYPE_ARRAY:
		if (!yaml_sequence_start_event_initialize(
		            &ev, nullptr, nullptr, 1,
		            YAML_BLOCK_SEQUENCE_STYLE) ||
		    !emit(&ev))
			return false;
		for (const cYAML *c = n->cy_child; c != nullptr; c = c->cy_next)
			if (!node(c, depth + 1))
				return false;
		return yaml_sequence_end_event_initialize(&ev) && emit(&ev);
	case CYAML_TYPE_STRING:
		return text_scalar(n->cy_valuestring);
	case CYAML_TYPE_NUMBER:
		return scalar(number_text(n), YAML_PLAIN_SCALAR_STYLE);
	case CYAML_TYPE_TRUE:
		return scalar("true", YAML_PLAIN_SCALAR_STYLE);
	case CYAML_TYPE_FALSE:
		return scalar("false", YAML_PLAIN_SCALAR_STYLE);
	case CYAML_TYPE_NULL:
	default:
		return scalar("null", YAML_PLAIN_SCALAR_STYLE);
	}
}

/* A node where no key is expected (the root, a sequence item): one with a
 * key anyway becomes a mapping of that one key. */
bool Printer::node(const cYAML *n, int depth)
{
	if (n->cy_string == nullptr)
		return value(n, depth);
	yaml_event_t ev;
	return yaml_mapping_start_event_initialize(&ev, nullptr, nullptr, 1,
	                                           YAML_BLOCK_MAPPING_STYLE) &&
	       emit(&ev) && text_scalar(n->cy_string) && value(n, depth + 1) &&
	       yaml_mapping_end_event_initialize(&ev) && emit(&ev);
}

int Printer::print(const cYAML *root)
{
	if (!ok_)
		return -ENOMEM;
	yaml_event_t ev;
	bool ok = yaml_stream_start_event_initialize(&ev, YAML_UTF8_ENCODING) &&
	          emit(&ev) &&
	          yaml_document_start_event_initialize(&ev, nullptr, nullptr,
	                                               nullptr, 1) &&
	          emit(&ev) && node(root, 0) &&
	          yaml_document_end_event_initialize(&ev, 1) && emit(&ev) &&
	          yaml_stream_end_event_initialize(&ev) && emit(&ev) &&
	          yaml_emitter_flush(&em_);
	if (ok)
		return 0;
	return em_.error == YAML_MEMORY_ERROR ? -ENOMEM : -EINVAL;
}

int dump(const cYAML *node, std::string &out)
{
	if (node == nullptr)
		return -EINVAL;
	return zv::c_boundary(EINVAL, [&] {
		Printer p;
		int rc = p.print(node);
		if (rc == 0)
			out = std::move(p.out_);
		return rc;
	});
}

} // namespace
} // namespace cyaml

CYAML_EXPORT int cYAML_dump(cYAML *node, char **text)
{
	if (text == nullptr)
		return -EINVAL;
	std::string out;
	int rc = cyaml::dump(node, out);
	if (rc < 0)
		return rc;
	char *copy = static_cast<char *>(malloc(out.size() + 1));
	if (copy == nullptr)
		return -ENOMEM;
	memcpy(copy, out.data(), out.size() + 1);
	*text = copy;
	return 0;
}

CYAML_EXPORT int cYAML_print_tree2file(FILE *f, cYAML *node)
{
	if (f == nullptr)
		return -EINVAL;
	std::string out;
	int rc = cyaml::dump(node, out);
	if (rc < 0)
		return rc;
	if (fwrite(out.data(), 1, out.size(), f) != out.size() || fflush(f))
		return -EIO;
	return 0;
}

CYAML_EXPORT int cYAML_print_tree(cYAML *node)
{
	return cYAML_print_tree2file(stdout, node);
}
