/* File identifiers through the simulated kernel client: what the caller
 * gets and what the kernel received. */
#include "fid_words.h"
#include "zvtest/alloc_sweep.h"
#include "zvtest/fds.h"
#include "zvtest/files.h"
#include "zvtest/sim_fixture.h"

#include <zorvel/zorvelapi.h>
#include <zvsim/zvsim.h>

#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using zvtest::open_fd_count;
using zvtest::read_file;
using zvtest::write_file;

using fidtest::fid_of;
using fidtest::fid_text;

/* The kernel's next answer to FID2PATH: a crafted header and path. */
bool reply_fid2path(const zo_fid &fid, unsigned linkno, unsigned pathlen,
                    const std::string &path)
{
	std::string rec(32, '\0');
	memcpy(&rec[0], &fid, 16);
	long long recno = 7;
	memcpy(&rec[16], &recno, 8);
	memcpy(&rec[24], &linkno, 4);
	memcpy(&rec[28], &pathlen, 4);
	rec += path;
	return zvsim_inject_reply(ZV_IOC_FID2PATH, rec.data(), rec.size(), 0) ==
	       0;
}

class Fid : public zvtest::sim_fixture
{
      protected:
	void SetUp() override
	{
		zvtest::sim_fixture::SetUp();
		ASSERT_EQ(mkdir(in_mount("dir").c_str(), 0755), 0);
		ASSERT_EQ(mkdir(in_mount("other").c_str(), 0755), 0);
		write_file(in_mount("dir/file"), "hello by fid\n");
		ASSERT_EQ(link(in_mount("dir/file").c_str(),
		               in_mount("other/link1").c_str()),
		          0);
		ASSERT_EQ(link(in_mount("dir/file").c_str(),
		               in_mount("dir/link2").c_str()),
		          0);
		ASSERT_EQ(symlink("file", in_mount("dir/sym").c_str()), 0);
		ASSERT_EQ(zvsim_log_clear(), 0);
	}
	/* gp_name_size of the parent requests the kernel received. */
	std::vector<uint32_t> parent_name_sizes() const
	{
		std::vector<uint32_t> sizes;
		for (const auto &r : requests()) {
			if (r.code != ZV_IOC_GETPARENT || r.bytes.size() < 24)
				continue;
			uint32_t size;
			memcpy(&size, r.bytes.data() + 20, sizeof(size));
			sizes.push_back(size);
		}
		return sizes;
	}
};

TEST_F(Fid, IdentityOfFilesDirectoriesLinksAndRoot)
{
	zo_fid file = fid_of(in_mount("dir/file"));
	zo_fid dir = fid_of(in_mount("dir"));
	zo_fid sym = fid_of(in_mount("dir/sym"));
	zo_fid root = fid_of(mount_);

	EXPECT_EQ(root.f_seq, (unsigned long long)FID_SEQ_ROOT);
	for (const zo_fid &f : {file, dir, sym}) {
		EXPECT_GE(f.f_seq, (unsigned long long)FID_SEQ_NORMAL);
		EXPECT_EQ(f.f_ver, 0U);
	}
	EXPECT_FALSE(file == dir);
	EXPECT_FALSE(sym == file) << "a symbolic link has its own FID";
	EXPECT_TRUE(fid_of(in_mount("other/link1")) == file);

	/* the same after a rename, and through a descriptor */
	ASSERT_EQ(rename(in_mount("dir/file").c_str(),
	                 in_mount("dir/renamed").c_str()),
	          0);
	EXPECT_TRUE(fid_of(in_mount("dir/renamed")) == file);
	int fd = open(in_mount("dir/renamed").c_str(), O_RDONLY);
	ASSERT_GE(fd, 0);
	zo_fid by_fd;
	EXPECT_EQ(zvapi_fd2fid(fd, &by_fd), 0);
	EXPECT_TRUE(by_fd == file);
	close(fd);

	auto codes = request_codes();
	ASSERT_FALSE(codes.empty());
	EXPECT_EQ(codes[0], ZVSIM_REQ_NAME_TO_HANDLE);
}

