// Selection policies on the wire: sizes, marshaled bytes against buffers
// built by hand, demarshaling of good and bad replies, descriptor text.
#include "udsp_internal.h"
#include "wire_bytes.h"

#include <libkfx/util/nidstr.h>
#include <libkfx/util/string.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>

using namespace varntest;

namespace
{

struct UdspDeleter {
	bool blk;
	void operator()(varn_udsp *u) const
	{
		varn_udsp_free(u, blk);
	}
};
using Owned = std::unique_ptr<varn_udsp, UdspDeleter>;

Owned parsed(const char *src, const char *dst, const char *rte)
{
	Owned u(varn_udsp_alloc(), UdspDeleter{false});
	const char *texts[] = {src, dst, rte};
	varn_ud_nid_descr *ds[] = {&u->udsp_src, &u->udsp_dst, &u->udsp_rte};
	for (int i = 0; i < 3; i++) {
		if (texts[i] == nullptr)
			continue;
		int rc =
		        kfx_parse_nid_parts(texts[i], &ds[i]->ud_addr_range,
		                            &ds[i]->ud_net_id.udn_net_num_range,
		                            &ds[i]->ud_net_id.udn_net_type);
		EXPECT_EQ(rc, 0) << texts[i];
	}
	return u;
}

std::vector<unsigned char> marshaled(varn_udsp *u)
{
	std::vector<unsigned char> buf(varn_get_udsp_size(u));
	EXPECT_EQ(varn_udsp_marshal(u, buf.data(),
	                            static_cast<int32_t>(buf.size())),
	          0);
	return buf;
}

// The record as varn_udsp_marshal leaves it: header and bulk fields the
// caller's (zero here).
Bytes record(uint32_t idx, uint32_t action, uint32_t prio)
{
	return Bytes().u32(0).u32(0).u32(idx).u32(action).u32(0).u32(prio).u64(
	        0);
}

std::string text_of(varn_ud_nid_descr *d, size_t size = 128)
{
	std::string buf(size, '\0');
	int rc = zorvel_varn_nid_descr2str(d, buf.data(), size);
	if (rc < 0)
		return "error " + std::to_string(rc);
	return buf.c_str();
}

Owned demarshal(Bytes r)
{
	return Owned(varn_udsp_demarshal(r.b.data(),
	                                 static_cast<uint32_t>(r.size())),
	             UdspDeleter{true});
}

Bytes full_src()
{
	// 192.168.1.[1-3]@tcp2
	return Bytes()
	        .descr(SRC, 4, 2, 1)
	        .range(2, 2)
	        .u32(1)
	        .range(192, 192)
	        .u32(1)
	        .range(168, 168)
	        .u32(1)
	        .range(1, 1)
	        .u32(1)
	        .range(1, 3);
}

TEST(UdspSize, AbsentDescriptorsMakeEightyBytes)
{
	Owned u(varn_udsp_alloc(), UdspDeleter{false});
	ASSERT_TRUE(u);
	EXPECT_EQ(varn_get_udsp_size(u.get()), 80u);
	EXPECT_EQ(u->udsp_idx, 0u);
	EXPECT_EQ(u->udsp_action_type, EN_VARN_UDSP_ACTION_NONE);
	EXPECT_TRUE(list_empty(&u->udsp_on_list));
}

TEST(UdspSize, FullDescriptorIsNinetyTwoBytes)
{
	Owned u = parsed("192.168.1.[1-3]@tcp2", nullptr, nullptr);
	EXPECT_EQ(varn_get_udsp_size(u.get()), 32u + 92 + 16 + 16);
}

TEST(UdspMarshal, AbsentDescriptorsAreHeadersWithTheirCodes)
{
	Owned u(varn_udsp_alloc(), UdspDeleter{false});
	u->udsp_idx = 7;
	u->udsp_action_type = EN_VARN_UDSP_ACTION_PRIORITY;
	u->udsp_action.udsp_priority = 9;
	Bytes want = record(7, 1, 9)
	                     .descr(SRC, 0, 0, 0)
	                     .descr(DST, 0, 0, 0)
	                     .descr(RTE, 0, 0, 0);
	EXPECT_EQ(marshaled(u.get()), want.b);
}

TEST(UdspMarshal, NetworkOnlyDescriptor)
{
	Owned u = parsed(nullptr, "o2ib[1-3/2]", nullptr);
	u->udsp_action_type = EN_VARN_UDSP_ACTION_PREFERRED_LIST;
	Bytes want = record(0, 2, 0)
	                     .descr(SRC, 0, 0, 0)
	                     .descr(DST, 0, 5, 1)
	                     .range(1, 3, 2)
	                     .descr(RTE, 0, 0, 0);
	EXPECT_EQ(marshaled(u.get()), want.b);
}

TEST(UdspMarshal, FullDescriptorsInOrder)
{
	Owned u = parsed("192.168.1.[1-3]@tcp2", nullptr, "[5,7-9]@gni");
	u->udsp_idx = 3;
	u->udsp_action_type = EN_VARN_UDSP_ACTION_PRIORITY;
	u->udsp_action.udsp_priority = 4;
	Bytes want = record(3, 1, 4)
	                     .append(full_src())
	                     .descr(DST, 0, 0, 0)
	                     .descr(RTE, 1, 13, 0)
	                     .u32(2)
	                     .range(5, 5)
	                     .range(7, 9);
	EXPECT_EQ(marshaled(u.get()), want.b);
}

TEST(UdspMarshal, TooSmallBufferFailsWithoutWriting)
{
	Owned u = parsed("1.2.3.4@tcp", nullptr, nullptr);
	size_t size = varn_get_udsp_size(u.get());
	std::vector<unsigned char> buf(size, 0xab);
	EXPECT_NE(varn_udsp_marshal(u.get(), buf.data(),
	                            static_cast<int32_t>(size - 1)),
	          0);
	EXPECT_EQ(buf, std::vector<unsigned char>(size, 0xab));
}

TEST(UdspDemarshal, ValidReplyBuildsThePolicy)
{
	Bytes descrs = full_src().descr(DST, 0, 0, 0).descr(RTE, 0, 0x55, 0);
	Owned u = demarshal(reply(6, 1, 12, descrs));
	ASSERT_TRUE(u);
	EXPECT_EQ(u->udsp_idx, 6u);
	EXPECT_EQ(u->udsp_action_type, EN_VARN_UDSP_ACTION_PRIORITY);
	EXPECT_EQ(u->udsp_action.udsp_priority, 12u);
	EXPECT_EQ(text_of(&u->udsp_src), "192.168.1.[1-3]@tcp2");
	EXPECT_EQ(text_of(&u->udsp_dst), "NA");
	// a type with no expressions at all: the network alone
	EXPECT_EQ(u->udsp_rte.ud_net_id.udn_net_type, 0x55u);
	EXPECT_TRUE(list_empty(&u->udsp_rte.ud_addr_range));
}

TEST(UdspDemarshal, IgnoresTheStoredBulkAddress)
{
	// iou_bulk points nowhere: the data right after the record is used.
	Bytes descrs = Bytes().descr(SRC, 0, 2, 1)
	                       .range(1, 1)
	                       .descr(DST, 0, 0, 0)
	                       .descr(RTE, 0, 0, 0);
	Owned u = demarshal(reply(0, 2, 0, descrs, 0x10));
	ASSERT_TRUE(u);
	EXPECT_EQ(text_of(&u->udsp_src), "tcp1");
}

TEST(UdspDemarshal, ShortOrMismatchedRepliesFail)
{
	Bytes descrs = full_src().descr(DST, 0, 0, 0).descr(RTE, 0, 0, 0);
	Bytes r = reply(0, 1, 0, descrs);
	EXPECT_EQ(varn_udsp_demarshal(r.b.data(), 31), nullptr);
	// one byte less than iou_bulk_size announces
	EXPECT_EQ(varn_udsp_demarshal(r.b.data(),
	                              static_cast<uint32_t>(r.size() - 1)),
	          nullptr);
	// a reply truncated consistently: the last range is missing
	Bytes cut = reply(0, 1, 0,
	                  Bytes().descr(SRC, 4, 2, 1)
	                          .range(2, 2)
	                          .u32(1)
	                          .range(192, 192)),
	      empty;
	EXPECT_FALSE(demarshal(cut));
	EXPECT_FALSE(demarshal(reply(0, 1, 0, empty)));
}

TEST(UdspDemarshal, OversizedCountsFail)
{
	Bytes net = Bytes().descr(SRC, 0, 2, 0xffffffff)
	                    .range(1, 1)
	                    .descr(DST, 0, 0, 0)
	                    .descr(RTE, 0, 0, 0);
	EXPECT_FALSE(demarshal(reply(0, 1, 0, net)));
	Bytes addr = Bytes().descr(SRC, 1, 2, 0)
	                     .u32(0x15555556) // 12 x count wraps in 32 bits
	                     .range(1, 1)
	                     .descr(DST, 0, 0, 0)
	                     .descr(RTE, 0, 0, 0);
	EXPECT_FALSE(demarshal(reply(0, 1, 0, addr)));
	Bytes many = Bytes().descr(SRC, 0xffffffff, 2, 0)
	                     .u32(0)
	                     .descr(DST, 0, 0, 0)
	                     .descr(RTE, 0, 0, 0);
	EXPECT_FALSE(demarshal(reply(0, 1, 0, many)));
}

TEST(UdspDemarshal, WrongTypeCodeFailsAndReleasesTheSource)
{
	// the second descriptor is present but carries "RTE"; the source
	// built before it is released (LeakSanitizer checks)
	Bytes descrs =
	        full_src().descr(RTE, 0, 2, 1).range(1, 1).descr(RTE, 0, 0, 0);
	EXPECT_FALSE(demarshal(reply(0, 1, 0, descrs)));
}

TEST(UdspDemarshal, AbsentDescriptorSkipsWhateverItsCode)
{
	Bytes descrs = Bytes().descr(0x12345678, 0, 0, 0)
	                       .descr(DST, 0, 2, 1)
	                       .range(4, 4)
	                       .descr(0, 0, 0, 0);
	Owned u = demarshal(reply(0, 2, 0, descrs));
	ASSERT_TRUE(u);
	EXPECT_EQ(text_of(&u->udsp_src), "NA");
	EXPECT_EQ(text_of(&u->udsp_dst), "tcp4");
	EXPECT_EQ(text_of(&u->udsp_rte), "NA");
}

TEST(UdspDemarshal, LeftoverBytesAreIgnored)
{
	Bytes descrs = Bytes().descr(SRC, 1, 9, 0)
	                       .u32(1)
	                       .range(0, 0)
	                       .descr(DST, 0, 0, 0)
	                       .descr(RTE, 0, 0, 0)
	                       .u32(0xfeedface);
	Owned u = demarshal(reply(0, 1, 0, descrs));
	ASSERT_TRUE(u);
	EXPECT_EQ(text_of(&u->udsp_src), "0@lo");
}

TEST(UdspText, AbsentIsNA)
{
	Owned u(varn_udsp_alloc(), UdspDeleter{false});
	EXPECT_EQ(text_of(&u->udsp_src), "NA");
	EXPECT_EQ(text_of(&u->udsp_src, 2), "N"); // cut to the buffer
}

TEST(UdspText, AddressNetworkAndNumber)
{
	Owned u = parsed("10.[0-3].*.1@o2ib[2,4]", "gip", "12@ptl4");
	EXPECT_EQ(text_of(&u->udsp_src), "10.[0-3].[0-255].1@o2ib[2,4]");
	EXPECT_EQ(text_of(&u->udsp_dst), "gip");
	EXPECT_EQ(text_of(&u->udsp_rte), "12@ptl4");
}

TEST(UdspText, TooSmallBufferIsNoBufs)
{
	Owned u = parsed("192.168.1.1@tcp", nullptr, nullptr);
	// "192.168.1.1" fits in 12 bytes, "@tcp" does not
	EXPECT_EQ(text_of(&u->udsp_src, 12),
	          "error " + std::to_string(-ENOBUFS));
	EXPECT_EQ(text_of(&u->udsp_src, 15),
	          "error " + std::to_string(-ENOBUFS));
	EXPECT_EQ(text_of(&u->udsp_src, 16), "192.168.1.1@tcp");
	Owned n = parsed(nullptr, "o2ib", nullptr);
	EXPECT_EQ(text_of(&n->udsp_dst, 4),
	          "error " + std::to_string(-ENOBUFS));
	EXPECT_EQ(text_of(&n->udsp_dst, 5), "o2ib");
}

TEST(UdspRoundTrip, MarshaledPolicyDemarshalsToTheSameText)
{
	Owned u = parsed("192.168.[1,5-9/2].*@tcp7", "gip[1-2]", nullptr);
	u->udsp_idx = 2;
	u->udsp_action_type = EN_VARN_UDSP_ACTION_PREFERRED_LIST;
	std::vector<unsigned char> buf = marshaled(u.get());
	// as a kernel answers: ioc_len 32 and the descriptors' size
	uint32_t len = 32, bulk = static_cast<uint32_t>(buf.size() - 32);
	memcpy(buf.data(), &len, 4);
	memcpy(buf.data() + 16, &bulk, 4);
	Owned back(varn_udsp_demarshal(buf.data(),
	                               static_cast<uint32_t>(buf.size())),
	           UdspDeleter{true});
	ASSERT_TRUE(back);
	EXPECT_EQ(back->udsp_idx, 2u);
	EXPECT_EQ(text_of(&back->udsp_src), text_of(&u->udsp_src));
	EXPECT_EQ(text_of(&back->udsp_dst), "gip[1-2]");
	EXPECT_EQ(text_of(&back->udsp_rte), "NA");
	EXPECT_EQ(varn_get_udsp_size(back.get()), buf.size());
}

TEST(UdspFree, ListsOnAnAbsentDescriptorAreReleased)
{
	// a parser that fails half way may leave lists behind while the
	// type is still 0; freeing must not leak them
	Owned u(varn_udsp_alloc(), UdspDeleter{false});
	kfx_expr_list *el = nullptr;
	ASSERT_EQ(kfx_expr_list_parse("[1-2]", 5, 0, 255, &el), 0);
	list_add_tail(&el->el_link, &u->udsp_src.ud_addr_range);
	EXPECT_EQ(u->udsp_src.ud_net_id.udn_net_type, 0u);
}

TEST(UdspAction, TextsGiveTheirActions)
{
	EXPECT_EQ(varn_str2udsp_action("priority"),
	          EN_VARN_UDSP_ACTION_PRIORITY);
	EXPECT_EQ(varn_str2udsp_action("priority9"),
	          EN_VARN_UDSP_ACTION_PRIORITY);
	EXPECT_EQ(varn_str2udsp_action("pref"),
	          EN_VARN_UDSP_ACTION_PREFERRED_LIST);
	EXPECT_EQ(varn_str2udsp_action("preferred"),
	          EN_VARN_UDSP_ACTION_PREFERRED_LIST);
	EXPECT_EQ(varn_str2udsp_action("prio"), EN_VARN_UDSP_ACTION_NONE);
	EXPECT_EQ(varn_str2udsp_action(nullptr), EN_VARN_UDSP_ACTION_NONE);
}

} // namespace
