/* FIDs in the tests of the client library: a path's, as the library gives
 * it, its text, and comparison. */
#ifndef ZORVEL_TESTS_FID_WORDS_H
#define ZORVEL_TESTS_FID_WORDS_H

#include <zorvel/zorvelapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

inline bool operator==(const zo_fid &a, const zo_fid &b)
{
	return a.f_seq == b.f_seq && a.f_oid == b.f_oid && a.f_ver == b.f_ver;
}

namespace fidtest
{

/* The FID of path through zvapi_path2fid, which must succeed. */
inline zo_fid fid_of(const std::string &path)
{
	zo_fid fid{};
	EXPECT_EQ(zvapi_path2fid(path.c_str(), &fid), 0) << path;
	return fid;
}

inline std::string fid_text(const zo_fid &fid)
{
	char buf[ZO_FID_FMT_LEN];
	snprintf(buf, sizeof(buf), ZO_FID_FMT, ZO_FID_ARGS(&fid));
	return buf;
}

} // namespace fidtest

#endif
