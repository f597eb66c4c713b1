/* Tokenizer, bounded numbers and numeric expression lists. */
#include <libkfx/util/string.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace
{

struct range {
	unsigned lo, hi, stride;
	bool operator==(const range &) const = default;
};

/* Parses text and returns its ranges; rc receives the result. */
std::vector<range> parse(const std::string &text, unsigned min, unsigned max,
                         int *rc)
{
	kfx_expr_list *list = nullptr;
	*rc = kfx_expr_list_parse(text.data(), text.size(), min, max, &list);
	std::vector<range> out;
	if (*rc != 0) {
		EXPECT_EQ(list, nullptr) << "untouched on failure";
		return out;
	}
	EXPECT_EQ(list->el_link.next, nullptr);
	list_head *pos;
	list_for_each(pos, &list->el_exprs)
	{
		auto *e = list_entry(pos, kfx_range_expr, re_link);
		out.push_back({e->re_lo, e->re_hi, e->re_stride});
	}
	kfx_expr_list_free(list);
	return out;
}

std::vector<range> parse_ok(const std::string &text, unsigned min, unsigned max)
{
	int rc;
	auto r = parse(text, min, max, &rc);
	EXPECT_EQ(rc, 0) << text;
	return r;
}

int parse_rc(const std::string &text, unsigned min, unsigned max)
{
	int rc;
	parse(text, min, max, &rc);
	return rc;
}

TEST(Tokenizer, TokensDelimitersAndTheEnd)
{
	char text[] = "  a b , c,,d ,";
	kfx_lstr next = {text, (int)strlen(text)};
	kfx_lstr tok;
	ASSERT_EQ(kfx_gettok(&next, ',', &tok), 1);
	EXPECT_EQ(std::string(tok.ls_str, tok.ls_len), "a b");
	ASSERT_EQ(kfx_gettok(&next, ',', &tok), 1);
	EXPECT_EQ(std::string(tok.ls_str, tok.ls_len), "c");
	EXPECT_EQ(kfx_gettok(&next, ',', &tok), 0) << "empty token";
	EXPECT_EQ(*next.ls_str, ',') << "not consumed";

	/* a final delimiter leaves a non-NULL empty piece */
	char tail[] = "x,";
	next = {tail, 2};
	ASSERT_EQ(kfx_gettok(&next, ',', &tok), 1);
	EXPECT_NE(next.ls_str, nullptr);
	EXPECT_EQ(next.ls_len, 0);
	EXPECT_EQ(kfx_gettok(&next, ',', &tok), 0);

	/* the last token without a delimiter ends the piece */
	char last[] = "y  ";
	next = {last, 3};
	ASSERT_EQ(kfx_gettok(&next, ',', &tok), 1);
	EXPECT_EQ(tok.ls_len, 1);
	EXPECT_EQ(next.ls_str, nullptr);
	EXPECT_EQ(next.ls_len, 0);
	EXPECT_EQ(kfx_gettok(&next, ',', &tok), 0);
}

TEST(BoundedNumber, BasesBoundsAndPieces)
{
	unsigned n;
	EXPECT_EQ(kfx_str2num_check("0x10", 4, &n, 0, 255), 1);
	EXPECT_EQ(n, 16U);
	EXPECT_EQ(kfx_str2num_check("020", 3, &n, 0, 255), 1);
	EXPECT_EQ(n, 16U);
	EXPECT_EQ(kfx_str2num_check(" 16  ", 5, &n, 0, 255), 1);
	EXPECT_EQ(kfx_str2num_check("256", 3, &n, 0, 255), 0);
	EXPECT_EQ(n, 256U) << "stored even when out of bounds";
	EXPECT_EQ(kfx_str2num_check("12x", 3, &n, 0, 255), 0);
	EXPECT_EQ(kfx_str2num_check("1 2", 3, &n, 0, 255), 0);
	EXPECT_EQ(kfx_str2num_check("", 0, &n, 0, 255), 0);
	EXPECT_EQ(kfx_str2num_check("   ", 3, &n, 0, 255), 0);

	/* only the counted piece is read: "12" of "12345" */
	EXPECT_EQ(kfx_str2num_check("12345", 2, &n, 0, 100), 1);
	EXPECT_EQ(n, 12U);

	/* numbers beyond 32 bits are refused, not cut */
	EXPECT_EQ(kfx_str2num_check("4294967296", 10, &n, 0, UINT32_MAX), 0);
	EXPECT_EQ(kfx_str2num_check("4294967301", 10, &n, 0, 10), 0);
	EXPECT_EQ(kfx_str2num_check("-1", 2, &n, 0, UINT32_MAX), 0);
	EXPECT_EQ(kfx_str2num_check("4294967295", 10, &n, 0, UINT32_MAX), 1);
}

TEST(ExprList, TokenForms)
{
	EXPECT_EQ(parse_ok("5", 0, 10), (std::vector<range>{{5, 5, 1}}));
	EXPECT_EQ(parse_ok("[5]", 0, 10), (std::vector<range>{{5, 5, 1}}));
	EXPECT_EQ(parse_rc("5-7", 0, 10), -EINVAL);
	EXPECT_EQ(parse_ok("[5-7]", 0, 10), (std::vector<range>{{5, 7, 1}}));
	EXPECT_EQ(parse_ok("*", 2, 9), (std::vector<range>{{2, 9, 1}}));
	EXPECT_EQ(parse_rc(" *", 2, 9), -EINVAL);
	EXPECT_EQ(parse_ok("[ * ]", 2, 9), (std::vector<range>{{2, 9, 1}}));
	EXPECT_EQ(parse_ok("[0x10, 020 ,16]", 0, 255),
	          (std::vector<range>{{16, 16, 1}, {16, 16, 1}, {16, 16, 1}}));
	EXPECT_EQ(parse_ok("[1,3-5,8-20/4]", 0, 100),
	          (std::vector<range>{{1, 1, 1}, {3, 5, 1}, {8, 20, 4}}));
	EXPECT_EQ(parse_ok("[ 8 - 20 / 4 ]", 0, 100),
	          (std::vector<range>{{8, 20, 4}}));
	EXPECT_EQ(parse_ok("[9-1]", 0, 10), (std::vector<range>{{9, 1, 1}}));
}

TEST(ExprList, RefusedTexts)
{
	for (const char *text :
	     {"[]",       "[1,]",    "[,1]",  "[1,,2]", "[1-]",
	      "[1-5/]",   "[1-5/x]", "[-5]",  "11",     "[1-11]",
	      "[1-5/11]", "[1-5/0]", "[1",    "1]",     "",
	      "[ ]",      "[1-2-3]", "[1/2]", "x",      "[4294967296]"})
		EXPECT_EQ(parse_rc(text, 0, 10), -EINVAL) << text;
	EXPECT_EQ(parse_rc("[1-5/0]", 0, 10), -EINVAL) << "zero stride";
}

std::string print(kfx_expr_list *list, int count = 256)
{
	std::vector<char> buf(count + 1, '#');
	int n = kfx_expr_list_print(buf.data(), count, list);
	return std::string(buf.data(), n);
}

kfx_expr_list *must_parse(const std::string &text, unsigned min = 0,
                          unsigned max = 1000)
{
	kfx_expr_list *list = nullptr;
	EXPECT_EQ(
	        kfx_expr_list_parse(text.data(), text.size(), min, max, &list),
	        0)
	        << text;
	return list;
}

TEST(ExprList, PrintedForms)
{
	for (auto [text, printed] :
	     std::vector<std::pair<std::string, std::string>>{
	             {"5", "5"},
	             {"[1-5]", "[1-5]"},
	             {"[1-9/4]", "[1-9/4]"},
	             {"[1,3-5]", "[1,3-5]"},
	             {"[ 7 ]", "7"},
	             {"[1,3-5,8-20/4]", "[1,3-5,8-20/4]"},
	             {"*", "[0-1000]"}}) {
		kfx_expr_list *list = must_parse(text);
		EXPECT_EQ(print(list), printed);
		kfx_expr_list_free(list);
	}

	kfx_expr_list empty;
	INIT_LIST_HEAD(&empty.el_exprs);
	char buf[4] = "xyz";
	EXPECT_EQ(kfx_expr_list_print(buf, sizeof(buf), &empty), 0);
	EXPECT_STREQ(buf, "xyz") << "untouched";
}

TEST(ExprList, PrintNeverWritesPastCount)
{
	kfx_expr_list *list = must_parse("[1,3-5,8-20/4,100-200]");
	const std::string full = "[1,3-5,8-20/4,100-200]";
	for (int count = 0; count < (int)full.size() + 3; count++) {
		std::vector<char> buf(count + 8, '#');
		int n = kfx_expr_list_print(buf.data(), count, list);
		for (size_t i = count; i < buf.size(); i++)
			ASSERT_EQ(buf[i], '#') << "count " << count;
		if (count == 0) {
			EXPECT_EQ(n, 0);
			continue;
		}
		EXPECT_LE(n, count - 1);
		EXPECT_EQ(buf[n], '\0') << "count " << count;
		EXPECT_EQ(std::string(buf.data(), n), full.substr(0, n));
	}
	kfx_expr_list_free(list);
}

TEST(ExprList, MatchAndValues)
{
	kfx_expr_list *list = must_parse("[1-9/4]");
	__u32 *values = nullptr;
	ASSERT_EQ(kfx_expr_list_values(list, 10, &values), 3);
	EXPECT_EQ(values[0], 1U);
	EXPECT_EQ(values[1], 5U);
	EXPECT_EQ(values[2], 9U);
	kfx_expr_list_values_free(values, 3);
	EXPECT_EQ(kfx_expr_list_match(5, list), 1);
	EXPECT_EQ(kfx_expr_list_match(6, list), 0);
	EXPECT_EQ(kfx_expr_list_match(13, list), 0);
	kfx_expr_list_free(list);

	list = must_parse("[9-1]");
	values = reinterpret_cast<__u32 *>(0x1);
	EXPECT_EQ(kfx_expr_list_values(list, 10, &values), 0);
	EXPECT_EQ(values, reinterpret_cast<__u32 *>(0x1)) << "untouched";
	EXPECT_EQ(kfx_expr_list_match(5, list), 0);
	kfx_expr_list_free(list);

	list = must_parse("[1-3]");
	EXPECT_EQ(kfx_expr_list_values(list, 2, &values), -EINVAL);
	ASSERT_EQ(kfx_expr_list_values(list, 3, &values), 3);
	EXPECT_EQ(values[2], 3U);
	kfx_expr_list_values_free(values, 3);
	kfx_expr_list_free(list);

	/* the top of the range is reached and the walk stops there */
	list = must_parse("[4294967293-4294967295]", 0, UINT32_MAX);
	ASSERT_EQ(kfx_expr_list_values(list, 10, &values), 3);
	EXPECT_EQ(values[2], 4294967295U);
	kfx_expr_list_values_free(values, 3);
	EXPECT_EQ(kfx_expr_list_match(4294967295U, list), 1);
	kfx_expr_list_free(list);

	/* overlapping ranges keep their duplicates */
	list = must_parse("[1-2,2]");
	ASSERT_EQ(kfx_expr_list_values(list, 10, &values), 3);
	EXPECT_EQ(values[2], 2U);
	kfx_expr_list_values_free(values, 3);
	kfx_expr_list_free(list);
}

TEST(ExprList, ChainedListsAreFreedTogether)
{
	list_head chain;
	INIT_LIST_HEAD(&chain);
	for (const char *text : {"1", "[2-3]", "*"}) {
		kfx_expr_list *list = must_parse(text);
		list_add_tail(&list->el_link, &chain);
	}
	kfx_expr_list_free_list(&chain);
	EXPECT_TRUE(list_empty(&chain));
}

/* A random list text with elements inside [0, 500]. */
std::string random_list(std::mt19937 &rng)
{
	std::uniform_int_distribution<int> n(0, 500), kind(0, 3), len(1, 5);
	int elements = len(rng);
	if (elements == 1 && kind(rng) == 0)
		return std::to_string(n(rng));
	std::string text = "[";
	for (int i = 0; i < elements; i++) {
		if (i)
			text += ",";
		int lo = n(rng), hi = n(rng);
		switch (kind(rng)) {
		case 0:
			text += std::to_string(lo);
			break;
		case 1:
			text += std::to_string(lo) + "-" + std::to_string(hi);
			break;
		case 2:
			text += std::to_string(lo) + "-" + std::to_string(hi) +
			        "/" + std::to_string(1 + n(rng) % 37);
			break;
		default:
			text += "*";
		}
	}
	return text + "]";
}

TEST(ExprList, RoundTripAndMatchAgreeWithValues)
{
	std::mt19937 rng(42);
	for (int round = 0; round < 300; round++) {
		std::string text = random_list(rng);
		SCOPED_TRACE(text);
		kfx_expr_list *list = must_parse(text, 0, 500);
		ASSERT_NE(list, nullptr);
		std::string printed = print(list, 4096);
		kfx_expr_list *again = must_parse(printed, 0, 500);
		ASSERT_NE(again, nullptr);

		__u32 *a = nullptr, *b = nullptr;
		int na = kfx_expr_list_values(list, 1 << 20, &a);
		int nb = kfx_expr_list_values(again, 1 << 20, &b);
		ASSERT_EQ(na, nb);
		std::vector<bool> member(501, false);
		for (int i = 0; i < na; i++) {
			ASSERT_EQ(a[i], b[i]);
			member[a[i]] = true;
		}
		for (unsigned v = 0; v <= 501; v++)
			ASSERT_EQ(kfx_expr_list_match(v, list),
			          v <= 500 && member[v] ? 1 : 0)
			        << v;
		if (na > 0) {
			kfx_expr_list_values_free(a, na);
			kfx_expr_list_values_free(b, nb);
		}
		kfx_expr_list_free(list);
		kfx_expr_list_free(again);
	}
}

} // namespace
