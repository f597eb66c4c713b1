/* Control-device registry and the ioctl data record's packing. */
#include <libkfx/util/ioctl.h>

#include "kfx_internal.h"

#include <zv/high_fd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{

struct ioc_dev {
	const char *dev_name; /* caller's text; NULL for a free entry */
	int dev_fd;           /* -1 while not open */
};

ioc_dev ioc_dev_list[KFX_MAX_IOC_DEV] = {
        {nullptr, -1}, {nullptr, -1}, {nullptr, -1}, {nullptr, -1},
        {nullptr, -1}, {nullptr, -1}, {nullptr, -1}, {nullptr, -1},
        {nullptr, -1}, {nullptr, -1}};

bool valid_id(int dev_id)
{
	return dev_id >= 0 && dev_id < KFX_MAX_IOC_DEV;
}

size_t round8(size_t n)
{
	return (n + 7) & ~size_t(7);
}

} // namespace

size_t libkfx_ioctl_packlen(const struct libkfx_ioctl_data *data)
{
	return sizeof(*data) + round8(data->ioc_inllen1) +
	       round8(data->ioc_inllen2);
}

KFX_EXPORT void unregister_ioc_dev(int dev_id)
{
	if (!valid_id(dev_id))
		return;
	ioc_dev &dev = ioc_dev_list[dev_id];
	if (dev.dev_name != nullptr && dev.dev_fd >= 0)
		close(dev.dev_fd);
	dev.dev_name = nullptr;
	dev.dev_fd = -1;
}

KFX_EXPORT int register_ioc_dev(int dev_id, const char *dev_name)
{
	if (!valid_id(dev_id))
		return -EINVAL;
	unregister_ioc_dev(dev_id);
	ioc_dev_list[dev_id].dev_name = dev_name;
	ioc_dev_list[dev_id].dev_fd = -1;
	return dev_id;
}

/* The open descriptor of a registered device, opening it if needed. */
static int open_ioc_dev(int dev_id)
{
	ioc_dev &dev = ioc_dev_list[dev_id];
	if (dev.dev_name == nullptr) {
		fprintf(stderr, "unknown device id: %d\n", dev_id);
		errno = EINVAL;
		return -EINVAL;
	}
	if (dev.dev_fd < 0) {
		int fd = zv::open_high(dev.dev_name, O_RDWR);
		if (fd < 0) {
			int err = errno;
			fprintf(stderr,
			        "opening %s failed: %s\n"
			        "hint: the kernel modules may not be loaded\n",
			        dev.dev_name, strerror(err));
			errno = err;
			return -err;
		}
		dev.dev_fd = fd;
	}
	return dev.dev_fd;
}

KFX_EXPORT int l_ioctl(int dev_id, unsigned int opc, void *buf)
{
	if (!valid_id(dev_id)) {
		errno = EINVAL;
		return -EINVAL;
	}
	int fd = open_ioc_dev(dev_id);
	if (fd < 0)
		return fd;
	int rc = ioctl(fd, opc, buf);
	return rc < 0 ? -errno : rc;
}

KFX_EXPORT int libkfx_ioctl_pack(struct libkfx_ioctl_data *data, char **pbuf,
                                 int max)
{
	size_t len = libkfx_ioctl_packlen(data);
	data->ioc_hdr.ioc_version = KFX_IOCTL_VERSION_DATA;
	data->ioc_hdr.ioc_len = len;

	if (*pbuf == nullptr) {
		*pbuf = static_cast<char *>(malloc(len));
		if (*pbuf == nullptr)
			return 1;
	} else if (max < 0 || size_t(max) < len) {
		return 1;
	}
	char *p = *pbuf;
	memcpy(p, data, sizeof(*data));
	p += sizeof(*data);
	if (data->ioc_inlbuf1 != nullptr) {
		memcpy(p, data->ioc_inlbuf1, data->ioc_inllen1);
		p += round8(data->ioc_inllen1);
	}
	if (data->ioc_inlbuf2 != nullptr)
		memcpy(p, data->ioc_inlbuf2, data->ioc_inllen2);
	return 0;
}

KFX_EXPORT void libkfx_ioctl_unpack(struct libkfx_ioctl_data *data, char *pbuf)
{
	/* The caller's buffers are as large as the lengths it sent. */
	char *inlbuf1 = data->ioc_inlbuf1, *inlbuf2 = data->ioc_inlbuf2;
	size_t room1 = data->ioc_inllen1, room2 = data->ioc_inllen2;

	auto *reply = reinterpret_cast<libkfx_ioctl_data *>(pbuf);
	memcpy(pbuf + offsetof(libkfx_ioctl_data, ioc_inlbuf1), &inlbuf1,
	       sizeof(inlbuf1));
	memcpy(pbuf + offsetof(libkfx_ioctl_data, ioc_inlbuf2), &inlbuf2,
	       sizeof(inlbuf2));
	memcpy(data, reply, sizeof(*data));

	/* Copy only what the reply holds by its own length, and only within
	 * the buffer the request was packed into, whatever lengths the reply
	 * claims. */
	size_t packed = sizeof(*data) + round8(room1) + round8(room2);
	size_t end = std::min(
	        std::max<size_t>(data->ioc_hdr.ioc_len, sizeof(*data)), packed);
	size_t pos = sizeof(*data);
	auto copy_area = [&](char *dst, size_t len, size_t room) {
		size_t n = std::min(
		        {size_t(len), room, end > pos ? end - pos : size_t(0)});
		if (n > 0)
			memcpy(dst, pbuf + pos, n);
	};
	if (inlbuf1 != nullptr) {
		copy_area(inlbuf1, data->ioc_inllen1, room1);
		pos += round8(data->ioc_inllen1);
	}
	if (inlbuf2 != nullptr)
		copy_area(inlbuf2, data->ioc_inllen2, room2);
}
