// The change-log device: whole-record reads, positioning, follow mode,
// clearing by log users, raw appends, descriptors and the launcher.
#include "chlg_helpers.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <linux/zorvel/zorvel_changelog.h>

using namespace zvtest;

namespace
{

constexpr const char *MDT0 = "demo-MDT0000";

// A raw record: 64-byte header with this index and name, no extensions.
std::string raw_record(uint64_t index, const std::string &name,
                       uint16_t flags = CLF_VERSION)
{
	std::string r(64, '\0');
	uint16_t len = uint16_t(name.size());
	memcpy(&r[0], &len, 2);
	memcpy(&r[2], &flags, 2);
	uint32_t type = CL_MARK;
	memcpy(&r[4], &type, 4);
	memcpy(&r[8], &index, 8);
	return r + name;
}

void on_signal(int)
{
}

// Interrupts a reader that waits too long, so that a log that never
// grows fails the test instead of hanging it.
class Watchdog
{
      public:
	Watchdog() : target_(pthread_self())
	{
		struct sigaction sa = {};
		sa.sa_handler = on_signal;
		sigaction(SIGUSR2, &sa, &old_);
		thread_ = std::thread([this] {
			std::unique_lock<std::mutex> lock(mu_);
			if (!cv_.wait_for(lock, std::chrono::seconds(10),
			                  [this] { return done_; }))
				pthread_kill(target_, SIGUSR2);
		});
	}
	~Watchdog()
	{
		{
			std::lock_guard<std::mutex> lock(mu_);
			done_ = true;
		}
		cv_.notify_all();
		thread_.join();
		sigaction(SIGUSR2, &old_, nullptr);
	}

      private:
	pthread_t target_;
	struct sigaction old_ {
	};
	std::mutex mu_;
	std::condition_variable cv_;
	bool done_ = false;
	std::thread thread_;
};

} // namespace

class ChlgDevice : public Sim
{
      protected:
	void SetUp() override
	{
		Sim::SetUp();
		user_ = register_user(MDT0);
	}
	// n directories d0..d<n-1>: records 1..n, each 64+32+32+8+16+24+4+256
	// bytes plus its name.
	void make_dirs(int n, int from = 0)
	{
		for (int i = from; i < from + n; ++i)
			ASSERT_EQ(mkdir(mnt("d" + std::to_string(i)).c_str(),
			                0755),
			          0);
	}
	int open_log(int flags = O_RDONLY)
	{
		int fd = open(dev_path(MDT0).c_str(), flags);
		EXPECT_GE(fd, 0) << strerror(errno);
		return fd;
	}
	std::string user_;
};

constexpr size_t DIR_REC = 436 + 2; // every extension, names "d0".."d9"

TEST_F(ChlgDevice, ReadsReturnWholeRecordsOnly)
{
	make_dirs(10);
	for (size_t count : {DIR_REC, DIR_REC + 1, 2 * DIR_REC - 1,
	                     3 * DIR_REC + 100, size_t(4096), size_t(65536)}) {
		std::vector<Rec> recs = read_log(MDT0, count);
		ASSERT_EQ(recs.size(), 10u) << count;
		for (size_t i = 0; i < recs.size(); ++i) {
			EXPECT_EQ(recs[i].index, i + 1);
			EXPECT_EQ(recs[i].size, DIR_REC);
		}
	}
	int fd = open_log();
	char buf[4096];
	EXPECT_EQ(read(fd, buf, 2 * DIR_REC + 5), ssize_t(2 * DIR_REC));
	// Too small for the next record: EINVAL, and nothing consumed.
	EXPECT_EQ(read(fd, buf, DIR_REC - 1), -1);
	EXPECT_EQ(errno, EINVAL);
	EXPECT_EQ(read(fd, buf, DIR_REC), ssize_t(DIR_REC));
	EXPECT_EQ(decode(buf).index, 3u);
	EXPECT_EQ(read(fd, buf, sizeof buf), ssize_t(7 * DIR_REC));
	EXPECT_EQ(read(fd, buf, sizeof buf), 0);
	EXPECT_EQ(read(fd, buf, sizeof buf), 0);
	close(fd);
}

