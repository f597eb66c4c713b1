// The layout attributes "zorvel.lov" and "trusted.lmv" of objects in the
// mount, and raw layout records stored by steering.
#include "helpers.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace zvtest;

namespace
{

std::string bytes(std::initializer_list<unsigned> list)
{
	std::string s;
	for (unsigned b : list)
		s += static_cast<char>(b);
	return s;
}

// A foreign record: header in host order, then the value.
std::string foreign_record(uint32_t magic, const std::string &value)
{
	zv_foreign_layout h = {magic, static_cast<__u32>(value.size()),
	                       ZV_FOREIGN_TYPE_SYMLINK, 0x11};
	return std::string(reinterpret_cast<const char *>(&h), sizeof h) +
	       value;
}

// getxattr's whole answer: the value, or "" with err set.
std::string xattr(const std::string &path, const char *name, int &err)
{
	err = 0;
	ssize_t n = getxattr(path.c_str(), name, nullptr, 0);
	if (n < 0) {
		err = errno;
		return "";
	}
	std::string v(n, '\0');
	ssize_t got = getxattr(path.c_str(), name, v.data(), v.size());
	if (got < 0) {
		err = errno;
		return "";
	}
	v.resize(got);
	return v;
}

std::vector<std::string> names(const std::string &path)
{
	char buf[1024];
	ssize_t n = listxattr(path.c_str(), buf, sizeof buf);
	std::vector<std::string> out;
	for (ssize_t i = 0; i < n; i += strlen(buf + i) + 1)
		out.emplace_back(buf + i);
	return out;
}

class LayoutXattr : public Sim
{
};

TEST_F(LayoutXattr, AForeignFileLayoutReadsBackAsStored)
{
	std::string f = mnt("foreign");
	int fd = open(f.c_str(), O_WRONLY | O_CREAT, 0644);
	ASSERT_GE(fd, 0);
	std::string rec = foreign_record(ZV_FOREIGN_FILE_MAGIC, "UUID@UUID");
	ASSERT_EQ(ioctl(fd, ZV_IOC_LOV_SETSTRIPE, rec.data()), 0);
	clear_requests();
	int err;
	EXPECT_EQ(xattr(f, "zorvel.lov", err), rec);
	EXPECT_EQ(err, 0);
	// Through the descriptor as well.
	char buf[64];
	EXPECT_EQ(fgetxattr(fd, "zorvel.lov", buf, sizeof buf),
	          static_cast<ssize_t>(rec.size()));
	EXPECT_EQ(std::string(buf, rec.size()), rec);
	close(fd);
	// Each read is a request naming its attribute.
	auto reqs = requests();
	ASSERT_EQ(reqs.size(), 3u);
	EXPECT_EQ(reqs[0].code, ZVSIM_REQ_GETXATTR);
	EXPECT_EQ(std::string(reqs[0].bytes.begin(), reqs[0].bytes.end()),
	          "zorvel.lov");
}

TEST_F(LayoutXattr, SizesAndRoom)
{
	std::string f = mnt("f");
	write_file(f);
	// A plain file shows its default striping: a v1 header and a stripe.
	ssize_t n = getxattr(f.c_str(), "zorvel.lov", nullptr, 0);
	EXPECT_EQ(n, 56);
	char small[16];
	EXPECT_EQ(getxattr(f.c_str(), "zorvel.lov", small, sizeof small), -1);
	EXPECT_EQ(errno, ERANGE);
	int err;
	std::string v = xattr(f, "zorvel.lov", err);
	uint32_t magic;
	memcpy(&magic, v.data(), 4);
	EXPECT_EQ(magic, ZV_LAYOUT_MAGIC_V1);
	// No directory layout on a file, nor on a plain directory.
	xattr(f, "trusted.lmv", err);
	EXPECT_EQ(err, ENODATA);
	ASSERT_EQ(mkdir(mnt("d").c_str(), 0755), 0);
	xattr(mnt("d"), "trusted.lmv", err);
	EXPECT_EQ(err, ENODATA);
	xattr(mnt("d"), "zorvel.lov", err);
	EXPECT_EQ(err, ENODATA);
}

TEST_F(LayoutXattr, RawRecordsAreAnsweredByteForByte)
{
	std::string f = mnt("f"), d = mnt("d");
	write_file(f);
	ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
	std::string fifteen(15, '\x5a');
	ASSERT_EQ(zvsim_layout_store(f.c_str(), "lov", fifteen.data(), 15), 0);
	// A header written in the other byte order, length 5, 3 value bytes.
	std::string swapped = bytes({0xd0, 0x0c, 0xd5, 0x0c, 0, 0, 0, 5, 0, 0,
	                             0xda, 0x05, 0, 0, 0, 1, 0xab, 1, 2});
	ASSERT_EQ(zvsim_layout_store(d.c_str(), "lmv", swapped.data(),
	                             swapped.size()),
	          0);
	int err;
	EXPECT_EQ(xattr(f, "zorvel.lov", err), fifteen);
	EXPECT_EQ(xattr(d, "trusted.lmv", err), swapped);
	// The layout requests answer the same bytes.
	std::vector<char> buf(65536);
	uint32_t req = ZV_DIR_STRIPE_REQUEST_MAGIC;
	memcpy(buf.data(), &req, 4);
	int fd = open(d.c_str(), O_RDONLY | O_DIRECTORY);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(ioctl(fd, ZV_IOC_LMV_GETSTRIPE, buf.data()), 0);
	close(fd);
	EXPECT_EQ(std::string(buf.data(), swapped.size()), swapped);
	// A file whose layout was stored keeps it: setting one is EEXIST.
	fd = open(f.c_str(), O_WRONLY);
	std::string rec = foreign_record(ZV_FOREIGN_FILE_MAGIC, "x");
	EXPECT_EQ(ioctl(fd, ZV_IOC_LOV_SETSTRIPE, rec.data()), -1);
	EXPECT_EQ(errno, EEXIST);
	close(fd);
}

TEST_F(LayoutXattr, ACompositeLayoutThroughSteering)
{
	std::string f = mnt("comp");
	write_file(f);
	std::string comp(64, '\0');
	uint32_t magic = ZV_LAYOUT_MAGIC_COMP, size = 4 << 20;
	uint16_t count = 3;
	memcpy(comp.data(), &magic, 4);
	memcpy(comp.data() + 24, &size, 4);
	memcpy(comp.data() + 28, &count, 2);
	ASSERT_EQ(
	        zvsim_layout_store(f.c_str(), "lov", comp.data(), comp.size()),
	        0);
	std::vector<char> buf(ZV_LAYOUT_MAX_SIZE);
	int fd = open(f.c_str(), O_RDONLY);
	ASSERT_EQ(ioctl(fd, ZV_IOC_LOV_GETSTRIPE, buf.data()), 0);
	close(fd);
	EXPECT_EQ(std::string(buf.data(), comp.size()), comp);
}

TEST_F(LayoutXattr, SteeringRefusals)
{
	std::string f = mnt("f");
	write_file(f);
	EXPECT_EQ(zvsim_layout_store(f.c_str(), "lmv", "x", 1), -ENOTDIR);
	EXPECT_EQ(zvsim_layout_store(f.c_str(), "abc", "x", 1), -EINVAL);
	std::string outside = tmp_.path() + "/outside";
	write_file(outside);
	EXPECT_EQ(zvsim_layout_store(outside.c_str(), "lov", "x", 1), -EXDEV);
	std::string big(65537, 'b');
	EXPECT_EQ(zvsim_layout_store(f.c_str(), "lov", big.data(), big.size()),
	          -E2BIG);
}

TEST_F(LayoutXattr, ListingAddsTheLayoutAttributes)
{
	std::string f = mnt("f"), d = mnt("d");
	write_file(f);
	ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
	ASSERT_EQ(zvsim_layout_store(d.c_str(), "lmv", "abcdefghijklmnop", 16),
	          0);
	EXPECT_EQ(names(f), std::vector<std::string>{"zorvel.lov"});
	EXPECT_EQ(names(d), std::vector<std::string>{"trusted.lmv"});
	EXPECT_EQ(listxattr(f.c_str(), nullptr, 0), 11);
	char small[4];
	EXPECT_EQ(listxattr(f.c_str(), small, sizeof small), -1);
	EXPECT_EQ(errno, ERANGE);
}

TEST_F(LayoutXattr, OtherNamesAndObjectsGoToTheFileSystem)
{
	std::string outside = tmp_.path() + "/outside";
	write_file(outside);
	write_file(mnt("f"));
	clear_requests();
	int err;
	xattr(outside, "zorvel.lov", err);
	EXPECT_TRUE(err == ENODATA || err == ENOTSUP) << err;
	xattr(mnt("f"), "user.other", err);
	EXPECT_TRUE(err == ENODATA || err == ENOTSUP) << err;
	EXPECT_TRUE(requests().empty());
	// A symbolic link is not followed by lgetxattr: it has no layout.
	ASSERT_EQ(symlink("f", mnt("link").c_str()), 0);
	EXPECT_EQ(lgetxattr(mnt("link").c_str(), "zorvel.lov", nullptr, 0), -1);
	EXPECT_EQ(errno, ENODATA);
	EXPECT_EQ(getxattr(mnt("link").c_str(), "zorvel.lov", nullptr, 0), 56);
}

TEST_F(LayoutXattr, AnInjectedFailureAnswers)
{
	write_file(mnt("f"));
	ASSERT_EQ(zvsim_inject_errno(ZVSIM_REQ_GETXATTR, EIO, 0), 0);
	EXPECT_EQ(getxattr(mnt("f").c_str(), "zorvel.lov", nullptr, 0), -1);
	EXPECT_EQ(errno, EIO);
	EXPECT_EQ(getxattr(mnt("f").c_str(), "zorvel.lov", nullptr, 0), 56);
}

} // namespace
