// Namespace operations in a simulated mount against the same operations on
// a plain directory of the same file system (tmpfs) at the same depth, in
// one run: the simulator must cost little while no change log has a user.
// Ratios are of CPU time (user and system), which other load on the machine
// disturbs less than elapsed time.
//
//   build-bench/bin/sim_namespace_bench
#include "support/bench_rounds.h"
#include "support/scratch.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <zvsim/zvsim.h>

namespace
{

std::string mount_dir, plain_dir;

// Names made afresh by every run of a benchmark.
std::string name(const std::string &dir, const char *kind, long run, long i)
{
	return dir + "/" + kind + std::to_string(run) + "-" + std::to_string(i);
}

long next_run()
{
	static long run;
	return ++run;
}

// Through the C library, so the simulator sees every call.
void BM_create_in_mount(benchmark::State &state)
{
	long run = next_run(), i = 0;
	for (auto _ : state) {
		int fd = open(name(mount_dir, "f", run, i++).c_str(),
		              O_CREAT | O_EXCL | O_WRONLY, 0644);
		if (fd < 0)
			state.SkipWithError("open");
		close(fd);
	}
}
BENCHMARK(BM_create_in_mount);

// Straight to the kernel: what the file system itself costs.
void BM_create_on_tmpfs(benchmark::State &state)
{
	long run = next_run(), i = 0;
	for (auto _ : state) {
		long fd = syscall(SYS_openat, AT_FDCWD,
		                  name(plain_dir, "f", run, i++).c_str(),
		                  O_CREAT | O_EXCL | O_WRONLY, 0644);
		if (fd < 0)
			state.SkipWithError("open");
		syscall(SYS_close, fd);
	}
}
BENCHMARK(BM_create_on_tmpfs);

void BM_mkdir_rmdir_in_mount(benchmark::State &state)
{
	std::string d = mount_dir + "/d";
	for (auto _ : state) {
		if (mkdir(d.c_str(), 0755) < 0 || rmdir(d.c_str()) < 0)
			state.SkipWithError("mkdir");
	}
}
BENCHMARK(BM_mkdir_rmdir_in_mount);

void BM_mkdir_rmdir_on_tmpfs(benchmark::State &state)
{
	std::string d = plain_dir + "/d";
	for (auto _ : state) {
		if (syscall(SYS_mkdir, d.c_str(), 0755) < 0 ||
		    syscall(SYS_rmdir, d.c_str()) < 0)
			state.SkipWithError("mkdir");
	}
}
BENCHMARK(BM_mkdir_rmdir_on_tmpfs);

void BM_stat_in_mount(benchmark::State &state)
{
	std::string f = mount_dir + "/s";
	close(open(f.c_str(), O_CREAT | O_WRONLY, 0644));
	struct stat st;
	for (auto _ : state)
		benchmark::DoNotOptimize(stat(f.c_str(), &st));
}
BENCHMARK(BM_stat_in_mount);

void BM_stat_on_tmpfs(benchmark::State &state)
{
	std::string f = plain_dir + "/s";
	close(open(f.c_str(), O_CREAT | O_WRONLY, 0644));
	struct stat st;
	for (auto _ : state)
		benchmark::DoNotOptimize(syscall(SYS_stat, f.c_str(), &st));
}
BENCHMARK(BM_stat_on_tmpfs);

} // namespace

int main(int argc, char **argv)
{
	std::string top = zvbench::scratch_dir("zvsim-nsbench");
	if (top.empty() ||
	    zvsim_setup((top + "/state").c_str(), "bench", 1) != 0) {
		fprintf(stderr, "sim_namespace_bench: cannot set up\n");
		return 1;
	}
	mount_dir = zvsim_mount_path();
	// The plain directory lies as deep as the mount (<top>/state/mnt/
	// <fsname>), with names as long: each component of a path costs the
	// kernel a lookup, two of them a fifth of a stat on tmpfs.
	plain_dir = top + "/plain";
	struct stat st;
	bool made = mount_dir.compare(0, top.size() + 7, top + "/state/") == 0;
	if (made) {
		std::string below = mount_dir.substr(plain_dir.size());
		mkdir(plain_dir.c_str(), 0755);
		for (size_t i = 1; i <= below.size(); ++i)
			if (i == below.size() || below[i] == '/')
				mkdir((plain_dir + below.substr(0, i)).c_str(),
				      0755);
		plain_dir += below;
		made = stat(plain_dir.c_str(), &st) == 0;
	}
	if (!made) {
		fprintf(stderr, "sim_namespace_bench: cannot set up %s\n",
		        plain_dir.c_str());
		return 1;
	}
	auto cpu = [](const char *run) {
		return zvbench::side{run, zvbench::measure::cpu_rate};
	};
	int rc = zvbench::run(
	        argc, argv,
	        {{.benchmark = "create in a mount, against tmpfs",
	          .unit = "creates/s",
	          .figure = cpu("BM_create_in_mount"),
	          .baseline = cpu("BM_create_on_tmpfs"),
	          .aim = ">= 0.80"},
	         {.benchmark = "mkdir + rmdir in a mount, against tmpfs",
	          .unit = "pairs/s",
	          .figure = cpu("BM_mkdir_rmdir_in_mount"),
	          .baseline = cpu("BM_mkdir_rmdir_on_tmpfs"),
	          .aim = ">= 0.90"},
	         {.benchmark = "stat in a mount, against tmpfs",
	          .unit = "calls/s",
	          .figure = cpu("BM_stat_in_mount"),
	          .baseline = cpu("BM_stat_on_tmpfs"),
	          .aim = ">= 0.90"}},
	        5);
	zvsim_teardown();
	return zvbench::remove_tree(top) ? rc : 1;
}
