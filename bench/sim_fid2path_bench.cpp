/* FID-to-path lookups on a simulated mount of 10,000 and 100,000 entries
 * through the simulator's link index, against the walk of the whole tree
 * that answers them without it (ZVSIM_LINK_INDEX=off), measured in the same
 * run; removals of 1,000 FIDs through the library call the front end's
 * rmfid uses, against unlink() of the same 1,000 paths, on the same trees
 * once the index is built; the build of the index itself (the walk of the
 * tree and the write of its base: time, and the peak memory it adds); and
 * a create loop in a mount whose index is kept, against the same loop
 * straight to the kernel in a plain directory (sim_namespace_bench has it
 * with no index). Everything lives in one temporary directory on tmpfs
 * (/dev/shm) when there is one.
 *
 *   build-bench/bin/sim_fid2path_bench */
#include "support/bench_rounds.h"
#include "support/scratch.h"
#include "zvtest/file_handle.h"

#include <linux/zorvel/zorvel_fid.h>
#include <zorvel/zorvelapi.h>
#include <zvsim/zvsim.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <random>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr size_t per_dir = 100;
constexpr size_t sample_size = 512;

std::string top_dir()
{
	static std::string dir = zvbench::scratch_dir("fid2path-bench");
	if (dir.empty())
		abort();
	return dir;
}

void make_file(const std::string &path)
{
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
	if (fd < 0)
		abort();
	close(fd);
}

zo_fid fid_of(const std::string &path)
{
	zvtest::file_handle_room h;
	if (h.take(AT_FDCWD, path.c_str()) < 0)
		abort();
	return h.as<zo_fid>();
}

/* A simulation whose mount holds `entries` directory entries: directories
 * of per_dir entries each, and FIDs of files spread over all of them. */
struct tree {
	std::string state;
	std::vector<zo_fid> sample;
};

const tree &use_tree(size_t entries)
{
	static std::map<size_t, tree> trees;
	auto it = trees.find(entries);
	if (it != trees.end()) {
		if (zvsim_attach(it->second.state.c_str()) != 0)
			abort();
		return it->second;
	}
	tree &t = trees[entries];
	t.state = top_dir() + "/sim" + std::to_string(entries);
	if (zvsim_setup(t.state.c_str(), "bench", 1) != 0)
		abort();
	std::string mnt = zvsim_mount_path();
	std::vector<std::string> files;
	for (size_t d = 0; d < entries / per_dir; d++) {
		std::string dir = mnt + "/d" + std::to_string(d);
		if (mkdir(dir.c_str(), 0755) != 0)
			abort();
		for (size_t f = 1; f < per_dir; f++) {
			files.push_back(dir + "/f" + std::to_string(f));
			make_file(files.back());
		}
	}
	std::mt19937 pick(42);
	for (size_t i = 0; i < sample_size; i++)
		t.sample.push_back(fid_of(files[pick() % files.size()]));
	return t;
}

int fid2path(int root, const zo_fid &fid)
{
	char buf[sizeof(getinfo_fid2path) + 256];
	auto *gf = reinterpret_cast<getinfo_fid2path *>(buf);
	*gf = {};
	gf->gf_fid = fid;
	gf->gf_pathlen = 256;
	return ioctl(root, ZV_IOC_FID2PATH, gf);
}

void lookups(benchmark::State &state, bool walk)
{
	const tree &t = use_tree(static_cast<size_t>(state.range(0)));
	int root = open(zvsim_mount_path(), O_RDONLY | O_DIRECTORY);
	if (walk)
		setenv("ZVSIM_LINK_INDEX", "off", 1);
	else if (fid2path(root, t.sample[0]) != 0) /* builds the index */
		abort();
	size_t i = 0;
	for (auto _ : state)
		if (fid2path(root, t.sample[i++ % t.sample.size()]) != 0)
			state.SkipWithError("FID2PATH failed");
	unsetenv("ZVSIM_LINK_INDEX");
	close(root);
	state.counters["lookups/s"] = benchmark::Counter(
	        static_cast<double>(i), benchmark::Counter::kIsRate);
}

