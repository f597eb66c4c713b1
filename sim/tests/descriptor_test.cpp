// Open files as the simulated kernel follows them: a group lock, a lease
// and an open of a cached file belong to the open file a descriptor names,
// and go when its last descriptor goes, whichever call, process or signal
// ends it. And the simulator's own descriptors stay out of the caller's
// way: never 0, 1 or 2, invisible to its closes.
#include "helpers.h"
#include "zvtest/child.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <random>
#include <set>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/zorvel/zorvel_lease.h>
#include <linux/zorvel/zorvel_mirror.h>
#include <linux/zorvel/zorvel_swap.h>

using namespace zvtest;

namespace
{

constexpr unsigned long GID = 7;

// What a process holds on the file: listed by steering, and seen by
// another process trying to swap it.
struct Held {
	bool lock = false;
	bool lease = false;
	unsigned opens = 0;
	bool swap_refused = false;
	bool operator==(const Held &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Held &h)
{
	return os << "{lock " << h.lock << ", lease " << h.lease << ", opens "
	          << h.opens << ", swap refused " << h.swap_refused << "}";
}

Held held_by_one()
{
	return {true, true, 1, true};
}

// A process under test: its descriptor f of the file, which holds group
// lock 7, a write lease and an open of the cached file; another file's
// descriptor o; the pipes it reports on.
struct Proc {
	int f;
	int o;
	int ready;   // written once the steps are done
	int life[2]; // a pipe whose write end only the process itself has
	std::string state;
};

// Before closing everything from 3 up: the report goes through 0.
void report_through_0(Proc &p)
{
	dup2(p.ready, 0);
	p.ready = 0;
}

void report(const Proc &p)
{
	char c = 'r';
	if (write(p.ready, &c, 1) != 1)
		_exit(90);
}

// A child that runs fn and then lives as long as we do; back once fn ran.
template <typename Fn>
void keep_child(const Proc &p, Fn &&fn)
{
	int done[2];
	char c = 'd';
	if (pipe(done) != 0)
		_exit(96);
	if (fork() != 0) {
		close(done[1]);
		if (read(done[0], &c, 1) != 1)
			_exit(97);
		close(done[0]);
		return;
	}
	close(done[0]);
	close(p.life[1]); // its end comes once the parent is gone
	fn();
	if (write(done[1], &c, 1) != 1)
		_exit(98);
	close(done[1]);
	while (read(p.life[0], &c, 1) != 0) {
	}
	_exit(0);
}

// Another program, reporting once it runs.
void exec_other(const Proc &p)
{
	if (dup2(p.ready, 9) != 9)
		_exit(91);
	execl("/bin/sh", "sh", "-c", "printf r >&9; exec sleep 600",
	      (char *)nullptr);
	_exit(92);
}

// The number of a descriptor the simulator keeps for itself, found by
// where it leads.
int own_descriptor(const std::string &state)
{
	int found = -1;
	if (DIR *d = opendir("/proc/self/fd")) {
		while (struct dirent *e = readdir(d)) {
			char link[4096];
			std::string at =
			        std::string("/proc/self/fd/") + e->d_name;
			ssize_t n = readlink(at.c_str(), link, sizeof link - 1);
			if (n > 0 && std::string(link, size_t(n))
			                     .starts_with(state + "/ofd/"))
				found = atoi(e->d_name);
		}
		closedir(d);
	}
	return found;
}

struct Sequence {
	const char *what;
	void (*steps)(Proc &p); // reports itself (exec) or is reported
	bool held;              // while the process runs
};

const Sequence sequences[] = {
        {"nothing more", [](Proc &) {}, true},
        {"close", [](Proc &p) { close(p.f); }, false},
        {"dup, close the original",
         [](Proc &p) {
	         dup(p.f);
	         close(p.f);
         },
         true},
        {"dup, close both",
         [](Proc &p) {
	         close(dup(p.f));
	         close(p.f);
         },
         false},
        {"dup2 over standard output and back",
         [](Proc &p) {
	         int saved = dup(1);
	         dup2(p.f, 1);
	         close(p.f);
	         dup2(saved, 1);
	         close(saved);
         },
         false},
        {"dup2 over standard output, close the original",
         [](Proc &p) {
	         dup2(p.f, 1);
	         close(p.f);
         },
         true},
        {"dup2 of another file over it", [](Proc &p) { dup2(p.o, p.f); },
         false},
        {"dup3 of another file over it",
         [](Proc &p) { dup3(p.o, p.f, O_CLOEXEC); }, false},
        {"dup3 with O_CLOEXEC, close the original",
         [](Proc &p) {
	         dup3(p.f, 30, O_CLOEXEC);
	         close(p.f);
         },
         true},
        {"F_DUPFD, close the original",
         [](Proc &p) {
	         fcntl(p.f, F_DUPFD, 20);
	         close(p.f);
         },
         true},
        {"F_DUPFD_CLOEXEC, close both",
         [](Proc &p) {
	         close(fcntl(p.f, F_DUPFD_CLOEXEC, 20));
	         close(p.f);
         },
         false},
        {"a stream over a dup, fclose",
         [](Proc &p) {
	         FILE *fp = fdopen(dup(p.f), "r+");
	         close(p.f);
	         fclose(fp);
         },
         false},
        {"close_range over every copy",
         [](Proc &p) {
	         report_through_0(p);
	         dup2(p.f, 40);
	         close_range(3, ~0u, 0);
         },
         false},
        {"close_range above a copy kept on 2",
         [](Proc &p) {
	         report_through_0(p);
	         dup2(p.f, 2);
	         close_range(3, ~0u, 0);
         },
         true},
        {"closefrom above a copy kept on 2",
         [](Proc &p) {
	         report_through_0(p);
	         dup2(p.f, 2);
	         closefrom(3);
         },
         true},
        {"fork: the child keeps it, the parent closes",
         [](Proc &p) {
	         keep_child(p, [] {});
	         close(p.f);
         },
         true},
        {"fork: the child closes, the parent keeps",
         [](Proc &p) { keep_child(p, [&] { close(p.f); }); }, true},
        {"fork: both close",
         [](Proc &p) {
	         keep_child(p, [&] { close(p.f); });
	         close(p.f);
         },
         false},
        {"vfork: the child closes and runs another program, then the "
         "parent closes",
         [](Proc &p) {
	         pid_t pid = vfork();
	         if (pid == 0) {
		         close(p.f);
		         execl("/bin/true", "true", (char *)nullptr);
		         _exit(1);
	         }
	         waitpid(pid, nullptr, 0);
	         close(p.f);
         },
         false},
        {"exec with F_SETFD FD_CLOEXEC",
         [](Proc &p) {
	         fcntl(p.f, F_SETFD, FD_CLOEXEC);
	         exec_other(p);
         },
         false},
        {"exec with a copy made close-on-exec by FIOCLEX",
         [](Proc &p) {
	         int copy = dup(p.f);
	         close(p.f);
	         ioctl(copy, FIOCLEX);
	         exec_other(p);
         },
         false},
        {"exec after close_range(CLOSE_RANGE_CLOEXEC)",
         [](Proc &p) {
	         close_range(3, ~0u, CLOSE_RANGE_CLOEXEC);
	         exec_other(p);
         },
         false},
        {"exec keeping one copy of two",
         [](Proc &p) {
	         dup3(p.f, 30, O_CLOEXEC);
	         exec_other(p);
         },
         true},
        {"close and dup2 onto the simulator's own descriptor",
         [](Proc &p) {
	         int own = own_descriptor(p.state);
	         if (own < 0 || close(own) != -1 || errno != EBADF)
		         _exit(93);
	         if (dup2(p.o, own) != own)
		         _exit(94);
	         close(own);
         },
         true},
};

class Descriptors : public Sim
{
      protected:
	void SetUp() override
	{
		Sim::SetUp();
		file_ = mnt("h");
		write_file(file_, "cached data");
		write_file(mnt("g"), "other data");
		std::string param = std::string("/sys/fs/zorvel/zvlite/demo-") +
		                    zvsim_instance() + "/pcc";
		Fd p(open(param.c_str(), O_WRONLY));
		ASSERT_EQ(write(p.fd, "add 1", 5), 5);
		Fd f(open(file_.c_str(), O_RDWR));
		uint32_t take[3] = {ZV_LEASE_WRLCK, 0, 0};
		uint32_t attach[4] = {ZV_LEASE_UNLCK, ZV_LEASE_PCC_ATTACH, 1,
		                      1};
		ASSERT_EQ(ioctl(f.fd, ZV_IOC_LEASE_SET, take), 0);
		ASSERT_EQ(ioctl(f.fd, ZV_IOC_LEASE_SET, attach),
		          ZV_LEASE_WRLCK);
	}