TEST_F(Fid, ObjectsOfOtherFileSystems)
{
	zvtest::temp_dir outside;
	write_file(outside.path() + "/plain", "x");
	zo_fid fid{1, 1, 1};
	int rc = zvapi_path2fid((outside.path() + "/plain").c_str(), &fid);
	EXPECT_TRUE(rc == -EOPNOTSUPP || rc == -ENOTTY) << rc;
	EXPECT_EQ(fid.f_seq, 0U) << "the FID is zeroed first";
	EXPECT_EQ(zvapi_path2fid(in_mount("missing").c_str(), &fid), -ENOENT);
	EXPECT_EQ(zvapi_fd2fid(-1, &fid), -EBADF);
}

TEST_F(Fid, Fid2PathWalksEveryHardLink)
{
	zo_fid file = fid_of(in_mount("dir/file"));
	std::string text = fid_text(file);
	std::set<std::string> paths;
	int linkno = 0;
	long long recno = -1;
	for (int n = 0; n < 10; n++) {
		char path[PATH_MAX];
		int old = linkno;
		ASSERT_EQ(zvapi_fid2path(mount_.c_str(), text.c_str(), path,
		                         sizeof(path), &recno, &linkno),
		          0);
		paths.insert(path);
		if (linkno == old)
			break;
	}
	EXPECT_EQ(paths, (std::set<std::string>{"dir/file", "dir/link2",
	                                        "other/link1"}));

	/* by file-system name, and for the root itself */
	char path[PATH_MAX];
	EXPECT_EQ(zvapi_fid2path("demo", text.c_str(), path, sizeof(path),
	                         nullptr, nullptr),
	          0);
	EXPECT_EQ(paths.count(path), 1U);
	std::string root = fid_text(fid_of(mount_));
	EXPECT_EQ(zvapi_fid2path(mount_.c_str(), root.c_str(), path,
	                         sizeof(path), nullptr, nullptr),
	          0);
	EXPECT_STREQ(path, "/");
}

TEST_F(Fid, Fid2PathSendsTheRecordItWasGiven)
{
	zo_fid file = fid_of(in_mount("dir/file"));
	ASSERT_EQ(zvsim_log_clear(), 0);
	char path[100];
	long long recno = 5;
	int linkno = 1;
	ASSERT_EQ(zvapi_fid2path(mount_.c_str(), fid_text(file).c_str(), path,
	                         sizeof(path), &recno, &linkno),
	          0);

	struct zvsim_request *reqs;
	size_t count;
	ASSERT_GE(zvsim_log_read(&reqs, &count), 0);
	ASSERT_EQ(count, 1U);
	EXPECT_EQ(reqs[0].code, 0xC0086696UL);
	EXPECT_EQ(reqs[0].size, 8U);
	ASSERT_GE(reqs[0].nbytes, 32U);
	zo_fid sent;
	memcpy(&sent, reqs[0].bytes, 16);
	EXPECT_TRUE(sent == file);
	long long sent_recno;
	unsigned sent_linkno, sent_pathlen;
	memcpy(&sent_recno, reqs[0].bytes + 16, 8);
	memcpy(&sent_linkno, reqs[0].bytes + 24, 4);
	memcpy(&sent_pathlen, reqs[0].bytes + 28, 4);
	EXPECT_EQ(sent_recno, 5);
	EXPECT_EQ(sent_linkno, 1U);
	EXPECT_EQ(sent_pathlen, 100U);
	zvsim_log_free(reqs, count);
}

