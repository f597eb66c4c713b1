// The MPI programs against bare loops of the same calls, on tmpfs, in one
// run:
//  - mpicreate in open mode (its own measure of its creation loop, under
//    mpirun) against a C loop of the same open/close calls on the same
//    names, as many processes as ranks;
//  - chunkwrite's write-and-verify loops at 2 ranks against a bare loop
//    of the same work under mpirun: this program started again as an MPI
//    job (--bare-chunkwrite) that truncates, broadcasts the chunk size,
//    writes each rank's chunk, reads the file back on rank 0 and compares
//    it, between the same barriers. Each side is the time of a run of L
//    loops less that of a run of none, so the launch is not counted.
// Times are elapsed (manual) times.
//
//   build-bench/bin/mpi_programs_bench
#include "support/bench_rounds.h"
#include "support/scratch.h"

#include <benchmark/benchmark.h>
#include <mpi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// The time of the loops of a job: a run of LOOPS loops less a run of
// none, so the launch is not counted; a negative number (with the job's
// output in *failure) when the run of LOOPS did not finish.
double loop_time(const std::string &cmd, const std::string &finished,
                 std::string *failure)
{
	double t0 = now();
	run(cmd + "0 2>&1");
	double t1 = now();
	std::string loops = run(cmd + std::to_string(LOOPS) + " 2>&1");
	double t2 = now();
	if (loops.find(finished) == std::string::npos) {
		*failure = loops;
		return -1;
	}
	return std::max((t2 - t1) - (t1 - t0), 1e-6);
}

void chunk_loops(benchmark::State &state, const std::string &cmd,
                 const std::string &finished)
{
	for (auto _ : state) {
		std::string failure;
		double t = loop_time(cmd, finished, &failure);
		if (t < 0) {
			state.SkipWithError(failure.c_str());
			return;
		}
		state.SetIterationTime(t);
	}
	state.counters["MiB/s"] = benchmark::Counter(
	        bytes_per_run(2) / (1 << 20),
	        benchmark::Counter::kIsIterationInvariantRate);
}

std::string chunk_options(const std::string &file)
{
	return " -f " + file + " -m " + std::to_string(LIMIT) + " -s " +
	       std::to_string(SEED) + " -n ";
}

void BM_chunkwrite_2ranks(benchmark::State &state)
{
	chunk_loops(state,
	            mpirun(2) + CHUNKWRITE +
	                    chunk_options(scratch_root + "/chunkwrite"),
	            "Finished after " + std::to_string(LOOPS));
}
BENCHMARK(BM_chunkwrite_2ranks)->UseManualTime()->Iterations(3);

std::string self_path;

void BM_bare_chunk_loop_2ranks(benchmark::State &state)
{
	chunk_loops(state,
	            mpirun(2) + self_path + " --bare-chunkwrite" +
	                    chunk_options(scratch_root + "/bare"),
	            "bare loops done");
}
BENCHMARK(BM_bare_chunk_loop_2ranks)->UseManualTime()->Iterations(3);

// The bare loop of chunkwrite's work, as an MPI job of its own: the
// same options (-f file -m limit -s seed -n loops, in that order), the
// same truncation, chunk sizes, writes, read-back and comparison between
// the same barriers, without chunkwrite's size checks and reports.
int bare_chunk_loop(int argc, char **argv)
{
	if (argc != 10)
		return 2;
	const char *path = argv[3];
	long limit = atol(argv[5]);
	unsigned seed = static_cast<unsigned>(atol(argv[7]));
	int loops = atoi(argv[9]);
	MPI_Init(&argc, &argv);
	int rank, nprocs;
	MPI_Comm_size(MPI_COMM_WORLD, &nprocs);
	MPI_Comm_rank(MPI_COMM_WORLD, &rank);
	std::vector<char> patterns(size_t(nprocs) * limit);
	for (int j = 0; j < nprocs; j++)
		memset(patterns.data() + size_t(j) * limit, 65 + j, limit);
	std::vector<char> readback(size_t(nprocs) * limit);
	if (rank == 0)
		close(open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666));
	MPI_Barrier(MPI_COMM_WORLD);
	int fd = open(path, O_RDWR);
	if (rank == 0)
		srand(seed);
	int rc = fd < 0;
	for (int i = 0; i < loops && rc == 0; i++) {
		int value = 0;
		if (rank == 0) {
			rc |= truncate(path, 0);
			value = rand();
		}
		MPI_Bcast(&value, 1, MPI_INT, 0, MPI_COMM_WORLD);
		size_t chunk = size_t(value % limit);
		MPI_Barrier(MPI_COMM_WORLD);
		rc |= pwrite(fd, patterns.data() + size_t(rank) * limit, chunk,
		             off_t(chunk * rank)) != ssize_t(chunk);
		MPI_Barrier(MPI_COMM_WORLD);
		if (rank == 0) {
			size_t total = chunk * nprocs;
			rc |= pread(fd, readback.data(), total, 0) !=
			      ssize_t(total);
			for (int j = 0; j < nprocs; j++)
				rc |= memcmp(readback.data() + j * chunk,
				             patterns.data() +
				                     size_t(j) * limit,
				             chunk) != 0;
		}
		MPI_Barrier(MPI_COMM_WORLD);
	}
	close(fd);
	if (rank == 0 && rc == 0)
		printf("bare loops done\n");
	MPI_Finalize();
	return rc;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc > 1 && strcmp(argv[1], "--bare-chunkwrite") == 0)
		return bare_chunk_loop(argc, argv);
	char self[4096];
	ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
	if (n <= 0) {
		perror("/proc/self/exe");
		return 1;
	}
	self_path.assign(self, n);
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
	                      "verified, against a bare loop",
	         .unit = "MiB/s",
	         .figure = counter_of("BM_chunkwrite_2ranks", "MiB/s"),
	         .baseline = counter_of("BM_bare_chunk_loop_2ranks", "MiB/s"),
	         .aim = ">= 0.80"});
	int rc = zvbench::run(argc, argv, rows, 3);
	return zvbench::remove_tree(scratch_root) ? rc : 1;
}