TEST_F(ChlgDevice, SeekPositionsByRecordNumber)
{
	make_dirs(5);
	int fd = open_log();
	char buf[4096];
	EXPECT_EQ(lseek(fd, 3, SEEK_SET), 3);
	ASSERT_EQ(read(fd, buf, sizeof buf), ssize_t(3 * DIR_REC));
	EXPECT_EQ(decode(buf).index, 3u);
	EXPECT_EQ(lseek64(fd, 0, SEEK_SET), 0);
	ASSERT_GT(read(fd, buf, DIR_REC), 0);
	EXPECT_EQ(decode(buf).index, 1u);
	EXPECT_EQ(lseek(fd, -1, SEEK_SET), -1);
	EXPECT_EQ(errno, EINVAL);
	EXPECT_EQ(lseek(fd, 0, SEEK_CUR), -1);
	EXPECT_EQ(errno, EINVAL);
	EXPECT_EQ(lseek(fd, 1, SEEK_END), -1);
	EXPECT_EQ(errno, EINVAL);
	// Past the last record: only records from that number on come.
	EXPECT_EQ(lseek(fd, 8, SEEK_SET), 8);
	EXPECT_EQ(read(fd, buf, sizeof buf), 0);
	make_dirs(4, 5); // records 6..9
	ASSERT_EQ(read(fd, buf, sizeof buf), ssize_t(2 * DIR_REC));
	EXPECT_EQ(decode(buf).index, 8u);
	close(fd);
}

TEST_F(ChlgDevice, DupSharesThePositionAndAccessModesAreEnforced)
{
	make_dirs(3);
	int fd = open_log();
	int copy = dup(fd);
	int high = dup2(fd, 200);
	ASSERT_EQ(high, 200);
	char buf[4096];
	ASSERT_EQ(read(fd, buf, DIR_REC), ssize_t(DIR_REC));
	ASSERT_EQ(read(copy, buf, DIR_REC), ssize_t(DIR_REC));
	EXPECT_EQ(decode(buf).index, 2u);
	ASSERT_EQ(read(high, buf, DIR_REC), ssize_t(DIR_REC));
	EXPECT_EQ(decode(buf).index, 3u);
	close(copy);
	close(high);
	// A read-only descriptor takes no command.
	EXPECT_EQ(write(fd, "clear:cl1:1", 12), -1);
	EXPECT_EQ(errno, EBADF);
	close(fd);

	fd = open_log(O_WRONLY);
	EXPECT_EQ(read(fd, buf, sizeof buf), -1);
	EXPECT_EQ(errno, EBADF);
	// dup2 over a log descriptor makes it an ordinary file again.
	std::string plain = tmp_.path() + "/plain";
	write_file(plain, "hello");
	int other = open(plain.c_str(), O_RDONLY);
	ASSERT_EQ(dup2(other, fd), fd);
	EXPECT_EQ(read(fd, buf, sizeof buf), 5);
	close(other);
	close(fd);
}

TEST_F(ChlgDevice, OpensOfUnknownTargetsFail)
{
	for (const char *t :
	     {"demo-MDT0001", "demo-MDT000", "demo-MDT0000x", "other-MDT0000",
	      "demo-MDT000A", "demo-OST0000"}) {
		EXPECT_EQ(open(dev_path(t).c_str(), O_RDONLY), -1) << t;
		EXPECT_EQ(errno, ENOENT) << t;
	}
	EXPECT_EQ(open(dev_path(MDT0).c_str(), O_RDONLY | O_DIRECTORY), -1);
	EXPECT_EQ(errno, ENOTDIR);
	resetup(16);
	int fd = open(dev_path("demo-MDT000f").c_str(), O_RDONLY);
	EXPECT_GE(fd, 0);
	close(fd);
}

TEST_F(ChlgDevice, FollowWaitsForAWriterThread)
{
	Watchdog watchdog;
	int fd = open_log();
	long one = 1;
	ASSERT_EQ(ioctl(fd, ZV_IOC_CHLG_FOLLOW, one), 0);
	std::thread writer([this] {
		std::this_thread::sleep_for(std::chrono::milliseconds(150));
		make_dirs(1);
	});
	char buf[4096];
	auto start = std::chrono::steady_clock::now();
	ssize_t n = read(fd, buf, sizeof buf);
	auto waited = std::chrono::steady_clock::now() - start;
	writer.join();
	ASSERT_EQ(n, ssize_t(DIR_REC));
	EXPECT_EQ(decode(buf).name, "d0");
	EXPECT_GE(waited, std::chrono::milliseconds(100));
	// Follow off again: the end of the log reads 0.
	ASSERT_EQ(ioctl(fd, ZV_IOC_CHLG_FOLLOW, 0L), 0);
	EXPECT_EQ(read(fd, buf, sizeof buf), 0);
	close(fd);

	std::vector<sim_request> reqs = requests(ZV_IOC_CHLG_FOLLOW);
	ASSERT_EQ(reqs.size(), 2u);
	EXPECT_EQ(reqs[0].size, 8u);
	ASSERT_EQ(reqs[0].bytes.size(), 8u);
	EXPECT_EQ(get<long>(reinterpret_cast<char *>(reqs[0].bytes.data()), 0),
	          1);
}