TEST_F(Fid, Fid2PathArgumentErrors)
{
	char path[PATH_MAX];
	EXPECT_EQ(zvapi_fid2path("", "[0x1:0x1:0x0]", path, sizeof(path),
	                         nullptr, nullptr),
	          -EINVAL);
	EXPECT_EQ(zvapi_fid2path(nullptr, "[0x1:0x1:0x0]", path, sizeof(path),
	                         nullptr, nullptr),
	          -EINVAL);
	EXPECT_EQ(zvapi_fid2path("nosuchfs", "[0x1:0x1:0x0]", path,
	                         sizeof(path), nullptr, nullptr),
	          -ENODEV);

	zvtest::stderr_capture cap;
	int rc = zvapi_fid2path(mount_.c_str(), "[0x1:0x1]", path, sizeof(path),
	                        nullptr, nullptr);
	std::string err = cap.finish();
	EXPECT_EQ(rc, -EINVAL);
	EXPECT_EQ(err, std::string(program_invocation_short_name) +
	                       ": bad FID format '[0x1:0x1]', should be "
	                       "[seq:oid:ver] (e.g. [0x200000400:0x2:0x0])\n");
	EXPECT_TRUE(request_codes().empty()) << "no request for a bad FID";

	/* unknown object, and a buffer too small for the path */
	zo_fid unknown = {FID_SEQ_NORMAL + 0x1000, 0x7777, 0};
	EXPECT_EQ(zvapi_fid2path(mount_.c_str(), fid_text(unknown).c_str(),
	                         path, sizeof(path), nullptr, nullptr),
	          -ENOENT);
	zo_fid file = fid_of(in_mount("dir/file"));
	EXPECT_EQ(zvapi_fid2path(mount_.c_str(), fid_text(file).c_str(), path,
	                         4, nullptr, nullptr),
	          -EOVERFLOW);

	/* a negative size never reaches the kernel */
	int root = open(mount_.c_str(), O_RDONLY | O_DIRECTORY);
	ASSERT_GE(root, 0);
	ASSERT_EQ(zvsim_log_clear(), 0);
	EXPECT_EQ(zvapi_fid2path_at(root, &file, path, -1, nullptr, nullptr),
	          -EINVAL);
	EXPECT_TRUE(request_codes().empty());
	close(root);
}

TEST_F(Fid, KernelPathsAreCopiedWithSlashesFolded)
{
	zo_fid file = fid_of(in_mount("dir/file"));
	int root = open(mount_.c_str(), O_RDONLY | O_DIRECTORY);
	ASSERT_GE(root, 0);
	char path[64];

	ASSERT_TRUE(reply_fid2path(file, 3, sizeof(path),
	                           std::string("//dir//file\0", 12)));
	long long recno = 0;
	int linkno = 0;
	EXPECT_EQ(zvapi_fid2path_at(root, &file, path, sizeof(path), &recno,
	                            &linkno),
	          0);
	EXPECT_STREQ(path, "/dir/file");
	EXPECT_EQ(recno, 7);
	EXPECT_EQ(linkno, 3);

	ASSERT_TRUE(
	        reply_fid2path(file, 0, sizeof(path), std::string(1, '\0')));
	EXPECT_EQ(zvapi_fid2path_at(root, &file, path, sizeof(path), nullptr,
	                            nullptr),
	          0);
	EXPECT_STREQ(path, "/");

	/* a path that fills the area leaves no room for its NUL */
	ASSERT_TRUE(reply_fid2path(file, 4, sizeof(path),
	                           std::string(sizeof(path), 'a')));
	recno = 0;
	linkno = 0;
	errno = 0;
	EXPECT_EQ(zvapi_fid2path_at(root, &file, path, sizeof(path), &recno,
	                            &linkno),
	          -ERANGE);
	EXPECT_EQ(errno, ERANGE);
	EXPECT_EQ(linkno, 4) << "record and link numbers come back anyway";
	EXPECT_EQ(recno, 7);

	/* one byte less fits exactly */
	ASSERT_TRUE(reply_fid2path(file, 0, sizeof(path),
	                           std::string(sizeof(path) - 1, 'b') + '\0'));
	EXPECT_EQ(zvapi_fid2path_at(root, &file, path, sizeof(path), nullptr,
	                            nullptr),
	          0);
	EXPECT_EQ(strlen(path), sizeof(path) - 1);
	close(root);
}

