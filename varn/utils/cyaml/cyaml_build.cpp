/* Trees from YAML text: libyaml reads the text, events become nodes. */
#include "cyaml_internal.h"

#include <zv/c_boundary.h>
#include <zv/high_fd.h>
#include <zv/owners.h>

#include <yaml.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace cyaml
{
namespace
{

bool all_of(std::string_view s, size_t from, bool (*pred)(char))
{
	if (from >= s.size())
		return false;
	for (size_t i = from; i < s.size(); i++)
		if (!pred(s[i]))
			return false;
	return true;
}

bool is_digit(char c)
{
	return c >= '0' && c <= '9';
}

bool is_xdigit(char c)
{
	return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

/* [-+]?(\.[0-9]+|[0-9]+(\.[0-9]*)?)([eE][-+]?[0-9]+)? */
bool is_float(std::string_view s)
{
	size_t i = 0;
	if (i < s.size() && (s[i] == '-' || s[i] == '+'))
		i++;
	size_t int_digits = 0, frac_digits = 0;
	while (i < s.size() && is_digit(s[i])) {
		i++;
		int_digits++;
	}
	if (i < s.size() && s[i] == '.') {
		i++;
		while (i < s.size() && is_digit(s[i])) {
			i++;
			frac_digits++;
		}
	}
	if (int_digits + frac_digits == 0)
		return false;
	if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
		i++;
		if (i < s.size() && (s[i] == '-' || s[i] == '+'))
			i++;
		size_t exp_digits = 0;
		while (i < s.size() && is_digit(s[i])) {
			i++;
			exp_digits++;
		}
		if (exp_digits == 0)
			return false;
	}
	return i == s.size();
}

Scalar number(double d, int64_t i)
{
	Scalar s{CYAML_TYPE_NUMBER};
	s.valuedouble = d;
	s.valueint = i;
	return s;
}

} // namespace

Scalar resolve_plain(std::string_view t)
{
	if (t.empty() || t == "~" || t == "null" || t == "Null" || t == "NULL")
		return Scalar{CYAML_TYPE_NULL};
	if (t == "true" || t == "True" || t == "TRUE") {
		Scalar s{CYAML_TYPE_TRUE};
		s.valueint = 1;
		return s;
	}
	if (t == "false" || t == "False" || t == "FALSE")
		return Scalar{CYAML_TYPE_FALSE};

	std::string text(t);
	size_t sign = (t[0] == '-' || t[0] == '+') ? 1 : 0;
	if (all_of(t, sign, is_digit)) {
		errno = 0;
		long long v = strtoll(text.c_str(), nullptr, 10);
		if (errno == 0)
			return number(static_cast<double>(v), v);
		/* too large for 64 bits: kept as a float, clamped as int */
		double d = strtod(text.c_str(), nullptr);
		return number(d, d < 0 ? INT64_MIN : INT64_MAX);
	}
	if (sign == 0 && t.size() > 2 && t[0] == '0' &&
	    (t[1] == 'x' || t[1] == 'X') && all_of(t, 2, is_xdigit)) {
		errno = 0;
		unsigned long long v = strtoull(text.c_str(), nullptr, 16);
		if (errno == 0 && v <= INT64_MAX)
			return number(static_cast<double>(v),
			              static_cast<int64_t>(v));
	}
	if (is_float(t)) {
		double d = strtod(text.c_str(), nullptr);
		int64_t i = 0;
		if (!std::isnan(d))
			i = d >= 9223372036854775807.0 ? INT64_MAX
			    : d <= -9223372036854775808.0
			            ? INT64_MIN
			            : static_cast<int64_t>(d);
		return number(d, i);
	}
	std::string_view body = t.substr(sign);
	if (body == ".inf" || body == ".Inf" || body == ".INF")
		return number(t[0] == '-' ? -HUGE_VAL : HUGE_VAL,
		              t[0] == '-' ? INT64_MIN : INT64_MAX);
	if (sign == 0 && (t == ".nan" || t == ".NaN" || t == ".NAN"))
		return number(NAN, 0);
	return Scalar{CYAML_TYPE_STRING};
}

namespace
{

struct Frame {
	cYAML *node;
	char *key; /* a mapping's key waiting for its value */
};

class Builder
{
      public:
	~Builder()
	{
		for (auto &f : stack_)
			free(f.key);
		cYAML_free_tree(root_);
	}

	/* 0, or -errno with the reason in error (and position in mark). */
	int feed(const yaml_event_t &ev);
	cYAML *take()
	{
		cYAML *r = root_;
		root_ = nullptr;
		return r;
	}
	std::string error;
	yaml_mark_t mark{};

      private:
	int fail(int rc, const char *why, const yaml_event_t &ev)
	{
		error = why;
		mark = ev.start_mark;
		return rc;
	}
	int scalar(const yaml_event_t &ev);
	int open(const yaml_event_t &ev, cYAML_object_type type);
	int attach(cYAML *node);

	std::vector<Frame> stack_;
	cYAML *root_ = nullptr;
	int documents_ = 0;
};

int Builder::attach(cYAML *node)
{
	if (stack_.empty()) {
		if (root_ != nullptr) {
			cYAML_free_tree(node);
			return -EINVAL;
		}
		root_ = node;
		return 0;
	}
	Frame &top = stack_.back();
	append_child(top.node, node);
	free(top.key);
	top.key = nullptr;
	return 0;
}

int Builder::scalar(const yaml_event_t &ev)
{
	const auto &sc = ev.data.scalar;
	auto *value = reinterpret_cast<const char *>(sc.value);
	if (memchr(value, '\0', sc.length) != nullptr)
		return fail(-EINVAL, "NUL character in a scalar", ev);
	bool in_map = !stack_.empty() &&
	              stack_.back().node->cy_type == CYAML_TYPE_OBJECT;
	if (in_map && stack_.back().key == nullptr) {
		char *key = strndup(value, sc.length);
		if (key == nullptr)
			return fail(-ENOMEM, "out of memory", ev);
		stack_.back().key = key;
		return 0;
	}
	const char *key = in_map ? stack_.back().key : nullptr;
	std::string_view text(value, sc.length);
	bool plain = sc.style == YAML_PLAIN_SCALAR_STYLE &&
	             (sc.tag == nullptr ||
	              strcmp(reinterpret_cast<const char *>(sc.tag),
	                     YAML_STR_TAG) != 0);
	Scalar s = plain ? resolve_plain(text) : Scalar{CYAML_TYPE_STRING};
	cYAML *n = new_node(s.type, key);
	if (n == nullptr)
		return fail(-ENOMEM, "out of memory", ev);
	n->cy_valueint = s.valueint;
	n->cy_valuedouble = s.valuedouble;
	if (s.type == CYAML_TYPE_STRING) {
		n->cy_valuestring = strndup(value, sc.length);
		if (n->cy_valuestring == nullptr) {
			cYAML_free_tree(n);
			return fail(-ENOMEM, "out of memory", ev);
		}
	}
	if (attach(n) < 0)
		return fail(-EINVAL, "more than one root node", ev);
	return 0;
}

int Builder::open(const yaml_event_t &ev, cYAML_object_type type)
{
	bool in_map = !stack_.empty() &&
	              stack_.back().node->cy_type == CYAML_TYPE_OBJECT;
	if (in_map && stack_.back().key == nullptr)
		return fail(-EINVAL, "a key must be a plain value", ev);
	if (stack_.size() >= static_cast<size_t>(max_depth))
		return fail(-EINVAL, "nesting too deep", ev);
	cYAML *n = new_node(type, in_map ? stack_.back().key : nullptr);
	if (n == nullptr)
		return fail(-ENOMEM, "out of memory", ev);
	if (attach(n) < 0)
		return fail(-EINVAL, "more than one root node", ev);
	stack_.push_back({n, nullptr});
	return 0;
}

int Builder::feed(const yaml_event_t &ev)
{
	switch (ev.type) {
	case YAML_DOCUMENT_START_EVENT:
		if (++documents_ > 1)
			return fail(-EINVAL, "only one document is read", ev);
		return 0;
	case YAML_ALIAS_EVENT:
		return fail(-EINVAL, "aliases are not supported", ev);
	case YAML_SCALAR_EVENT:
		return scalar(ev);
	case YAML_SEQUENCE_START_EVENT:
		return open(ev, CYAML_TYPE_ARRAY);
	case YAML_MAPPING_START_EVENT:
		return open(ev, CYAML_TYPE_OBJECT);
	case YAML_SEQUENCE_END_EVENT:
	case YAML_MAPPING_END_EVENT:
		if (!stack_.empty()) {
			free(stack_.back().key);
			stack_.pop_back();
		}
		return 0;
	default:
		return 0;
	}
}

struct ParserDeleter {
	void operator()(yaml_parser_t *p) const
	{
		yaml_parser_delete(p);
		delete p;
	}
};

void report(cYAML **err_rc, int rc, const char *what)
{
	char text[256];
	int len = snprintf(text, sizeof(text), "\"%s\"", what);
	if (len >= int(sizeof(text))) /* cut, but still quoted */
		text[sizeof(text) - 2] = '"';
	cYAML_build_error(rc, -1, "yaml", "builder", text, err_rc);
}

void report_at(cYAML **err_rc, int rc, const char *source,
               const yaml_mark_t &mark, const char *problem,
               const char *context)
{
	char text[512];
	snprintf(text, sizeof(text), "\"%s: line %zu, column %zu: %s%s%s\"",
	         source, mark.line + 1, mark.column + 1,
	         problem ? problem : "bad YAML", context ? " " : "",
	         context ? context : "");
	cYAML_build_error(rc, -1, "yaml", "builder", text, err_rc);
}

cYAML *build(const char *path, const char *blk, size_t size, cYAML **err_rc)
{
	zv::unique_file file;
	if (path != nullptr) {
		file.reset(zv::high_stream(fopen(path, "re"), "re"));
		if (!file) {
			int err = errno;
			char what[512];
			snprintf(what, sizeof(what), "cannot open %s: %s", path,
			         strerror(err));
			report(err_rc, -err, what);
			return nullptr;
		}
	} else if (blk == nullptr && size != 0) {
		report(err_rc, -EINVAL, "no YAML text given");
		return nullptr;
	}
	const char *source = path != nullptr ? path : "YAML text";

	std::unique_ptr<yaml_parser_t, ParserDeleter> parser(new yaml_parser_t);
	if (!yaml_parser_initialize(parser.get())) {
		delete parser.release();
		report(err_rc, -ENOMEM, "out of memory");
		return nullptr;
	}
	if (file)
		yaml_parser_set_input_file(parser.get(), file.get());
	else
		yaml_parser_set_input_string(
		        parser.get(),
		        reinterpret_cast<const unsigned char *>(blk ? blk : ""),
		        size);

	Builder b;
	for (;;) {
		yaml_event_t ev;
		if (!yaml_parser_parse(parser.get(), &ev)) {
			int rc = parser->error == YAML_MEMORY_ERROR ? -ENOMEM
			                                            : -EINVAL;
			report_at(err_rc, rc, source, parser->problem_mark,
			          parser->problem, parser->context);
			return nullptr;
		}
		int rc = b.feed(ev);
		bool end = ev.type == YAML_STREAM_END_EVENT;
		yaml_event_delete(&ev);
		if (rc < 0) {
			report_at(err_rc, rc, source, b.mark, b.error.c_str(),
			          nullptr);
			return nullptr;
		}
		if (end)
			break;
	}
	cYAML *root = b.take();
	if (root == nullptr) {
		root = cYAML_create_object(nullptr, nullptr);
		if (root == nullptr)
			report(err_rc, -ENOMEM, "out of memory");
	}
	return root;
}

} // namespace
} // namespace cyaml

CYAML_EXPORT cYAML *cYAML_build_tree(const char *path, const char *yaml_blk,
                                     size_t size, cYAML **err_rc)
{
	cYAML *root = nullptr;
	zv::c_boundary(ENOMEM, [&] {
		root = cyaml::build(path, yaml_blk, size, err_rc);
		return 0;
	});
	return root;
}
