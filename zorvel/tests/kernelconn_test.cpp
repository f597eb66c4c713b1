/* The kernel-to-user message channel, with real pipes. */
#include "wire_words.h"
#include "zvtest/fds.h"

#include <gtest/gtest.h>

#include <zorvel/zorvelapi.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using wiretest::prog;

/* A framed message: header then payload. */
std::string message(uint8_t transport, size_t payload_len, char fill = 'p',
                    uint16_t magic = KUC_HDR_MAGIC)
{
	kuc_hdr hdr = {};
	hdr.kuc_magic = magic;
	hdr.kuc_transport = transport;
	hdr.kuc_msgtype = 7;
	hdr.kuc_msglen = sizeof(hdr) + payload_len;
	std::string m(reinterpret_cast<char *>(&hdr), sizeof(hdr));
	return m + std::string(payload_len, fill);
}

class Kernelconn : public ::testing::Test
{
      protected:
	void SetUp() override
	{
		ASSERT_EQ(libkfx_ukuc_start(&link_, 3, O_NONBLOCK), 0);
		EXPECT_EQ(int(link_.zk_group), 3);
		EXPECT_EQ(link_.zk_uid, unsigned(getpid()));
		EXPECT_EQ(libkfx_ukuc_get_rfd(&link_), int(link_.zk_rfd));
		EXPECT_TRUE(fcntl(link_.zk_rfd, F_GETFL) & O_NONBLOCK);
	}
	void TearDown() override
	{
		if (int(link_.zk_rfd) >= 0)
			libkfx_ukuc_stop(&link_);
	}
	void send(const std::string &bytes)
	{
		ASSERT_EQ(write(link_.zk_wfd, bytes.data(), bytes.size()),
		          ssize_t(bytes.size()));
	}
	zorvel_kernelcomm link_;
};

TEST_F(Kernelconn, ExactMaxsizeAndOneByteMore)
{
	std::vector<char> buf(64, 'x');
	send(message(KUC_TRANSPORT_HSM, 56));
	ASSERT_EQ(libkfx_ukuc_msg_get(&link_, buf.data(), 64, 2), 0);
	EXPECT_EQ(std::string(buf.data() + 8, 56), std::string(56, 'p'));

	send(message(KUC_TRANSPORT_HSM, 57));
	send(message(KUC_TRANSPORT_HSM, 3, 'n'));
	EXPECT_EQ(libkfx_ukuc_msg_get(&link_, buf.data(), 64, 2), -EMSGSIZE);
	/* the refused message is gone whole; the next one reads in step */
	ASSERT_EQ(libkfx_ukuc_msg_get(&link_, buf.data(), 64, 2), 0);
	EXPECT_EQ(std::string(buf.data() + 8, 3), "nnn");
}

TEST_F(Kernelconn, TransportFiltering)
{
	std::vector<char> buf(256);
	send(message(KUC_TRANSPORT_HSM, 4, 'a'));
	send(message(9, 4, 'b'));
	send(message(KUC_TRANSPORT_GENERIC, 4, 'c'));
	send(message(KUC_TRANSPORT_HSM, 4, 'd'));

	ASSERT_EQ(libkfx_ukuc_msg_get(&link_, buf.data(), buf.size(), 2), 0);
	EXPECT_EQ(buf[8], 'a');
	/* transport 9 is skipped for a reader of transport 2 */
	ASSERT_EQ(libkfx_ukuc_msg_get(&link_, buf.data(), buf.size(), 2), 0);
	EXPECT_EQ(buf[8], 'c') << "generic messages reach every reader";
	/* a reader of another transport skips the HSM one */
	EXPECT_EQ(libkfx_ukuc_msg_get(&link_, buf.data(), buf.size(), 5),
	          -EAGAIN);
}

TEST_F(Kernelconn, BadHeaders)
{
	/* after a refused header the channel is out of step: each case gets
	 * a channel of its own */
	auto fresh = [&] {
		libkfx_ukuc_stop(&link_);
		ASSERT_EQ(libkfx_ukuc_start(&link_, 3, O_NONBLOCK), 0);
	};
	std::vector<char> buf(256);
	send(message(1, 4, 'p', 0xBEEF));
	zvtest::stderr_capture cap;
	EXPECT_EQ(libkfx_ukuc_msg_get(&link_, buf.data(), buf.size(), 1),
	          -EPROTO);
	EXPECT_EQ(cap.finish(), prog() + ": bad message magic beef != 191c\n");

	/* a length below the header's own is refused before any payload
	 * read, even into a buffer that holds just the header */
	fresh();
	std::string m = message(1, 0);
	uint16_t len = 3;
	memcpy(&m[6], &len, 2);
	send(m + "trailing");
	std::vector<char> small(8 + 16, '\x5a');
	zvtest::stderr_capture cap2;
	EXPECT_EQ(libkfx_ukuc_msg_get(&link_, small.data(), 8, 1), -EPROTO);
	EXPECT_EQ(cap2.finish(), prog() + ": bad message length 3\n");
	EXPECT_EQ(std::string(small.data() + 8, 16), std::string(16, '\x5a'));

	/* a payload cut short by the end of the file */
	fresh();
	m = message(1, 40);
	send(m.substr(0, 20));
	close(link_.zk_wfd);
	link_.zk_wfd = -1;
	zvtest::stderr_capture cap3;
	EXPECT_EQ(libkfx_ukuc_msg_get(&link_, buf.data(), buf.size(), 1),
	          -EPROTO);
	EXPECT_EQ(cap3.finish(), prog() + ": short read: got 12 of 48 bytes\n");

	EXPECT_EQ(libkfx_ukuc_msg_get(&link_, buf.data(), 7, 1), -EINVAL);
}

