/* Kernel-to-user message channel: the receiving pipe and framed reads. */
#include "zorvelapi_internal.h"

#include <linux/zorvel/zorvel_kernelcomm.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <poll.h>

namespace
{

/* Waits until fd has something to read (or its writer went). */
int wait_readable(int fd)
{
	struct pollfd p = {fd, POLLIN, 0};
	int rc;
	do
		rc = poll(&p, 1, -1);
	while (rc < 0 && errno == EINTR);
	return rc < 0 ? -errno : 0;
}

/* Reads len bytes of a message into buf. A pipe delivers a message longer
 * than PIPE_BUF in pieces, so once the message has begun (begun, or a
 * first piece read) the rest is waited for, with poll() when the read end
 * is non-blocking. The count read, short only at end of file; or -errno
 * (-EAGAIN only before the message began). */
ssize_t read_whole(int fd, char *buf, size_t len, bool begun)
{
	size_t got = 0;
	while (got < len) {
		ssize_t n = read(fd, buf + got, len - got);
		if (n > 0) {
			got += n;
			begun = true;
		} else if (n == 0) {
			break;
		} else if (errno == EAGAIN && begun) {
			if (int rc = wait_readable(fd); rc < 0)
				return rc;
		} else if (errno != EINTR) {
			return -errno;
		}
	}
	return ssize_t(got);
}

/* Reads and drops the len bytes left of a message, as far as they come. */
void discard(int fd, size_t len)
{
	char sink[4096];
	while (len > 0) {
		size_t part = std::min(len, sizeof(sink));
		if (read_whole(fd, sink, part, true) != ssize_t(part))
			break;
		len -= part;
	}
}

} // namespace

ZV_EXPORT int libkfx_ukuc_start(struct zorvel_kernelcomm *link, int group,
                                int rfd_flags)
{
	int pfd[2];
	link->zk_wfd = -1;
	link->zk_rfd = -1;
	if (zv::pipe_high(pfd) < 0)
		return -errno;
	zv::unique_fd rfd(pfd[0]), wfd(pfd[1]);
	if (fcntl(rfd.get(), F_SETFL, rfd_flags) < 0)
		return -errno;
	link->zk_uid = 0;
	link->zk_group = 0;
	link->zk_data_count = 0;
	link->zk_flags = 0;
	link->zk_rfd = rfd.release();
	link->zk_wfd = wfd.release();
	link->zk_group = group;
	link->zk_uid = getpid();
	return 0;
}

ZV_EXPORT int libkfx_ukuc_stop(struct zorvel_kernelcomm *link)
{
	if (int(link->zk_wfd) != -1)
		close(link->zk_wfd);
	int rc = close(link->zk_rfd);
	link->zk_rfd = -1;
	link->zk_wfd = -1;
	return rc;
}

ZV_EXPORT int libkfx_ukuc_get_rfd(struct zorvel_kernelcomm *link)
{
	return link->zk_rfd;
}

ZV_EXPORT int libkfx_ukuc_msg_get(struct zorvel_kernelcomm *link, char *buf,
                                  int maxsize, int transport)
{
	/* Not even a header fits: reading one would overrun buf. */
	if (buf == nullptr || maxsize < int(sizeof(kuc_hdr)))
		return -EINVAL;
	memset(buf, 0, maxsize);

	for (;;) {
		ssize_t n =
		        read_whole(link->zk_rfd, buf, sizeof(kuc_hdr), false);
		if (n < 0)
			return int(n);
		if (n == 0)
			return -EPIPE; /* no writer left: no more messages */
		if (size_t(n) < sizeof(kuc_hdr)) {
			zvapi_error(ZVAPI_MSG_ERROR | ZVAPI_MSG_NO_ERRNO, 0,
			            "short read: got %d of %d bytes\n", int(n),
			            int(sizeof(kuc_hdr)));
			return -EPROTO;
		}
		kuc_hdr hdr;
		memcpy(&hdr, buf, sizeof(hdr));
		if (hdr.kuc_magic != KUC_HDR_MAGIC) {
			zvapi_error(ZVAPI_MSG_ERROR | ZVAPI_MSG_NO_ERRNO, 0,
			            "bad message magic %x != %x\n",
			            hdr.kuc_magic, KUC_HDR_MAGIC);
			return -EPROTO;
		}
		if (hdr.kuc_msglen < sizeof(kuc_hdr)) {
			zvapi_error(ZVAPI_MSG_ERROR | ZVAPI_MSG_NO_ERRNO, 0,
			            "bad message length %d\n", hdr.kuc_msglen);
			return -EPROTO;
		}
		if (hdr.kuc_msglen > maxsize) {
			/* A pipe cannot take back the header already read:
			 * drop the payload too, so the next read starts at a
			 * message boundary. */
			discard(link->zk_rfd, hdr.kuc_msglen - sizeof(hdr));
			return -EMSGSIZE;
		}

		size_t payload = hdr.kuc_msglen - sizeof(kuc_hdr);
		n = read_whole(link->zk_rfd, buf + sizeof(kuc_hdr), payload,
		               true);
		if (n < 0)
			return int(n);
		if (size_t(n) < payload) {
			zvapi_error(ZVAPI_MSG_ERROR | ZVAPI_MSG_NO_ERRNO, 0,
			            "short read: got %d of %d bytes\n", int(n),
			            int(hdr.kuc_msglen));
			return -EPROTO;
		}
		if (hdr.kuc_transport == KUC_TRANSPORT_GENERIC ||
		    hdr.kuc_transport == transport)
			return 0;
		/* another transport's message: drop it, read the next */
	}
}
