/* The kernel-to-user message channel, with real pipes. */
#include "zvtest/fds.h"

#include <gtest/gtest.h>

#include <zorvel/zorvelapi.h>

#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace
{

std::string prog()
{
	return program_invocation_short_name;
}

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

class Channel : public ::testing::Test
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

TEST_F(Channel, ExactMaxsizeAndOneByteMore)
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

TEST_F(Channel, TransportFiltering)
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

TEST_F(Channel, BadHeaders)
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

	/* a payload cut short by the writer */
	fresh();
	m = message(1, 40);
	send(m.substr(0, 20));
	zvtest::stderr_capture cap3;
	EXPECT_EQ(libkfx_ukuc_msg_get(&link_, buf.data(), buf.size(), 1),
	          -EPROTO);
	EXPECT_EQ(cap3.finish(), prog() + ": short read: got 12 of 48 bytes\n");

	EXPECT_EQ(libkfx_ukuc_msg_get(&link_, buf.data(), 7, 1), -EINVAL);
}

TEST_F(Channel, EndOfFileAndHandedOverWriteEnd)
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

TEST(ChannelStop, ReturnsWhatCloseReturns)
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
