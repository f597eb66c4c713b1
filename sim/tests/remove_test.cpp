// Removal requests: by FID, by entry name, and foreign-unlink preparation.
#include "helpers.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace zvtest;

namespace
{

bool exists(const std::string &p)
{
	struct stat st;
	return lstat(p.c_str(), &st) == 0;
}

// A fid_array with room for the FIDs.
std::vector<char> fid_array_of(const std::vector<zo_fid> &fids)
{
	std::vector<char> buf(sizeof(fid_array) + fids.size() * sizeof(zo_fid));
	auto *fa = reinterpret_cast<fid_array *>(buf.data());
	fa->fa_nr = static_cast<__u32>(fids.size());
	if (!fids.empty())
		memcpy(buf.data() + sizeof(fid_array), fids.data(),
		       fids.size() * sizeof(zo_fid));
	return buf;
}

zo_fid fid_at(const std::vector<char> &buf, size_t i)
{
	zo_fid f;
	memcpy(&f, buf.data() + sizeof(fid_array) + i * sizeof f, sizeof f);
	return f;
}

} // namespace

class Remove : public Sim
{
      protected:
	Res on(const std::string &path, unsigned long code, void *arg,
	       int flags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW)
	{
		int fd = open(path.c_str(), flags);
		EXPECT_GE(fd, 0) << path;
		Res r{ioctl(fd, code, arg), errno};
		close(fd);
		return r;
	}
	Res rmfid(std::vector<char> &buf)
	{
		return on(mnt(), ZV_IOC_RMFID, buf.data());
	}
	Res remove_entry(const std::string &dir, const char *name)
	{
		return on(dir, ZV_IOC_REMOVE_ENTRY, const_cast<char *>(name));
	}
};

TEST_F(Remove, RmfidRemovesEveryLinkAndWritesBackPerFid)
{
	ASSERT_EQ(mkdir(mnt("d").c_str(), 0755), 0);
	write_file(mnt("f"));
	ASSERT_EQ(link(mnt("f").c_str(), mnt("d/f2").c_str()), 0);
	ASSERT_EQ(symlink("d", mnt("s").c_str()), 0);
	zo_fid file = fid(mnt("f")), sym = fid(mnt("s")), dir = fid(mnt("d"));
	zo_fid unknown{FID_SEQ_NORMAL, 0x7ffffff0, 0}, foreign{0x12345, 1, 0},
	        root{FID_SEQ_ROOT, 1, 0};
	auto buf = fid_array_of({file, dir, sym, unknown, foreign, root});
	ASSERT_EQ(zvsim_log_clear(), 0);

	Res r = rmfid(buf);
	EXPECT_EQ(r.rc, -1);
	EXPECT_EQ(r.err, EISDIR) << "the first failure's errno";
	zo_fid zero{};
	EXPECT_TRUE(same_fid(fid_at(buf, 0), zero));
	EXPECT_TRUE(
	        same_fid(fid_at(buf, 1), zo_fid{dir.f_seq, dir.f_oid, EISDIR}));
	EXPECT_TRUE(same_fid(fid_at(buf, 2), zero));
	EXPECT_TRUE(same_fid(fid_at(buf, 3),
	                     zo_fid{unknown.f_seq, unknown.f_oid, ENOENT}));
	EXPECT_TRUE(same_fid(fid_at(buf, 4),
	                     zo_fid{foreign.f_seq, foreign.f_oid, EINVAL}));
	EXPECT_TRUE(same_fid(fid_at(buf, 5),
	                     zo_fid{root.f_seq, root.f_oid, EBUSY}));
	EXPECT_FALSE(exists(mnt("f")));
	EXPECT_FALSE(exists(mnt("d/f2")));
	EXPECT_FALSE(exists(mnt("s")));
	EXPECT_TRUE(exists(mnt("d")));

	// The log holds what was sent: the header and the FIDs as given.
	auto reqs = requests();
	ASSERT_EQ(reqs.size(), 1u);
	EXPECT_EQ(reqs[0].code, ZV_IOC_RMFID);
	EXPECT_EQ(reqs[0].size, 16u);
	ASSERT_EQ(reqs[0].bytes.size(), 16u + 6 * 16);
	zo_fid logged;
	memcpy(&logged, reqs[0].bytes.data() + 16, sizeof logged);
	EXPECT_TRUE(same_fid(logged, file));
}

