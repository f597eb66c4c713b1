// The MPI programs against bare loops of the same calls, on tmpfs, in one
// run:
//  - mpicreate in open mode (its own measure of its creation loop, under
//    mpirun) against a C loop of the same open/close calls on the same
//    names, as many processes as ranks;
//  - chunkwrite's write-and-verify loops at 2 ranks (the time of a run of
//    L loops less that of a run of none, so the launch is not counted)
//    against a bare pwrite of the same chunks.
// Times are elapsed (manual) times.
//
//   build-bench/bin/mpi_programs_bench
#include "support/bench_rounds.h"
#include "support/scratch.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr long CREATES = 20000;
constexpr int LOOPS = 100;
constexpr int LIMIT = 4 << 20; // chunk-size limit: chunks up to 4 MiB
constexpr unsigned SEED = 4242;

std::string scratch_root;

std::string fresh_dir()
{
	static long n;
	std::string d = scratch_root + "/r" + std::to_string(++n);
	mkdir(d.c_str(), 0755);
	return d;
}

// Runs a shell command; its standard output.
std::string run(const std::string &cmd)
{
	std::string out;
	FILE *p = popen(cmd.c_str(), "r");
	if (!p)
		return out;
	char buf[4096];
	size_t n;
	while ((n = fread(buf, 1, sizeof buf, p)) > 0)
		out.append(buf, n);
	pclose(p);
	return out;
}

std::string mpirun(int ranks)
{
	return "OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 "
	       "OMPI_MCA_orte_tmpdir_base=" +
	       scratch_root +
	       " " MPIEXEC " --oversubscribe --bind-to none -np " +
	       std::to_string(ranks) + " ";
}

double now()
{
	return std::chrono::duration<double>(
	               std::chrono::steady_clock::now().time_since_epoch())
	        .count();
}

