// Steering: mount table, injected failures and replies, the request log.
#include "helpers.h"

#include <cerrno>
#include <fcntl.h>
#include <mntent.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

using namespace zvtest;

class MountTable : public Sim
{
};

TEST_F(MountTable, SimulatedMountFollowsTheRealEntries)
{
	for (const char *table :
	     {"/proc/mounts", "/proc/self/mounts", "/etc/mtab"}) {
		FILE *fp = setmntent(table, "r");
		if (!fp && strcmp(table, "/etc/mtab") == 0)
			continue; // no mtab in this container and ours is last
		ASSERT_NE(fp, nullptr) << table;
		int real = 0, ours = 0;
		bool ours_last = false;
		while (struct mntent *m = getmntent(fp)) {
			ours_last = strcmp(m->mnt_type, "zorvel") == 0;
			if (!ours_last) {
				++real;
				continue;
			}
			++ours;
			EXPECT_STREQ(m->mnt_fsname, "192.168.0.10@tcp:/demo");
			EXPECT_EQ(std::string(m->mnt_dir), mnt());
			EXPECT_STREQ(m->mnt_opts,
			             "rw,flock,user_xattr,lazystatfs");
			EXPECT_EQ(m->mnt_freq, 0);
			EXPECT_EQ(m->mnt_passno, 0);
		}
		endmntent(fp);
		EXPECT_GT(real, 0) << table;
		EXPECT_EQ(ours, 1) << table;
		EXPECT_TRUE(ours_last) << table;
	}
}

TEST_F(MountTable, OtherTablesAndWritesPassThrough)
{
	std::string fake = tmp_.path() + "/fstab";
	write_file(fake, "none /x tmpfs rw 0 0\n");
	FILE *fp = setmntent(fake.c_str(), "r");
	ASSERT_NE(fp, nullptr);
	int n = 0;
	while (getmntent(fp))
		++n;
	endmntent(fp);
	EXPECT_EQ(n, 1);
}

TEST_F(MountTable, NoSimulationNoEntry)
{
	zvsim_teardown();
	FILE *fp = setmntent("/proc/mounts", "r");
	ASSERT_NE(fp, nullptr);
	while (struct mntent *m = getmntent(fp))
		EXPECT_STRNE(m->mnt_type, "zorvel");
	endmntent(fp);
}

class Inject : public Sim
{
      protected:
	Res obdname(const std::string &path, char *name)
	{
		int fd = open(path.c_str(), O_RDONLY);
		int rc = ioctl(fd, ZV_IOC_GETOBDNAME, name);
		Res r{rc, errno};
		close(fd);
		return r;
	}
	char name_[ZV_OBD_UUID_LEN];
};

TEST_F(Inject, OnceThenNormal)
{
	write_file(mnt("f"));
	ASSERT_EQ(zvsim_inject_errno(ZV_IOC_GETOBDNAME, EIO, 0), 0);
	Res r = obdname(mnt("f"), name_);
	EXPECT_EQ(r.rc, -1);
	EXPECT_EQ(r.err, EIO);
	EXPECT_EQ(obdname(mnt("f"), name_).rc, 0);
}

TEST_F(Inject, AlwaysUntilCleared)
{
	write_file(mnt("f"));
	ASSERT_EQ(zvsim_inject_errno(ZV_IOC_GETOBDNAME, EACCES, 1), 0);
	for (int i = 0; i < 3; ++i)
		EXPECT_EQ(obdname(mnt("f"), name_).err, EACCES);
	ASSERT_EQ(zvsim_clear_injections(), 0);
	EXPECT_EQ(obdname(mnt("f"), name_).rc, 0);
}

TEST_F(Inject, OnlySimulatedObjectsAreAffected)
{
	std::string outside = tmp_.path() + "/plain";
	write_file(outside);
	ASSERT_EQ(zvsim_inject_errno(ZV_IOC_GETOBDNAME, EIO, 1), 0);
	EXPECT_EQ(obdname(outside, name_).err, ENOTTY);
}

