// Writers that share a process, or were forked from one that wrote: each
// process keeps its logs open from one record to the next, and knows the
// directories and created files it met by their texts and descriptors
// until something moves. Threads of several processes change their own
// corners of the mount at random; the log must hold each change once, in
// the order each thread made them, with the parents and names the
// namespace had then.
#include "chlg_helpers.h"
#include "tracee.h"

#include <fcntl.h>
#include <map>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <linux/zorvel/zorvel_changelog.h>

using namespace zvtest;

namespace
{

constexpr const char *MDT0 = "demo-MDT0000";
constexpr int PROCESSES = 3; // the test's own and two forked
constexpr int THREADS = 2;   // in each
constexpr int OPS = 120;     // by each thread

// What a thread does, decided from its seed alone: every change is to its
// own names, so each succeeds and its record is known beforehand.
enum OpKind {
	Create,
	Chmod,
	Rename,
	RenameByChild,
	Unlink,
	SwapDir
};

struct Op {
	OpKind kind;
	int file = -1; // file number (Create: the new one)
};

// A record a thread's change must leave: the parent is a directory of
// the thread (its number), or the root (-1); the object a file (>= 0) or
// a directory (-1 - its number).
struct Expected {
	uint32_t type;
	std::string name;
	int parent;
	int object;
	bool made; // the object is new
};

struct Plan {
	std::vector<Op> ops;
	std::vector<Expected> records;
};

std::string prefix(int thread)
{
	return "w" + std::to_string(thread) + ".";
}

Plan plan_of(int thread)
{
	std::mt19937 rng(1000 + thread);
	std::string p = prefix(thread);
	Plan plan;
	int dir = 0;                      // the directory named p + "d"
	std::map<int, std::string> names; // live files
	std::map<int, int> dir_of;
	int next = 0;
	plan.records.push_back({CL_MKDIR, p + "d", -1, -1, true});
	for (int i = 0; i < OPS; ++i) {
		unsigned roll = rng() % 100;
		OpKind k = names.empty() || roll < 30 ? Create
		           : roll < 50                ? Chmod
		           : roll < 70                ? Rename
		           : roll < 74                ? RenameByChild
		           : roll < 92                ? Unlink
		                                      : SwapDir;
		if (k == SwapDir) {
			plan.ops.push_back({k});
			plan.records.push_back({CL_RENAME,
			                        p + "d" + std::to_string(dir),
			                        -1, -1 - dir, false});
			++dir;
			plan.records.push_back(
			        {CL_MKDIR, p + "d", -1, -1 - dir, true});
			continue;
		}
		int f = next;
		if (k != Create) {
			auto it = names.begin();
			std::advance(it, rng() % names.size());
			f = it->first;
		} else {
			names[f] = p + "f" + std::to_string(next++);
			dir_of[f] = dir;
		}
		plan.ops.push_back({k, f});
		uint32_t type = k == Create   ? CL_CREATE
		                : k == Chmod  ? CL_SETATTR
		                : k == Unlink ? CL_UNLINK
		                              : CL_RENAME;
		if (k == Rename || k == RenameByChild)
			names[f] += "r";
		plan.records.push_back(
		        {type, names[f], dir_of[f], f, k == Create});
		if (k == Unlink)
			names.erase(f);
	}
	return plan;
}

// Carries out a thread's plan in the mount at root.
void run_plan(const std::string &root, int thread)
{
	std::string p = prefix(thread);
	Plan plan = plan_of(thread);
	std::vector<std::string> dir_path{root + "/" + p + "d"};
	std::map<int, std::string> names;
	std::map<int, int> dir_of, fds;
	auto path = [&](int f) { return dir_path[dir_of[f]] + "/" + names[f]; };
	mkdir(dir_path[0].c_str(), 0755);
	for (const Op &op : plan.ops) {
		int f = op.file;
		switch (op.kind) {
		case Create:
			names[f] = p + "f" + std::to_string(f);
			dir_of[f] = int(dir_path.size()) - 1;
			fds[f] = open(path(f).c_str(),
			              O_CREAT | O_EXCL | O_WRONLY, 0644);
			break;
		case Chmod:
			fchmod(fds[f], 0600);
			break;
		case Rename:
		case RenameByChild: {
			std::string from = path(f);
			names[f] += "r";
			if (op.kind == Rename) {
				rename(from.c_str(), path(f).c_str());
				break;
			}
			pid_t pid = fork();
			if (pid == 0)
				_exit(rename(from.c_str(), path(f).c_str()));
			int st;
			waitpid(pid, &st, 0);
			break;
		}
		case Unlink:
			unlink(path(f).c_str());
			close(fds[f]);
			fds.erase(f);
			names.erase(f);
			break;
		case SwapDir: {
			std::string moved = dir_path.back() +
			                    std::to_string(dir_path.size() - 1);
			rename(dir_path.back().c_str(), moved.c_str());
			dir_path.back() = moved;
			dir_path.push_back(root + "/" + p + "d");
			mkdir(dir_path.back().c_str(), 0755);
			break;
		}
		}
	}
	for (auto &[f, fd] : fds)
		close(fd);
}

void run_threads(const std::string &root, int process)
{
	std::vector<std::thread> threads;
	for (int t = 0; t < THREADS; ++t)
		threads.emplace_back(run_plan, root, process * THREADS + t);
	for (std::thread &t : threads)
		t.join();
}

} // namespace