TEST_F(Remove, RmfidOfRemovableObjectsSucceeds)
{
	write_file(mnt("a"));
	write_file(mnt("b"));
	auto buf = fid_array_of({fid(mnt("a")), fid(mnt("b"))});
	EXPECT_EQ(rmfid(buf).rc, 0);
	EXPECT_FALSE(exists(mnt("a")));
	EXPECT_FALSE(exists(mnt("b")));
	auto none = fid_array_of({});
	EXPECT_EQ(rmfid(none).rc, 0);
	// An object already gone is unknown.
	auto again = fid_array_of({fid(mnt())});
	again = fid_array_of({zo_fid{FID_SEQ_NORMAL, 0x7fffff00, 0}});
	Res r = rmfid(again);
	EXPECT_EQ(r.err, ENOENT);
}

TEST_F(Remove, RmfidRefusesTooManyFidsUntouched)
{
	write_file(mnt("a"));
	auto buf = fid_array_of({fid(mnt("a"))});
	reinterpret_cast<fid_array *>(buf.data())->fa_nr = 4097;
	auto copy = buf;
	Res r = rmfid(buf);
	EXPECT_EQ(r.rc, -1);
	EXPECT_EQ(r.err, EINVAL);
	EXPECT_EQ(buf, copy);
	EXPECT_TRUE(exists(mnt("a")));
}

TEST_F(Remove, RemoveEntryRemovesWithoutLookingAtTheObject)
{
	ASSERT_EQ(mkdir(mnt("d").c_str(), 0755), 0);
	ASSERT_EQ(mkdir(mnt("d/empty").c_str(), 0755), 0);
	ASSERT_EQ(mkdir(mnt("d/full").c_str(), 0755), 0);
	write_file(mnt("d/full/x"));
	write_file(mnt("d/file"));
	ASSERT_EQ(symlink("full", mnt("d/link").c_str()), 0);
	ASSERT_EQ(zvsim_log_clear(), 0);

	EXPECT_EQ(remove_entry(mnt("d"), "file").rc, 0);
	EXPECT_EQ(remove_entry(mnt("d"), "link").rc, 0);
	EXPECT_TRUE(exists(mnt("d/full/x"))) << "a link is not followed";
	EXPECT_EQ(remove_entry(mnt("d"), "empty").rc, 0);
	EXPECT_FALSE(exists(mnt("d/file")));
	EXPECT_FALSE(exists(mnt("d/link")));
	EXPECT_FALSE(exists(mnt("d/empty")));
	EXPECT_EQ(remove_entry(mnt("d"), "full").err, ENOTEMPTY);
	EXPECT_EQ(remove_entry(mnt("d"), "none").err, ENOENT);

	auto reqs = requests();
	ASSERT_EQ(reqs.size(), 5u);
	EXPECT_EQ(reqs[0].code, ZV_IOC_REMOVE_ENTRY);
	EXPECT_EQ(std::string(reqs[0].bytes.begin(), reqs[0].bytes.end()),
	          "file");
}

TEST_F(Remove, RemoveEntryErrors)
{
	ASSERT_EQ(mkdir(mnt("d").c_str(), 0755), 0);
	write_file(mnt("d/f"));
	for (const char *bad : {"", ".", "..", "d/f", "/f"}) {
		Res r = remove_entry(mnt(), bad);
		EXPECT_EQ(r.rc, -1) << bad;
		EXPECT_EQ(r.err, EINVAL) << bad;
	}
	EXPECT_EQ(remove_entry(mnt("d/f"), "x").err, ENOTDIR);
	std::string long_name(256, 'n');
	EXPECT_EQ(remove_entry(mnt(), long_name.c_str()).err, ENAMETOOLONG);
	// The file system's own directories stay.
	EXPECT_EQ(remove_entry(mnt(), ".zorvel").err, EPERM);
	EXPECT_EQ(remove_entry(mnt(".zorvel"), "fid").err, EPERM);
	EXPECT_TRUE(exists(mnt(".zorvel/fid")));
	EXPECT_TRUE(exists(mnt("d/f")));
}

