/* The JSON list writer: the lines it writes, byte for byte, and each of
 * them read back by a real JSON parser. */
#include "zvtest/alloc_sweep.h"
#include "zvtest/fds.h"
#include "zvtest/files.h"
#include "zvtest/run.h"

#include <zorvel/zorvelapi.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace
{

using zvtest::stderr_of;

/* A list owned for the length of a test. */
class List
{
      public:
	List()
	{
		EXPECT_EQ(zvapi_json_init_list(&list_), 0);
	}
	~List()
	{
		if (list_)
			zvapi_json_destroy_list(&list_);
	}
	zvapi_json_item_list **ptr()
	{
		return &list_;
	}
	int add_int(const char *key, int v)
	{
		return zvapi_json_add_item(&list_, const_cast<char *>(key),
		                           ZVAPI_JSON_INTEGER, &v);
	}
	int add_u64(const char *key, uint64_t v)
	{
		return zvapi_json_add_item(&list_, const_cast<char *>(key),
		                           ZVAPI_JSON_BIGNUM, &v);
	}
	int add_real(const char *key, double v)
	{
		return zvapi_json_add_item(&list_, const_cast<char *>(key),
		                           ZVAPI_JSON_REAL, &v);
	}
	int add_str(const char *key, const char *v)
	{
		return zvapi_json_add_item(&list_, const_cast<char *>(key),
		                           ZVAPI_JSON_STRING,
		                           const_cast<char *>(v));
	}
	/* What write_list puts on a stream. */
	std::string written(int *rc = nullptr)
	{
		char *buf = nullptr;
		size_t len = 0;
		FILE *f = open_memstream(&buf, &len);
		int r = zvapi_json_write_list(&list_, f);
		fclose(f);
		if (rc)
			*rc = r;
		std::string out(buf, len);
		free(buf);
		return out;
	}

      private:
	zvapi_json_item_list *list_ = nullptr;
};

/* Every line given parsed by Python's json module (strict: no raw control
 * characters); returns what it says about each, one line each. */
std::string python_reads(const std::vector<std::string> &lines)
{
	zvtest::temp_dir dir;
	std::string all;
	for (const auto &l : lines)
		all += l;
	zvtest::write_file(dir.path() + "/lines", all);
	auto r = zvtest::run_shell(
	        "python3 -c 'import json,sys\n"
	        "for l in open(sys.argv[1], encoding=\"utf-8\"):\n"
	        "  o = json.loads(l)\n"
	        "  print(json.dumps(o, sort_keys=True))' " +
	        zvtest::shell_quote(dir.path() + "/lines") + " 2>&1");
	EXPECT_EQ(r.status, 0) << r.out;
	return r.out;
}

TEST(Json, EmptyListIsBraces)
{
	List l;
	EXPECT_EQ(l.written(), "{}\n");
}

TEST(Json, NewestItemFirstWithTheDocumentedFormats)
{
	List l;
	ASSERT_EQ(l.add_int("a", 1), 0);
	ASSERT_EQ(l.add_str("b", "x"), 0);
	EXPECT_EQ(l.written(), "{\"b\": \"x\", \"a\": 1}\n");

	List n;
	ASSERT_EQ(n.add_real("r", 1.5), 0);
	ASSERT_EQ(n.add_u64("u", UINT64_MAX), 0);
	ASSERT_EQ(n.add_int("i", -7), 0);
	ASSERT_EQ(n.add_real("z", -0.0000001), 0);
	EXPECT_EQ(n.written(),
	          "{\"z\": -0.000000, \"i\": -7, "
	          "\"u\": 18446744073709551615, \"r\": 1.500000}\n");
	EXPECT_EQ(n.written(), n.written())
	        << "writing leaves the list as it is";
}

TEST(Json, StringsAreEscaped)
{
	List l;
	ASSERT_EQ(l.add_str("s", "q\"b\\n\n\b\f\r\t"), 0);
	EXPECT_EQ(l.written(), "{\"s\": \"q\\\"b\\\\n\\n\\b\\f\\r\\t\"}\n");

	char *out = nullptr;
	ASSERT_EQ(zvapi_json_escape_string(&out, const_cast<char *>("")), 0);
	EXPECT_STREQ(out, "");
	free(out);
	ASSERT_EQ(zvapi_json_escape_string(
	                  &out, const_cast<char *>("a\"\\\x01\x1f\xc3\xa9")),
	          0);
	EXPECT_STREQ(out, "a\\\"\\\\\\u0001\\u001f\xc3\xa9")
	        << "bytes above 0x7f are copied";
	free(out);
}

/* The three ways older writers produced invalid JSON. */
TEST(Json, KeysControlCharactersAndNonFiniteRealsStayValid)
{
	List l;
	ASSERT_EQ(l.add_str("k\"ey\n", "v"), 0);
	ASSERT_EQ(l.add_str("ctl", "\x01\x02\x7f\x1b"), 0);
	ASSERT_EQ(l.add_real("nan", NAN), 0);
	ASSERT_EQ(l.add_real("inf", -INFINITY), 0);
	std::string line = l.written();
	EXPECT_EQ(line, "{\"inf\": null, \"nan\": null, "
	                "\"ctl\": \"\\u0001\\u0002\x7f\\u001b\", "
	                "\"k\\\"ey\\n\": \"v\"}\n");
	EXPECT_EQ(python_reads({line}),
	          "{\"ctl\": \"\\u0001\\u0002\\u007f\\u001b\", \"inf\": null, "
	          "\"k\\\"ey\\n\": \"v\", \"nan\": null}\n");
}

TEST(Json, EveryLineParses)
{
	std::vector<std::string> lines;
	std::string all_bytes;
	for (int c = 1; c < 0x80; c++)
		all_bytes += static_cast<char>(c);
	const char *texts[] = {"",       "plain",          "\"",
	                       "\\",     "\\\"",           "tab\there",
	                       "é ü 漢", all_bytes.c_str()};
	for (const char *t : texts) {
		List l;
		ASSERT_EQ(l.add_str(t, t), 0);
		ASSERT_EQ(l.add_int(t, INT32_MIN), 0);
		ASSERT_EQ(l.add_real("big", 1e300), 0);
		ASSERT_EQ(l.add_real("small", -1e-300), 0);
		lines.push_back(l.written());
	}
	std::string out = python_reads(lines);
	EXPECT_EQ(std::count(out.begin(), out.end(), '\n'),
	          static_cast<long>(lines.size()));
}

TEST(Json, BadArguments)
{
	zvapi_json_item_list *none = nullptr;
	int v = 1;
	EXPECT_EQ(zvapi_json_init_list(nullptr), -EINVAL);
	EXPECT_EQ(zvapi_json_add_item(nullptr, const_cast<char *>("k"),
	                              ZVAPI_JSON_INTEGER, &v),
	          -EINVAL);
	EXPECT_EQ(zvapi_json_add_item(&none, const_cast<char *>("k"),
	                              ZVAPI_JSON_INTEGER, &v),
	          -EINVAL);
	EXPECT_EQ(zvapi_json_write_list(&none, stdout), -EINVAL);
	EXPECT_EQ(zvapi_json_destroy_list(&none), -EINVAL);
	EXPECT_EQ(zvapi_json_destroy_list(nullptr), -EINVAL);

	List l;
	EXPECT_EQ(zvapi_json_add_item(l.ptr(), const_cast<char *>("k"),
	                              ZVAPI_JSON_INTEGER, nullptr),
	          -EINVAL);
	EXPECT_EQ(zvapi_json_add_item(l.ptr(), nullptr, ZVAPI_JSON_INTEGER, &v),
	          -EINVAL);
	EXPECT_EQ(zvapi_json_write_list(l.ptr(), nullptr), -EINVAL);
	for (uint32_t type : {0u, 5u}) {
		std::string err = stderr_of([&] {
			EXPECT_EQ(zvapi_json_add_item(l.ptr(),
			                              const_cast<char *>("k"),
			                              type, &v),
			          -EINVAL);
		});
		EXPECT_NE(
		        err.find("Unknown JSON type: " + std::to_string(type)),
		        std::string::npos)
		        << err;
	}
	EXPECT_EQ(l.written(), "{}\n") << "a refused item leaves no trace";
}

TEST(Json, DestroyEmptiesThePointer)
{
	zvapi_json_item_list *list = nullptr;
	ASSERT_EQ(zvapi_json_init_list(&list), 0);
	int v = 3;
	ASSERT_EQ(zvapi_json_add_item(&list, const_cast<char *>("s"),
	                              ZVAPI_JSON_STRING,
	                              const_cast<char *>("text")),
	          0);
	ASSERT_EQ(zvapi_json_add_item(&list, const_cast<char *>("i"),
	                              ZVAPI_JSON_INTEGER, &v),
	          0);
	EXPECT_EQ(zvapi_json_destroy_list(&list), 0);
	EXPECT_EQ(list, nullptr);
	EXPECT_EQ(zvapi_json_destroy_list(&list), -EINVAL);
}

/* The list copies what it is given. */
TEST(Json, CallerBuffersMayBeReused)
{
	List l;
	char key[] = "key", val[] = "val";
	ASSERT_EQ(l.add_str(key, val), 0);
	key[0] = val[0] = 'X';
	EXPECT_EQ(l.written(), "{\"key\": \"val\"}\n");
}

/* A chain shorter than its count (a list built by hand): reported, the
 * object still closed and valid. */
TEST(Json, ShortChainIsReported)
{
	List l;
	ASSERT_EQ(l.add_int("a", 1), 0);
	ASSERT_EQ(l.add_int("b", 2), 0);
	(*l.ptr())->zjil_item_count = 3;
	std::string line;
	std::string err = stderr_of([&] { line = l.written(); });
	EXPECT_EQ(line, "{\"b\": 2, \"a\": 1}\n");
	EXPECT_NE(err.find("3 json items but 2 is NULL!"), std::string::npos)
	        << err;
	err = stderr_of(
	        [&] { EXPECT_EQ(zvapi_json_destroy_list(l.ptr()), -EINVAL); });
	EXPECT_NE(err.find("3 json items but 2 is NULL!"), std::string::npos);
	EXPECT_EQ((*l.ptr())->zjil_item_count, 1) << "freed items left it";
	EXPECT_EQ((*l.ptr())->zjil_items, nullptr);
	(*l.ptr())->zjil_item_count = 0;
}

/* The line a plain writer gives: printf's formats, each byte of a text
 * escaped on its own. */
std::string reference_text(const std::string &t)
{
	std::string out = "\"";
	for (unsigned char c : t) {
		const char *esc = nullptr;
		switch (c) {
		case '\b':
			esc = "\\b";
			break;
		case '\f':
			esc = "\\f";
			break;
		case '\n':
			esc = "\\n";
			break;
		case '\r':
			esc = "\\r";
			break;
		case '\t':
			esc = "\\t";
			break;
		case '"':
			esc = "\\\"";
			break;
		case '\\':
			esc = "\\\\";
			break;
		}
		char u[8];
		if (esc)
			out += esc;
		else if (c < 0x20)
			out += (snprintf(u, sizeof(u), "\\u%04x", c), u);
		else
			out += char(c);
	}
	return out + "\"";
}

/* Random lists (texts of every byte, short and past any buffer, integers,
 * 64-bit counts, reals of every magnitude, exact ties at the sixth decimal,
 * non-finite ones) written as the reference writes them, byte for byte;
 * also after a caller replaced an item's key and text with its own. */
/* A text a caller put in an item's place may end at the last byte before
 * an unreadable page: the scan for escapes reads nothing past it. Every
 * length up to 40 ends there, so every alignment is tried. */
TEST(Json, TextsEndingAtAPageEdgeAreReadNoFurther)
{
	long page = sysconf(_SC_PAGESIZE);
	char *two = static_cast<char *>(
	        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE,
	             MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
	ASSERT_NE(two, MAP_FAILED);
	ASSERT_EQ(mprotect(two + page, page, PROT_NONE), 0);
	for (size_t len = 0; len <= 40; len++) {
		std::string text(len, 'a');
		if (len > 3)
			text[len / 2] = '"';
		char *at = two + page - len - 1;
		memcpy(at, text.c_str(), len + 1);
		List l;
		ASSERT_EQ(l.add_str("k", "v"), 0);
		zvapi_json_item *item = (*l.ptr())->zjil_items;
		char *own_key = item->zji_key, *own_text = item->zji_string;
		item->zji_key = at;
		item->zji_string = at;
		std::string quoted = reference_text(text);
		EXPECT_EQ(l.written(), "{" + quoted + ": " + quoted + "}\n")
		        << len;
		item->zji_key = own_key;
		item->zji_string = own_text;
	}
	munmap(two, 2 * page);
}

TEST(Json, RandomListsAsAPlainWriterWritesThem)
{
	std::mt19937_64 rng(20261210);
	auto text = [&] {
		size_t n = rng() % 8 == 0 ? rng() % 3000 : rng() % 24;
		std::string t;
		for (size_t i = 0; i < n; i++)
			t += char(1 + rng() % 255);
		return t;
	};
	for (int round = 0; round < 400; round++) {
		List l;
		std::vector<std::string> parts, values;
		int items = int(rng() % 9);
		for (int i = 0; i < items; i++) {
			std::string key = text(),
			            part = reference_text(key) + ": ";
			char num[400];
			std::string value;
			switch (rng() % 4) {
			case 0: {
				int v = int(rng());
				ASSERT_EQ(l.add_int(key.c_str(), v), 0);
				snprintf(num, sizeof(num), "%d", v);
				break;
			}
			case 1: {
				uint64_t v = rng();
				ASSERT_EQ(l.add_u64(key.c_str(), v), 0);
				snprintf(num, sizeof(num), "%llu",
				         (unsigned long long)v);
				break;
			}
			case 2: {
				uint64_t bits = rng();
				double v;
				if (rng() % 2)
					memcpy(&v, &bits, sizeof(v));
				else
					v = std::ldexp(
					        double(int(bits % 2001) - 1000),
					        -int(bits % 40));
				ASSERT_EQ(l.add_real(key.c_str(), v), 0);
				if (std::isfinite(v))
					snprintf(num, sizeof(num), "%f", v);
				else
					snprintf(num, sizeof(num), "null");
				break;
			}
			default: {
				std::string v = text();
				ASSERT_EQ(l.add_str(key.c_str(), v.c_str()), 0);
				value = reference_text(v);
				break;
			}
			}
			if (value.empty())
				value = num;
			parts.insert(parts.begin(), part + value);
			values.insert(values.begin(), value);
		}
		if (items > 0 && rng() % 4 == 0) {
			/* The item owns what a caller put in its place. */
			zvapi_json_item *first = (*l.ptr())->zjil_items;
			first->zji_key = strdup("own");
			std::string head = reference_text("own") + ": ";
			std::string rest = values[0];
			if (first->zji_type == ZVAPI_JSON_STRING) {
				first->zji_string = strdup("text");
				rest = reference_text("text");
			}
			parts[0] = head + rest;
		}
		std::string want = "{";
		for (size_t i = 0; i < parts.size(); i++)
			want += (i ? ", " : "") + parts[i];
		ASSERT_EQ(l.written(), want + "}\n") << "round " << round;
	}
}

TEST(Json, AllocationFailuresLoseNothing)
{
	zvtest::each_allocation_fails("libzorvelapi", [] {
		zvapi_json_item_list *list = nullptr;
		int rc = zvapi_json_init_list(&list);
		if (rc < 0)
			return rc;
		rc = zvapi_json_add_item(&list, const_cast<char *>("k"),
		                         ZVAPI_JSON_STRING,
		                         const_cast<char *>("v"));
		if (rc == 0) {
			char *buf = nullptr;
			size_t len = 0;
			FILE *f = open_memstream(&buf, &len);
			zvapi_json_write_list(&list, f);
			fclose(f);
			EXPECT_EQ(std::string(buf, len), "{\"k\": \"v\"}\n");
			free(buf);
		} else {
			EXPECT_EQ(list->zjil_item_count, 0);
		}
		zvapi_json_destroy_list(&list);
		return rc;
	});
}

} // namespace