TEST_F(Inject, SignExtendedCodeIsTheSameRequest)
{
	write_file(mnt("f"));
	ASSERT_EQ(zvsim_inject_errno(0xFFFFFFFF00000000UL | ZV_IOC_GETOBDNAME,
	                             EIO, 0),
	          0);
	EXPECT_EQ(obdname(mnt("f"), name_).err, EIO);
}

TEST_F(Inject, HandleAndOpenByFid)
{
	write_file(mnt("f"));
	zo_fid f = fid(mnt("f"));
	ASSERT_EQ(zvsim_inject_errno(ZVSIM_REQ_NAME_TO_HANDLE, ESTALE, 0), 0);
	file_handle_room h;
	EXPECT_EQ(h.take(AT_FDCWD, mnt("f").c_str()), -1);
	EXPECT_EQ(errno, ESTALE);

	ASSERT_EQ(zvsim_inject_errno(ZVSIM_REQ_OPEN_BY_FID, EPERM, 0), 0);
	std::string p = mnt(".zorvel/fid/" + fid_text(f));
	EXPECT_EQ(open(p.c_str(), O_RDONLY), -1);
	EXPECT_EQ(errno, EPERM);
	int fd = open(p.c_str(), O_RDONLY);
	EXPECT_GE(fd, 0);
	close(fd);
}

TEST_F(Inject, InjectionReachesAChildProcess)
{
	write_file(mnt("f"));
	ASSERT_EQ(zvsim_inject_errno(ZV_IOC_GETOBDNAME, ENXIO, 0), 0);
	std::string cmd = std::string(ZVSIM_LAUNCHER) + " run --state " +
	                  shell_quote(state()) + " -- " + ZVSIM_PROBE +
	                  " obdname " + shell_quote(mnt("f"));
	run_result r = run_shell(cmd);
	EXPECT_EQ(r.out, "error ENXIO\n");
	r = run_shell(cmd);
	EXPECT_EQ(r.out, std::string("demo-clilov-") + zvsim_instance() + "\n");
}

class Reply : public Sim
{
};

TEST_F(Reply, CraftedPathReachesTheCaller)
{
	write_file(mnt("f"));
	zo_fid f = fid(mnt("f"));
	std::vector<char> rep(sizeof(getinfo_fid2path) + 16, 0);
	auto *gf = reinterpret_cast<getinfo_fid2path *>(rep.data());
	gf->gf_fid = f;
	gf->gf_recno = 9;
	gf->gf_linkno = 4;
	gf->gf_pathlen = 4096;
	strcpy(gf->gf_u.gf_path, "//dir//file");
	ASSERT_EQ(
	        zvsim_inject_reply(ZV_IOC_FID2PATH, rep.data(), rep.size(), 0),
	        0);
	unsigned linkno = 0;
	unsigned long long recno = 0;
	std::string path;
	ASSERT_EQ(fid2path(f, linkno, path, 4096, 0, &recno).rc, 0);
	EXPECT_EQ(path, "//dir//file");
	EXPECT_EQ(linkno, 4u);
	EXPECT_EQ(recno, 9u);
	// One-shot: the next call is answered for real.
	linkno = 0;
	ASSERT_EQ(fid2path(f, linkno, path).rc, 0);
	EXPECT_EQ(path, "f");
}

