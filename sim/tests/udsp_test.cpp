// The simulated networking layer's device on its own: policy requests,
// good and malformed, as a kernel would see them from any program, built
// here byte by byte.
#include "../../varn/tests/wire_bytes.h"
#include "helpers.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace zvtest;
using varntest::Bytes;
using varntest::DST;
using varntest::RTE;
using varntest::SRC;
using varntest::VERSION;

namespace
{

// The device's request codes, composed here: read-write, type 'e'.
constexpr unsigned long udsp_code(unsigned nr)
{
	return 0xc0b86500UL | nr;
}
const unsigned long VARN_IOC_ADD_UDSP = udsp_code(105),
                    VARN_IOC_DEL_UDSP = udsp_code(106),
                    VARN_IOC_GET_UDSP_SIZE = udsp_code(107),
                    VARN_IOC_GET_UDSP = udsp_code(108);

class UdspDevice : public Sim
{
      protected:
	void SetUp() override
	{
		Sim::SetUp();
		dev_ = state() + "/dev/varn";
		fd_ = open(dev_.c_str(), O_RDWR);
		ASSERT_GE(fd_, 0);
	}
	void TearDown() override
	{
		close(fd_);
		Sim::TearDown();
	}
	// Sends code with the bytes of r (iou_bulk pointed at r + 32 when
	// fix_bulk); the errno, or 0.
	int send(unsigned long code, Bytes &r, bool fix_bulk = true)
	{
		if (fix_bulk && r.size() >= 32) {
			uint64_t at =
			        reinterpret_cast<uintptr_t>(r.b.data() + 32);
			memcpy(r.b.data() + 24, &at, 8);
		}
		errno = 0;
		return ioctl(fd_, code, r.b.data()) == 0 ? 0 : errno;
	}
	static Bytes request(uint32_t len, int32_t idx, uint32_t action,
	                     const Bytes &descrs, uint32_t prio = 0)
	{
		Bytes r;
		r.u32(len).u32(VERSION).u32(static_cast<uint32_t>(idx));
		r.u32(action).u32(static_cast<uint32_t>(descrs.size()));
		r.u32(prio).u64(0);
		return r.append(descrs);
	}
	static Bytes net(uint32_t type, uint32_t num)
	{
		return Bytes()
		        .descr(SRC, 0, type, 1)
		        .range(num, num)
		        .descr(DST, 0, 0, 0)
		        .descr(RTE, 0, 0, 0);
	}
	int add(uint32_t num, int32_t idx = -1)
	{
		Bytes d = net(2, num);
		Bytes r = request(32 + static_cast<uint32_t>(d.size()), idx, 1,
		                  d, num);
		return send(VARN_IOC_ADD_UDSP, r);
	}
	// The priority (== network number here) of the policy at idx.
	int32_t prio_at(int32_t idx)
	{
		Bytes q = request(32, idx, 0, Bytes());
		if (send(VARN_IOC_GET_UDSP_SIZE, q) != 0)
			return -1;
		int32_t size;
		memcpy(&size, q.b.data() + 8, 4);
		Bytes g = request(32, idx, 0, Bytes());
		g.b.resize(size);
		uint32_t bulk = size - 32;
		memcpy(g.b.data() + 16, &bulk, 4);
		if (send(VARN_IOC_GET_UDSP, g) != 0)
			return -1;
		uint32_t prio;
		memcpy(&prio, g.b.data() + 20, 4);
		return static_cast<int32_t>(prio);
	}
	std::string dev_;
	int fd_ = -1;
};

TEST_F(UdspDevice, PoliciesKeepIndexOrder)
{
	ASSERT_EQ(add(10), 0);
	ASSERT_EQ(add(20), 0);
	ASSERT_EQ(add(5, 0), 0);   // at the front
	ASSERT_EQ(add(15, 2), 0);  // between
	ASSERT_EQ(add(99, 50), 0); // past the end: appended
	int32_t want[] = {5, 10, 15, 20, 99};
	for (int i = 0; i < 5; i++)
		EXPECT_EQ(prio_at(i), want[i]) << i;
	EXPECT_EQ(prio_at(5), -1);
	Bytes del = request(32, 1, 0, Bytes());
	EXPECT_EQ(send(VARN_IOC_DEL_UDSP, del), 0);
	EXPECT_EQ(prio_at(1), 15);
	EXPECT_EQ(send(VARN_IOC_DEL_UDSP, del = request(32, 4, 0, Bytes())),
	          ENOENT);
}

TEST_F(UdspDevice, ReplyCarriesTheRecordAndDescriptors)
{
	ASSERT_EQ(add(7), 0);
	Bytes q = request(32, 0, 0, Bytes());
	ASSERT_EQ(send(VARN_IOC_GET_UDSP_SIZE, q), 0);
	int32_t size;
	memcpy(&size, q.b.data() + 8, 4);
	EXPECT_EQ(size, 32 + 16 + 12 + 16 + 16);
	Bytes g = request(32, 0, 0, Bytes());
	g.b.resize(200, 0xaa);
	uint32_t room = 200 - 32;
	memcpy(g.b.data() + 16, &room, 4);
	ASSERT_EQ(send(VARN_IOC_GET_UDSP, g), 0);
	Bytes want = request(32, 0, 1, net(2, 7), 7);
	uint64_t at = reinterpret_cast<uintptr_t>(g.b.data() + 32);
	memcpy(want.b.data() + 24, &at, 8);
	EXPECT_EQ(std::vector<unsigned char>(g.b.begin(),
	                                     g.b.begin() + want.size()),
	          want.b);
	EXPECT_EQ(g.b[want.size()], 0xaa); // nothing written past them
}

TEST_F(UdspDevice, MalformedRequestsAreInvalid)
{
	Bytes d = net(2, 1);
	uint32_t len = 32 + static_cast<uint32_t>(d.size());
	Bytes r = request(len, -1, 1, d);
	r.b[4] = 0x0a; // data version instead of config
	EXPECT_EQ(send(VARN_IOC_ADD_UDSP, r), EINVAL);
	r = request(16, -1, 1, d);
	EXPECT_EQ(send(VARN_IOC_ADD_UDSP, r), EINVAL);
	r = request(len + 4, -1, 1, d); // length and bulk size disagree
	EXPECT_EQ(send(VARN_IOC_ADD_UDSP, r), EINVAL);
	r = request(len, -1, 1, d);
	EXPECT_EQ(send(VARN_IOC_ADD_UDSP, r, false), EINVAL); // iou_bulk 0
	r = request(len, -1, 0, d);                           // no action
	EXPECT_EQ(send(VARN_IOC_ADD_UDSP, r), EINVAL);
	Bytes none = Bytes().descr(SRC, 0, 0, 0)
	                     .descr(DST, 0, 0, 0)
	                     .descr(RTE, 0, 0, 0);
	r = request(32 + 48, -1, 1, none); // nothing to match
	EXPECT_EQ(send(VARN_IOC_ADD_UDSP, r), EINVAL);
	Bytes extra = net(2, 1).u32(0);
	r = request(32 + static_cast<uint32_t>(extra.size()), -1, 1, extra);
	EXPECT_EQ(send(VARN_IOC_ADD_UDSP, r), EINVAL);
	Bytes swapped = Bytes().descr(DST, 0, 2, 0)
	                        .descr(SRC, 0, 0, 0)
	                        .descr(RTE, 0, 0, 0);
	r = request(32 + 48, -1, 1, swapped);
	EXPECT_EQ(send(VARN_IOC_ADD_UDSP, r), EINVAL);
	Bytes huge = Bytes().descr(SRC, 0xffffffff, 2, 0xffffffff)
	                     .descr(DST, 0, 0, 0)
	                     .descr(RTE, 0, 0, 0);
	r = request(32 + 48, -1, 1, huge);
	EXPECT_EQ(send(VARN_IOC_ADD_UDSP, r), EINVAL);
	// none of these was stored
	Bytes q = request(32, 0, 0, Bytes());
	EXPECT_EQ(send(VARN_IOC_GET_UDSP_SIZE, q), ENOENT);

	ASSERT_EQ(add(3), 0);
	Bytes g = request(32, 0, 0, Bytes());
	g.b.resize(40);
	uint32_t room = 8;
	memcpy(g.b.data() + 16, &room, 4);
	EXPECT_EQ(send(VARN_IOC_GET_UDSP, g), ENOSPC);
	room = 64;
	g.b.resize(96);
	memcpy(g.b.data() + 16, &room, 4);
	memset(g.b.data() + 24, 0, 8); // descriptors asked for elsewhere
	EXPECT_EQ(send(VARN_IOC_GET_UDSP, g, false), EINVAL);
	Bytes neg = request(32, -3, 0, Bytes());
	EXPECT_EQ(send(VARN_IOC_GET_UDSP_SIZE, neg), ENOENT);
	EXPECT_EQ(ioctl(fd_, _IOWR('e', 99, int), q.b.data()), -1);
	EXPECT_EQ(errno, ENOTTY);
}

TEST_F(UdspDevice, EveryProcessSeesTheSameList)
{
	ASSERT_EQ(add(42), 0);
	// a second descriptor, as another program opening the device
	int other = open(dev_.c_str(), O_RDWR);
	ASSERT_GE(other, 0);
	Bytes q = request(32, 0, 0, Bytes());
	ASSERT_EQ(ioctl(other, VARN_IOC_GET_UDSP_SIZE, q.b.data()), 0);
	close(other);
	std::string list = read_file(state() + "/varn/udsp");
	EXPECT_EQ(list.rfind("1 42 ", 0), 0u) << list;
}

} // namespace