	std::string shown(int (*show)(const char *, char *, size_t))
	{
		char buf[4096];
		int n = show(file_.c_str(), buf, sizeof buf);
		return n < 0 ? "error" : std::string(buf, size_t(n));
	}

	// What is held on the file, as another process finds it.
	Held held()
	{
		Held h;
		h.lock = shown(zvsim_grouplock_show).find("gid=7") !=
		         std::string::npos;
		h.lease = !shown(zvsim_lease_show).empty();
		std::string pcc = shown(zvsim_pcc_show);
		size_t at = pcc.find("opens=");
		h.opens = at == std::string::npos
		                  ? 99
		                  : unsigned(atoi(pcc.c_str() + at + 6));
		std::string f = file_, g = mnt("g");
		h.swap_refused =
		        in_child([&] {
			        int a = open(f.c_str(), O_RDWR);
			        int b = open(g.c_str(), O_RDWR);
			        zorvel_swap_layouts sl{0, uint32_t(b), 1, 0, 0};
			        int rc = ioctl(a, ZV_IOC_SWAP_LAYOUTS, &sl);
			        return rc == 0 ? 0 : errno == EBUSY ? 1 : 2;
		        }) == 1;
		return h;
	}

	// Nothing held once the processes that held are gone (a child left
	// by fork ends shortly after its parent).
	Held settled()
	{
		Held h = held();
		for (int i = 0; i < 500 && !(h == Held{}); ++i) {
			usleep(10000);
			h = held();
		}
		return h;
	}

