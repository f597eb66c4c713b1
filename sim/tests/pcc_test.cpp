// The client cache as the simulated kernel keeps it: areas configured
// through the cache parameter, attaches through lease releases, state and
// detaches, opens of other processes counted, writes after an attach
// marked, attached files detached with their area.
#include "helpers.h"
#include "zvtest/child.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/zorvel/zorvel_lease.h>
#include <linux/zorvel/zorvel_pcc.h>

using namespace zvtest;

namespace
{

class Cache : public Sim
{
      protected:
	void SetUp() override
	{
		Sim::SetUp();
		param_ = std::string("/sys/fs/zorvel/zvlite/demo-") +
		         zvsim_instance() + "/pcc";
		write_file(mnt("f"), "file data");
	}
	// One write(2) of text to the cache parameter.
	Res command(const std::string &text)
	{
		int fd = open(param_.c_str(), O_WRONLY);
		if (fd < 0)
			return {fd, errno};
		ssize_t n = write(fd, text.data(), text.size());
		Res r{int(n), n < 0 ? errno : 0};
		close(fd);
		return r;
	}
	std::string shown()
	{
		char buf[4096];
		int n = zvsim_param_get(param_.c_str(), buf, sizeof buf);
		return n < 0 ? "error" : std::string(buf, size_t(n));
	}
	std::string area(int id)
	{
		return state() + "/pcc/" + std::to_string(id);
	}
	// Takes a write lease on fd and releases it with the attach intent.
	Res attach(int fd, uint32_t id, uint32_t lease = ZV_LEASE_WRLCK,
	           uint32_t count = 1)
	{
		uint32_t take[3] = {lease, 0, 0};
		if (ioctl(fd, ZV_IOC_LEASE_SET, take) != 0)
			return {-1, errno};
		uint32_t rel[4] = {ZV_LEASE_UNLCK, ZV_LEASE_PCC_ATTACH, count,
		                   id};
		int rc = ioctl(fd, ZV_IOC_LEASE_SET, rel);
		return {rc, rc < 0 ? errno : 0};
	}
	zo_pcc_state state_of(int fd)
	{
		zo_pcc_state st;
		memset(&st, 0x77, sizeof st);
		EXPECT_EQ(ioctl(fd, ZV_IOC_PCC_STATE, &st), 0);
		return st;
	}
	std::string param_;
};

TEST_F(Cache, CommandsConfigureAreas)
{
	EXPECT_EQ(shown(), "") << "no area at first";
	EXPECT_EQ(command("add 3\n").rc, 6) << "a line end is nothing";
	EXPECT_EQ(command("add 4\nadd 5").rc, 11) << "one command a line";
	EXPECT_EQ(shown(), "archive_id=3 root=" + area(3) +
	                           "\narchive_id=4 root=" + area(4) +
	                           "\narchive_id=5 root=" + area(5) + "\n");
	struct stat st;
	EXPECT_EQ(stat(area(4).c_str(), &st), 0);
	EXPECT_EQ(command("add 3").err, EEXIST);
	EXPECT_EQ(command("del 9").err, ENOENT);
	for (const char *bad : {"add 0", "add x", "add 4294967296", "add",
	                        "frob 1", "", "\n", "add 6 7", "clear 1"})
		EXPECT_EQ(command(bad).err, EINVAL) << bad;
	EXPECT_EQ(command(std::string(5000, ' ')).err, EINVAL);
	EXPECT_EQ(command("del 4").rc, 5);
	EXPECT_NE(stat(area(4).c_str(), &st), 0);
	EXPECT_EQ(command("clear").rc, 5);
	EXPECT_EQ(shown(), "");

	// Commands are requests: logged, and open to injections.
	clear_requests();
	ASSERT_EQ(zvsim_inject_errno(ZVSIM_REQ_PCC_COMMAND, EPERM, 0), 0);
	EXPECT_EQ(command("add 8").err, EPERM);
	EXPECT_EQ(shown(), "");
	auto reqs = requests();
	ASSERT_EQ(reqs.size(), 1U);
	EXPECT_EQ(reqs[0].code, ZVSIM_REQ_PCC_COMMAND);
	EXPECT_EQ(std::string(reqs[0].bytes.begin(), reqs[0].bytes.end()),
	          "add 8");

	// Read-write: reads see the list, writes are commands.
	ASSERT_EQ(command("add 2").rc, 5);
	Fd rw(open(param_.c_str(), O_RDWR));
	char buf[256] = {};
	ASSERT_GT(read(rw.fd, buf, sizeof buf - 1), 0);
	EXPECT_EQ(std::string(buf), "archive_id=2 root=" + area(2) + "\n");
	EXPECT_EQ(write(rw.fd, "del 2", 5), 5);
}

TEST_F(Cache, AttachNeedsAHeldWriteLease)
{
	ASSERT_EQ(command("add 1").rc, 5);
	Fd f(open(mnt("f").c_str(), O_RDWR));
	Fd ro(open(mnt("f").c_str(), O_RDONLY));
	EXPECT_EQ(attach(ro.fd, 1, ZV_LEASE_RDLCK).err, EINVAL);
	EXPECT_EQ(attach(f.fd, 1, ZV_LEASE_WRLCK, 0).err, EINVAL);
	EXPECT_EQ(attach(f.fd, 2).err, ENOENT) << "no such area";
	zo_pcc_state st = state_of(f.fd);
	EXPECT_EQ(st.pccs_type, 0U);
	EXPECT_EQ(st.pccs_path[0], '\0');

	EXPECT_EQ(attach(f.fd, 1).rc, ZV_LEASE_WRLCK);
	st = state_of(f.fd);
	std::string fid = fid_text(this->fid(mnt("f")));
	std::string copy = area(1) + "/" + fid.substr(1, fid.size() - 2);
	EXPECT_EQ(st.pccs_type, uint32_t(ZO_PCC_READWRITE));
	EXPECT_EQ(st.pccs_open_count, 0U);
	EXPECT_EQ(std::string(st.pccs_path), copy);
	EXPECT_EQ(read_file(copy), "file data");
	char show[512];
	int n = zvsim_pcc_show(mnt("f").c_str(), show, sizeof show);
	EXPECT_EQ(std::string(show, size_t(n > 0 ? n : 0)),
	          "archive_id=1 opens=0 path=" + copy + "\n");

	// Opens since the attach count, other than the asker's.
	Fd other(open(mnt("f").c_str(), O_RDONLY));
	EXPECT_EQ(state_of(f.fd).pccs_open_count, 1U);
	EXPECT_EQ(state_of(other.fd).pccs_open_count, 0U);
	close(other.fd);
	other.fd = -1;
	EXPECT_EQ(state_of(f.fd).pccs_open_count, 0U);

	run_result r = run_program(
	        {ZVSIM_LAUNCHER, "--state", state(), "pcc", "show", mnt("f")});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "archive_id=1 opens=0 path=" + copy + "\n");
}