TEST_F(Reply, ClippedToTheArgumentTheRequestAnnounces)
{
	write_file(mnt("f"));
	zo_fid f = fid(mnt("f"));
	// A path that fills the 8-byte area exactly, no NUL; the bytes beyond
	// 32 + 8 must not be written (fid2path() checks the guard byte).
	std::string rep(sizeof(getinfo_fid2path), '\0');
	auto *gf = reinterpret_cast<getinfo_fid2path *>(rep.data());
	gf->gf_fid = f;
	gf->gf_pathlen = 8;
	rep += "abcdefghXXXXXXXX";
	ASSERT_EQ(
	        zvsim_inject_reply(ZV_IOC_FID2PATH, rep.data(), rep.size(), 0),
	        0);
	std::vector<char> buf(sizeof(getinfo_fid2path) + 8 + 8, '\x7f');
	auto *req = reinterpret_cast<getinfo_fid2path *>(buf.data());
	req->gf_fid = f;
	req->gf_pathlen = 8;
	int dir = open(mnt().c_str(), O_RDONLY);
	ASSERT_EQ(ioctl(dir, ZV_IOC_FID2PATH, req), 0);
	close(dir);
	EXPECT_EQ(std::string(req->gf_u.gf_path, 8), "abcdefgh");
	EXPECT_EQ(buf[sizeof(getinfo_fid2path) + 8], '\x7f');
}

TEST_F(Reply, NegativeResultIsAnErrno)
{
	write_file(mnt("f"));
	ASSERT_EQ(zvsim_inject_reply(ZV_IOC_FID2MDTIDX, nullptr, 0, -EFAULT),
	          0);
	EXPECT_EQ(fid2mdtidx(fid(mnt("f"))).err, EFAULT);
	ASSERT_EQ(zvsim_inject_reply(ZV_IOC_FID2MDTIDX, nullptr, 0, 5), 0);
	EXPECT_EQ(fid2mdtidx(fid(mnt("f"))).rc, 5);
}

class Log : public Sim
{
};

TEST_F(Log, RecordsCodeSizeAndEntryBytesInOrder)
{
	write_file(mnt("f"));
	ASSERT_EQ(zvsim_log_clear(), 0);
	zo_fid f = fid(mnt("f"));
	unsigned linkno = 0;
	std::string path;
	ASSERT_EQ(fid2path(f, linkno, path, 100, 5).rc, 0);
	fid2mdtidx(f);
	int fd = open(mnt(".zorvel/fid/" + fid_text(f)).c_str(), O_RDONLY);
	close(fd);

	zvsim_request *reqs;
	size_t n;
	ASSERT_EQ(zvsim_log_read(&reqs, &n), 4);
	ASSERT_EQ(n, 4u);
	EXPECT_EQ(reqs[0].code, ZVSIM_REQ_NAME_TO_HANDLE);
	EXPECT_EQ(reqs[0].size, 0u);
	EXPECT_EQ(std::string(reinterpret_cast<char *>(reqs[0].bytes),
	                      reqs[0].nbytes),
	          mnt("f"));

	EXPECT_EQ(reqs[1].code, ZV_IOC_FID2PATH);
	EXPECT_EQ(reqs[1].size, 8u);
	ASSERT_EQ(reqs[1].nbytes, 32u);
	getinfo_fid2path hdr;
	memcpy(&hdr, reqs[1].bytes, sizeof hdr);
	EXPECT_TRUE(same_fid(hdr.gf_fid, f));
	EXPECT_EQ(hdr.gf_recno, 5u);
	EXPECT_EQ(hdr.gf_pathlen, 100u);

	EXPECT_EQ(reqs[2].code, ZV_IOC_FID2MDTIDX);
	EXPECT_EQ(reqs[2].size, 16u);
	ASSERT_EQ(reqs[2].nbytes, 16u);
	EXPECT_EQ(0, memcmp(reqs[2].bytes, &f, 16));

	EXPECT_EQ(reqs[3].code, ZVSIM_REQ_OPEN_BY_FID);
	EXPECT_EQ(std::string(reinterpret_cast<char *>(reqs[3].bytes),
	                      reqs[3].nbytes),
	          mnt(".zorvel/fid/" + fid_text(f)));
	zvsim_log_free(reqs, n);

	ASSERT_EQ(zvsim_log_clear(), 0);
	ASSERT_EQ(zvsim_log_read(&reqs, &n), 0);
	EXPECT_EQ(n, 0u);
	zvsim_log_free(reqs, n);
}