TEST_F(Kernelconn, EndOfFileAndHandedOverWriteEnd)
{
	std::vector<char> buf(64);
	EXPECT_EQ(libkfx_ukuc_msg_get(&link_, buf.data(), 64, 1), -EAGAIN);
	close(link_.zk_wfd);
	link_.zk_wfd = -1; /* handed over */
	EXPECT_EQ(libkfx_ukuc_msg_get(&link_, buf.data(), 64, 1), -EPIPE);

	int before = zvtest::open_fd_count();
	EXPECT_EQ(libkfx_ukuc_stop(&link_), 0);
	EXPECT_EQ(zvtest::open_fd_count(), before - 1);
	EXPECT_EQ(int(link_.zk_rfd), -1);
	EXPECT_EQ(int(link_.zk_wfd), -1);
}

/* Messages longer than PIPE_BUF, each written with one write(), arrive in
 * pieces: the reader must put each together, in blocking and non-blocking
 * mode, while skipping other transports' and oversized messages whole. */
TEST(KernelconnLargeMessages, ReadWholeAsTheyArriveInPieces)
{
	/* ZV_KUC_SEED=N repeats a run */
	const char *env = getenv("ZV_KUC_SEED");
	unsigned seed = env ? unsigned(strtoul(env, nullptr, 0))
	                    : std::random_device()();
	SCOPED_TRACE("ZV_KUC_SEED=" + std::to_string(seed));
	struct sigaction ignore = {}, old;
	ignore.sa_handler = SIG_IGN;
	sigaction(SIGPIPE, &ignore, &old);
	for (int flags : {O_NONBLOCK, 0}) {
		SCOPED_TRACE(flags ? "non-blocking" : "blocking");
		zorvel_kernelcomm link;
		ASSERT_EQ(libkfx_ukuc_start(&link, 1, flags), 0);
		constexpr int maxsize = 30000, count = 1500;
		/* the writer's plan: size, transport and fill of each */
		struct planned {
			size_t payload;
			uint8_t transport;
			char fill;
		};
		std::mt19937 rng(seed + flags);
		std::vector<planned> plan;
		for (int i = 0; i < count; i++) {
			size_t payload = rng() % 4 == 0 ? rng() % 64
			                                : 20000 + rng() % 12000;
			uint8_t transport = rng() % 5 == 0 ? 9 : 2;
			plan.push_back(
			        {payload, transport, char('a' + i % 26)});
		}
		int wfd = link.zk_wfd;
		std::thread writer([&] {
			for (const planned &p : plan) {
				std::string m =
				        message(p.transport, p.payload, p.fill);
				if (write(wfd, m.data(), m.size()) !=
				    ssize_t(m.size()))
					break;
			}
			close(wfd);
		});
		link.zk_wfd = -1;

		/* what each call should give: an oversized message is
		 * refused whatever its transport, a fitting one of another
		 * transport is passed over */
		auto fits = [&](const planned &p) {
			return sizeof(kuc_hdr) + p.payload <= size_t(maxsize);
		};
		auto next_outcome = [&](size_t from) {
			while (from < plan.size() && fits(plan[from]) &&
			       plan[from].transport != 2)
				from++;
			return from;
		};
		std::vector<char> buf(maxsize);
		size_t next = 0;
		auto read_all = [&] {
			int rc;
			while ((rc = libkfx_ukuc_msg_get(&link, buf.data(),
			                                 maxsize, 2)) !=
			       -EPIPE) {
				if (rc == -EAGAIN) {
					struct pollfd p = {int(link.zk_rfd),
					                   POLLIN, 0};
					poll(&p, 1, -1);
					continue;
				}
				next = next_outcome(next);
				ASSERT_LT(next, plan.size())
				        << "more than was sent";
				const planned &want = plan[next++];
				if (!fits(want)) {
					ASSERT_EQ(rc, -EMSGSIZE)
					        << "message " << next;
					continue;
				}
				ASSERT_EQ(rc, 0) << "message " << next;
				kuc_hdr hdr;
				memcpy(&hdr, buf.data(), sizeof(hdr));
				ASSERT_EQ(hdr.kuc_msglen,
				          sizeof(hdr) + want.payload);
				ASSERT_EQ(std::string(buf.data() + sizeof(hdr),
				                      want.payload),
				          std::string(want.payload, want.fill))
				        << "message " << next;
			}
			EXPECT_EQ(next_outcome(next), plan.size())
			        << "messages lost";
		};
		read_all();
		/* after a failure, a writer still writing gets EPIPE */
		libkfx_ukuc_stop(&link);
		writer.join();
	}
	sigaction(SIGPIPE, &old, nullptr);
}

TEST(KernelconnStop, ReturnsWhatCloseReturns)
{
	zorvel_kernelcomm link;
	int before = zvtest::open_fd_count();
	EXPECT_EQ(libkfx_ukuc_start(&link, 1, 0), 0);
	EXPECT_EQ(zvtest::open_fd_count(), before + 2);
	errno = 0;
	EXPECT_EQ(libkfx_ukuc_stop(&link), 0);
	EXPECT_EQ(zvtest::open_fd_count(), before);
	EXPECT_EQ(libkfx_ukuc_stop(&link), -1) << "close()'s own result";
	EXPECT_EQ(errno, EBADF);
}

} // namespace
