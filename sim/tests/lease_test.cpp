// Leases as the simulated kernel keeps them: who may hold one, what breaks
// it, what releases it, across processes, and the steering that shows and
// breaks them.
#include "helpers.h"
#include "zvtest/child.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <linux/zorvel/zorvel_lease.h>

using namespace zvtest;

namespace
{

class Leases : public Sim
{
      protected:
	void SetUp() override
	{
		Sim::SetUp();
		write_file(mnt("f"), "x");
	}
	int open_f(int flags = O_RDWR)
	{
		int fd = open(mnt("f").c_str(), flags);
		EXPECT_GE(fd, 0);
		return fd;
	}
	Res set(int fd, uint32_t mode, uint32_t flags = 0,
	        std::vector<uint32_t> ids = {})
	{
		std::vector<uint32_t> rec = {mode, flags, uint32_t(ids.size())};
		rec.insert(rec.end(), ids.begin(), ids.end());
		int rc = ioctl(fd, ZV_IOC_LEASE_SET, rec.data());
		return {rc, rc < 0 ? errno : 0};
	}
	int check(int fd)
	{
		return ioctl(fd, ZV_IOC_LEASE_CHECK);
	}
	std::string shown()
	{
		char buf[512];
		int n = zvsim_lease_show(mnt("f").c_str(), buf, sizeof buf);
		return n < 0 ? "error" : std::string(buf, size_t(n));
	}
	std::string me(const char *mode, const char *state)
	{
		return std::string("mode=") + mode + " state=" + state +
		       " pid=" + std::to_string(getpid()) + "\n";
	}
};

TEST_F(Leases, WhoMayHoldOne)
{
	Fd rw(open_f()), ro(open_f(O_RDONLY)), wo(open_f(O_WRONLY));
	EXPECT_EQ(set(ro.fd, ZV_LEASE_RDLCK).rc, 0);
	EXPECT_EQ(set(rw.fd, ZV_LEASE_RDLCK).rc, 0) << "readers share";
	EXPECT_EQ(set(wo.fd, ZV_LEASE_WRLCK).err, EBUSY);
	EXPECT_EQ(set(wo.fd, ZV_LEASE_RDLCK).err, EBADF) << "cannot read";
	EXPECT_EQ(set(ro.fd, ZV_LEASE_UNLCK).rc, ZV_LEASE_RDLCK);
	EXPECT_EQ(set(rw.fd, ZV_LEASE_WRLCK).rc, 0) << "an upgrade, alone";
	EXPECT_EQ(check(rw.fd), ZV_LEASE_WRLCK);
	EXPECT_EQ(set(ro.fd, ZV_LEASE_WRLCK).err, EBADF);
	EXPECT_EQ(set(ro.fd, ZV_LEASE_RDLCK).err, EBUSY);

	EXPECT_EQ(set(rw.fd, 3).err, EINVAL);
	EXPECT_EQ(set(rw.fd, 0).err, EINVAL);
	EXPECT_EQ(set(rw.fd, ZV_LEASE_WRLCK, ZV_LEASE_RESYNC).err, EINVAL)
	        << "intents go with releases";
	std::vector<uint32_t> huge = {ZV_LEASE_UNLCK, 0, 5000};
	EXPECT_EQ(ioctl(rw.fd, ZV_IOC_LEASE_SET, huge.data()), -1);
	EXPECT_EQ(errno, EINVAL) << "more ids than a kernel takes";
	Fd dir(open(mnt().c_str(), O_RDONLY | O_DIRECTORY));
	EXPECT_EQ(set(dir.fd, ZV_LEASE_RDLCK).err, EINVAL);
}

TEST_F(Leases, OpensBreakWhatTheyConflictWith)
{
	Fd w(open_f());
	ASSERT_EQ(set(w.fd, ZV_LEASE_WRLCK).rc, 0);
	EXPECT_EQ(shown(), me("WRITE", "held"));
	// Neither an O_PATH open nor a stat is an open of the data.
	Fd path(open(mnt("f").c_str(), O_PATH));
	EXPECT_EQ(check(w.fd), ZV_LEASE_WRLCK);
	// An open by FID is an open like any other.
	std::string byfid = mnt(".zorvel/fid/" + fid_text(fid(mnt("f"))));
	Fd f2(open(byfid.c_str(), O_RDONLY));
	ASSERT_GE(f2.fd, 0);
	EXPECT_EQ(check(w.fd), 0);
	EXPECT_EQ(shown(), me("WRITE", "broken"));
	EXPECT_EQ(set(w.fd, ZV_LEASE_UNLCK).rc, 0);
	EXPECT_EQ(shown(), "") << "a release forgets a broken lease";

	// A read lease: readers do not break it, a truncating open does.
	ASSERT_EQ(set(w.fd, ZV_LEASE_RDLCK).rc, 0);
	std::string p = mnt("f");
	EXPECT_EQ(in_child([&] {
		          return open(p.c_str(), O_RDONLY) >= 0 ? 0 : 1;
	          }),
	          0);
	EXPECT_EQ(check(w.fd), ZV_LEASE_RDLCK);
	FILE *fp = fopen(p.c_str(), "r+");
	ASSERT_NE(fp, nullptr);
	fclose(fp);
	EXPECT_EQ(check(w.fd), 0) << "a stream opened for update";
}

TEST_F(Leases, OpensOfOtherProcessesBreakThemToo)
{
	std::string p = mnt("f");
	auto other_opens = [&](int flags) {
		EXPECT_EQ(in_child([&] {
			          return open(p.c_str(), flags) >= 0 ? 0 : 1;
		          }),
		          0);
	};
	Fd w(open_f());
	ASSERT_EQ(set(w.fd, ZV_LEASE_WRLCK).rc, 0);
	other_opens(O_RDONLY);
	EXPECT_EQ(check(w.fd), 0) << "any open breaks a write lease";
	EXPECT_EQ(set(w.fd, ZV_LEASE_UNLCK).rc, 0) << "broken before release";

	ASSERT_EQ(set(w.fd, ZV_LEASE_RDLCK).rc, 0);
	other_opens(O_RDONLY);
	EXPECT_EQ(check(w.fd), ZV_LEASE_RDLCK) << "readers share";
	other_opens(O_WRONLY);
	EXPECT_EQ(check(w.fd), 0) << "a writer breaks a read lease";
}

TEST_F(Leases, ClosesReleaseAndDuplicatesShare)
{
	Fd w(open_f());
	ASSERT_EQ(set(w.fd, ZV_LEASE_WRLCK).rc, 0);
	int copy = dup(w.fd);
	EXPECT_EQ(check(copy), ZV_LEASE_WRLCK);
	close(w.fd);
	w.fd = -1;
	EXPECT_EQ(shown(), me("WRITE", "held")) << "the dup still holds it";
	// A child's close of its inherited descriptor keeps it too.
	EXPECT_EQ(in_child([&] { return close(copy); }), 0);
	EXPECT_EQ(shown(), me("WRITE", "held"));
	close(copy);
	EXPECT_EQ(shown(), "");
	// The opens that follow cost nothing: no lease is held any more.
	Fd again(open_f());
	EXPECT_EQ(check(again.fd), 0);
}

TEST_F(Leases, AKilledHolderHoldsNothing)
{
	std::string p = mnt("f");
	child holder([&] {
		int fd = open(p.c_str(), O_RDWR);
		uint32_t rec[3] = {ZV_LEASE_WRLCK, 0, 0};
		if (ioctl(fd, ZV_IOC_LEASE_SET, rec) != 0)
			return 1;
		pause();
		return 0;
	});
	for (int i = 0; i < 500 && shown().empty(); ++i)
		usleep(10000);
	ASSERT_EQ(shown(), "mode=WRITE state=held pid=" +
	                           std::to_string(holder.pid()) + "\n");
	kill(holder.pid(), SIGKILL);
	holder.wait();
	EXPECT_EQ(shown(), "");
	Fd w(open_f());
	EXPECT_EQ(set(w.fd, ZV_LEASE_WRLCK).rc, 0);
}

TEST_F(Leases, SteeringBreaksNowOrAtTheNextGrant)
{
	Fd w(open_f());
	ASSERT_EQ(set(w.fd, ZV_LEASE_WRLCK).rc, 0);
	ASSERT_EQ(zvsim_lease_break(mnt("f").c_str(), 0), 0);
	EXPECT_EQ(check(w.fd), 0);
	ASSERT_EQ(zvsim_lease_break(mnt("f").c_str(), 1), 0);
	EXPECT_EQ(shown(), me("WRITE", "broken") + "break=next\n");
	ASSERT_EQ(set(w.fd, ZV_LEASE_WRLCK).rc, 0) << "granted...";
	EXPECT_EQ(check(w.fd), 0) << "...and broken at once";
	EXPECT_EQ(set(w.fd, ZV_LEASE_UNLCK).rc, 0);
	ASSERT_EQ(set(w.fd, ZV_LEASE_WRLCK).rc, 0);
	EXPECT_EQ(check(w.fd), ZV_LEASE_WRLCK) << "armed once only";
	EXPECT_EQ(zvsim_lease_break(tmp_.path().c_str(), 0), -EINVAL);

	run_result r = run_program({ZVSIM_LAUNCHER, "--state", state(), "lease",
	                            "show", mnt("f")});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, me("WRITE", "held"));
	r = run_program({ZVSIM_LAUNCHER, "--state", state(), "lease", "break",
	                 mnt("f")});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(check(w.fd), 0);
	r = run_program({ZVSIM_LAUNCHER, "--state", state(), "lease",
	                 "by-mode-only", "maybe"});
	EXPECT_EQ(r.status, 1);
}

TEST_F(Leases, AnOlderKernelKnowsOnlyTheByModeForm)
{
	run_result r = run_program({ZVSIM_LAUNCHER, "--state", state(), "lease",
	                            "by-mode-only", "on"});
	ASSERT_EQ(r.status, 0) << r.err;
	Fd w(open_f());
	EXPECT_EQ(set(w.fd, ZV_LEASE_WRLCK).err, ENOTTY);
	EXPECT_EQ(ioctl(w.fd, ZV_IOC_LEASE_SET_BY_MODE, 2UL), 0);
	EXPECT_EQ(check(w.fd), ZV_LEASE_WRLCK);
	EXPECT_EQ(ioctl(w.fd, ZV_IOC_LEASE_SET_BY_MODE, 4UL), ZV_LEASE_WRLCK);
	EXPECT_EQ(ioctl(w.fd, ZV_IOC_LEASE_SET_BY_MODE, 8UL), -1);
	EXPECT_EQ(errno, EINVAL);
	ASSERT_EQ(zvsim_lease_by_mode_only(0), 0);
	EXPECT_EQ(set(w.fd, ZV_LEASE_WRLCK).rc, 0);
}

} // namespace