TEST_F(ChlgDevice, FollowWaitsForAnotherProcessAndStopsOnSignals)
{
	Watchdog watchdog;
	int fd = open_log();
	ASSERT_EQ(ioctl(fd, ZV_IOC_CHLG_FOLLOW, 1L), 0);
	pid_t pid = fork();
	ASSERT_GE(pid, 0);
	if (pid == 0) {
		usleep(100000);
		_exit(mkdir(mnt("child").c_str(), 0755) == 0 ? 0 : 1);
	}
	char buf[4096];
	ssize_t n = read(fd, buf, sizeof buf);
	int ws;
	ASSERT_EQ(waitpid(pid, &ws, 0), pid);
	EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
	ASSERT_GT(n, 0);
	EXPECT_EQ(decode(buf).name, "child");

	// A signal handler interrupts the wait.
	struct sigaction sa = {}, old;
	sa.sa_handler = on_signal;
	ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
	pthread_t reader = pthread_self();
	std::atomic<bool> done{false};
	std::thread kicker([&] {
		while (!done) {
			std::this_thread::sleep_for(
			        std::chrono::milliseconds(50));
			pthread_kill(reader, SIGUSR1);
		}
	});
	n = read(fd, buf, sizeof buf);
	int err = errno;
	done = true;
	kicker.join();
	sigaction(SIGUSR1, &old, nullptr);
	EXPECT_EQ(n, -1);
	EXPECT_EQ(err, EINTR);
	// Non-blocking descriptors do not wait.
	ASSERT_EQ(fcntl(fd, F_SETFL, O_NONBLOCK), 0);
	EXPECT_EQ(read(fd, buf, sizeof buf), -1);
	EXPECT_EQ(errno, EAGAIN);
	close(fd);
}

