// Writers killed at random moments: the log must still tell exactly what
// happened to the namespace. A child process changes the mount in a loop
// and is killed with SIGKILL, a few hundred times; then replaying the log
// must give exactly the entries the mount holds.
#include "chlg_helpers.h"

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/zorvel/zorvel_changelog.h>

using namespace zvtest;

namespace
{

constexpr const char *MDT0 = "demo-MDT0000";
constexpr int KILLS = 300;

// Entries of a directory (no subdirectories here), by name.
std::vector<std::string> entries(const std::string &dir)
{
	std::vector<std::string> out;
	DIR *d = opendir(dir.c_str());
	if (!d)
		return out;
	while (struct dirent *de = readdir(d)) {
		std::string name = de->d_name;
		if (name != "." && name != ".." && name != ".zorvel")
			out.push_back(name);
	}
	closedir(d);
	return out;
}

} // namespace

class ChlgKill : public Sim
{
      protected:
	void SetUp() override
	{
		Sim::SetUp();
		register_user(MDT0);
	}

	// Runs work(round, started) in a child KILLS times, each killed a
	// random delay of up to max_us microseconds after the child called
	// started() (once its first change is done), so that a slow start
	// on a loaded machine does not leave every round without a change.
	template <typename Work>
	void kill_loop(unsigned max_us, Work &&work)
	{
		std::mt19937 rng(12345);
		std::uniform_int_distribution<unsigned> delay(0, max_us);
		for (int round = 0; round < KILLS; ++round) {
			int ready[2];
			ASSERT_EQ(pipe(ready), 0);
			pid_t pid = fork();
			ASSERT_GE(pid, 0);
			if (pid == 0) {
				close(ready[0]);
				auto started = [&] {
					if (ready[1] >= 0) {
						(void)!write(ready[1], "", 1);
						close(ready[1]);
						ready[1] = -1;
					}
				};
				work(round, started);
				_exit(0);
			}
			close(ready[1]);
			char c;
			(void)!read(ready[0], &c, 1);
			close(ready[0]);
			usleep(delay(rng));
			kill(pid, SIGKILL);
			int status;
			ASSERT_EQ(waitpid(pid, &status, 0), pid);
		}
	}

	// Replays the log over an empty root: every record must follow from
	// the ones before it, and the result must be what the mount holds.
	void expect_log_matches_mount()
	{
		std::map<std::string, std::string> name_of; // FID text -> name
		std::vector<Rec> recs = read_log(MDT0);
		for (size_t i = 0; i < recs.size(); ++i) {
			const Rec &r = recs[i];
			ASSERT_EQ(r.index, i + 1);
			std::string f = fid_text(r.tfid);
			bool known = name_of.count(f);
			if (r.type == CL_CREATE) {
				ASSERT_FALSE(known) << "second CREATE of " << f;
				name_of[f] = r.name;
			} else if (r.type == CL_RENAME) {
				ASSERT_TRUE(known) << "RENAME of unknown " << f;
				name_of[f] = r.name;
			} else if (r.type == CL_UNLINK) {
				ASSERT_TRUE(known) << "UNLINK of unknown " << f;
				ASSERT_EQ(name_of[f], r.name);
				name_of.erase(f);
			} else {
				FAIL() << "unexpected record type " << r.type;
			}
		}
		size_t held = 0;
		for (const std::string &name : entries(mnt())) {
			++held;
			std::string f = fid_text(fid(mnt(name)));
			EXPECT_EQ(name_of[f], name)
			        << "entry " << name << " " << f;
			name_of.erase(f);
		}
		for (const auto &[f, name] : name_of)
			ADD_FAILURE() << "log names " << name << " " << f
			              << ", not in the mount";
		// Every writer made its first change before the kill could
		// come, and the renaming one unlinks only every other file.
		EXPECT_GE(held, size_t(KILLS / 2));
	}
};

TEST_F(ChlgKill, EveryCreatedFileHasExactlyOneCreateRecord)
{
	kill_loop(1500, [&](int round, auto &&started) {
		for (int n = 0; n < 100000; ++n) {
			std::string name = "c" + std::to_string(round) + "-" +
			                   std::to_string(n);
			int fd = open(mnt(name).c_str(),
			              O_CREAT | O_EXCL | O_WRONLY, 0644);
			if (fd >= 0)
				close(fd);
			started();
		}
	});
	expect_log_matches_mount();
}

TEST_F(ChlgKill, RenamesAndUnlinksKeepTheLogInStepWithTheMount)
{
	kill_loop(2500, [&](int round, auto &&started) {
		for (int n = 0; n < 100000; ++n) {
			std::string stem =
			        std::to_string(round) + "-" + std::to_string(n);
			std::string a = mnt("a" + stem), b = mnt("b" + stem);
			int fd = open(a.c_str(), O_CREAT | O_EXCL | O_WRONLY,
			              0644);
			if (fd >= 0)
				close(fd);
			rename(a.c_str(), b.c_str());
			if (n % 2)
				unlink(b.c_str());
			started();
		}
	});
	expect_log_matches_mount();
}
