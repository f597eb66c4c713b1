// Layout requests: striping of files, directory defaults, foreign layouts.
#include "helpers.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace zvtest;

namespace
{

std::vector<char> foreign(__u32 magic, const std::string &value,
                          __u32 type = ZV_FOREIGN_TYPE_SYMLINK, __u32 flags = 7)
{
	std::vector<char> r(sizeof(zv_foreign_layout) + value.size());
	auto *lfm = reinterpret_cast<zv_foreign_layout *>(r.data());
	lfm->lfm_magic = magic;
	lfm->lfm_length = static_cast<__u32>(value.size());
	lfm->lfm_type = type;
	lfm->lfm_flags = flags;
	memcpy(lfm->lfm_value, value.data(), value.size());
	return r;
}

// Record for a foreign directory create request.
std::vector<char> dir_create(const std::string &name, __u32 mode,
                             const std::string &value)
{
	size_t namelen = name.size() + 1, padded = (namelen + 7) & ~size_t{7};
	auto lfm = foreign(ZV_FOREIGN_DIR_MAGIC, value);
	std::vector<char> r(sizeof(zv_foreign_dir_create) + padded +
	                    lfm.size());
	auto *h = reinterpret_cast<zv_foreign_dir_create *>(r.data());
	h->zfd_mode = mode;
	h->zfd_namelen = static_cast<__u32>(namelen);
	h->zfd_reclen = static_cast<__u32>(r.size());
	memcpy(h->zfd_name, name.c_str(), namelen);
	memcpy(r.data() + sizeof *h + padded, lfm.data(), lfm.size());
	return r;
}

zv_layout_v3 striping(__u32 magic, __u32 size, __u16 count, __u16 offset)
{
	zv_layout_v3 l{};
	l.lmm_magic = magic;
	l.lmm_pattern = ZV_LAYOUT_PATTERN_RAID0;
	l.lmm_stripe_size = size;
	l.lmm_stripe_count = count;
	l.lmm_stripe_offset = offset;
	return l;
}

} // namespace

class Layout : public Sim
{
      protected:
	Res set(const std::string &path, const void *rec)
	{
		Fd f(open(path.c_str(), O_RDONLY));
		EXPECT_GE(f.fd, 0);
		int rc = ioctl(f.fd, ZV_IOC_LOV_SETSTRIPE, rec);
		return {rc, errno};
	}
	Res get(const std::string &path, std::vector<char> &buf)
	{
		buf.assign(ZV_LAYOUT_MAX_SIZE, 0);
		Fd f(open(path.c_str(), O_RDONLY));
		EXPECT_GE(f.fd, 0);
		int rc = ioctl(f.fd, ZV_IOC_LOV_GETSTRIPE, buf.data());
		return {rc, errno};
	}
	const zv_layout_v1 &v1(const std::vector<char> &b)
	{
		return *reinterpret_cast<const zv_layout_v1 *>(b.data());
	}
};

TEST_F(Layout, DefaultForAFileWithoutOne)
{
	write_file(mnt("f"));
	zo_fid f = fid(mnt("f"));
	std::vector<char> b;
	ASSERT_EQ(get(mnt("f"), b).rc, 0);
	EXPECT_EQ(v1(b).lmm_magic, ZV_LAYOUT_MAGIC_V1);
	EXPECT_EQ(v1(b).lmm_pattern, ZV_LAYOUT_PATTERN_RAID0);
	EXPECT_EQ(v1(b).lmm_stripe_size, 1u << 20);
	EXPECT_EQ(v1(b).lmm_stripe_count, 1);
	EXPECT_EQ(v1(b).lmm_stripe_offset, 0);
	EXPECT_EQ(v1(b).lmm_oi.oi_id, f.f_oid);
	EXPECT_EQ(v1(b).lmm_oi.oi_seq, f.f_seq);
	EXPECT_EQ(v1(b).lmm_objects[0].l_ost_idx, f.f_oid % 2);
}

