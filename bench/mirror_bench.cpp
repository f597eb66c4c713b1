/* The data path of a simulated mount, in one run against its baselines on
 * the same file system (tmpfs where there is one):
 *   - zvapi_mirror_copy of a dense 1 GiB file from mirror 1 to mirror 2,
 *     against cp of the same data between two plain files (aim >= 0.9 of
 *     cp's speed);
 *   - zvapi_mirror_copy_many of a 1 GiB file holding 8 MiB of data in 16
 *     stretches, against the dense copy (aim <= 1.5% of its time);
 *   - pread of 4 KiB from a file of the mount, its I/O counted for heat,
 *     against the system call on a plain file (aim >= 0.95); and the same
 *     with counting off for the file, a figure that shows what counting
 *     costs.
 * Elapsed time against cp (another process), CPU time (which other load
 * on the machine disturbs less) for the others.
 *
 *   build-bench/bin/mirror_bench
 */
#include "support/bench_rounds.h"
#include "support/scratch.h"

#include <zorvel/zorvelapi.h>
#include <zvsim/zvsim.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace
{

constexpr off_t GIB = off_t(1) << 30;
std::string top, mount_dir, plain_dir;

bool fill(const std::string &path, off_t size, bool dense)
{
	int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
	if (fd < 0)
		return false;
	bool ok = ftruncate(fd, size) == 0;
	std::string chunk(1 << 20, 'm');
	if (dense) {
		for (off_t at = 0; ok && at < size; at += chunk.size())
			ok = pwrite(fd, chunk.data(), chunk.size(), at) ==
			     (ssize_t)chunk.size();
	} else {
		/* 16 stretches of 512 KiB spread over the file. */
		for (int i = 0; ok && i < 16; i++)
			ok = pwrite(fd, chunk.data(), 512 << 10,
			            size / 16 * i + 4096) == 512 << 10;
	}
	close(fd);
	return ok;
}

void BM_mirror_copy_dense(benchmark::State &state)
{
	std::string f = mount_dir + "/dense";
	int fd = open(f.c_str(), O_RDWR);
	for (auto _ : state) {
		ssize_t n = zvapi_mirror_copy(fd, 1, 2, 0, SIZE_MAX);
		if (n != GIB)
			state.SkipWithError("mirror copy");
	}
	close(fd);
	state.SetBytesProcessed(state.iterations() * GIB);
}
BENCHMARK(BM_mirror_copy_dense)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(4);

void BM_cp_dense(benchmark::State &state)
{
	std::string src = plain_dir + "/src", dst = plain_dir + "/dst";
	for (auto _ : state) {
		pid_t pid;
		const char *argv[] = {"cp", src.c_str(), dst.c_str(), nullptr};
		int status = -1;
		if (posix_spawnp(&pid, "cp", nullptr, nullptr,
		                 const_cast<char **>(argv), environ) != 0 ||
		    waitpid(pid, &status, 0) != pid || status != 0)
			state.SkipWithError("cp");
	}
	state.SetBytesProcessed(state.iterations() * GIB);
}
BENCHMARK(BM_cp_dense)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(4);

void BM_mirror_copy_many_sparse(benchmark::State &state)
{
	std::string f = mount_dir + "/sparse";
	int fd = open(f.c_str(), O_RDWR);
	for (auto _ : state) {
		uint16_t dst[] = {2};
		if (zvapi_mirror_copy_many(fd, 1, dst, 1) != 1)
			state.SkipWithError("copy many");
	}
	close(fd);
}
BENCHMARK(BM_mirror_copy_many_sparse)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();

int pread_fd(const std::string &path)
{
	int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
	std::string data(1 << 20, 'p');
	if (fd >= 0 && pwrite(fd, data.data(), data.size(), 0) < 0)
		return -1;
	return fd;
}

/* 4 KiB preads through the C library over the file of fd, closed after. */
void pread_loop(benchmark::State &state, int fd)
{
	char buf[4096];
	off_t at = 0;
	for (auto _ : state) {
		benchmark::DoNotOptimize(pread(fd, buf, sizeof buf, at));
		at = (at + 4096) & ((1 << 20) - 1);
	}
	close(fd);
}

void BM_pread_in_mount(benchmark::State &state)
{
	pread_loop(state, pread_fd(mount_dir + "/small"));
}
BENCHMARK(BM_pread_in_mount);

/* The same with the file's heat not counted: what counting costs. */
void BM_pread_in_mount_uncounted(benchmark::State &state)
{
	int fd = pread_fd(mount_dir + "/uncounted");
	if (fd >= 0 && zvapi_heat_set(fd, ZO_HEAT_FLAG_OFF) != 0) {
		close(fd);
		fd = -1;
	}
	if (fd < 0) {
		state.SkipWithError("heat off");
		return;
	}
	pread_loop(state, fd);
}
BENCHMARK(BM_pread_in_mount_uncounted);

void BM_pread_plain(benchmark::State &state)
{
	int fd = pread_fd(plain_dir + "/small");
	char buf[4096];
	off_t at = 0;
	for (auto _ : state) {
		benchmark::DoNotOptimize(
		        syscall(SYS_pread64, fd, buf, sizeof buf, at));
		at = (at + 4096) & ((1 << 20) - 1);
	}
	close(fd);
}
BENCHMARK(BM_pread_plain);

bool set_up()
{
	top = zvbench::scratch_dir("zvsim-mirrorbench");
	if (top.empty() ||
	    zvsim_setup((top + "/state").c_str(), "bench", 1) != 0 ||
	    mkdir((top + "/plain").c_str(), 0755) != 0)
		return false;
	mount_dir = zvsim_mount_path();
	plain_dir = top + "/plain";
	return fill(mount_dir + "/dense", GIB, true) &&
	       fill(plain_dir + "/src", GIB, true) &&
	       fill(mount_dir + "/sparse", GIB, false) &&
	       zvsim_mirror_count((mount_dir + "/dense").c_str(), 2) == 0 &&
	       zvsim_mirror_count((mount_dir + "/sparse").c_str(), 2) == 0;
}

} // namespace