void BM_fid2path_walk(benchmark::State &state)
{
	lookups(state, true);
}
void BM_fid2path_index(benchmark::State &state)
{
	lookups(state, false);
}
BENCHMARK(BM_fid2path_walk)
        ->Arg(10000)
        ->Arg(100000)
        ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_fid2path_index)
        ->Arg(10000)
        ->Arg(100000)
        ->Unit(benchmark::kMicrosecond);

/* The index of the tree of `entries` entries built, and the mount's root
 * open on the returned descriptor. */
int index_kept(const tree &t)
{
	int root = open(zvsim_mount_path(), O_RDONLY | O_DIRECTORY);
	if (root < 0 || fid2path(root, t.sample[0]) != 0)
		abort();
	return root;
}

constexpr size_t removals = 1000;

/* Removals of 1,000 new files of the tree (made while the timer is
 * stopped, in a directory of their own), by FID or by path. */
void removes(benchmark::State &state, bool by_fid)
{
	const tree &t = use_tree(static_cast<size_t>(state.range(0)));
	close(index_kept(t));
	std::string mnt = zvsim_mount_path();
	std::string dir = mnt + (by_fid ? "/rmfid" : "/unlink");
	mkdir(dir.c_str(), 0755);
	std::vector<char> room(sizeof(fid_array) + removals * sizeof(zo_fid));
	auto *fa = reinterpret_cast<fid_array *>(room.data());
	std::vector<std::string> paths(removals);
	static long batch;
	for (auto _ : state) {
		state.PauseTiming();
		batch++;
		for (size_t i = 0; i < removals; i++) {
			paths[i] = dir + "/b" + std::to_string(batch) + "-" +
			           std::to_string(i);
			make_file(paths[i]);
			fa->fa_fids[i] = fid_of(paths[i]);
		}
		fa->fa_nr = removals;
		state.ResumeTiming();
		if (by_fid) {
			if (zvapi_rmfid(mnt.c_str(), fa) != 0)
				state.SkipWithError("rmfid failed");
		} else {
			for (const std::string &p : paths)
				if (unlink(p.c_str()) != 0)
					state.SkipWithError("unlink failed");
		}
	}
	state.counters["removals/s"] = benchmark::Counter(
	        static_cast<double>(state.iterations() * removals),
	        benchmark::Counter::kIsRate);
}

void BM_rmfid(benchmark::State &state)
{
	removes(state, true);
}
void BM_unlink(benchmark::State &state)
{
	removes(state, false);
}
BENCHMARK(BM_rmfid)->Arg(10000)->Arg(100000)->Iterations(10);
BENCHMARK(BM_unlink)->Arg(10000)->Arg(100000)->Iterations(10);

/* Resident memory of this process, bytes. */
double resident()
{
	long pages = 0, size = 0;
	FILE *f = fopen("/proc/self/statm", "r");
	if (f) {
		if (fscanf(f, "%ld %ld", &size, &pages) != 2)
			pages = 0;
		fclose(f);
	}
	return static_cast<double>(pages) * sysconf(_SC_PAGESIZE);
}

/* A lookup of a file made behind the simulator's back: its FID is not in
 * the index, so the lookup walks the tree and writes a new base, which is
 * what the first lookup of a simulation does. */
void rebuild(int root, long n)
{
	std::string path = std::string(zvsim_mount_path()) + "/d0/hidden" +
	                   std::to_string(n);
	long fd = syscall(SYS_openat, AT_FDCWD, path.c_str(),
	                  O_WRONLY | O_CREAT | O_EXCL, 0644);
	if (fd < 0)
		abort();
	syscall(SYS_close, fd);
	zo_fid fid = fid_of(path);
	if (fid2path(root, fid) != 0)
		abort();
}

/* The peak memory a build adds, in a child made for it (its peak starts
 * at what it has when it starts), MiB. */
double build_peak(int root, long n)
{
	int fds[2];
	if (pipe(fds) != 0)
		return -1;
	pid_t pid = fork();
	if (pid == 0) {
		double before = resident();
		rebuild(root, n);
		struct rusage ru;
		getrusage(RUSAGE_SELF, &ru);
		double peak = static_cast<double>(ru.ru_maxrss) * 1024 - before;
		ssize_t w = write(fds[1], &peak, sizeof peak);
		_exit(w == sizeof peak ? 0 : 1);
	}
	close(fds[1]);
	double peak = -1;
	if (pid < 0 || read(fds[0], &peak, sizeof peak) != sizeof peak)
		peak = -1;
	close(fds[0]);
	if (pid > 0)
		waitpid(pid, nullptr, 0);
	return peak / (1 << 20);
}

