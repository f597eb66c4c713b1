/* Leases through the simulated kernel client: the records the kernel
 * received (built here byte by byte), results, messages, the fallback to
 * the by-mode request and refusals. What breaks a lease is the
 * simulator's to test (sim/tests/lease_test.cpp). */
#include "wire_words.h"
#include "zvtest/alloc_sweep.h"
#include "zvtest/fds.h"
#include "zvtest/files.h"
#include "zvtest/sim_fixture.h"

#include <zorvel/zorvelapi.h>
#include <zvsim/zvsim.h>

#include <algorithm>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

namespace
{

using zvtest::fd_owner;
using zvtest::stderr_capture;
using zvtest::stderr_of;
using zvtest::write_file;

using wiretest::prog;
using wiretest::u32s;
using wiretest::u64;

class Lease : public zvtest::sim_fixture
{
      protected:
	void SetUp() override
	{
		zvtest::sim_fixture::SetUp();
		write_file(in_mount("f"), "leased");
		clear_requests();
	}
	int open_f(int flags = O_RDWR)
	{
		int fd = open(in_mount("f").c_str(), flags);
		EXPECT_GE(fd, 0);
		return fd;
	}
};

TEST_F(Lease, RecordsOnTheWire)
{
	fd_owner f(open_f());
	clear_requests();
	EXPECT_EQ(zvapi_lease_acquire(f.fd, ZV_LEASE_WRLCK), 0);
	EXPECT_EQ(zvapi_lease_check(f.fd), ZV_LEASE_WRLCK);
	EXPECT_EQ(zvapi_lease_release(f.fd), ZV_LEASE_WRLCK)
	        << "released while held";
	EXPECT_EQ(zvapi_lease_check(f.fd), 0);
	EXPECT_EQ(zvapi_lease_release(f.fd), 0) << "nothing held";
	EXPECT_EQ(zvapi_lease_get(f.fd, ZV_LEASE_RDLCK), 0);
	EXPECT_EQ(zvapi_lease_put(f.fd), ZV_LEASE_RDLCK);

	auto reqs = requests();
	ASSERT_EQ(reqs.size(), 7U);
	EXPECT_EQ(reqs[0].code, 0xC00C66F3UL);
	EXPECT_EQ(reqs[0].size, 12U);
	EXPECT_EQ(reqs[0].bytes, u32s({2, 0, 0}));
	EXPECT_EQ(reqs[1].code, 0x000066F4UL);
	EXPECT_EQ(reqs[1].size, 0U);
	EXPECT_TRUE(reqs[1].bytes.empty());
	EXPECT_EQ(reqs[2].bytes, u32s({4, 0, 0}));
	EXPECT_EQ(reqs[5].code, 0xC00866F3UL);
	EXPECT_EQ(reqs[5].size, 8U);
	EXPECT_EQ(reqs[5].bytes, u64(1)) << "the mode by value";
	EXPECT_EQ(reqs[6].bytes, u64(4));
}

TEST_F(Lease, IntentTravelsWithItsIds)
{
	fd_owner f(open_f());
	ASSERT_EQ(zvapi_lease_acquire(f.fd, ZV_LEASE_RDLCK), 0);
	clear_requests();
	alignas(zv_ioc_lease) unsigned char buf[12 + 2 * 4];
	auto *data = reinterpret_cast<zv_ioc_lease *>(buf);
	data->zil_mode = ZV_LEASE_UNLCK;
	data->zil_flags = ZV_LEASE_RESYNC | ZV_LEASE_LAYOUT_SPLIT;
	data->zil_count = 2;
	data->zil_ids[0] = 7;
	data->zil_ids[1] = 0x99;
	EXPECT_EQ(zvapi_lease_release_intent(f.fd, data), ZV_LEASE_RDLCK);
	auto reqs = requests();
	ASSERT_EQ(reqs.size(), 1U);
	EXPECT_EQ(reqs[0].size, 12U) << "the code encodes the header only";
	EXPECT_EQ(reqs[0].bytes, u32s({4, 9, 2, 7, 0x99}));
}

TEST_F(Lease, BadModesSendNothing)
{
	fd_owner f(open_f());
	clear_requests();
	EXPECT_EQ(zvapi_lease_acquire(f.fd, ZV_LEASE_UNLCK), -EINVAL);
	EXPECT_EQ(zvapi_lease_acquire(f.fd, zv_lease_mode(0)), -EINVAL);
	EXPECT_EQ(zvapi_lease_acquire(f.fd, zv_lease_mode(3)), -EINVAL);
	EXPECT_EQ(zvapi_lease_get(f.fd, 4), -EINVAL);
	EXPECT_EQ(zvapi_lease_get(f.fd, -1), -EINVAL);
	zv_ioc_lease rd = {ZV_LEASE_RDLCK, ZV_LEASE_PCC_ATTACH, 0};
	EXPECT_EQ(zvapi_lease_release_intent(f.fd, &rd), -EINVAL);
	EXPECT_EQ(zvapi_lease_release_intent(f.fd, nullptr), -EINVAL);
	EXPECT_TRUE(requests().empty());
}

TEST_F(Lease, FailuresNameModeAndFlags)
{
	fd_owner f(open_f());
	zv_ioc_lease odd = {8, 0xab, 0};
	std::string err = stderr_of(
	        [&] { EXPECT_EQ(zvapi_lease_set(f.fd, &odd), -EINVAL); });
	EXPECT_EQ(err, prog() + ": cannot get ??? lease, ext ab: Invalid "
	                        "argument (22)\n");

	/* a write lease on a read-only descriptor, and a failed check */
	fd_owner ro(open_f(O_RDONLY));
	err = stderr_of([&] {
		EXPECT_EQ(zvapi_lease_acquire(ro.fd, ZV_LEASE_WRLCK), -EBADF);
	});
	EXPECT_EQ(err, prog() + ": cannot get WRITE lease, ext 0: Bad file "
	                        "descriptor (9)\n");
	ASSERT_EQ(zvsim_inject_errno(ZV_IOC_LEASE_CHECK, EIO, 0), 0);
	err = stderr_of([&] { EXPECT_EQ(zvapi_lease_check(f.fd), -EIO); });
	EXPECT_EQ(err, prog() + ": cannot check lease: Input/output error "
	                        "(5)\n");
	/* the by-mode pair is silent */
	ASSERT_EQ(zvsim_inject_errno(ZV_IOC_LEASE_SET_BY_MODE, EIO, 1), 0);
	err = stderr_of([&] {
		EXPECT_EQ(zvapi_lease_get(f.fd, 2), -EIO);
		EXPECT_EQ(zvapi_lease_put(f.fd), -EIO);
	});
	EXPECT_EQ(err, "");
}

TEST_F(Lease, OlderKernelFallsBackToTheByModeRequest)
{
	ASSERT_EQ(zvsim_lease_by_mode_only(1), 0);
	fd_owner f(open_f());
	clear_requests();
	std::string err = stderr_of([&] {
		EXPECT_EQ(zvapi_lease_acquire(f.fd, ZV_LEASE_WRLCK), 0);
	});
	EXPECT_EQ(err, prog() + ": cannot get WRITE lease, ext 0: "
	                        "Inappropriate ioctl for device (25)\n");
	auto codes = request_codes();
	ASSERT_EQ(codes.size(), 2U);
	EXPECT_EQ(codes[0], 0xC00C66F3UL);
	EXPECT_EQ(codes[1], 0xC00866F3UL);
	EXPECT_EQ(zvapi_lease_check(f.fd), ZV_LEASE_WRLCK);

	/* no fallback for the release: the by-mode put is that */
	err = stderr_of([&] { EXPECT_EQ(zvapi_lease_release(f.fd), -ENOTTY); });
	EXPECT_EQ(err, prog() + ": cannot get UNLOCK lease, ext 0: "
	                        "Inappropriate ioctl for device (25)\n");
	EXPECT_EQ(zvapi_lease_put(f.fd), ZV_LEASE_WRLCK);

	/* a fallback that fails too is returned without a second message */
	fd_owner ro(open_f(O_RDONLY));
	err = stderr_of([&] {
		EXPECT_EQ(zvapi_lease_acquire(ro.fd, ZV_LEASE_WRLCK), -EBADF);
	});
	EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
	ASSERT_EQ(zvsim_lease_by_mode_only(0), 0);
	EXPECT_EQ(zvapi_lease_acquire(f.fd, ZV_LEASE_RDLCK), 0);
}

TEST_F(Lease, RefusalsReturnTheKernelsErrno)
{
	/* while a read lease is held elsewhere, a write lease is refused */
	fd_owner r(open_f()), other(open_f(O_RDWR));
	ASSERT_EQ(zvapi_lease_acquire(r.fd, ZV_LEASE_RDLCK), 0);
	stderr_capture cap;
	EXPECT_EQ(zvapi_lease_acquire(other.fd, ZV_LEASE_WRLCK), -EBUSY);
	fd_owner wo(open_f(O_WRONLY));
	EXPECT_EQ(zvapi_lease_acquire(wo.fd, ZV_LEASE_RDLCK), -EBADF)
	        << "write-only descriptors take no read lease";
	cap.finish();
}

TEST_F(Lease, InjectedFailuresLeakNothing)
{
	fd_owner f(open_f());
	int before = zvtest::open_fd_count();
	zv_ioc_lease rel = {ZV_LEASE_UNLCK, 0, 0};
	struct {
		unsigned long code;
		std::function<int()> call;
	} cases[] = {
	        {ZV_IOC_LEASE_SET,
	         [&] { return zvapi_lease_acquire(f.fd, ZV_LEASE_RDLCK); }},
	        {ZV_IOC_LEASE_SET, [&] { return zvapi_lease_release(f.fd); }},
	        {ZV_IOC_LEASE_SET,
	         [&] { return zvapi_lease_release_intent(f.fd, &rel); }},
	        {ZV_IOC_LEASE_CHECK, [&] { return zvapi_lease_check(f.fd); }},
	        {ZV_IOC_LEASE_SET_BY_MODE,
	         [&] { return zvapi_lease_get(f.fd, 1); }},
	        {ZV_IOC_LEASE_SET_BY_MODE,
	         [&] { return zvapi_lease_put(f.fd); }},
	};
	for (auto &c : cases) {
		ASSERT_EQ(zvsim_inject_errno(c.code, ESTALE, 0), 0);
		stderr_capture cap;
		EXPECT_EQ(c.call(), -ESTALE) << std::hex << c.code;
		cap.finish();
		EXPECT_EQ(zvtest::open_fd_count(), before);
	}
	/* An open file that held a lease keeps a descriptor of the simulated
	 * kernel's for as long as it is open: made before the count. */
	ASSERT_EQ(zvapi_lease_acquire(f.fd, ZV_LEASE_WRLCK), 0);
	ASSERT_GE(zvapi_lease_release(f.fd), 0);
	zvtest::each_allocation_fails("libzorvelapi", [&] {
		int rc = zvapi_lease_acquire(f.fd, ZV_LEASE_WRLCK);
		return rc < 0 ? rc : zvapi_lease_release(f.fd) < 0 ? -1 : 0;
	});
}

} // namespace