// poll(), ppoll() and select() find a log descriptor readable only when a
// read would not wait: a record waits, or the log ended for a reader that
// does not follow. So a consumer can wait on several logs and a timer.
TEST_F(ChlgDevice, PollIsReadableWhenARecordWaitsOrTheLogEnded)
{
	Watchdog watchdog;
	make_dirs(2);
	int plain = open_log(), follower = open_log();
	int clearer = open_log(O_WRONLY);
	ASSERT_EQ(ioctl(follower, ZV_IOC_CHLG_FOLLOW, 1L), 0);
	auto ready = [](int fd) {
		struct pollfd p = {fd, POLLIN | POLLOUT, 0};
		return poll(&p, 1, 0) < 0 ? -errno : p.revents;
	};
	EXPECT_EQ(ready(follower), POLLIN);
	EXPECT_EQ(ready(clearer), POLLOUT);
	char buf[4096];
	ASSERT_EQ(read(follower, buf, sizeof buf), ssize_t(2 * DIR_REC));
	EXPECT_EQ(ready(follower), 0) << "a follower at the end waits";
	ASSERT_EQ(read(plain, buf, sizeof buf), ssize_t(2 * DIR_REC));
	EXPECT_EQ(ready(plain), POLLIN) << "the end of the log reads 0";
	// Past the last record, those below the number asked for are
	// skipped and make nothing readable.
	ASSERT_EQ(lseek(follower, 4, SEEK_SET), 4);
	make_dirs(1, 2);
	EXPECT_EQ(ready(follower), 0);
	make_dirs(1, 3);
	EXPECT_EQ(ready(follower), POLLIN);
	ASSERT_EQ(read(follower, buf, sizeof buf), ssize_t(DIR_REC));
	EXPECT_EQ(decode(buf).index, 4u);
	for (int fd : {plain, follower, clearer})
		close(fd);

	// Two logs and a timer, each waking the wait in its turn.
	resetup(2);
	int logs[2];
	for (int i = 0; i < 2; ++i) {
		logs[i] = open(dev_path(i ? "demo-MDT0001" : MDT0).c_str(),
		               O_RDONLY);
		ASSERT_GE(logs[i], 0);
		ASSERT_EQ(ioctl(logs[i], ZV_IOC_CHLG_FOLLOW, 1L), 0);
	}
	int timer = timerfd_create(CLOCK_MONOTONIC, 0);
	ASSERT_GE(timer, 0);
	struct itimerspec at = {};
	at.it_value.tv_nsec = 30 * 1000 * 1000;
	ASSERT_EQ(timerfd_settime(timer, 0, &at, nullptr), 0);
	struct pollfd fds[3] = {
	        {logs[0], POLLIN, 0}, {logs[1], POLLIN, 0}, {timer, POLLIN, 0}};
	ASSERT_EQ(poll(fds, 3, 10000), 1);
	EXPECT_EQ(fds[0].revents | fds[1].revents, 0);
	EXPECT_EQ(fds[2].revents, POLLIN);
	uint64_t ticks;
	ASSERT_EQ(read(timer, &ticks, sizeof ticks), 8);

	std::string rec = raw_record(1, "one");
	std::thread appender([&] {
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
		zvsim_changelog_append("demo-MDT0001", rec.data(), rec.size());
	});
	int rc = ppoll(fds, 3, nullptr, nullptr);
	appender.join();
	ASSERT_EQ(rc, 1);
	EXPECT_EQ(fds[0].revents | fds[2].revents, 0);
	EXPECT_EQ(fds[1].revents, POLLIN);
	struct timespec bad = {0, -1};
	EXPECT_EQ(ppoll(fds, 3, &bad, nullptr), -1);
	EXPECT_EQ(errno, EINVAL);

	fd_set set;
	FD_ZERO(&set);
	for (int fd : {logs[0], logs[1], timer})
		FD_SET(fd, &set);
	struct timeval none = {0, 0};
	ASSERT_EQ(select(FD_SETSIZE, &set, nullptr, nullptr, &none), 1);
	EXPECT_TRUE(FD_ISSET(logs[1], &set));
	EXPECT_FALSE(FD_ISSET(logs[0], &set) || FD_ISSET(timer, &set));

	// A signal let through by ppoll()'s mask ends the wait.
	sigset_t usr1, open_mask;
	sigemptyset(&usr1);
	sigaddset(&usr1, SIGUSR1);
	struct sigaction sa = {}, old;
	sa.sa_handler = on_signal;
	ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
	ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &usr1, &open_mask), 0);
	sigdelset(&open_mask, SIGUSR1);
	pthread_t self = pthread_self();
	std::thread kicker([self] {
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
		pthread_kill(self, SIGUSR1);
	});
	rc = ppoll(fds, 1, nullptr, &open_mask);
	int err = errno;
	kicker.join();
	pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
	sigaction(SIGUSR1, &old, nullptr);
	EXPECT_EQ(rc, -1);
	EXPECT_EQ(err, EINTR);
	for (int fd : {logs[0], logs[1], timer})
		close(fd);
}

TEST_F(ChlgDevice, ClearPurgesOnceEveryUserHasCleared)
{
	std::string second = register_user(MDT0);
	EXPECT_EQ(second, "cl2");
	make_dirs(6);
	int fd = open_log(O_WRONLY);
	const char cmd[] = "clear:cl1:4";
	EXPECT_EQ(write(fd, cmd, sizeof cmd), ssize_t(sizeof cmd));
	EXPECT_EQ(read_log(MDT0).size(), 6u);        // cl2 still needs them
	EXPECT_EQ(write(fd, "clear:cl2:2", 11), 11); // no NUL is fine
	std::vector<Rec> recs = read_log(MDT0);
	ASSERT_EQ(recs.size(), 4u);
	EXPECT_EQ(recs[0].index, 3u);
	// Beyond the last record: clamped to it.
	EXPECT_EQ(write(fd, "clear:cl2:1000", 15), 15);
	EXPECT_EQ(write(fd, "clear:cl1:1000", 15), 15);
	EXPECT_TRUE(read_log(MDT0).empty());
	char users[64] = {};
	ASSERT_GT(zvsim_changelog_users(MDT0, users, sizeof users), 0);
	EXPECT_STREQ(users, "cl1 6\ncl2 6\n");
	make_dirs(1, 6);
	recs = read_log(MDT0);
	ASSERT_EQ(recs.size(), 1u);
	EXPECT_EQ(recs[0].index, 7u);

	// Errors.
	EXPECT_EQ(write(fd, "clear:cl9:1", 12), -1);
	EXPECT_EQ(errno, ENOENT);
	EXPECT_EQ(write(fd, "clear:bob:1", 12), -1);
	EXPECT_EQ(errno, ENOENT);
	for (const char *bad : {"clear:cl1", "clear:cl1:", "clear::5",
	                        "purge:cl1:5", "clear:cl1:-1", "clear:cl1:5x",
	                        "clear:cl1:99999999999999999999"}) {
		EXPECT_EQ(write(fd, bad, strlen(bad)), -1) << bad;
		EXPECT_EQ(errno, EINVAL) << bad;
	}
	close(fd);

	// Every write reached the simulated kernel as written.
	std::vector<sim_request> reqs = requests(ZVSIM_REQ_CHLG_CLEAR);
	ASSERT_EQ(reqs.size(), 13u);
	EXPECT_EQ(std::string(reqs[0].bytes.begin(), reqs[0].bytes.end()),
	          std::string(cmd, sizeof cmd));
	EXPECT_EQ(reqs[0].size, 0u);
}