TEST_F(Layout, SetThenGetAndSetOnlyOnce)
{
	write_file(mnt("f"));
	auto l = striping(ZV_LAYOUT_MAGIC_V1, 4 << 20, 2, 1);
	ASSERT_EQ(set(mnt("f"), &l).rc, 0);
	std::vector<char> b;
	ASSERT_EQ(get(mnt("f"), b).rc, 0);
	EXPECT_EQ(v1(b).lmm_stripe_size, 4u << 20);
	EXPECT_EQ(v1(b).lmm_stripe_count, 2);
	EXPECT_EQ(v1(b).lmm_objects[0].l_ost_idx, 1u);
	EXPECT_EQ(v1(b).lmm_objects[1].l_ost_idx, 0u);
	Res r = set(mnt("f"), &l);
	EXPECT_EQ(r.rc, -1);
	EXPECT_EQ(r.err, EEXIST);
}

TEST_F(Layout, V3KeepsThePoolAndAllTargetsMeansEveryTarget)
{
	resetup(1, 4);
	write_file(mnt("f"));
	auto l = striping(ZV_LAYOUT_MAGIC_V3, 0, 0xFFFF, 0xFFFF);
	strcpy(l.lmm_pool_name, "fast");
	ASSERT_EQ(set(mnt("f"), &l).rc, 0);
	std::vector<char> b;
	ASSERT_EQ(get(mnt("f"), b).rc, 0);
	auto &v3 = *reinterpret_cast<const zv_layout_v3 *>(b.data());
	EXPECT_EQ(v3.lmm_magic, ZV_LAYOUT_MAGIC_V3);
	EXPECT_STREQ(v3.lmm_pool_name, "fast");
	EXPECT_EQ(v3.lmm_stripe_count, 4);
	EXPECT_EQ(v3.lmm_stripe_size, 1u << 20);
}

TEST_F(Layout, SpecificTargets)
{
	resetup(1, 4);
	write_file(mnt("f"));
	std::vector<char> rec(sizeof(zv_layout_v3) +
	                      2 * sizeof(zv_layout_ost_data));
	auto *l = reinterpret_cast<zv_layout_v3 *>(rec.data());
	*l = striping(ZV_LAYOUT_MAGIC_SPECIFIC, 1 << 16, 2, 0xFFFF);
	l->lmm_objects[0].l_ost_idx = 3;
	l->lmm_objects[1].l_ost_idx = 1;
	ASSERT_EQ(set(mnt("f"), rec.data()).rc, 0);
	std::vector<char> b;
	ASSERT_EQ(get(mnt("f"), b).rc, 0);
	auto &v3 = *reinterpret_cast<const zv_layout_v3 *>(b.data());
	EXPECT_EQ(v3.lmm_stripe_count, 2);
	EXPECT_EQ(v3.lmm_objects[0].l_ost_idx, 3u);
	EXPECT_EQ(v3.lmm_objects[1].l_ost_idx, 1u);

	write_file(mnt("g"));
	l->lmm_objects[1].l_ost_idx = 4; // out of range
	EXPECT_EQ(set(mnt("g"), rec.data()).err, EINVAL);
	l->lmm_objects[1].l_ost_idx = 3; // twice the same target
	EXPECT_EQ(set(mnt("g"), rec.data()).err, EINVAL);
}

TEST_F(Layout, InvalidRequests)
{
	write_file(mnt("f"));
	auto bad_magic = striping(0x12345678, 0, 1, 0);
	auto too_many = striping(ZV_LAYOUT_MAGIC_V1, 0, 3, 0);
	auto odd_size = striping(ZV_LAYOUT_MAGIC_V1, 65536 + 4096, 1, 0);
	auto bad_offset = striping(ZV_LAYOUT_MAGIC_V1, 0, 1, 2);
	for (auto *l : {&bad_magic, &too_many, &odd_size, &bad_offset}) {
		Res r = set(mnt("f"), l);
		EXPECT_EQ(r.rc, -1);
		EXPECT_EQ(r.err, EINVAL);
	}
	// None of them left a layout behind.
	auto ok = striping(ZV_LAYOUT_MAGIC_V1, 0, 1, 0);
	EXPECT_EQ(set(mnt("f"), &ok).rc, 0);
}