TEST_F(Fid, InjectedKernelErrors)
{
	zo_fid file = fid_of(in_mount("dir/file"));
	std::string text = fid_text(file);
	char path[PATH_MAX];
	ASSERT_EQ(zvsim_inject_errno(ZV_IOC_FID2PATH, EIO, 0), 0);
	EXPECT_EQ(zvapi_fid2path(mount_.c_str(), text.c_str(), path,
	                         sizeof(path), nullptr, nullptr),
	          -EIO);
	EXPECT_EQ(zvapi_fid2path(mount_.c_str(), text.c_str(), path,
	                         sizeof(path), nullptr, nullptr),
	          0)
	        << "a once-only failure is gone";

	ASSERT_EQ(zvsim_inject_errno(ZV_IOC_GETPARENT, ESTALE, 1), 0);
	zo_fid parent;
	char name[64];
	for (int i = 0; i < 2; i++)
		EXPECT_EQ(zvapi_path2parent(in_mount("dir/file").c_str(), 0,
		                            &parent, name, sizeof(name)),
		          -ESTALE);
	ASSERT_EQ(zvsim_clear_injections(), 0);

	ASSERT_EQ(zvsim_inject_errno(ZVSIM_REQ_NAME_TO_HANDLE, EACCES, 0), 0);
	EXPECT_EQ(zvapi_path2fid(in_mount("dir").c_str(), &file), -EACCES);
	ASSERT_EQ(zvsim_inject_errno(ZVSIM_REQ_NAME_TO_HANDLE, EOVERFLOW, 0),
	          0);
	EXPECT_EQ(zvapi_path2fid(in_mount("dir").c_str(), &file), -ENOTTY);
}

TEST_F(Fid, ParentOfEveryLink)
{
	zo_fid dir = fid_of(in_mount("dir"));
	zo_fid other = fid_of(in_mount("other"));
	std::set<std::string> seen;
	for (unsigned linkno = 0; linkno < 3; linkno++) {
		zo_fid parent{};
		char name[NAME_MAX + 1];
		ASSERT_EQ(zvapi_path2parent(in_mount("dir/file").c_str(),
		                            linkno, &parent, name,
		                            sizeof(name)),
		          0);
		EXPECT_TRUE(parent ==
		            (strcmp(name, "link1") == 0 ? other : dir))
		        << name;
		seen.insert(name);
	}
	EXPECT_EQ(seen, (std::set<std::string>{"file", "link1", "link2"}));

	zo_fid parent{};
	EXPECT_EQ(zvapi_path2parent(in_mount("dir/file").c_str(), 3, &parent,
	                            nullptr, 0),
	          -ENODATA);

	/* only the FID wanted */
	EXPECT_GE(zvapi_path2parent(in_mount("dir").c_str(), 0, &parent,
	                            nullptr, 0),
	          0);
	EXPECT_EQ(parent.f_seq, (unsigned long long)FID_SEQ_ROOT);
}