TEST_F(ChlgDevice, DeregisteringTheLastUserDropsTheLog)
{
	make_dirs(3);
	EXPECT_EQ(zvsim_changelog_deregister(MDT0, "cl7"), -ENOENT);
	EXPECT_EQ(zvsim_changelog_deregister(MDT0, "bob"), -ENOENT);
	EXPECT_EQ(zvsim_changelog_deregister("demo-MDT0009", "cl1"), -ENOENT);
	std::string late = register_user(MDT0);
	EXPECT_EQ(late, "cl2");
	// The first user leaves: the new one holds nothing back.
	ASSERT_EQ(zvsim_changelog_deregister(MDT0, user_.c_str()), 0);
	EXPECT_TRUE(read_log(MDT0).empty());
	make_dirs(1, 3);
	EXPECT_EQ(read_log(MDT0).size(), 1u);
	ASSERT_EQ(zvsim_changelog_deregister(MDT0, late.c_str()), 0);
	EXPECT_TRUE(read_log(MDT0).empty());
	make_dirs(1, 4);
	EXPECT_TRUE(read_log(MDT0).empty());
	char small[3];
	EXPECT_EQ(zvsim_changelog_register(MDT0, small, sizeof small),
	          -EOVERFLOW);
}

// Purging a damaged log fails; the user it would purge for still goes,
// and with the last one the namespace is no longer followed.
TEST_F(ChlgDevice, TheLastUserOfADamagedLogStillGoes)
{
	make_dirs(3);
	int fd = open((state() + "/changelog/" + MDT0).c_str(), O_WRONLY);
	ASSERT_GE(fd, 0);
	ASSERT_EQ(pwrite(fd, "\0\0", 2, 4096 + 6),
	          2); // the first frame's magic
	close(fd);
	ASSERT_EQ(zvsim_changelog_deregister(MDT0, user_.c_str()), 0);
	EXPECT_EQ(zvsim_changelog_deregister(MDT0, user_.c_str()), -ENOENT);
	struct stat st;
	EXPECT_NE(stat((state() + "/changelog/active").c_str(), &st), 0);
}

TEST_F(ChlgDevice, RawAppendsAreServedAsTheyStand)
{
	// (a) a header announcing a 500-byte name in a 70-byte unit.
	std::string shortrec = raw_record(1, "abcdef");
	uint16_t lie = 500;
	memcpy(&shortrec[0], &lie, 2);
	// (b) 1200 bytes, more than a reader's record buffer.
	std::string big = raw_record(2, std::string(1200 - 64, 'b'));
	std::string tiny = "xyz";
	ASSERT_EQ(
	        zvsim_changelog_append(MDT0, shortrec.data(), shortrec.size()),
	        0);
	ASSERT_EQ(zvsim_changelog_append(MDT0, big.data(), big.size()), 0);
	ASSERT_EQ(zvsim_changelog_append(MDT0, tiny.data(), tiny.size()), 0);
	EXPECT_EQ(zvsim_changelog_append(MDT0, "", 0), -EINVAL);
	EXPECT_EQ(zvsim_changelog_append("nope-MDT0000", "x", 1), -ENOENT);

	make_dirs(1); // after the highest index appended: 3
	make_dirs(1, 1);

	// Each raw append ends the read that returns it, so its bytes are
	// that read's tail, whatever its header says.
	int fd = open_log();
	char buf[4096];
	ASSERT_EQ(read(fd, buf, sizeof buf), ssize_t(shortrec.size()));
	EXPECT_EQ(std::string(buf, shortrec.size()), shortrec);
	EXPECT_EQ(read(fd, buf, 1199), -1);
	EXPECT_EQ(errno, EINVAL);
	ASSERT_EQ(read(fd, buf, sizeof buf), ssize_t(big.size()));
	EXPECT_EQ(std::string(buf, big.size()), big);
	ASSERT_EQ(read(fd, buf, sizeof buf), 3);
	EXPECT_EQ(std::string(buf, 3), "xyz");
	// Produced records share reads again.
	ASSERT_EQ(read(fd, buf, sizeof buf), ssize_t(2 * DIR_REC));
	EXPECT_EQ(decode(buf).index, 3u);
	EXPECT_EQ(decode(buf).prev, 2u);
	EXPECT_EQ(decode(buf + DIR_REC).index, 4u);
	close(fd);

	// Produced records before a raw one share its read.
	ASSERT_EQ(zvsim_changelog_append(MDT0, tiny.data(), tiny.size()), 0);
	make_dirs(1, 2);
	fd = open_log();
	ASSERT_EQ(lseek(fd, 3, SEEK_SET), 3);
	EXPECT_EQ(read(fd, buf, sizeof buf), ssize_t(2 * DIR_REC + 3));
	EXPECT_EQ(read(fd, buf, sizeof buf), ssize_t(DIR_REC));
	close(fd);
}

