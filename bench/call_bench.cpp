/* The client library's calls on a file of a simulated mount, each against
 * the system calls it makes sent by hand with the same bytes, under the
 * same simulator: what the library adds to what the kernel costs.
 *   - zvapi_path2fid against open(O_PATH), name_to_handle_at and close;
 *   - zvapi_fid2path_at against its FID2PATH request;
 *   - zvapi_get_data_version, zvapi_lease_get and zvapi_heat_get against
 *     their requests;
 *   - zvapi_mirror_set against its MIRROR_SET request and fstat.
 * Aim: each at 0.90 of the calls' rate or better. CPU time of this process
 * (the simulator serves the requests in it), which other load on the
 * machine disturbs less than elapsed time.
 *
 *   build-bench/bin/call_bench
 */
#include "support/bench_rounds.h"
#include "support/scratch.h"

#include <zorvel/zorvelapi.h>
#include <zvsim/zvsim.h>

#include <benchmark/benchmark.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

std::string top, file;
int file_fd = -1, root_fd = -1;
zo_fid file_fid;

/* The path area a caller of fid2path usually gives. */
constexpr int path_room = PATH_MAX;

void BM_path2fid_library(benchmark::State &state)
{
	zo_fid fid;
	for (auto _ : state)
		if (zvapi_path2fid(file.c_str(), &fid) != 0)
			state.SkipWithError("zvapi_path2fid");
}

void BM_path2fid_calls(benchmark::State &state)
{
	union {
		struct file_handle fh;
		unsigned char room[sizeof(struct file_handle) + 128];
	} handle;
	int mount_id;
	for (auto _ : state) {
		int fd = open(file.c_str(), O_PATH | O_CLOEXEC | O_NOFOLLOW);
		handle.fh.handle_bytes = 128;
		if (fd < 0 || name_to_handle_at(fd, "", &handle.fh, &mount_id,
		                                AT_EMPTY_PATH) != 0)
			state.SkipWithError("name_to_handle_at");
		close(fd);
		benchmark::DoNotOptimize(handle);
	}
}

void BM_fid2path_library(benchmark::State &state)
{
	char path[path_room];
	for (auto _ : state)
		if (zvapi_fid2path_at(root_fd, &file_fid, path, sizeof(path),
		                      nullptr, nullptr) != 0)
			state.SkipWithError("zvapi_fid2path_at");
}

void BM_fid2path_calls(benchmark::State &state)
{
	union {
		getinfo_fid2path gf;
		char room[sizeof(getinfo_fid2path) + path_room + 1];
	} req;
	for (auto _ : state) {
		req.gf = {};
		req.gf.gf_fid = file_fid;
		req.gf.gf_pathlen = path_room;
		if (ioctl(root_fd, ZV_IOC_FID2PATH, &req.gf) != 0)
			state.SkipWithError("FID2PATH");
		benchmark::DoNotOptimize(req);
	}
}

void BM_data_version_library(benchmark::State &state)
{
	uint64_t dv;
	for (auto _ : state)
		if (zvapi_get_data_version(file_fd, &dv, 0) != 0)
			state.SkipWithError("zvapi_get_data_version");
}

void BM_data_version_calls(benchmark::State &state)
{
	ioc_data_version idv;
	for (auto _ : state) {
		idv.idv_flags = 0;
		if (ioctl(file_fd, ZV_IOC_DATA_VERSION, &idv) != 0)
			state.SkipWithError("DATA_VERSION");
		benchmark::DoNotOptimize(idv);
	}
}

/* A read lease taken again and again: the kernel answers the one held. */
void BM_lease_get_library(benchmark::State &state)
{
	for (auto _ : state)
		if (zvapi_lease_get(file_fd, ZV_LEASE_RDLCK) < 0)
			state.SkipWithError("zvapi_lease_get");
	zvapi_lease_put(file_fd);
}

void BM_lease_get_calls(benchmark::State &state)
{
	for (auto _ : state)
		if (ioctl(file_fd, ZV_IOC_LEASE_SET_BY_MODE,
		          static_cast<unsigned long>(ZV_LEASE_RDLCK)) < 0)
			state.SkipWithError("LEASE_SET_BY_MODE");
	zvapi_lease_put(file_fd);
}