TEST_F(Fid, ParentNameBuffers)
{
	int fd = open(in_mount("dir/file").c_str(), O_RDONLY);
	ASSERT_GE(fd, 0);
	char name[64];
	ASSERT_EQ(zvsim_log_clear(), 0);
	errno = 0;
	EXPECT_EQ(zvapi_fd2parent(fd, 0, nullptr, name, 1), -EOVERFLOW);
	EXPECT_EQ(errno, EOVERFLOW);
	EXPECT_TRUE(request_codes().empty()) << "refused before the kernel";

	/* "file" and its NUL need 5 bytes */
	EXPECT_EQ(zvapi_fd2parent(fd, 0, nullptr, name, 4), -EOVERFLOW);
	EXPECT_EQ(zvapi_fd2parent(fd, 0, nullptr, name, 5), 0);
	EXPECT_STREQ(name, "file");

	/* names from the kernel are folded like paths */
	std::string rec(24, '\0');
	unsigned size = sizeof(name);
	memcpy(&rec[20], &size, 4);
	rec += std::string("a//b\0", 5);
	ASSERT_EQ(
	        zvsim_inject_reply(ZV_IOC_GETPARENT, rec.data(), rec.size(), 0),
	        0);
	EXPECT_EQ(zvapi_fd2parent(fd, 0, nullptr, name, sizeof(name)), 0);
	EXPECT_STREQ(name, "a/b");
	close(fd);

	/* a symbolic link is not followed */
	EXPECT_EQ(zvapi_path2parent(in_mount("dir/sym").c_str(), 0, nullptr,
	                            name, sizeof(name)),
	          -ELOOP);
}

TEST_F(Fid, ParentNameSizeReachesTheKernelWithoutANameBuffer)
{
	int fd = open(in_mount("dir/file").c_str(), O_RDONLY);
	ASSERT_GE(fd, 0);
	zo_fid parent{};
	char name[64];
	EXPECT_GE(zvapi_fd2parent(fd, 0, &parent, nullptr, 10), 0);
	EXPECT_TRUE(parent == fid_of(in_mount("dir")));
	EXPECT_EQ(zvapi_fd2parent(fd, 0, nullptr, name, sizeof(name)), 0);
	/* sizes too small for any name: room for any name instead */
	EXPECT_GE(zvapi_fd2parent(fd, 0, &parent, nullptr, 0), 0);
	EXPECT_GE(zvapi_fd2parent(fd, 0, &parent, nullptr, 1), 0);
	EXPECT_TRUE(parent == fid_of(in_mount("dir")));
	close(fd);
	EXPECT_EQ(parent_name_sizes(),
	          (std::vector<uint32_t>{10, 64, NAME_MAX + 1, NAME_MAX + 1}));
}

class FidTwoTargets : public Fid
{
      protected:
	int mdt_count() const override
	{
		return 2;
	}
};

TEST_F(FidTwoTargets, TargetIndexOfFids)
{
	int fd = open(mount_.c_str(), O_RDONLY | O_DIRECTORY);
	ASSERT_GE(fd, 0);
	zo_fid root = fid_of(mount_);
	int idx = -1;
	EXPECT_EQ(zvapi_get_mdt_index_by_fid(fd, &root, &idx), 0);
	EXPECT_EQ(idx, 0);

	/* The target follows the host's inode numbers, which other processes
	 * take too and each file may take several of: go on until both were
	 * seen, one more inode outside the mount every other try changing the
	 * stride, and so the parity. */
	std::set<int> seen;
	for (int i = 0; i < 1000 && seen.size() < 2; i++) {
		std::string p = in_mount("f" + std::to_string(i));
		write_file(p, "");
		if (i % 2 == 1)
			write_file(state_dir() + "/shift" + std::to_string(i),
			           "");
		zo_fid fid = fid_of(p);
		int got = zvapi_get_mdt_index_by_fid(fd, &fid, nullptr);
		ASSERT_GE(got, 0);
		ASSERT_LT(got, 2);
		seen.insert(got);
	}
	EXPECT_EQ(seen.size(), 2U) << "objects spread over both targets";

	zo_fid unknown = {FID_SEQ_NORMAL, 0x7ffffff0, 0};
	EXPECT_EQ(zvapi_get_mdt_index_by_fid(fd, &unknown, &idx), -ENOENT);
	close(fd);
}