TEST_F(Log, SetStripeRecordIsLoggedWhole)
{
	write_file(mnt("f"));
	ASSERT_EQ(zvsim_log_clear(), 0);
	std::vector<char> rec(sizeof(zv_foreign_layout) + 3);
	auto *lfm = reinterpret_cast<zv_foreign_layout *>(rec.data());
	lfm->lfm_magic = ZV_FOREIGN_FILE_MAGIC;
	lfm->lfm_length = 3;
	memcpy(lfm->lfm_value, "abc", 3);
	int fd = open(mnt("f").c_str(), O_WRONLY);
	ASSERT_EQ(ioctl(fd, ZV_IOC_LOV_SETSTRIPE, rec.data()), 0);
	close(fd);
	zvsim_request *reqs;
	size_t n;
	ASSERT_EQ(zvsim_log_read(&reqs, &n), 1);
	EXPECT_EQ(reqs[0].code, ZV_IOC_LOV_SETSTRIPE);
	ASSERT_EQ(reqs[0].nbytes, rec.size());
	EXPECT_EQ(0, memcmp(reqs[0].bytes, rec.data(), rec.size()));
	zvsim_log_free(reqs, n);
}

TEST_F(Log, ConcurrentThreadsKeepRecordsWhole)
{
	write_file(mnt("f"));
	ASSERT_EQ(zvsim_log_clear(), 0);
	zo_fid f = fid(mnt("f"));
	ASSERT_EQ(zvsim_log_clear(), 0);
	std::vector<std::thread> threads;
	for (int t = 0; t < 4; ++t)
		threads.emplace_back([&] {
			for (int i = 0; i < 25; ++i)
				fid2mdtidx(f);
		});
	for (auto &t : threads)
		t.join();
	zvsim_request *reqs;
	size_t n;
	ASSERT_EQ(zvsim_log_read(&reqs, &n), 100);
	for (size_t i = 0; i < n; ++i)
		EXPECT_EQ(reqs[i].code, ZV_IOC_FID2MDTIDX);
	zvsim_log_free(reqs, n);
}

TEST(Steering, WithoutASimulationCallsFail)
{
	zvsim_teardown();
	EXPECT_EQ(zvsim_mount_path(), nullptr);
	EXPECT_EQ(zvsim_inject_errno(ZV_IOC_FID2PATH, EIO, 0), -ENOENT);
	zvsim_request *reqs;
	size_t n;
	EXPECT_EQ(zvsim_log_read(&reqs, &n), -ENOENT);
}

TEST(Steering, SetupValidatesAndAttachesAsIs)
{
	temp_dir tmp;
	std::string st = tmp.path() + "/s";
	EXPECT_EQ(zvsim_setup(st.c_str(), "much-too-long", 1), -EINVAL);
	EXPECT_EQ(zvsim_setup(st.c_str(), "demo", -1), -EINVAL);
	ASSERT_EQ(zvsim_setup_ex(st.c_str(), "fs1", 3, 5), 0);
	std::string inst = zvsim_instance();
	zvsim_teardown();
	// A second setup attaches: the first one's parameters stay.
	ASSERT_EQ(zvsim_setup(st.c_str(), "other", 1), 0);
	EXPECT_STREQ(zvsim_fsname(), "fs1");
	EXPECT_EQ(zvsim_instance(), inst);
	EXPECT_EQ(zvsim_mdt_count(), 3);
	EXPECT_EQ(zvsim_ost_count(), 5);
	EXPECT_STREQ(getenv(ZVSIM_MOUNT_ENV), zvsim_mount_path());
	zvsim_teardown();
	EXPECT_EQ(getenv(ZVSIM_STATE_ENV), nullptr);
}