class ChlgSharing : public Sim
{
      protected:
	void SetUp() override
	{
		Sim::SetUp();
		register_user(MDT0);
	}

	// A thread's records, in log order, against its plan: objects are
	// known by the FIDs their creations carried.
	void expect_plan(int thread, const std::vector<Rec> &recs)
	{
		Plan plan = plan_of(thread);
		ASSERT_EQ(recs.size(), plan.records.size())
		        << "thread " << thread;
		std::map<int, std::string> fid_of; // object -> FID text
		std::string root = fid_text(fid(mnt()));
		for (size_t i = 0; i < recs.size(); ++i) {
			const Rec &r = recs[i];
			const Expected &e = plan.records[i];
			std::string at = "thread " + std::to_string(thread) +
			                 " record " + std::to_string(i);
			ASSERT_EQ(r.type, e.type) << at;
			EXPECT_EQ(r.name, e.name) << at;
			std::string t = fid_text(r.tfid);
			if (e.made) {
				EXPECT_EQ(fid_of.count(e.object), 0u) << at;
				fid_of[e.object] = t;
			} else {
				EXPECT_EQ(t, fid_of[e.object]) << at;
			}
			EXPECT_EQ(fid_text(r.pfid),
			          e.parent < 0 ? root : fid_of[-1 - e.parent])
			        << at;
		}
	}
};

TEST_F(ChlgSharing, ThreadsAndForkedWritersEachRecordTheirOwnChangesInOrder)
{
	// A record first: the forked processes inherit a kept log.
	write_file(mnt("before"));
	std::vector<pid_t> children;
	for (int proc = 1; proc < PROCESSES; ++proc) {
		pid_t pid = fork();
		ASSERT_GE(pid, 0);
		if (pid == 0) {
			run_threads(mnt(), proc);
			_exit(0);
		}
		children.push_back(pid);
	}
	run_threads(mnt(), 0);
	for (pid_t pid : children) {
		int st;
		ASSERT_EQ(waitpid(pid, &st, 0), pid);
		EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
	}

	std::vector<Rec> recs = read_log(MDT0);
	std::map<int, std::vector<Rec>> by_thread;
	for (size_t i = 0; i < recs.size(); ++i) {
		ASSERT_EQ(recs[i].index, i + 1) << "numbered in order";
		const std::string &n = recs[i].name;
		if (n == "before")
			continue;
		size_t dot = n.find('.');
		ASSERT_TRUE(n[0] == 'w' && dot != std::string::npos) << n;
		by_thread[std::stoi(n.substr(1, dot - 1))].push_back(recs[i]);
	}
	for (int t = 0; t < PROCESSES * THREADS; ++t)
		expect_plan(t, by_thread[t]);
}

// A process killed inside a change while a child it forked lives on: the
// child's copy of the kept log is an open file of its own, so the lock
// goes with the writer.
TEST_F(ChlgSharing, AWriterKilledInsideAChangeFreesTheLogThoughItsChildLives)
{
	int pids[2];
	ASSERT_EQ(pipe(pids), 0);
	Tracee t([&] {
		write_file(mnt("first"));
		// The child tells its number once it runs on its own.
		if (fork() == 0) {
			pid_t self = getpid();
			(void)!write(pids[1], &self, sizeof self);
			pause();
			_exit(0);
		}
		close(open(mnt("second").c_str(), O_CREAT | O_EXCL | O_WRONLY,
		           0644));
	});
	if (!t.ok())
		GTEST_SKIP() << "no ptrace here";
	close(pids[1]);
	ASSERT_TRUE(t.stop_at(mnt("second"), false));
	pid_t child = -1;
	ASSERT_EQ(read(pids[0], &child, sizeof child), ssize_t(sizeof child));
	close(pids[0]);
	t.kill();

	int fd = open((state() + "/changelog/" + MDT0).c_str(), O_RDWR);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << "the log is still held";
	close(fd);
	kill(child, SIGKILL);

	write_file(mnt("third"));
	std::vector<Rec> recs = read_log(MDT0);
	ASSERT_EQ(recs.size(), 2u);
	EXPECT_EQ(recs[0].name, "first");
	EXPECT_EQ(recs[1].name, "third");
	EXPECT_EQ(recs[1].index, 2u);
}