TEST_F(Fid, OpenByFid)
{
	zo_fid file = fid_of(in_mount("dir/file"));
	int fd = zvapi_open_by_fid(in_mount("other").c_str(), &file, O_RDONLY);
	ASSERT_GE(fd, 0);
	char buf[64] = {};
	EXPECT_EQ(read(fd, buf, sizeof(buf)), 13);
	EXPECT_STREQ(buf, "hello by fid\n");
	close(fd);

	/* the caller's flags reach the open */
	fd = zvapi_open_by_fid(mount_.c_str(), &file, O_WRONLY | O_APPEND);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(fcntl(fd, F_GETFL) & (O_ACCMODE | O_APPEND),
	          O_WRONLY | O_APPEND);
	EXPECT_EQ(write(fd, "more\n", 5), 5);
	close(fd);
	EXPECT_EQ(read_file(in_mount("dir/file")), "hello by fid\nmore\n");

	zo_fid dir = fid_of(in_mount("dir"));
	fd = zvapi_open_by_fid(mount_.c_str(), &dir, O_RDONLY | O_DIRECTORY);
	EXPECT_GE(fd, 0);
	close(fd);

	zo_fid unknown = {FID_SEQ_NORMAL + 0x1000, 0x7777, 0};
	EXPECT_EQ(zvapi_open_by_fid(mount_.c_str(), &unknown, O_RDONLY),
	          -ENOENT);
	zvtest::temp_dir outside;
	EXPECT_EQ(zvapi_open_by_fid(outside.path().c_str(), &file, O_RDONLY),
	          -ENODEV);

	auto codes = request_codes();
	EXPECT_NE(std::find(codes.begin(), codes.end(), ZVSIM_REQ_OPEN_BY_FID),
	          codes.end());
}

TEST_F(Fid, NoDescriptorLeaksOnAnyPath)
{
	zo_fid file = fid_of(in_mount("dir/file"));
	std::string text = fid_text(file);
	char path[PATH_MAX];
	int before = open_fd_count();

	zvapi_fid2path(mount_.c_str(), text.c_str(), path, sizeof(path),
	               nullptr, nullptr);
	zvapi_fid2path(mount_.c_str(), "bad", path, sizeof(path), nullptr,
	               nullptr);
	zvsim_inject_errno(ZV_IOC_FID2PATH, EIO, 0);
	zvapi_fid2path("demo", text.c_str(), path, sizeof(path), nullptr,
	               nullptr);
	zvapi_path2fid(in_mount("dir/file").c_str(), &file);
	zvapi_path2fid(in_mount("missing").c_str(), &file);
	zvapi_path2parent(in_mount("dir/file").c_str(), 0, &file, path, 64);
	zvapi_path2parent(in_mount("dir/file").c_str(), 9, &file, path, 64);
	zvapi_path2parent(in_mount("dir/file").c_str(), 0, &file, path, 1);
	zvapi_open_by_fid("/nonexistent/dir", &file, O_RDONLY);

	EXPECT_EQ(open_fd_count(), before);
}

/* Every allocation of a call failed in turn; the call allocates. */
template <typename Call>
void each_allocation_fails(Call call)
{
	zvtest::each_allocation_fails("libzorvelapi", call, {.min_runs = 2});
}

TEST_F(Fid, AllocationFailures)
{
	zo_fid file = fid_of(in_mount("dir/file"));
	std::string text = fid_text(file);
	std::string mount = mount_;
	std::string path_in = in_mount("dir/file");
	each_allocation_fails([&] {
		char path[PATH_MAX];
		return zvapi_fid2path(mount.c_str(), text.c_str(), path,
		                      sizeof(path), nullptr, nullptr);
	});
	each_allocation_fails([&] {
		char name[64];
		zo_fid parent;
		return zvapi_path2parent(path_in.c_str(), 0, &parent, name,
		                         sizeof(name));
	});
	each_allocation_fails([&] {
		int fd = zvapi_open_by_fid(mount.c_str(), &file, O_RDONLY);
		if (fd >= 0)
			close(fd);
		return fd < 0 ? fd : 0;
	});
}

} // namespace