// mpicreate's creation loop: the slowest rank's count / rate.
void BM_mpicreate_open(benchmark::State &state)
{
	int ranks = static_cast<int>(state.range(0));
	std::regex total(R"(total: (\d+) creates in \d+ seconds: ([0-9.]+) )");
	for (auto _ : state) {
		std::string out =
		        run(mpirun(ranks) + MPICREATE " -o " + fresh_dir() +
		            "/f " + std::to_string(CREATES) + " 2>&1");
		double slowest = 0;
		int seen = 0;
		for (std::sregex_iterator it(out.begin(), out.end(), total),
		     end;
		     it != end; ++it, ++seen) {
			double rate = strtod((*it)[2].str().c_str(), nullptr);
			if (rate > 0)
				slowest = std::max(slowest, CREATES / rate);
		}
		if (seen != ranks || slowest <= 0) {
			state.SkipWithError(("mpicreate: " + out).c_str());
			return;
		}
		state.SetIterationTime(slowest);
	}
	state.counters["creates/s"] = benchmark::Counter(
	        CREATES * static_cast<double>(ranks),
	        benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_mpicreate_open)->Arg(1)->Arg(2)->UseManualTime()->Iterations(5);

// The same calls in a bare loop, one process per rank, started together.
void BM_bare_open_loop(benchmark::State &state)
{
	int ranks = static_cast<int>(state.range(0));
	for (auto _ : state) {
		std::string dir = fresh_dir();
		int go[2], done[2];
		if (pipe(go) < 0 || pipe(done) < 0) {
			state.SkipWithError("pipe");
			return;
		}
		for (int r = 0; r < ranks; r++) {
			if (fork() != 0)
				continue;
			char c;
			if (read(go[0], &c, 1) != 1)
				_exit(1);
			double t0 = now();
			for (long long i = 0; i < CREATES; i++) {
				char name[4096];
				snprintf(name, sizeof name, "%s/f%lld",
				         dir.c_str(), i);
				int fd = open(name, O_RDWR | O_CREAT, 0644);
				if (fd < 0)
					_exit(1);
				close(fd);
			}
			double t = now() - t0;
			_exit(write(done[1], &t, sizeof t) == sizeof t ? 0 : 1);
		}
		if (write(go[1], "gogogogo", ranks) != ranks)
			state.SkipWithError("start");
		double slowest = 0;
		for (int r = 0; r < ranks; r++) {
			double t = 0;
			if (read(done[0], &t, sizeof t) == sizeof t)
				slowest = std::max(slowest, t);
			wait(nullptr);
		}
		for (int fd : {go[0], go[1], done[0], done[1]})
			close(fd);
		state.SetIterationTime(slowest);
	}
	state.counters["creates/s"] = benchmark::Counter(
	        CREATES * static_cast<double>(ranks),
	        benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_bare_open_loop)->Arg(1)->Arg(2)->UseManualTime()->Iterations(5);

// Bytes chunkwrite writes (and reads back) in LOOPS loops at 2 ranks.
std::vector<long> chunk_sizes()
{
	srand(SEED);
	std::vector<long> out;
	for (int i = 0; i < LOOPS; i++)
		out.push_back(rand() % LIMIT);
	return out;
}

double bytes_per_run(int ranks)
{
	double b = 0;
	for (long c : chunk_sizes())
		b += static_cast<double>(c) * ranks;
	return b;
}

void BM_chunkwrite_2ranks(benchmark::State &state)
{
	std::string file = scratch_root + "/chunkwrite";
	std::string cmd = mpirun(2) + CHUNKWRITE " -f " + file + " -m " +
	                  std::to_string(LIMIT) + " -s " +
	                  std::to_string(SEED) + " -n ";
	for (auto _ : state) {
		double t0 = now();
		std::string none = run(cmd + "0 2>&1");
		double t1 = now();
		std::string loops = run(cmd + std::to_string(LOOPS) + " 2>&1");
		double t2 = now();
		if (loops.find("Finished after " + std::to_string(LOOPS)) ==
		    std::string::npos) {
			state.SkipWithError(("chunkwrite: " + loops).c_str());
			return;
		}
		state.SetIterationTime(std::max((t2 - t1) - (t1 - t0), 1e-6));
	}
	state.counters["MiB/s"] = benchmark::Counter(
	        bytes_per_run(2) / (1 << 20),
	        benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_chunkwrite_2ranks)->UseManualTime()->Iterations(3);

// The same chunks, each rank's at its offset, written with pwrite by one
// process after the same truncation: no barriers, no read-back.
void BM_bare_pwrite_2ranks(benchmark::State &state)
{
	std::string file = scratch_root + "/bare";
	std::vector<char> buf[2] = {std::vector<char>(LIMIT, 'A'),
	                            std::vector<char>(LIMIT, 'B')};
	auto sizes = chunk_sizes();
	for (auto _ : state) {
		int fd = open(file.c_str(), O_RDWR | O_CREAT, 0644);
		double t0 = now();
		for (long c : sizes) {
			if (ftruncate(fd, 0) < 0)
				state.SkipWithError("ftruncate");
			for (int r = 0; r < 2; r++)
				if (pwrite(fd, buf[r].data(), c, c * r) != c)
					state.SkipWithError("pwrite");
		}
		state.SetIterationTime(now() - t0);
		close(fd);
	}
	state.counters["MiB/s"] = benchmark::Counter(
	        bytes_per_run(2) / (1 << 20),
	        benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_bare_pwrite_2ranks)->UseManualTime()->Iterations(3);

} // namespace

int main(int argc, char **argv)
{
	scratch_root = zvbench::scratch_dir("zv-mpibench");
	if (scratch_root.empty()) {
		perror("mkdtemp");
		return 1;
	}
	using zvbench::counter_of;
	std::vector<zvbench::comparison> rows;
	for (const char *r : {"1", "2"})
		rows.push_back({.benchmark = std::string("mpicreate -o at ") +
		                             r +
		                             " rank(s), against a bare loop",
		                .unit = "creates/s",
		                .figure = counter_of(
		                        std::string("BM_mpicreate_open/") + r,
		                        "creates/s"),
		                .baseline = counter_of(
		                        std::string("BM_bare_open_loop/") + r,
		                        "creates/s"),
		                .aim = ">= 0.95"});
	rows.push_back(
	        {.benchmark = "chunkwrite at 2 ranks, written and "
	                      "verified, against a bare pwrite",
	         .unit = "MiB/s",
	         .figure = counter_of("BM_chunkwrite_2ranks", "MiB/s"),
	         .baseline = counter_of("BM_bare_pwrite_2ranks", "MiB/s")});
	int rc = zvbench::run(argc, argv, rows, 3);
	return zvbench::remove_tree(scratch_root) ? rc : 1;
}