	std::string file_;
};

TEST_F(Descriptors, WhatIsHeldGoesWithTheLastDescriptor)
{
	std::string path = file_, other = mnt("g"), st = state();
	for (const Sequence &s : sequences) {
		SCOPED_TRACE(s.what);
		int ready[2];
		ASSERT_EQ(pipe(ready), 0);
		child proc([&] {
			close(ready[0]);
			Proc p{open(path.c_str(), O_RDWR),
			       open(other.c_str(), O_RDONLY),
			       ready[1],
			       {},
			       st};
			if (pipe(p.life) != 0)
				return 95;
			uint32_t lease[3] = {ZV_LEASE_WRLCK, 0, 0};
			if (p.f < 0 || p.o < 0 ||
			    ioctl(p.f, ZV_IOC_LEASE_SET, lease) != 0 ||
			    ioctl(p.f, ZV_IOC_GROUP_LOCK, GID) != 0)
				return 95;
			s.steps(p);
			report(p);
			pause();
			return 0;
		});
		close(ready[1]);
		char c = 0;
		ASSERT_EQ(read(ready[0], &c, 1), 1) << "the steps ran";
		close(ready[0]);
		EXPECT_EQ(held(), s.held ? held_by_one() : Held{});
		kill(proc.pid(), SIGKILL);
		proc.wait();
		EXPECT_EQ(settled(), Held{}) << "once killed";
	}
}

// Random descriptor calls in this process against a model of which
// descriptors name the locked open file.
TEST_F(Descriptors, RandomDescriptorCallsAgainstAModel)
{
	const char *env = getenv("ZVTEST_SEED");
	unsigned seed = env ? unsigned(strtoul(env, nullptr, 0))
	                    : std::random_device{}();
	SCOPED_TRACE("ZVTEST_SEED=" + std::to_string(seed));
	std::mt19937 rng(seed);
	// Numbers of this test only, out of the way of the others.
	constexpr int LOW = 100, HIGH = 115;
	auto any = [&] { return LOW + int(rng() % (HIGH - LOW + 1)); };
	std::set<int> locked, others; // the model

	Fd o(open(mnt("g").c_str(), O_RDONLY));
	for (int round = 0; round < 20; ++round) {
		int f = open(file_.c_str(), O_RDWR);
		ASSERT_GE(f, 0);
		ASSERT_EQ(ioctl(f, ZV_IOC_GROUP_LOCK, GID), 0);
		int at = any();
		ASSERT_EQ(dup2(f, at), at);
		close(f);
		others.erase(at);
		locked = {at};
		while (!locked.empty()) {
			// Any copy of the file, or of the other one.
			bool from_locked = rng() % 2 && !locked.empty();
			auto pick = [&](const std::set<int> &s) {
				auto it = s.begin();
				std::advance(it, rng() % s.size());
				return *it;
			};
			int from = from_locked      ? pick(locked)
			           : others.empty() ? o.fd
			                            : pick(others);
			int to = any();
			std::string op;
			int made = -1;
			switch (rng() % 7) {
			case 0:
				op = "dup";
				made = dup(from);
				break;
			case 1:
				op = "dup2";
				made = dup2(from, to);
				break;
			case 2:
				op = "dup3";
				made = dup3(from, to,
				            rng() % 2 ? O_CLOEXEC : 0);
				break;
			case 3:
				op = "F_DUPFD";
				made = fcntl(from,
				             rng() % 2 ? F_DUPFD
				                       : F_DUPFD_CLOEXEC,
				             to);
				break;
			case 4:
				op = "close";
				close(to);
				locked.erase(to);
				others.erase(to);
				break;
			case 5: {
				int last = std::min(HIGH, to + int(rng() % 4));
				op = "close_range";
				close_range(unsigned(to), unsigned(last), 0);
				for (int n = to; n <= last; ++n) {
					locked.erase(n);
					others.erase(n);
				}
				break;
			}
			default:
				op = "fclose";
				if (FILE *fp = fdopen(to, "r")) {
					fclose(fp);
					locked.erase(to);
					others.erase(to);
				}
			}
			if (made >= LOW && made <= HIGH) {
				locked.erase(made);
				others.erase(made);
				(from_locked ? locked : others).insert(made);
			} else if (made >= 0) {
				close(made); // a number beyond the model's
			}
			ASSERT_EQ(shown(zvsim_grouplock_show).empty(),
			          locked.empty())
			        << op << " from " << from << " to " << to
			        << ": " << locked.size() << " copies left";
		}
	}
	close_range(LOW, HIGH, 0);
}

// Redirections in a shell are an open, a dup2 and closes: the cached
// file's open is counted while the redirection lasts.
TEST_F(Descriptors, ShellRedirectionsOpenAndClose)
{
	const char *script = "echo y >> \"$1\"; zvsim pcc show \"$1\"; "
	                     "exec 7>>\"$1\"; zvsim pcc show \"$1\"; "
	                     "exec 7>&-; zvsim pcc show \"$1\"";
	std::string dir = std::string(ZVSIM_LAUNCHER);
	dir.resize(dir.rfind('/'));
	for (const char *shell : {"/bin/sh", "/bin/bash"}) {
		if (access(shell, X_OK) != 0)
			continue;
		run_result r =
		        run_program({ZVSIM_LAUNCHER, "run", "--state", state(),
		                     "--", shell, "-c", script, "sh", file_},
		                    {"PATH=" + dir + ":" + getenv("PATH")});
		EXPECT_EQ(r.status, 0) << shell << ": " << r.err;
		size_t n = 0;
		for (const char *opens : {"opens=0", "opens=1", "opens=0"}) {
			size_t at = r.out.find(opens, n);
			EXPECT_NE(at, std::string::npos)
			        << shell << ": " << opens << " in " << r.out;
			n = at == std::string::npos ? n : at + 1;
		}
	}
}

// A program that closed its standard streams: a mirror's backing file
// opened for it does not take descriptor 2, so what it writes to 2 lands
// nowhere; a descriptor it opens itself keeps its number and flags.
TEST_F(Descriptors, OwnDescriptorsStayAboveTheStandardStreams)
{
	std::string f = mnt("m"), g = mnt("g");
	write_file(f, "");
	ASSERT_EQ(zvsim_mirror_count(f.c_str(), 2), 0);
	std::string param = std::string("/sys/fs/zorvel/zvlite/demo-") +
	                    zvsim_instance() + "/pcc";
	int status = in_child([&] {
		close(0);
		close(1);
		close(2);
		int a = open(f.c_str(), O_RDWR), b = open(g.c_str(), O_RDONLY);
		if (a != 0 || b != 1 || ioctl(a, ZV_IOC_MIRROR_SET, 2UL) != 0)
			return 10;
		if (write(a, "mirror data", 11) != 11)
			return 11;
		if (write(2, "a message", 9) != -1 || errno != EBADF)
			return 12; // nothing of ours on 2
		int p = open(param.c_str(), O_WRONLY);
		if (p != 2 || fcntl(p, F_GETFD) != 0)
			return 13; // the caller's number, without close-on-exec
		return 0;
	});
	EXPECT_EQ(status, 0);
	char buf[32] = {};
	EXPECT_EQ(zvsim_mirror_read(f.c_str(), 2, 0, buf, sizeof buf), 11);
	EXPECT_STREQ(buf, "mirror data");
}

} // namespace
