/* FID text parsing, including a comparison with an independent reference
 * over generated texts. */
#include <zorvel/zorvelapi.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <random>
#include <string>

namespace
{

constexpr zo_fid sentinel = {0x5555, 0x6666, 0x7777};

struct parsed {
	int rc;
	int err;
	zo_fid fid;
	long end; /* offset of *endptr in the text */
};

parsed parse(const std::string &text)
{
	parsed p{};
	p.fid = sentinel;
	char *end = nullptr;
	errno = 12345;
	p.rc = zvapi_fid_parse(text.c_str(), &p.fid, &end);
	p.err = errno;
	p.end = end - text.c_str();
	return p;
}

TEST(FidParse, BracketedAndBareForms)
{
	std::string text = "[0x200000400:0x2:0x0]";
	parsed p = parse(text);
	EXPECT_EQ(p.rc, 0);
	EXPECT_EQ(p.err, 0);
	EXPECT_EQ(p.fid.f_seq, 0x200000400ULL);
	EXPECT_EQ(p.fid.f_oid, 2U);
	EXPECT_EQ(p.fid.f_ver, 0U);
	EXPECT_EQ(p.end, (long)text.size());

	p = parse("0x200000400:0x2:0x0");
	EXPECT_EQ(p.rc, 0);
	EXPECT_EQ(p.fid.f_seq, 0x200000400ULL);
	EXPECT_EQ(p.end, 19);

	/* blanks and repeated brackets are skipped; one ']' is consumed */
	p = parse("  [[0x1:2:3]]tail");
	EXPECT_EQ(p.rc, 0);
	EXPECT_EQ(p.fid.f_seq, 1U);
	EXPECT_EQ(p.fid.f_oid, 2U);
	EXPECT_EQ(p.fid.f_ver, 3U);
	EXPECT_EQ(p.end, 12);

	/* a closing bracket is not consumed without an opening one */
	p = parse("1:2:3]");
	EXPECT_EQ(p.rc, 0);
	EXPECT_EQ(p.end, 5);
}

TEST(FidParse, FieldBases)
{
	parsed p = parse("[010:0x10:10]");
	EXPECT_EQ(p.rc, 0);
	EXPECT_EQ(p.fid.f_seq, 8U);
	EXPECT_EQ(p.fid.f_oid, 16U);
	EXPECT_EQ(p.fid.f_ver, 10U);

	/* fields without digits read as zero */
	p = parse("[:1:2]");
	EXPECT_EQ(p.rc, 0);
	EXPECT_EQ(p.fid.f_seq, 0U);

	p = parse("[1:2:x]");
	EXPECT_EQ(p.rc, 0);
	EXPECT_EQ(p.fid.f_ver, 0U);
	EXPECT_EQ(p.end, 5); /* at the x */
}

TEST(FidParse, SyntaxErrors)
{
	parsed p = parse("0x1:2");
	EXPECT_EQ(p.rc, -EINVAL);
	EXPECT_EQ(p.err, EINVAL);
	EXPECT_EQ(p.end, 5);        /* end of the last conversion */
	EXPECT_EQ(p.fid.f_seq, 1U); /* stored before the error */
	EXPECT_EQ(p.fid.f_oid, 2U);

	p = parse("[1;2;3]");
	EXPECT_EQ(p.rc, -EINVAL);
	EXPECT_EQ(p.end, 2);

	p = parse("");
	EXPECT_EQ(p.rc, -EINVAL);
}

TEST(FidParse, RangeErrorsLeaveTheFieldAndGoOn)
{
	parsed p = parse("[-1:0x2:0x3]");
	EXPECT_EQ(p.rc, -ERANGE);
	EXPECT_EQ(p.err, ERANGE);
	EXPECT_EQ(p.fid.f_seq, sentinel.f_seq);
	EXPECT_EQ(p.fid.f_oid, 2U);
	EXPECT_EQ(p.fid.f_ver, 3U);

	p = parse("[0x10000000000000000:1:1]");
	EXPECT_EQ(p.rc, -ERANGE);
	EXPECT_EQ(p.fid.f_seq, sentinel.f_seq);

	p = parse("[0xffffffffffffffff:1:1]");
	EXPECT_EQ(p.rc, -ERANGE);

	p = parse("[1:0x100000000:1]");
	EXPECT_EQ(p.rc, -ERANGE);
	EXPECT_EQ(p.fid.f_seq, 1U);
	EXPECT_EQ(p.fid.f_oid, sentinel.f_oid);
	EXPECT_EQ(p.fid.f_ver, 1U);

	p = parse("[1:1:0x100000000]");
	EXPECT_EQ(p.rc, -ERANGE);
	EXPECT_EQ(p.fid.f_ver, sentinel.f_ver);

	/* a later syntax error wins over an earlier range error */
	p = parse("[-1:2]");
	EXPECT_EQ(p.rc, -EINVAL);
	EXPECT_EQ(p.err, EINVAL);
}

TEST(FidParse, NullArguments)
{
	zo_fid fid;
	char *end = reinterpret_cast<char *>(1);
	errno = 0;
	EXPECT_EQ(zvapi_fid_parse(nullptr, &fid, &end), -EINVAL);
	EXPECT_EQ(errno, EINVAL);
	EXPECT_EQ(end, nullptr);

	const char *text = "[1:2:3]";
	EXPECT_EQ(zvapi_fid_parse(text, nullptr, &end), -EINVAL);
	EXPECT_EQ(end, text);

	EXPECT_EQ(zvapi_fid_parse(text, &fid, nullptr), 0);
	EXPECT_EQ(fid.f_ver, 3U);
}

/*
 * Reference: the three fields are read with strtoull in base 0, with the
 * limits of the FID fields; a field must be followed by ':' except the last.
 */
parsed reference(const std::string &text)
{
	parsed r{};
	r.fid = sentinel;
	const char *s = text.c_str();
	const char *p = s;
	while (*p && strchr(" \t\n\v\f\r", *p))
		p++;
	bool bracket = *p == '[';
	while (*p == '[')
		p++;
	const unsigned long long limits[3] = {ULLONG_MAX - 1, UINT32_MAX,
	                                      UINT32_MAX};
	int rc = 0;
	for (int i = 0; i < 3; i++) {
		char *end;
		unsigned long long value = strtoull(p, &end, 0);
		if (value > limits[i])
			rc = -ERANGE;
		else if (i == 0)
			r.fid.f_seq = value;
		else if (i == 1)
			r.fid.f_oid = value;
		else
			r.fid.f_ver = value;
		if (i < 2 && *end != ':') {
			r.rc = -EINVAL;
			r.err = EINVAL;
			r.end = end - s;
			return r;
		}
		p = i < 2 ? end + 1 : end;
	}
	if (bracket && *p == ']')
		p++;
	r.rc = rc;
	r.err = -rc;
	r.end = p - s;
	return r;
}

std::string random_field(std::mt19937 &rng)
{
	static const char *const pieces[] = {"0",
	                                     "1",
	                                     "42",
	                                     "0x2",
	                                     "0X1F",
	                                     "010",
	                                     "08",
	                                     "0x",
	                                     "",
	                                     "-1",
	                                     "-0x10",
	                                     "+7",
	                                     " 5",
	                                     "4294967295",
	                                     "4294967296",
	                                     "0xffffffff",
	                                     "0x100000000",
	                                     "18446744073709551614",
	                                     "18446744073709551615",
	                                     "18446744073709551616",
	                                     "0x200000400",
	                                     "99999999999999999999999",
	                                     "x",
	                                     "0xg"};
	std::uniform_int_distribution<size_t> pick(0, std::size(pieces) - 1);
	return pieces[pick(rng)];
}

TEST(FidParse, AgreesWithReferenceOnGeneratedTexts)
{
	std::mt19937 rng(20261208);
	std::uniform_int_distribution<int> coin(0, 9);
	for (int n = 0; n < 5000; n++) {
		std::string text;
		if (coin(rng) == 0)
			text += " \t";
		int brackets = coin(rng) < 7 ? 1 : coin(rng) % 3;
		text.append(brackets, '[');
		text += random_field(rng);
		text += coin(rng) == 0 ? ";" : ":";
		text += random_field(rng);
		if (coin(rng) != 0)
			text += ":";
		text += random_field(rng);
		if (coin(rng) < 8)
			text += "]";
		if (coin(rng) == 0)
			text += "junk";

		parsed got = parse(text);
		parsed want = reference(text);
		SCOPED_TRACE(text);
		ASSERT_EQ(got.rc, want.rc);
		ASSERT_EQ(got.err, want.err);
		ASSERT_EQ(got.end, want.end);
		ASSERT_EQ(got.fid.f_seq, want.fid.f_seq);
		ASSERT_EQ(got.fid.f_oid, want.fid.f_oid);
		ASSERT_EQ(got.fid.f_ver, want.fid.f_ver);
	}
}

} // namespace
