// Network identifier text: descriptors into expression lists, chains and
// network names back to text.
#include <libkfx/util/nidstr.h>
#include <libkfx/util/string.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace
{

struct Parsed {
	list_head addr, num;
	__u32 type = 0;
	int rc = 0;
	explicit Parsed(const char *text)
	{
		INIT_LIST_HEAD(&addr);
		INIT_LIST_HEAD(&num);
		rc = kfx_parse_nid_parts(text, &addr, &num, &type);
	}
	~Parsed()
	{
		kfx_expr_list_free_list(&addr);
		kfx_expr_list_free_list(&num);
	}
	Parsed(const Parsed &) = delete;
	Parsed &operator=(const Parsed &) = delete;

	std::string text(list_head *chain, size_t size = 128)
	{
		std::string buf(size, '\0');
		int rc2 = kfx_expr2str(chain, buf.data(), size);
		if (rc2 < 0)
			return "error " + std::to_string(rc2);
		return buf.c_str();
	}
	size_t count(list_head *chain)
	{
		size_t n = 0;
		list_head *p;
		list_for_each(p, chain) n++;
		return n;
	}
};

TEST(NidParse, Ipv4AddressWithRangesAndNetworkNumber)
{
	Parsed p("192.168.[1-3].*@tcp2");
	ASSERT_EQ(p.rc, 0);
	EXPECT_EQ(p.type, 2u);
	EXPECT_EQ(p.count(&p.addr), 4u);
	EXPECT_EQ(p.text(&p.addr), "192.168.[1-3].[0-255]");
	EXPECT_EQ(p.text(&p.num), "2");
}

TEST(NidParse, NetworkAloneAndNumberExpressions)
{
	Parsed a("o2ib");
	ASSERT_EQ(a.rc, 0);
	EXPECT_EQ(a.type, 5u);
	EXPECT_TRUE(list_empty(&a.addr));
	EXPECT_TRUE(list_empty(&a.num)); // no number written, none stored
	Parsed b(" gip[1,3-4] ");
	ASSERT_EQ(b.rc, 0);
	EXPECT_EQ(b.type, 14u); // the longest name wins
	EXPECT_EQ(b.text(&b.num), "[1,3-4]");
	Parsed c("tcp*");
	ASSERT_EQ(c.rc, 0);
	EXPECT_EQ(c.text(&c.num), "[0-65535]");
}

TEST(NidParse, NumericAddressesAndWholeAddressStar)
{
	Parsed g("[4-8/2]@gni");
	ASSERT_EQ(g.rc, 0);
	EXPECT_EQ(g.type, 13u);
	EXPECT_EQ(g.text(&g.addr), "[4-8/2]");
	Parsed l("0@lo");
	ASSERT_EQ(l.rc, 0);
	EXPECT_EQ(l.type, 9u);
	Parsed s("*@tcp");
	ASSERT_EQ(s.rc, 0);
	EXPECT_EQ(s.count(&s.addr), 4u);
	Parsed big("4294967295@ptl4");
	ASSERT_EQ(big.rc, 0);
	EXPECT_EQ(big.text(&big.addr), "4294967295");
}

TEST(NidParse, BadTextIsRefusedAndNothingAppended)
{
	const char *bad[] = {"",
	                     "@tcp",
	                     "1.2.3@tcp",
	                     "1.2.3.4.5@tcp",
	                     "1.2.3.256@tcp",
	                     "1..3.4@tcp",
	                     "1.2.3.4@",
	                     "1.2.3.4@eth0",
	                     "1.2.3.4@tcp@tcp",
	                     "tcp70000",
	                     "tcp1-2",
	                     "1-2@gni",
	                     "1.2.3.[4-@tcp",
	                     "x@tcp",
	                     "4294967296@gni"};
	for (const char *t : bad) {
		Parsed p(t);
		EXPECT_EQ(p.rc, -EINVAL) << t;
		EXPECT_TRUE(list_empty(&p.addr)) << t;
		EXPECT_TRUE(list_empty(&p.num)) << t;
	}
	list_head a, n;
	__u32 type;
	EXPECT_EQ(kfx_parse_nid_parts(nullptr, &a, &n, &type), -EINVAL);
}

TEST(NidText, Expr2strAppendsAndReportsTheRoomLeft)
{
	Parsed p("10.0.0.[1-2]@tcp");
	char buf[32] = "x:";
	EXPECT_EQ(kfx_expr2str(&p.addr, buf, 20), 20 - 12);
	EXPECT_STREQ(buf, "x:10.0.0.[1-2]");
	Parsed n("tcp");
	EXPECT_EQ(kfx_expr2str(&n.num, buf, 7), 7); // empty chain
	EXPECT_STREQ(buf, "x:10.0.0.[1-2]");
	// exactly the text and its NUL fits; one byte less does not
	EXPECT_EQ(p.text(&p.addr, 13), "10.0.0.[1-2]");
	EXPECT_EQ(p.text(&p.addr, 12), "error " + std::to_string(-ENOBUFS));
	char keep[16] = "ab";
	EXPECT_EQ(kfx_expr2str(&p.addr, keep, 4), -ENOBUFS);
	EXPECT_STREQ(keep, "ab");
}

TEST(NidText, NetworkNames)
{
	char buf[KFX_NIDSTR_SIZE];
	EXPECT_STREQ(libkfx_net2str_r(0x00020000, buf, sizeof(buf)), "tcp");
	EXPECT_STREQ(libkfx_net2str_r(0x00050003, buf, sizeof(buf)), "o2ib3");
	EXPECT_STREQ(libkfx_net2str_r(0x00630001, buf, sizeof(buf)), "<99:1>");
	EXPECT_STREQ(libkfx_net2str_r(0x000f0000, buf, 3), "pt");
	EXPECT_STREQ(libkfx_net2str(0x00090000), "lo");
	EXPECT_EQ(libkfx_str2nettype("gni"), 13);
	EXPECT_EQ(libkfx_str2nettype("eth"), -ENOENT);
}

TEST(NidText, ScratchBuffersAreNotSharedBetweenThreads)
{
	std::vector<std::thread> threads;
	std::vector<char *> seen(4);
	std::atomic<int> taken{0};
	for (int i = 0; i < 4; i++)
		threads.emplace_back([&seen, &taken, i] {
			seen[i] = libkfx_next_nidstring();
			// all threads are alive while the buffers are compared
			taken++;
			while (taken.load() < 4)
				std::this_thread::yield();
		});
	for (auto &t : threads)
		t.join();
	EXPECT_EQ(std::set<char *>(seen.begin(), seen.end()).size(), 4u);
	// the ring hands out eight distinct buffers in one thread
	std::set<char *> mine;
	for (int i = 0; i < 8; i++)
		mine.insert(libkfx_next_nidstring());
	EXPECT_EQ(mine.size(), 8u);
}

} // namespace