TEST_F(Layout, ForeignFileComesBackAsStored)
{
	int fd = open(mnt("ff").c_str(), O_WRONLY | O_CREAT | ZV_O_DELAY_CREATE,
	              0644);
	ASSERT_GE(fd, 0);
	auto rec = foreign(ZV_FOREIGN_FILE_MAGIC, "UUID@UUID", 0xDA05, 0xDA05);
	ASSERT_EQ(ioctl(fd, ZV_IOC_LOV_SETSTRIPE, rec.data()), 0);
	close(fd);
	std::vector<char> b;
	ASSERT_EQ(get(mnt("ff"), b).rc, 0);
	EXPECT_EQ(0, memcmp(b.data(), rec.data(), rec.size()));

	write_file(mnt("g"));
	auto huge = foreign(ZV_FOREIGN_FILE_MAGIC, "x");
	reinterpret_cast<zv_foreign_layout *>(huge.data())->lfm_length =
	        65536 - 16 + 1;
	EXPECT_EQ(set(mnt("g"), huge.data()).err, EINVAL);
}

TEST_F(Layout, LargeForeignLayoutThatCannotFitTheReplyBuffer)
{
	write_file(mnt("f"));
	auto rec = foreign(ZV_FOREIGN_FILE_MAGIC, std::string(50000, 'v'));
	ASSERT_EQ(set(mnt("f"), rec.data()).rc, 0);
	std::vector<char> b;
	Res r = get(mnt("f"), b);
	EXPECT_EQ(r.rc, -1);
	EXPECT_EQ(r.err, ERANGE);
}

TEST_F(Layout, LayoutOfADeletedFileDoesNotPassToItsSuccessor)
{
	write_file(mnt("f"));
	auto l = striping(ZV_LAYOUT_MAGIC_V1, 0, 2, 0);
	ASSERT_EQ(set(mnt("f"), &l).rc, 0);
	struct stat st;
	stat(mnt("f").c_str(), &st);
	ASSERT_EQ(unlink(mnt("f").c_str()), 0);
	// Recreate until the inode number comes back (ext4 and tmpfs reuse).
	for (int i = 0; i < 20; ++i) {
		std::string p = mnt("n" + std::to_string(i));
		write_file(p);
		struct stat nst;
		stat(p.c_str(), &nst);
		if (nst.st_ino != st.st_ino)
			continue;
		std::vector<char> b;
		ASSERT_EQ(get(p, b).rc, 0);
		EXPECT_EQ(v1(b).lmm_stripe_count, 1) << "stale layout";
		EXPECT_EQ(set(p, &l).rc, 0);
		return;
	}
	GTEST_SKIP() << "inode number not reused";
}

TEST_F(Layout, DirectoryDefault)
{
	ASSERT_EQ(mkdir(mnt("d").c_str(), 0755), 0);
	std::vector<char> b;
	Res r = get(mnt("d"), b);
	EXPECT_EQ(r.rc, -1);
	EXPECT_EQ(r.err, ENODATA);
	auto l = striping(ZV_LAYOUT_MAGIC_V1, 2 << 20, 0xFFFF, 0xFFFF);
	ASSERT_EQ(set(mnt("d"), &l).rc, 0);
	ASSERT_EQ(get(mnt("d"), b).rc, 0);
	EXPECT_EQ(v1(b).lmm_stripe_size, 2u << 20);
	EXPECT_EQ(v1(b).lmm_stripe_count, 0xFFFF);
	// A directory default may be replaced.
	l.lmm_stripe_count = 1;
	EXPECT_EQ(set(mnt("d"), &l).rc, 0);
}