TEST_F(Cache, Detaches)
{
	ASSERT_EQ(command("add 1").rc, 5);
	Fd f(open(mnt("f").c_str(), O_RDWR));
	ASSERT_EQ(attach(f.fd, 1).rc, ZV_LEASE_WRLCK);
	std::string copy = state_of(f.fd).pccs_path;
	zo_pcc_detach d = {0};
	EXPECT_EQ(ioctl(f.fd, ZV_IOC_PCC_DETACH, &d), 0);
	EXPECT_NE(access(copy.c_str(), F_OK), 0);
	EXPECT_EQ(ioctl(f.fd, ZV_IOC_PCC_DETACH, &d), -1);
	EXPECT_EQ(errno, ENODATA);

	// By FID, on the root.
	ASSERT_EQ(attach(f.fd, 1).rc, ZV_LEASE_WRLCK);
	Fd root(open(mnt().c_str(), O_RDONLY | O_DIRECTORY));
	zo_pcc_detach_fid df;
	df.pccd_fid = fid(mnt("f"));
	df.pccd_opt = 0;
	EXPECT_EQ(ioctl(root.fd, ZV_IOC_PCC_DETACH_BY_FID, &df), 0);
	EXPECT_EQ(state_of(f.fd).pccs_type, 0U);
	EXPECT_EQ(ioctl(root.fd, ZV_IOC_PCC_DETACH_BY_FID, &df), -1);
	EXPECT_EQ(errno, ENODATA);
	df.pccd_fid = zo_fid{0x1234, 1, 0};
	EXPECT_EQ(ioctl(root.fd, ZV_IOC_PCC_DETACH_BY_FID, &df), -1);
	EXPECT_EQ(errno, EINVAL) << "a FID this file system never issues";
	df.pccd_fid = zo_fid{FID_SEQ_NORMAL, 0x7ffffff0, 0};
	EXPECT_EQ(ioctl(root.fd, ZV_IOC_PCC_DETACH_BY_FID, &df), -1);
	EXPECT_EQ(errno, ENOENT);

	// An attached file removed leaves nothing for a later file.
	ASSERT_EQ(attach(f.fd, 1).rc, ZV_LEASE_WRLCK);
	close(f.fd);
	f.fd = -1;
	ASSERT_EQ(unlink(mnt("f").c_str()), 0);
	write_file(mnt("g"), "later");
	Fd g(open(mnt("g").c_str(), O_RDWR));
	EXPECT_EQ(state_of(g.fd).pccs_type, 0U);
	Fd dir(open(mnt().c_str(), O_RDONLY | O_DIRECTORY));
	EXPECT_EQ(state_of(dir.fd).pccs_type, 0U);
}

