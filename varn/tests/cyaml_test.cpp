// The YAML tree component: trees built by hand and from text, printed and
// read back (by libyaml and by an independent reader), the error tree.
#include "yaml_helpers.h"

#include "zvtest/files.h"
#include "zvtest/run.h"

#include <cyaml/cyaml.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>

using varntest::dump;

namespace
{

cYAML *build(const std::string &text, cYAML **err = nullptr)
{
	return cYAML_build_tree(nullptr, text.data(), text.size(), err);
}

// Shape of a tree as text: types, keys and values, for comparisons.
void shape(cYAML *n, std::string &out)
{
	out += "(" + std::to_string(n->cy_type);
	if (n->cy_string)
		out += std::string(" k=") + n->cy_string;
	if (n->cy_type == CYAML_TYPE_STRING)
		out += std::string(" s=") + n->cy_valuestring;
	if (n->cy_type == CYAML_TYPE_NUMBER) {
		char buf[64];
		snprintf(buf, sizeof(buf), " n=%lld/%.17g",
		         static_cast<long long>(n->cy_valueint),
		         n->cy_valuedouble);
		out += buf;
	}
	for (cYAML *c = n->cy_child; c; c = c->cy_next)
		shape(c, out);
	out += ")";
}

std::string shape(cYAML *n)
{
	std::string out;
	if (n)
		shape(n, out);
	return out;
}

// A tree that holds every kind of node and texts that need quoting.
cYAML *sample()
{
	cYAML *root = cYAML_create_object(nullptr, nullptr);
	cYAML *seq = cYAML_create_seq(root, "udsp");
	cYAML *item = cYAML_create_seq_item(seq);
	cYAML_create_number(item, "idx", 0);
	cYAML_create_string(item, "src", "192.168.1.[1-3]@tcp");
	cYAML_create_string(item, "dst", "NA");
	cYAML_create_string(item, "yes", "no");
	cYAML_create_string(item, "num", "12");
	cYAML_create_string(item, "colon", "a: b # c");
	cYAML_create_string(item, "empty", "");
	cYAML_create_string(item, "null", "null");
	cYAML_create_string(item, "lines", "one\ntwo\t\"q\"");
	cYAML_create_number(item, "neg", -42);
	cYAML_create_number(item, "half", 0.5);
	cYAML_create_number(item, "big", 1e20);
	cYAML_create_bool(item, "on", true);
	cYAML_create_bool(item, "off", false);
	cYAML_create_object(item, "nothing");
	cYAML_create_seq(item, "none");
	cYAML_create_seq_item(seq);
	return root;
}

TEST(CyamlTree, CreatedNodesAreLinkedInOrder)
{
	cYAML *root = cYAML_create_object(nullptr, nullptr);
	cYAML *a = cYAML_create_number(root, "a", 3.7);
	cYAML *b = cYAML_create_string(root, "b", "x");
	EXPECT_EQ(root->cy_child, a);
	EXPECT_EQ(a->cy_next, b);
	EXPECT_EQ(b->cy_prev, a);
	EXPECT_EQ(a->cy_valueint, 3);
	EXPECT_EQ(a->cy_valuedouble, 3.7);
	EXPECT_EQ(cYAML_get_object_item(root, "b"), b);
	EXPECT_EQ(cYAML_get_object_item(root, "c"), nullptr);
	EXPECT_FALSE(cYAML_is_sequence(root));
	EXPECT_EQ(cYAML_create_seq_item(nullptr), nullptr);
	cYAML_free_tree(root);
}

TEST(CyamlTree, InsertChildAndSiblingMoveWholeChains)
{
	cYAML *seq = cYAML_create_seq(nullptr, "s");
	cYAML_create_seq_item(seq);
	cYAML *other = cYAML_create_seq(nullptr, "t");
	cYAML *i1 = cYAML_create_seq_item(other);
	cYAML *i2 = cYAML_create_seq_item(other);
	cYAML_insert_child(seq, i1);
	other->cy_child = nullptr;
	EXPECT_EQ(seq->cy_child->cy_next, i1);
	EXPECT_EQ(i1->cy_next, i2);
	EXPECT_EQ(i1->cy_prev, seq->cy_child);

	cYAML *root = build("a: 1\nb: 2\n");
	cYAML *x = cYAML_create_string(nullptr, "c", "3");
	cYAML_insert_sibling(root->cy_child, x);
	EXPECT_EQ(dump(root), "a: 1\nb: 2\nc: \"3\"\n");
	cYAML_free_tree(root);
	cYAML_free_tree(seq);
	cYAML_free_tree(other);
}

TEST(CyamlPrint, PrintedTreesReadBackTheSame)
{
	cYAML *root = sample();
	std::string text = dump(root);
	cYAML *back = build(text);
	ASSERT_NE(back, nullptr) << text;
	EXPECT_EQ(shape(back), shape(root)) << text;
	EXPECT_EQ(dump(back), text);
	cYAML_free_tree(back);
	cYAML_free_tree(root);
}

TEST(CyamlPrint, IndependentReaderSeesTheSameTree)
{
	cYAML *root = sample();
	std::string text = dump(root);
	cYAML_free_tree(root);
	zvtest::temp_dir tmp;
	std::string path = tmp.path() + "/tree.yaml";
	zvtest::write_file(path, text);
	// The reader prints what it understood as JSON-like Python values.
	std::string got;
	int status = -1;
	// the build's python first, then the system's (python3-yaml)
	for (const char *python : {PYTHON3, "/usr/bin/python3"}) {
		zvtest::run_result r = zvtest::run_program(
		        {python, "-c",
		         "import sys, yaml; "
		         "print(repr(yaml.safe_load(open(sys.argv[1]))))",
		         path});
		got = r.out;
		status = r.status;
		if (status == 0)
			break;
	}
	if (status != 0)
		GTEST_SKIP() << "python3 with its yaml module is not available";
	EXPECT_EQ(got, "{'udsp': [{'idx': 0, 'src': '192.168.1.[1-3]@tcp', "
	               "'dst': 'NA', 'yes': 'no', 'num': '12', 'colon': "
	               "'a: b # c', 'empty': '', 'null': 'null', 'lines': "
	               "'one\\ntwo\\t\"q\"', 'neg': -42, 'half': 0.5, 'big': "
	               "1e+20, 'on': True, 'off': False, 'nothing': {}, "
	               "'none': []}, {}]}\n");
}

TEST(CyamlBuild, ScalarsResolveToTheirTypes)
{
	cYAML *t = build("a: 12\nb: -3.5e2\nc: '12'\nd: true\ne: ~\nf: "
	                 "text\ng: 0x1f\nh: 99999999999999999999\n"
	                 "i: !!str 7\nj: .inf\n");
	ASSERT_NE(t, nullptr);
	auto type = [&](const char *k) {
		return cYAML_get_object_item(t, k)->cy_type;
	};
	EXPECT_EQ(type("a"), CYAML_TYPE_NUMBER);
	EXPECT_EQ(cYAML_get_object_item(t, "a")->cy_valueint, 12);
	EXPECT_EQ(cYAML_get_object_item(t, "b")->cy_valuedouble, -350.0);
	EXPECT_EQ(type("c"), CYAML_TYPE_STRING);
	EXPECT_EQ(type("d"), CYAML_TYPE_TRUE);
	EXPECT_EQ(type("e"), CYAML_TYPE_NULL);
	EXPECT_EQ(type("f"), CYAML_TYPE_STRING);
	EXPECT_EQ(cYAML_get_object_item(t, "g")->cy_valueint, 31);
	EXPECT_EQ(cYAML_get_object_item(t, "h")->cy_valueint, INT64_MAX);
	EXPECT_EQ(type("i"), CYAML_TYPE_STRING);
	EXPECT_TRUE(std::isinf(cYAML_get_object_item(t, "j")->cy_valuedouble));
	cYAML_free_tree(t);
}

TEST(CyamlBuild, BadYamlNamesLineAndColumn)
{
	cYAML *err = nullptr;
	EXPECT_EQ(build("a: 1\nb: [1, 2\nc: 3\n", &err), nullptr);
	varntest::Outcome o = varntest::last_outcome_of(err);
	EXPECT_EQ(o.cmd, "yaml");
	EXPECT_EQ(o.rc, -EINVAL);
	EXPECT_NE(o.text.find("YAML text: line 3, column 2"), std::string::npos)
	        << o.text;
	cYAML_free_tree(err);

	err = nullptr;
	EXPECT_EQ(build("a: 1\n  b: 2\n", &err), nullptr);
	EXPECT_NE(varntest::last_outcome_of(err).text.find("line 2"),
	          std::string::npos);
	cYAML_free_tree(err);
}

TEST(CyamlBuild, RefusedConstructsGiveTheirPosition)
{
	struct {
		const char *text;
		const char *why;
	} cases[] = {
	        {"a: &x 1\nb: *x\n", "line 2, column 4: aliases"},
	        {"a: 1\n---\nb: 2\n", "line 2, column 1: only one document"},
	        {"? [1]\n: 2\n", "a key must be a plain value"},
	};
	for (auto &c : cases) {
		cYAML *err = nullptr;
		EXPECT_EQ(build(c.text, &err), nullptr) << c.text;
		EXPECT_NE(varntest::last_outcome_of(err).text.find(c.why),
		          std::string::npos)
		        << varntest::last_outcome_of(err).text;
		cYAML_free_tree(err);
	}
	std::string deep(2000, '[');
	cYAML *err = nullptr;
	EXPECT_EQ(build(deep, &err), nullptr);
	cYAML_free_tree(err);
	std::string nul("a: \"x\\0y\"\n");
	EXPECT_EQ(build(nul), nullptr);
}

TEST(CyamlBuild, FilesAndEmptyDocuments)
{
	zvtest::temp_dir tmp;
	std::string path = tmp.path() + "/net.yaml";
	const char text[] = "net:\n- net type: tcp\n";
	zvtest::write_file(path, text);
	cYAML *t = cYAML_build_tree(path.c_str(), nullptr, 0, nullptr);
	ASSERT_NE(t, nullptr);
	EXPECT_EQ(dump(t), text);
	cYAML_free_tree(t);
	unlink(path.c_str());

	cYAML *err = nullptr;
	EXPECT_EQ(cYAML_build_tree(path.c_str(), nullptr, 0, &err), nullptr);
	EXPECT_EQ(varntest::last_outcome_of(err).rc, -ENOENT);
	cYAML_free_tree(err);

	cYAML *empty = build("");
	ASSERT_NE(empty, nullptr);
	EXPECT_EQ(empty->cy_type, CYAML_TYPE_OBJECT);
	EXPECT_EQ(empty->cy_child, nullptr);
	EXPECT_EQ(dump(empty), "{}\n");
	cYAML_free_tree(empty);
}

TEST(CyamlError, OutcomesAreFiledPerCommand)
{
	cYAML *err = nullptr;
	cYAML_build_error(0, 1, "add", "udsp", "\"success\"", &err);
	cYAML_build_error(-4, 2, "show", "udsp", "\"out of memory\"", &err);
	cYAML_build_error(5, 3, "add", "udsp", "unquoted", &err);
	EXPECT_EQ(dump(err), "add:\n"
	                     "- udsp:\n"
	                     "    rc: 0\n"
	                     "    seq_no: 1\n"
	                     "    descr: success\n"
	                     "- udsp:\n"
	                     "    rc: 5\n"
	                     "    seq_no: 3\n"
	                     "    descr: unquoted\n"
	                     "show:\n"
	                     "- udsp:\n"
	                     "    rc: -4\n"
	                     "    seq_no: 2\n"
	                     "    descr: out of memory\n");
	cYAML_free_tree(err);
	cYAML_build_error(0, 0, "add", "udsp", "x", nullptr); // nowhere to go
}

TEST(CyamlFree, DeepTreesAreReleasedWithoutRecursion)
{
	cYAML *root = cYAML_create_object(nullptr, nullptr);
	cYAML *n = root;
	for (int i = 0; i < 200000; i++)
		n = cYAML_create_object(n, "k");
	cYAML_free_tree(root);
	cYAML_free_tree(nullptr);
}

} // namespace