class DirLayout : public Sim
{
      protected:
	Res create(const std::vector<char> &rec, const std::string &parent = "")
	{
		Fd f(open(mnt(parent).c_str(), O_RDONLY | O_DIRECTORY));
		int rc = ioctl(f.fd, ZV_IOC_LMV_SETSTRIPE, rec.data());
		return {rc, errno};
	}
	Res get(const std::string &path, std::vector<char> &buf)
	{
		buf.assign(65536, 0);
		auto *lum = reinterpret_cast<zv_lmv_user_md *>(buf.data());
		lum->lum_magic = ZV_DIR_STRIPE_REQUEST_MAGIC;
		Fd f(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW));
		int rc = ioctl(f.fd, ZV_IOC_LMV_GETSTRIPE, buf.data());
		return {rc, errno};
	}
};

TEST_F(DirLayout, CreateForeignDirectoryAndReadItBack)
{
	mode_t old = umask(022);
	auto rec = dir_create("fd", 0777, "UUID@UUID");
	ASSERT_EQ(create(rec).rc, 0);
	umask(old);
	struct stat st;
	ASSERT_EQ(stat(mnt("fd").c_str(), &st), 0);
	EXPECT_TRUE(S_ISDIR(st.st_mode));
	EXPECT_EQ(st.st_mode & 0777, 0755u);

	std::vector<char> b;
	ASSERT_EQ(get(mnt("fd"), b).rc, 0);
	auto want = foreign(ZV_FOREIGN_DIR_MAGIC, "UUID@UUID");
	EXPECT_EQ(0, memcmp(b.data(), want.data(), want.size()));

	Res r = create(rec);
	EXPECT_EQ(r.rc, -1);
	EXPECT_EQ(r.err, EEXIST);
}

TEST_F(DirLayout, PlainDirectoryAnswersItsTarget)
{
	resetup(2);
	ASSERT_EQ(mkdir(mnt("d").c_str(), 0755), 0);
	struct stat st;
	stat(mnt("d").c_str(), &st);
	std::vector<char> b;
	ASSERT_EQ(get(mnt("d"), b).rc, 0);
	auto *lum = reinterpret_cast<zv_lmv_user_md *>(b.data());
	EXPECT_EQ(lum->lum_magic, 0x0CD10CD0u);
	EXPECT_EQ(lum->lum_stripe_count, 0u);
	EXPECT_EQ(lum->lum_stripe_offset, st.st_ino % 2);
}

TEST_F(DirLayout, RequestMagicAndDirectoryChecked)
{
	ASSERT_EQ(mkdir(mnt("d").c_str(), 0755), 0);
	write_file(mnt("f"));
	std::vector<char> b;
	EXPECT_EQ(get(mnt("f"), b).err, ENOTDIR);
	zv_lmv_user_md lum{};
	lum.lum_magic = 0x1234;
	Fd f(open(mnt("d").c_str(), O_RDONLY));
	EXPECT_EQ(ioctl(f.fd, ZV_IOC_LMV_GETSTRIPE, &lum), -1);
	EXPECT_EQ(errno, EINVAL);
}

TEST_F(DirLayout, InconsistentCreateRecords)
{
	auto good = dir_create("x", 0755, "v");
	auto check = [&](std::vector<char> rec, const char *what) {
		Res r = create(rec);
		EXPECT_EQ(r.rc, -1) << what;
		EXPECT_EQ(r.err, EINVAL) << what;
	};
	auto short_rec = good;
	reinterpret_cast<zv_foreign_dir_create *>(short_rec.data())
	        ->zfd_reclen = 20;
	check(short_rec, "reclen below the parts");
	auto unterminated = good;
	unterminated[sizeof(zv_foreign_dir_create) + 1] = 'y';
	check(unterminated, "name without NUL");
	check(dir_create("a/b", 0755, "v"), "slash in name");
	auto wrong_magic = good;
	wrong_magic[sizeof(zv_foreign_dir_create) + 8] ^= 1;
	check(wrong_magic, "bad magic");
	auto wrong_len = good;
	reinterpret_cast<zv_foreign_layout *>(wrong_len.data() +
	                                      sizeof(zv_foreign_dir_create) + 8)
	        ->lfm_length = 2;
	check(wrong_len, "lfm_length not matching");
	struct stat st;
	EXPECT_NE(stat(mnt("x").c_str(), &st), 0) << "nothing created";
	EXPECT_EQ(create(good).rc, 0);
}