TEST_F(ChlgDevice, OrdinaryFilesAreUntouched)
{
	std::string path = tmp_.path() + "/plain";
	int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(write(fd, "clear:cl1:1", 11), 11);
	EXPECT_EQ(lseek(fd, 6, SEEK_SET), 6);
	EXPECT_EQ(lseek(fd, -2, SEEK_END), 9);
	char buf[16];
	EXPECT_EQ(read(fd, buf, 1), 1);
	EXPECT_EQ(buf[0], ':');
	EXPECT_EQ(ioctl(fd, ZV_IOC_CHLG_FOLLOW, 1L), -1);
	EXPECT_EQ(errno, ENOTTY);
	close(fd);
	// Without a simulation the device paths are the host's.
	zvsim_teardown();
	EXPECT_EQ(open(dev_path(MDT0).c_str(), O_RDONLY), -1);
	EXPECT_EQ(errno, ENOENT);
	ASSERT_EQ(zvsim_attach(state().c_str()), 0);
}

TEST_F(ChlgDevice, LauncherSteersTheLogs)
{
	std::string z = std::string(ZVSIM_LAUNCHER) + " --state " +
	                shell_quote(state()) + " changelog ";
	run_result r = run_shell(z + "register demo-MDT0000");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "cl2\n");
	r = run_shell(z + "users demo-MDT0000");
	EXPECT_EQ(r.out, "cl1 0\ncl2 0\n");
	EXPECT_EQ(run_shell(z + "mask demo-MDT0000 0x4").status,
	          0); // MKDIR only
	make_dirs(1);
	write_file(mnt("file"));
	std::string rec = raw_record(9, "raw");
	std::string hex;
	for (unsigned char c : rec) {
		char two[3];
		snprintf(two, sizeof two, "%02x", c);
		hex += two;
	}
	EXPECT_EQ(run_shell(z + "append demo-MDT0000 " + hex).status, 0);
	std::vector<Rec> recs = read_log(MDT0);
	ASSERT_EQ(recs.size(), 2u);
	EXPECT_EQ(recs[0].type, unsigned(CL_MKDIR));
	EXPECT_EQ(recs[1].name, "raw");
	EXPECT_EQ(run_shell(z + "deregister demo-MDT0000 cl2").status, 0);
	EXPECT_EQ(
	        run_shell(z + "deregister demo-MDT0000 cl2 2>/dev/null").status,
	        1);
	EXPECT_EQ(run_shell(z + "mask demo-MDT0000 zz 2>/dev/null").status, 1);
	EXPECT_EQ(run_shell(z + "append demo-MDT0000 abc 2>/dev/null").status,
	          1);
	EXPECT_EQ(run_shell(z + "register demo-MDT0009 2>/dev/null").status, 1);

	// A preloaded program's operations are recorded too.
	r = run_shell(std::string(ZVSIM_LAUNCHER) + " run --state " +
	              shell_quote(state()) +
	              " -- sh -c 'mkdir \"$ZVSIM_MOUNT/from-sh\"'");
	EXPECT_EQ(r.status, 0);
	recs = read_log(MDT0);
	ASSERT_EQ(recs.size(), 3u);
	EXPECT_EQ(recs[2].name, "from-sh");
	EXPECT_EQ(recs[2].jobid.substr(0, 6), "mkdir.");
}