// The cache area 1 configured, and f attached to it read-write.
class AttachedFile : public Cache
{
      protected:
	void SetUp() override
	{
		Cache::SetUp();
		ASSERT_EQ(command("add 1").rc, 5);
		Fd f(open(mnt("f").c_str(), O_RDWR));
		ASSERT_EQ(attach(f.fd, 1).rc, ZV_LEASE_WRLCK);
	}
	// The state of f, asked through an open of its own.
	zo_pcc_state state_of_f()
	{
		Fd f(open(mnt("f").c_str(), O_RDONLY));
		return state_of(f.fd);
	}
};

TEST_F(AttachedFile, AWriteAfterTheAttachIsFlagged)
{
	EXPECT_EQ(state_of_f().pccs_flags, 0U);
	write_file(mnt("f"), "changed");
	EXPECT_EQ(state_of_f().pccs_flags, 1U);
}

TEST_F(AttachedFile, OpensOfOtherProcessesAreCounted)
{
	std::string path = mnt("f");
	int ready[2];
	ASSERT_EQ(pipe(ready), 0);
	child opener([&] {
		int fd = open(path.c_str(), O_RDONLY);
		char c = fd >= 0 ? 'y' : 'n';
		if (write(ready[1], &c, 1) != 1)
			return 1;
		pause();
		return 0;
	});
	char c = 0;
	ASSERT_EQ(read(ready[0], &c, 1), 1);
	EXPECT_EQ(c, 'y');
	EXPECT_EQ(state_of_f().pccs_open_count, 1U);
	kill(opener.pid(), SIGKILL);
	opener.wait();
	close(ready[0]);
	close(ready[1]);
	EXPECT_EQ(state_of_f().pccs_open_count, 0U);
}

TEST_F(AttachedFile, DeletingAnAreaDetachesItsFiles)
{
	EXPECT_EQ(command("del 1").rc, 5);
	EXPECT_EQ(state_of_f().pccs_type, uint32_t(ZO_PCC_NONE));
	struct stat st;
	EXPECT_NE(stat(area(1).c_str(), &st), 0);
	EXPECT_EQ(command("del 1").err, ENOENT);
}

} // namespace