/* A heat record with room for every value. */
union heat_record {
	zo_heat heat;
	unsigned char room[sizeof(zo_heat) + ZO_HEAT_VALUES * sizeof(uint64_t)];
};

void BM_heat_get_library(benchmark::State &state)
{
	heat_record h;
	for (auto _ : state) {
		h.heat.zh_count = ZO_HEAT_VALUES;
		if (zvapi_heat_get(file_fd, &h.heat) != 0)
			state.SkipWithError("zvapi_heat_get");
	}
}

void BM_heat_get_calls(benchmark::State &state)
{
	heat_record h;
	for (auto _ : state) {
		h.heat.zh_count = ZO_HEAT_VALUES;
		if (ioctl(file_fd, ZV_IOC_HEAT_GET, &h.heat) < 0)
			state.SkipWithError("HEAT_GET");
		benchmark::DoNotOptimize(h);
	}
}

void BM_mirror_set_library(benchmark::State &state)
{
	for (auto _ : state)
		if (zvapi_mirror_set(file_fd, 1) != 0)
			state.SkipWithError("zvapi_mirror_set");
	zvapi_mirror_clear(file_fd);
}

void BM_mirror_set_calls(benchmark::State &state)
{
	struct stat st;
	for (auto _ : state) {
		if (ioctl(file_fd, ZV_IOC_MIRROR_SET, 1UL) < 0 ||
		    fstat(file_fd, &st) != 0)
			state.SkipWithError("MIRROR_SET");
		benchmark::DoNotOptimize(st);
	}
	zvapi_mirror_clear(file_fd);
}

BENCHMARK(BM_path2fid_library);
BENCHMARK(BM_path2fid_calls);
BENCHMARK(BM_fid2path_library);
BENCHMARK(BM_fid2path_calls);
BENCHMARK(BM_data_version_library);
BENCHMARK(BM_data_version_calls);
BENCHMARK(BM_lease_get_library);
BENCHMARK(BM_lease_get_calls);
BENCHMARK(BM_heat_get_library);
BENCHMARK(BM_heat_get_calls);
BENCHMARK(BM_mirror_set_library);
BENCHMARK(BM_mirror_set_calls);

bool set_up()
{
	top = zvbench::scratch_dir("zvsim-callbench");
	if (top.empty() ||
	    zvsim_setup((top + "/state").c_str(), "bench", 1) != 0)
		return false;
	std::string mount = zvsim_mount_path();
	file = mount + "/dir/file";
	if (mkdir((mount + "/dir").c_str(), 0755) != 0)
		return false;
	file_fd = open(file.c_str(), O_RDWR | O_CREAT, 0644);
	root_fd = open(mount.c_str(), O_RDONLY | O_DIRECTORY);
	return file_fd >= 0 && root_fd >= 0 &&
	       pwrite(file_fd, "data", 4, 0) == 4 &&
	       zvsim_mirror_count(file.c_str(), 2) == 0 &&
	       zvapi_fd2fid(file_fd, &file_fid) == 0;
}

} // namespace

int main(int argc, char **argv)
{
	bool ok = set_up();
	int rc = 1;
	if (!ok)
		fprintf(stderr, "call_bench: cannot set up in %s\n",
		        top.c_str());
	using zvbench::measure;
	using zvbench::side;
	auto row = [](const char *name, const char *calls,
	              const std::string &run) {
		return zvbench::comparison{
		        .benchmark = std::string(name) + ", against " + calls,
		        .unit = "calls/s",
		        .figure = {run + "_library", measure::cpu_rate},
		        .baseline = side{run + "_calls", measure::cpu_rate},
		        .aim = ">= 0.90"};
	};
	if (ok)
		rc = zvbench::run(
		        argc, argv,
		        {row("path2fid", "open, name_to_handle_at, close",
		             "BM_path2fid"),
		         row("fid2path_at", "its ioctl", "BM_fid2path"),
		         row("data version", "its ioctl", "BM_data_version"),
		         row("lease get", "its ioctl", "BM_lease_get"),
		         row("heat get", "its ioctl", "BM_heat_get"),
		         row("mirror select", "its ioctl and fstat",
		             "BM_mirror_set")},
		        3);
	if (file_fd >= 0)
		close(file_fd);
	if (root_fd >= 0)
		close(root_fd);
	zvsim_teardown();
	if (!top.empty() && !zvbench::remove_tree(top))
		rc = 1;
	return rc;
}
