// The selection-policy commands end to end against the simulated
// networking layer: what the caller gets, what the layer received.
#include "udsp_internal.h"
#include "varn_fixture.h"
#include "wire_bytes.h"

#include "zvtest/fds.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

using namespace varntest;

namespace
{

cYAML *build(const char *text)
{
	return cYAML_build_tree(nullptr, text, strlen(text), nullptr);
}

class UdspCmd : public SimDevice
{
      protected:
	int add(const char *src, const char *dst, const char *rte,
	        const char *type, int prio = 0, int idx = -1)
	{
		varn_udsp_action a{};
		a.udsp_priority = prio;
		return zorvel_varn_add_udsp(
		        const_cast<char *>(src), const_cast<char *>(dst),
		        const_cast<char *>(rte), const_cast<char *>(type), &a,
		        idx, 0, &err_);
	}
	// The show tree of idx as YAML text ("" when nothing came back).
	std::string show(int idx, int *rc_out = nullptr)
	{
		cYAML *tree = nullptr;
		int rc = zorvel_varn_show_udsp(idx, 0, &tree, &err_);
		if (rc_out)
			*rc_out = rc;
		std::string text = dump(tree);
		cYAML_free_tree(tree);
		return text;
	}
};

TEST_F(UdspCmd, AddShowDeleteRoundTrip)
{
	ASSERT_EQ(add("192.168.1.[1-3]@tcp", nullptr, nullptr, "priority", 3),
	          0);
	ASSERT_EQ(add("o2ib1", "10.0.0.*@o2ib[1-2]", nullptr, "pref"), 0);
	ASSERT_EQ(add(nullptr, nullptr, "7@gni", "priority", 1, 0), 0);
	EXPECT_EQ(last_outcome(), (Outcome{"add", 0, "success"}));
	EXPECT_EQ(show(-1), "udsp:\n"
	                    "- idx: 0\n"
	                    "  src: NA\n"
	                    "  dst: NA\n"
	                    "  rte: \"7@gni\"\n"
	                    "  action:\n"
	                    "    priority: 1\n"
	                    "- idx: 1\n"
	                    "  src: \"192.168.1.[1-3]@tcp\"\n"
	                    "  dst: NA\n"
	                    "  rte: NA\n"
	                    "  action:\n"
	                    "    priority: 3\n"
	                    "- idx: 2\n"
	                    "  src: o2ib1\n"
	                    "  dst: \"10.0.0.[0-255]@o2ib[1-2]\"\n"
	                    "  rte: NA\n");
	EXPECT_EQ(zorvel_varn_del_udsp(1, 0, &err_), 0);
	EXPECT_EQ(last_outcome(), (Outcome{"del", 0, "success"}));
	EXPECT_EQ(show(1), "udsp:\n"
	                   "- idx: 1\n"
	                   "  src: o2ib1\n"
	                   "  dst: \"10.0.0.[0-255]@o2ib[1-2]\"\n"
	                   "  rte: NA\n");
	EXPECT_EQ(last_outcome(), (Outcome{"show", 0, "success"}));
}

TEST_F(UdspCmd, AddRequestCarriesTheWholeBufferLength)
{
	ASSERT_EQ(add("1.2.3.4@tcp", nullptr, nullptr, "priority", 2), 0);
	auto log = requests();
	ASSERT_EQ(log.size(), 1u);
	EXPECT_EQ(log[0].code, VARN_IOC_ADD_UDSP);
	EXPECT_EQ(log[0].size, 184u);
	// 32 + (16 + 4 x (4 + 12)) + 16 + 16
	ASSERT_EQ(log[0].bytes.size(), 144u);
	Bytes want = Bytes().u32(144)
	                     .u32(VERSION)
	                     .u32(0xffffffff)
	                     .u32(1)
	                     .u32(112)
	                     .u32(2);
	EXPECT_EQ(std::vector<unsigned char>(log[0].bytes.begin(),
	                                     log[0].bytes.begin() + 24),
	          want.b);
	Bytes descrs = Bytes().descr(SRC, 4, 2, 0)
	                       .u32(1)
	                       .range(1, 1)
	                       .u32(1)
	                       .range(2, 2)
	                       .u32(1)
	                       .range(3, 3)
	                       .u32(1)
	                       .range(4, 4)
	                       .descr(DST, 0, 0, 0)
	                       .descr(RTE, 0, 0, 0);
	EXPECT_EQ(std::vector<unsigned char>(log[0].bytes.begin() + 32,
	                                     log[0].bytes.end()),
	          descrs.b);
}

TEST_F(UdspCmd, ShowAllSendsOneSizeQueryPastTheLast)
{
	for (int i = 0; i < 3; i++)
		ASSERT_EQ(add("tcp", nullptr, nullptr, "priority", i), 0);
	log_clear();
	std::string text = show(-1);
	EXPECT_NE(text.find("idx: 2"), std::string::npos);
	int sizes = 0, gets = 0;
	for (const auto &r : requests()) {
		sizes += r.code == VARN_IOC_GET_UDSP_SIZE;
		gets += r.code == VARN_IOC_GET_UDSP;
		// every query sends the 32-byte record alone
		EXPECT_EQ(r.bytes.size(), 32u);
		uint32_t len;
		memcpy(&len, r.bytes.data(), 4);
		EXPECT_EQ(len, 32u);
	}
	EXPECT_EQ(sizes, 4);
	EXPECT_EQ(gets, 3);
}

TEST_F(UdspCmd, ShowOfAnEmptyListSucceedsAndLeavesTheTree)
{
	cYAML *tree = nullptr;
	EXPECT_EQ(zorvel_varn_show_udsp(-1, 0, &tree, &err_), 0);
	EXPECT_EQ(tree, nullptr);
	EXPECT_EQ(last_outcome(), (Outcome{"show", 0, "success"}));
	EXPECT_EQ(zorvel_varn_show_udsp(4, 0, &tree, &err_), 0);
	EXPECT_EQ(tree, nullptr);
}

TEST_F(UdspCmd, ShowMergesIntoTheCallersTree)
{
	ASSERT_EQ(add("tcp1", nullptr, nullptr, "priority", 1), 0);
	ASSERT_EQ(add("tcp2", nullptr, nullptr, "priority", 2), 0);
	// a tree with a "udsp" sequence: the items are appended to it
	cYAML *tree = build("udsp:\n- idx: 9\n  src: old\n");
	ASSERT_NE(tree, nullptr);
	ASSERT_EQ(zorvel_varn_show_udsp(-1, 0, &tree, &err_), 0);
	std::string text = dump(tree);
	EXPECT_EQ(text.find("udsp:"), text.rfind("udsp:"));
	EXPECT_LT(text.find("idx: 9"), text.find("idx: 0"));
	EXPECT_LT(text.find("src: tcp1"), text.find("src: tcp2"));
	cYAML_free_tree(tree);

	// a tree without one: the sequence joins the first child's siblings
	tree = build("net: x\nother: 1\n");
	ASSERT_EQ(zorvel_varn_show_udsp(0, 0, &tree, &err_), 0);
	EXPECT_EQ(dump(tree), "net: x\nother: 1\nudsp:\n- idx: 0\n  src: "
	                      "tcp1\n  dst: NA\n  rte: NA\n  action:\n    "
	                      "priority: 1\n");
	cYAML_free_tree(tree);

	// an empty tree: the sequence becomes its first child
	tree = cYAML_create_object(nullptr, nullptr);
	ASSERT_EQ(zorvel_varn_show_udsp(1, 0, &tree, &err_), 0);
	EXPECT_EQ(dump(tree).rfind("udsp:\n- idx: 1\n", 0), 0u);
	cYAML_free_tree(tree);

	// a "udsp" that is not a sequence keeps the caller's tree as it was
	tree = build("udsp: 5\n");
	ASSERT_EQ(zorvel_varn_show_udsp(-1, 0, &tree, &err_), 0);
	EXPECT_EQ(dump(tree), "udsp: 5\n");
	cYAML_free_tree(tree);
}

TEST_F(UdspCmd, PreferredListAloneIsStoredAsPriorityZero)
{
	ASSERT_EQ(add("tcp", nullptr, nullptr, "pref"), 0);
	ASSERT_EQ(add("tcp", "o2ib", nullptr, "preferred"), 0);
	ASSERT_EQ(add(nullptr, "tcp", "gni", "pref"), 0);
	std::string text = show(-1);
	EXPECT_NE(text.find("- idx: 0\n  src: tcp\n  dst: NA\n  rte: NA\n"
	                    "  action:\n    priority: 0\n"),
	          std::string::npos);
	// a pair is a preferred list: no "action" key
	EXPECT_NE(text.find("- idx: 1\n  src: tcp\n  dst: o2ib\n  rte: NA\n"
	                    "- idx: 2\n"),
	          std::string::npos);
	EXPECT_EQ(text.find("action", text.find("idx: 1")), std::string::npos);
}

TEST_F(UdspCmd, AddOutcomes)
{
	log_clear();
	EXPECT_EQ(add("tcp", nullptr, nullptr, "prio"), -1);
	EXPECT_EQ(last_outcome(),
	          (Outcome{"add", -1, "bad action type specified: prio"}));
	EXPECT_EQ(add("tcp", nullptr, nullptr, nullptr), -1);
	EXPECT_EQ(last_outcome(),
	          (Outcome{"add", -1, "bad action type specified: (none)"}));
	EXPECT_EQ(add("tcp", nullptr, "gni", "pref"), -1);
	EXPECT_EQ(last_outcome(),
	          (Outcome{"add", -1,
	                   "The combination of src, dst and rte is not "
	                   "supported"}));
	EXPECT_EQ(add(nullptr, nullptr, nullptr, "pref"), -1);
	EXPECT_EQ(add("1.2.3@tcp", nullptr, nullptr, "pref"), -EINVAL);
	EXPECT_EQ(last_outcome(),
	          (Outcome{"add", -EINVAL, "failed to parse src parameter"}));
	EXPECT_EQ(add(nullptr, "x@nowhere", nullptr, "pref"), -EINVAL);
	EXPECT_EQ(last_outcome().text, "failed to parse dst parameter");
	EXPECT_EQ(add(nullptr, "tcp", "1.2.3.256@tcp", "pref"), -EINVAL);
	EXPECT_EQ(last_outcome().text, "failed to parse rte parameter");
	// none of these reached the layer
	EXPECT_TRUE(requests().empty());
	// the priority action without its action record is refused, not
	// dereferenced
	EXPECT_EQ(zorvel_varn_add_udsp(const_cast<char *>("tcp"), nullptr,
	                               nullptr, const_cast<char *>("priority"),
	                               nullptr, -1, 0, &err_),
	          -1);
}

TEST_F(UdspCmd, RequestFailuresAreReported)
{
	zvsim_inject_errno(VARN_IOC_ADD_UDSP, EPERM, 0);
	// add reports the request's failure as a positive errno
	EXPECT_EQ(add("tcp", nullptr, nullptr, "pref"), EPERM);
	EXPECT_EQ(last_outcome(), (Outcome{"add", EPERM,
	                                   "cannot add udsp: Operation not "
	                                   "permitted"}));
	EXPECT_EQ(zorvel_varn_del_udsp(0, 0, &err_), -ENOENT);
	EXPECT_EQ(last_outcome(), (Outcome{"del", -ENOENT,
	                                   "cannot del udsp: No such file or "
	                                   "directory"}));
	ASSERT_EQ(add("tcp", nullptr, nullptr, "pref"), 0);
	zvsim_inject_errno(VARN_IOC_GET_UDSP, EIO, 0);
	int rc;
	EXPECT_EQ(show(-1, &rc), "");
	EXPECT_EQ(rc, -EIO);
	EXPECT_EQ(
	        last_outcome(),
	        (Outcome{"show", -EIO, "cannot get udsp: Input/output error"}));
}

TEST_F(UdspCmd, BadRepliesAreRefused)
{
	ASSERT_EQ(add("tcp", nullptr, nullptr, "pref"), 0);
	int rc;
	// a size too small to hold the record
	Bytes small = Bytes().u32(32).u32(VERSION).u32(8);
	zvsim_inject_reply(VARN_IOC_GET_UDSP_SIZE, small.b.data(), small.size(),
	                   0);
	EXPECT_EQ(show(0, &rc), "");
	EXPECT_EQ(rc, -EFAULT);
	// a reply announcing more descriptor bytes than were asked for
	Bytes big = Bytes().u32(32).u32(VERSION).u32(0).u32(1).u32(4096);
	zvsim_inject_reply(VARN_IOC_GET_UDSP, big.b.data(), big.size(), 0);
	EXPECT_EQ(show(0, &rc), "");
	EXPECT_EQ(rc, -EFAULT);
	// a reply that does not demarshal
	Bytes bad = Bytes().u32(32)
	                    .u32(VERSION)
	                    .u32(0)
	                    .u32(1)
	                    .u32(48)
	                    .u32(0)
	                    .u64(0)
	                    .descr(DST, 0, 2, 0);
	zvsim_inject_reply(VARN_IOC_GET_UDSP, bad.b.data(), bad.size(), 0);
	EXPECT_EQ(show(0, &rc), "");
	EXPECT_EQ(rc, -EFAULT);
	EXPECT_EQ(last_outcome(),
	          (Outcome{"show", -EFAULT, "cannot get udsp: Bad address"}));
}

TEST_F(UdspCmd, DeviceThatCannotOpenGivesTheHint)
{
	register_ioc_dev(0, missing_.c_str());
	zvtest::stderr_capture cap;
	EXPECT_EQ(zorvel_varn_del_udsp(0, 0, &err_), -ENOENT);
	std::string err = cap.finish();
	EXPECT_EQ(last_outcome(), (Outcome{"del", -ENOENT,
	                                   "cannot del udsp: No such file or "
	                                   "directory"}));
	EXPECT_NE(err.find("opening " + missing_ + " failed"),
	          std::string::npos);
	EXPECT_NE(err.find("hint: the kernel modules may not be loaded"),
	          std::string::npos);
	EXPECT_NE(zvtest::stderr_of([&] {
		          EXPECT_EQ(add("tcp", nullptr, nullptr, "pref"),
		                    ENOENT);
	          }).find("hint:"),
	          std::string::npos);
	// A show cannot tell the failed open from the end of the list (both
	// are ENOENT through l_ioctl): it shows nothing, and the hint says
	// why.
	EXPECT_NE(zvtest::stderr_of([&] {
		          EXPECT_EQ(show(-1), "");
	          }).find("hint:"),
	          std::string::npos);
	// once the device is there again, the next request opens it
	register_ioc_dev(0, dev_.c_str());
	EXPECT_EQ(add("tcp", nullptr, nullptr, "pref"), 0);
}

/* Regression: a descriptor whose text exceeded 128 bytes made the show of
 * every policy fail with -ENOBUFS. */
TEST_F(UdspCmd, ShowOfADescriptorLongerThan128Bytes)
{
	std::string list;
	for (int i = 0; i <= 78; i += 2)
		list += (list.empty() ? "" : ",") + std::to_string(i);
	std::string src = "10.0.[" + list + "].1@tcp1";
	ASSERT_GE(src.size(), 128u) << "with its NUL it needs more than 128";
	ASSERT_EQ(add("tcp", nullptr, nullptr, "priority", 1), 0);
	ASSERT_EQ(add(src.c_str(), nullptr, nullptr, "priority", 3), 0);
	int rc = -1;
	EXPECT_EQ(show(-1, &rc), "udsp:\n"
	                         "- idx: 0\n"
	                         "  src: tcp\n"
	                         "  dst: NA\n"
	                         "  rte: NA\n"
	                         "  action:\n"
	                         "    priority: 1\n"
	                         "- idx: 1\n"
	                         "  src: \"" +
	                                 src +
	                                 "\"\n"
	                                 "  dst: NA\n"
	                                 "  rte: NA\n"
	                                 "  action:\n"
	                                 "    priority: 3\n");
	EXPECT_EQ(rc, 0);
}

TEST_F(UdspCmd, ShowPrintsWhenNoTreeIsWanted)
{
	ASSERT_EQ(add("tcp", nullptr, nullptr, "priority", 5), 0);
	testing::internal::CaptureStdout();
	EXPECT_EQ(zorvel_varn_show_udsp(-1, 0, nullptr, &err_), 0);
	EXPECT_EQ(testing::internal::GetCapturedStdout(),
	          "udsp:\n- idx: 0\n  src: tcp\n  dst: NA\n  rte: NA\n"
	          "  action:\n    priority: 5\n");
	testing::internal::CaptureStdout();
	EXPECT_EQ(zorvel_varn_show_udsp(3, 0, nullptr, &err_), 0);
	EXPECT_EQ(testing::internal::GetCapturedStdout(), "udsp: []\n");
}

TEST_F(UdspCmd, OutcomesAccumulateInOneErrorTree)
{
	add("tcp", nullptr, nullptr, "bogus");
	add("tcp", nullptr, nullptr, "pref");
	zorvel_varn_del_udsp(5, 7, &err_);
	EXPECT_EQ(dump(err_), "add:\n"
	                      "- udsp:\n"
	                      "    rc: -1\n"
	                      "    seq_no: 0\n"
	                      "    descr: 'bad action type specified: "
	                      "bogus'\n"
	                      "- udsp:\n"
	                      "    rc: 0\n"
	                      "    seq_no: 0\n"
	                      "    descr: success\n"
	                      "del:\n"
	                      "- udsp:\n"
	                      "    rc: -2\n"
	                      "    seq_no: 7\n"
	                      "    descr: 'cannot del udsp: No such file or "
	                      "directory'\n");
}

} // namespace