int main(int argc, char **argv)
{
	bool ok = set_up();
	int rc = 1;
	if (!ok)
		fprintf(stderr, "mirror_bench: cannot set up in %s\n",
		        top.c_str());
	using zvbench::measure;
	using zvbench::side;
	if (ok)
		rc = zvbench::run(
		        argc, argv,
		        {{.benchmark =
		                  "mirror copy of 1 GiB of data, against cp",
		          .unit = "MiB/s",
		          .figure = {"BM_mirror_copy_dense", measure::real_rate,
		                     1024},
		          .baseline =
		                  side{"BM_cp_dense", measure::real_rate, 1024},
		          .aim = ">= 0.90"},
		         {.benchmark = "mirror copy of 8 MiB of data in 1 GiB, "
		                       "against the dense copy",
		          .unit = "ms",
		          .figure = {"BM_mirror_copy_many_sparse",
		                     measure::cpu_time, 1e3},
		          .baseline = side{"BM_mirror_copy_dense",
		                           measure::real_time, 1e3},
		          .aim = "<= 1.5%"},
		         {.benchmark =
		                  "pread 4 KiB in a mount, against a plain "
		                  "file",
		          .unit = "calls/s",
		          .figure = {"BM_pread_in_mount", measure::cpu_rate},
		          .baseline = side{"BM_pread_plain", measure::cpu_rate},
		          .aim = ">= 0.95"},
		         {.benchmark = "pread 4 KiB in a mount, its heat not "
		                       "counted, against a plain file",
		          .unit = "calls/s",
		          .figure = {"BM_pread_in_mount_uncounted",
		                     measure::cpu_rate},
		          .baseline =
		                  side{"BM_pread_plain", measure::cpu_rate}}},
		        5);
	zvsim_teardown();
	if (!top.empty() && !zvbench::remove_tree(top))
		rc = 1;
	return rc;
}
