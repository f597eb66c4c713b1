/* FID-to-path lookups on a simulated mount of 10,000 and 100,000 entries
 * through the simulator's link index, against the walk of the whole tree
 * that answers them without it (ZVSIM_LINK_INDEX=off), measured in the same
 * run; and a create loop in a mount whose index is kept, against the same
 * loop straight to the kernel in a plain directory (sim_namespace_bench has
 * it with no index). Everything lives in one temporary directory on tmpfs
 * (/dev/shm) when there is one. */
#include "support/bench_rounds.h"
#include "support/scratch.h"
#include "zvtest/file_handle.h"

#include <linux/zorvel/zorvel_fid.h>
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
#include <sys/stat.h>
#include <sys/syscall.h>
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
	rows.push_back(
	        {.benchmark = "create in a mount whose link index is "
	                      "kept, against tmpfs",
	         .unit = "creates/s",
	         .figure = counter_of("BM_create_index_kept", "creates/s"),
	         .baseline = counter_of("BM_create_on_tmpfs", "creates/s")});
	int rc = zvbench::run(argc, argv, rows, 3);
	zvsim_teardown();
	return zvbench::remove_tree(top_dir()) ? rc : 1;
}
