/* Advice through the simulated kernel client: what the caller gets back
 * and what the kernel received. */
#include "open_file.h"
#include "zvtest/alloc_sweep.h"
#include "zvtest/fds.h"

#include <zorvel/zorvelapi.h>
#include <zvsim/zvsim.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

using zvtest::stderr_of;

class Ladvise : public open_file_fixture
{
      protected:
	static zvapi_zo_ladvise entry(uint16_t type, uint64_t start,
	                              uint64_t end, uint32_t v3 = 0)
	{
		zvapi_zo_ladvise e = {};
		e.zla_advice = type;
		e.zla_start = start;
		e.zla_end = end;
		e.zla_value3 = v3;
		return e;
	}
};

TEST_F(Ladvise, OneRequestForTheBatch)
{
	zvapi_zo_ladvise adv[] = {entry(ZO_LADVISE_WILLREAD, 0, 4096, 77),
	                          entry(ZO_LADVISE_LOCKAHEAD, 4096, 8192, 0)};
	adv[0].zla_value1 = 5;
	adv[1].zla_value4 = 9;
	ASSERT_EQ(zvapi_ladvise(fd_, 0x7, 2, adv), 0);
	EXPECT_EQ(adv[1].zla_value3, (uint32_t)ZVSIM_LOCKAHEAD_GRANTED);
	EXPECT_EQ(adv[0].zla_value3, 77u);

	auto reqs = requests();
	ASSERT_EQ(reqs.size(), 1u);
	EXPECT_EQ(reqs[0].code, ZV_IOC_LADVISE);
	EXPECT_EQ(reqs[0].size, 32u) << "the code encodes the header alone";
	ASSERT_EQ(reqs[0].bytes.size(), 96u);
	zvapi_ladvise_hdr hdr;
	memcpy(&hdr, reqs[0].bytes.data(), sizeof hdr);
	EXPECT_EQ(hdr.zah_magic, 0x1ADF1CE0u);
	EXPECT_EQ(hdr.zah_count, 2u);
	EXPECT_EQ(hdr.zah_flags, 0x3u) << "flags 0x7 arrive as 0x3";
	EXPECT_EQ(hdr.zah_value1 | hdr.zah_value2 | hdr.zah_value3, 0u);
	EXPECT_EQ(memcmp(reqs[0].bytes.data() + 32, adv, 32), 0)
	        << "entries copied as the caller gave them";
}

/* Only lock-ahead entries take the kernel's zla_value3. */
TEST_F(Ladvise, OnlyLockAheadResultsComeBack)
{
	zvapi_zo_ladvise adv[] = {entry(ZO_LADVISE_WILLREAD, 0, 1, 11),
	                          entry(ZO_LADVISE_LOCKAHEAD, 0, 1, 12)};
	std::vector<char> reply(32 + sizeof adv);
	memcpy(reply.data() + 32, adv, sizeof adv);
	auto *r = reinterpret_cast<zvapi_zo_ladvise *>(reply.data() + 32);
	r[0].zla_value3 = 1000;
	r[0].zla_start = 555;
	r[1].zla_value3 = 2000;
	r[1].zla_end = 555;
	ASSERT_EQ(zvsim_inject_reply(ZV_IOC_LADVISE, reply.data(), reply.size(),
	                             0),
	          0);
	ASSERT_EQ(zvapi_ladvise(fd_, 0, 2, adv), 0);
	EXPECT_EQ(adv[0].zla_value3, 11u);
	EXPECT_EQ(adv[0].zla_start, 0u);
	EXPECT_EQ(adv[1].zla_value3, 2000u);
	EXPECT_EQ(adv[1].zla_end, 1u);
}

TEST_F(Ladvise, TheLargestRequest)
{
	std::vector<zvapi_zo_ladvise> adv(1023,
	                                  entry(ZO_LADVISE_LOCKAHEAD, 0, 100));
	ASSERT_EQ(zvapi_ladvise(fd_, LF_ASYNC, 1023, adv.data()), 0);
	for (const auto &a : adv) {
		EXPECT_EQ(a.zla_value3, (uint32_t)ZVSIM_LOCKAHEAD_GRANTED);
	}
	auto reqs = requests();
	ASSERT_EQ(reqs.size(), 1u);
	EXPECT_EQ(reqs[0].bytes.size(), 32768u);
}

TEST_F(Ladvise, Failures)
{
	zvapi_zo_ladvise adv[2] = {entry(ZO_LADVISE_DONTNEED, 0, 1, 3),
	                           entry(ZO_LADVISE_LOCKAHEAD, 0, 1, 4)};
	for (int n : {0, 1024, -1}) {
		errno = 0;
		std::string err = stderr_of(
		        [&] { EXPECT_EQ(zvapi_ladvise(fd_, 0, n, adv), -1); });
		EXPECT_EQ(errno, EINVAL);
		EXPECT_NE(err.find("bad advice number " + std::to_string(n)),
		          std::string::npos)
		        << err;
	}
	EXPECT_TRUE(requests().empty()) << "nothing sent";

	adv[0].zla_advice = 9;
	errno = 0;
	std::string err = stderr_of(
	        [&] { EXPECT_EQ(zvapi_ladvise(fd_, 0, 2, adv), -1); });
	EXPECT_EQ(errno, EINVAL) << "the kernel refused the type";
	EXPECT_NE(err.find("cannot give advice"), std::string::npos) << err;
	EXPECT_EQ(adv[1].zla_value3, 4u) << "entries unchanged";

	adv[0].zla_advice = ZO_LADVISE_WILLREAD;
	ASSERT_EQ(zvsim_inject_errno(ZV_IOC_LADVISE, ENOLCK, 0), 0);
	errno = 0;
	stderr_of([&] { EXPECT_EQ(zvapi_ladvise(fd_, 0, 2, adv), -1); });
	EXPECT_EQ(errno, ENOLCK);
	EXPECT_EQ(adv[1].zla_value3, 4u);

	errno = 0;
	int rc = 0;
	zvtest::each_allocation_fails("libzorvelapi", [&] {
		int err = 0;
		stderr_of([&] {
			rc = zvapi_ladvise(fd_, 0, 2, adv);
			err = errno;
		});
		errno = err;
		return rc;
	});
}

} // namespace
