/* Change-log record remapping against records built independently here,
 * for every combination of present and wanted extensions. */
#include "zorvelapi_internal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace
{

/* The content of a record, independent of any layout. */
struct logical {
	bool rename, jobid, extra;
	unsigned cref;       /* extension bits present, with extra */
	uint64_t extra_high; /* bits of the extra word beyond the four */
	std::string name;
};

/* Bytes of one extension's content: a pattern per extension. */
std::string content(int which, size_t size)
{
	std::string s(size, '\0');
	for (size_t i = 0; i < size; i++)
		s[i] = char(0x10 * (which + 1) + (i % 13));
	return s;
}

void put(std::string &out, const void *p, size_t n)
{
	out.append(static_cast<const char *>(p), n);
}

/*
 * The record in layout (crf, cref): the header, then each extension of
 * that layout in order, from the content when present there, else zeros.
 */
std::string serialize(const logical &l, unsigned crf, unsigned cref)
{
	std::string out;
	changelog_rec hdr = {};
	hdr.cr_namelen = l.name.size();
	hdr.cr_flags = 0x0123 | crf;
	hdr.cr_type = CL_RENAME;
	hdr.cr_index = 77;
	hdr.cr_prev = 76;
	hdr.cr_time = 0x1122334455667788ULL;
	hdr.cr_tfid = {0x200000400ULL, 5, 0};
	hdr.cr_pfid = {0x200000400ULL, 6, 0};
	put(out, &hdr, sizeof(hdr));

	auto ext = [&](bool wanted, bool present, int which, size_t size) {
		if (!wanted)
			return;
		out += present ? content(which, size) : std::string(size, '\0');
	};
	ext(crf & CLF_RENAME, l.rename, 0, 32);
	ext(crf & CLF_JOBID, l.jobid, 1, 32);
	if (crf & CLF_EXTRA_FLAGS) {
		uint64_t word = (l.extra ? l.extra_high : 0) | cref;
		put(out, &word, 8);
		bool have = l.extra;
		ext(cref & CLFE_UIDGID, have && (l.cref & CLFE_UIDGID), 2, 16);
		ext(cref & CLFE_NID, have && (l.cref & CLFE_NID), 3, 24);
		ext(cref & CLFE_OPEN, have && (l.cref & CLFE_OPEN), 4, 4);
		ext(cref & CLFE_XATTR, have && (l.cref & CLFE_XATTR), 5, 256);
	}
	out += l.name;
	return out;
}

struct shape {
	unsigned crf, cref;
};

std::vector<shape> all_shapes()
{
	std::vector<shape> shapes;
	for (unsigned r = 0; r < 2; r++)
		for (unsigned j = 0; j < 2; j++) {
			unsigned crf = CLF_VERSION | (r ? CLF_RENAME : 0) |
			               (j ? CLF_JOBID : 0);
			shapes.push_back({crf, 0});
			for (unsigned cref = 0; cref < 16; cref++)
				shapes.push_back({crf | CLF_EXTRA_FLAGS, cref});
		}
	return shapes;
}

TEST(ChlgRemap, EveryPresentAndWantedCombination)
{
	int checked = 0;
	for (const shape &have : all_shapes()) {
		logical l;
		l.rename = have.crf & CLF_RENAME;
		l.jobid = have.crf & CLF_JOBID;
		l.extra = have.crf & CLF_EXTRA_FLAGS;
		l.cref = have.cref;
		l.extra_high = 0xAB00;
		l.name = "name-" + std::to_string(checked % 97);
		std::string in = serialize(l, have.crf, have.cref);

		for (const shape &want : all_shapes()) {
			std::vector<char> rec(CHLG_REC_MAXSIZE, '\x5c');
			memcpy(rec.data(), in.data(), in.size());
			auto *r = reinterpret_cast<changelog_rec *>(rec.data());
			changelog_remap_rec(
			        r,
			        static_cast<enum changelog_rec_flags>(want.crf),
			        static_cast<enum changelog_rec_extra_flags>(
			                want.cref));

			std::string expect = serialize(l, want.crf, want.cref);
			SCOPED_TRACE(testing::Message()
			             << std::hex << "have " << have.crf << "/"
			             << have.cref << " want " << want.crf << "/"
			             << want.cref);
			ASSERT_EQ(changelog_rec_size(r), expect.size());
			ASSERT_EQ(std::string(rec.data(), expect.size()),
			          expect);
			ASSERT_EQ(std::string(changelog_rec_name(r),
			                      r->cr_namelen),
			          l.name);
			checked++;
		}
	}
	EXPECT_EQ(checked, 68 * 68);
}

TEST(ChlgRemap, WantedLayoutIsLeftByteForByte)
{
	logical l{true, false, true, CLFE_NID | CLFE_XATTR, 0xF0F0, "x"};
	unsigned crf = CLF_VERSION | CLF_RENAME | CLF_EXTRA_FLAGS;
	std::string in = serialize(l, crf, l.cref);
	std::vector<char> rec(CHLG_REC_MAXSIZE, '\x5c');
	memcpy(rec.data(), in.data(), in.size());
	changelog_remap_rec(
	        reinterpret_cast<changelog_rec *>(rec.data()),
	        static_cast<enum changelog_rec_flags>(crf),
	        static_cast<enum changelog_rec_extra_flags>(l.cref));
	EXPECT_EQ(std::string(rec.data(), in.size()), in);
	EXPECT_EQ(rec[in.size()], '\x5c') << "nothing written past it";
}

/* A record whose remapped form would not fit the record buffer cannot be
 * built there: it is left as it is, and nothing is written past it. */
TEST(ChlgRemap, ResultTooLargeForTheBufferIsLeftAlone)
{
	logical l{false, false, false, 0, 0, std::string(860, 'n')};
	unsigned crf = CLF_VERSION;
	std::string in = serialize(l, crf, 0);
	ASSERT_LE(in.size(), size_t(CHLG_REC_MAXSIZE));
	std::vector<char> rec(CHLG_REC_MAXSIZE + 64, '\x5c');
	memcpy(rec.data(), in.data(), in.size());
	changelog_remap_rec(
	        reinterpret_cast<changelog_rec *>(rec.data()),
	        static_cast<enum changelog_rec_flags>(
	                CLF_VERSION | CLF_RENAME | CLF_JOBID | CLF_EXTRA_FLAGS),
	        static_cast<enum changelog_rec_extra_flags>(CLFE_SUPPORTED));
	EXPECT_EQ(std::string(rec.data(), in.size()), in);
	EXPECT_EQ(std::string(rec.data() + in.size(), rec.size() - in.size()),
	          std::string(rec.size() - in.size(), '\x5c'));
}

TEST(ChlgRemap, AccessorsFindEachPart)
{
	logical l{true, true, true, CLFE_SUPPORTED, 0, "accessor"};
	unsigned crf = CLF_VERSION | CLF_RENAME | CLF_JOBID | CLF_EXTRA_FLAGS;
	std::string in = serialize(l, crf, CLFE_SUPPORTED);
	EXPECT_EQ(in.size(), size_t(CHANGELOG_REC_MAXHDR) + 8);
	const auto *r = reinterpret_cast<const changelog_rec *>(in.data());
	const char *base = in.data();
	EXPECT_EQ((const char *)changelog_rec_rename(r) - base, 64);
	EXPECT_EQ((const char *)changelog_rec_jobid(r) - base, 96);
	EXPECT_EQ((const char *)changelog_rec_extra_flags(r) - base, 128);
	EXPECT_EQ((const char *)changelog_rec_uidgid(r) - base, 136);
	EXPECT_EQ((const char *)changelog_rec_nid(r) - base, 152);
	EXPECT_EQ((const char *)changelog_rec_openmode(r) - base, 176);
	EXPECT_EQ((const char *)changelog_rec_xattr(r) - base, 180);
	EXPECT_EQ(changelog_rec_name(r) - base, 436);
	EXPECT_EQ(memcmp(changelog_rec_nid(r), content(3, 24).data(), 24), 0);
}

} // namespace