void BM_index_build(benchmark::State &state)
{
	const tree &t = use_tree(static_cast<size_t>(state.range(0)));
	int root = index_kept(t);
	static long n;
	for (auto _ : state)
		rebuild(root, ++n);
	state.counters["peak MiB"] = build_peak(root, ++n);
	close(root);
}
BENCHMARK(BM_index_build)
        ->Arg(10000)
        ->Arg(100000)
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond);

/* Creates (open O_CREAT + close) of new names in dir, through the C
 * library or straight to the kernel. */
void creates(benchmark::State &state, const std::string &dir, bool raw)
{
	if (mkdir(dir.c_str(), 0755) != 0)
		abort();
	size_t i = 0;
	for (auto _ : state) {
		std::string name = dir + "/c" + std::to_string(i++);
		int fd = raw ? int(syscall(SYS_openat, AT_FDCWD, name.c_str(),
		                           O_WRONLY | O_CREAT | O_EXCL, 0644))
		             : open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL,
		                    0644);
		if (fd < 0)
			state.SkipWithError("create failed");
		raw ? syscall(SYS_close, fd) : close(fd);
	}
	state.counters["creates/s"] = benchmark::Counter(
	        static_cast<double>(i), benchmark::Counter::kIsRate);
	zvbench::remove_tree(dir);
}

void BM_create_on_tmpfs(benchmark::State &state)
{
	creates(state, top_dir() + "/plain", true);
}
void BM_create_index_kept(benchmark::State &state)
{
	const tree &t = use_tree(10000);
	int root = open(zvsim_mount_path(), O_RDONLY | O_DIRECTORY);
	if (fid2path(root, t.sample[0]) != 0) /* the index is kept */
		abort();
	close(root);
	creates(state, std::string(zvsim_mount_path()) + "/loop", false);
}
BENCHMARK(BM_create_on_tmpfs);
BENCHMARK(BM_create_index_kept);

} // namespace

int main(int argc, char **argv)
{
	using zvbench::counter_of;
	std::vector<zvbench::comparison> rows;
	for (const char *n : {"10000", "100000"})
		rows.push_back(
		        {.benchmark = std::string("fid2path at ") + n +
		                      " entries, index against a tree walk",
		         .unit = "lookups/s",
		         .figure = counter_of(
		                 std::string("BM_fid2path_index/") + n,
		                 "lookups/s"),
		         .baseline = counter_of(
		                 std::string("BM_fid2path_walk/") + n,
		                 "lookups/s")});
	for (const char *n : {"10000", "100000"}) {
		rows.push_back(
		        {.benchmark = std::string("rmfid of 1000 FIDs at ") +
		                      n +
		                      " entries, against unlink of their paths",
		         .unit = "removals/s",
		         .figure = counter_of(std::string("BM_rmfid/") + n,
		                              "removals/s"),
		         .baseline = counter_of(std::string("BM_unlink/") + n,
		                                "removals/s"),
		         .aim = ">= 0.5"});
		std::string build = std::string("BM_index_build/") + n;
		rows.push_back(
		        {.benchmark = std::string("link index build at ") + n +
		                      " entries",
		         .unit = "ms",
		         .figure = {build, zvbench::measure::real_time, 1e3}});
		rows.push_back(
		        {.benchmark = std::string("link index build at ") + n +
		                      " entries, peak memory added",
		         .unit = "MiB",
		         .figure = counter_of(build, "peak MiB")});
	}
	rows.push_back(
	        {.benchmark = "create in a mount whose link index is "
	                      "kept, against tmpfs",
	         .unit = "creates/s",
	         .figure = counter_of("BM_create_index_kept", "creates/s"),
	         .baseline = counter_of("BM_create_on_tmpfs", "creates/s"),
	         .aim = ">= 0.80"});
	int rc = zvbench::run(argc, argv, rows, 3);
	zvsim_teardown();
	return zvbench::remove_tree(top_dir()) ? rc : 1;
}