TEST_F(Remove, ForeignUnlinkPrepOnlyForForeignObjects)
{
	int fd = open(mnt("ff").c_str(), O_WRONLY | O_CREAT | ZV_O_DELAY_CREATE,
	              0644);
	ASSERT_GE(fd, 0);
	std::vector<char> rec(sizeof(zv_foreign_layout) + 4);
	auto *lfm = reinterpret_cast<zv_foreign_layout *>(rec.data());
	lfm->lfm_magic = ZV_FOREIGN_FILE_MAGIC;
	lfm->lfm_length = 4;
	memcpy(lfm->lfm_value, "UUID", 4);
	ASSERT_EQ(ioctl(fd, ZV_IOC_LOV_SETSTRIPE, rec.data()), 0);
	close(fd);
	write_file(mnt("plain"));
	ASSERT_EQ(mkdir(mnt("dir").c_str(), 0755), 0);
	ASSERT_EQ(zvsim_log_clear(), 0);

	EXPECT_EQ(on(mnt("ff"), ZV_IOC_FOREIGN_UNLINK_PREP, nullptr).rc, 0);
	Res r = on(mnt("plain"), ZV_IOC_FOREIGN_UNLINK_PREP, nullptr);
	EXPECT_EQ(r.rc, -1);
	EXPECT_EQ(r.err, ENODATA);
	// Whatever the caller passes is not an address.
	r = on(mnt("dir"), ZV_IOC_FOREIGN_UNLINK_PREP,
	       reinterpret_cast<void *>(0x10));
	EXPECT_EQ(r.err, ENODATA);
	auto reqs = requests();
	ASSERT_EQ(reqs.size(), 3u);
	EXPECT_EQ(reqs[0].code, ZV_IOC_FOREIGN_UNLINK_PREP);
	EXPECT_TRUE(reqs[0].bytes.empty());
}

TEST_F(Remove, ForeignUnlinkPrepOnAForeignDirectory)
{
	const std::string name = "fd", value = "UUID@UUID";
	size_t namelen = name.size() + 1, padded = (namelen + 7) & ~size_t{7};
	std::vector<char> r(sizeof(zv_foreign_dir_create) + padded +
	                    sizeof(zv_foreign_layout) + value.size());
	auto *h = reinterpret_cast<zv_foreign_dir_create *>(r.data());
	h->zfd_mode = 0755;
	h->zfd_namelen = static_cast<__u32>(namelen);
	h->zfd_reclen = static_cast<__u32>(r.size());
	memcpy(h->zfd_name, name.c_str(), namelen);
	auto *lfm = reinterpret_cast<zv_foreign_layout *>(r.data() + sizeof *h +
	                                                  padded);
	lfm->lfm_magic = ZV_FOREIGN_DIR_MAGIC;
	lfm->lfm_length = static_cast<__u32>(value.size());
	memcpy(lfm->lfm_value, value.data(), value.size());
	ASSERT_EQ(on(mnt(), ZV_IOC_LMV_SETSTRIPE, r.data(),
	             O_RDONLY | O_DIRECTORY)
	                  .rc,
	          0);
	EXPECT_EQ(on(mnt("fd"), ZV_IOC_FOREIGN_UNLINK_PREP, nullptr,
	             O_RDONLY | O_DIRECTORY | O_NOFOLLOW)
	                  .rc,
	          0);
	EXPECT_EQ(unlinkat(AT_FDCWD, mnt("fd").c_str(), AT_REMOVEDIR), 0);
}

TEST_F(Remove, InjectionsAnswerRemovalRequests)
{
	write_file(mnt("a"));
	auto buf = fid_array_of({fid(mnt("a"))});
	ASSERT_EQ(zvsim_inject_errno(ZV_IOC_RMFID, EPERM, 0), 0);
	EXPECT_EQ(rmfid(buf).err, EPERM);
	EXPECT_TRUE(exists(mnt("a")));
	ASSERT_EQ(zvsim_inject_errno(ZV_IOC_REMOVE_ENTRY, EACCES, 0), 0);
	EXPECT_EQ(remove_entry(mnt(), "a").err, EACCES);
	EXPECT_TRUE(exists(mnt("a")));
	EXPECT_EQ(remove_entry(mnt(), "a").rc, 0);
}
