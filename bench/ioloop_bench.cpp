// ioloop's throughput against a bare loop of the same open/write/close
// calls, with the same sizes, on the same files of the same file system
// (tmpfs), in one run. ioloop runs as a program, as a harness runs it, so
// its figure includes starting the process; the files are many enough that
// this is small. Both are timed by the CPU time (user and system) their
// work took, which other load on the machine disturbs less than elapsed
// time: the child's for ioloop, this process's for the bare loop.
//
//   build-bench/bin/ioloop_bench
#include "support/bench_rounds.h"
#include "support/scratch.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace
{

constexpr int FILES = 20000;

// User and system time of who (RUSAGE_SELF or RUSAGE_CHILDREN), seconds.
double cpu_seconds(int who)
{
	struct rusage ru;
	getrusage(who, &ru);
	return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
	       (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}
std::string base; // the files are base0 ... base<FILES-1>

void BM_ioloop_write(benchmark::State &state)
{
	std::string count = std::to_string(FILES);
	const char *argv[] = {IOLOOP_BIN,    "-w",  base.c_str(),
	                      count.c_str(), "600", nullptr};
	posix_spawn_file_actions_t quiet;
	posix_spawn_file_actions_init(&quiet);
	posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
	for (auto _ : state) {
		pid_t pid;
		int ws = 0;
		double before = cpu_seconds(RUSAGE_CHILDREN);
		if (posix_spawn(&pid, IOLOOP_BIN, &quiet, nullptr,
		                const_cast<char **>(argv), environ) != 0 ||
		    waitpid(pid, &ws, 0) < 0 || !WIFEXITED(ws) ||
		    WEXITSTATUS(ws) != 0) {
			state.SkipWithError("ioloop failed");
			break;
		}
		state.SetIterationTime(cpu_seconds(RUSAGE_CHILDREN) - before);
	}
	posix_spawn_file_actions_destroy(&quiet);
	state.SetItemsProcessed(state.iterations() * FILES);
}
BENCHMARK(BM_ioloop_write)->UseManualTime()->Unit(benchmark::kMillisecond);

// What ioloop does, without what ioloop adds: the same names, sizes and
// calls.
void BM_bare_loop_write(benchmark::State &state)
{
	static char data[4096];
	char name[4096];
	for (auto _ : state) {
		double before = cpu_seconds(RUSAGE_SELF);
		srand(42);
		for (int i = 0; i < FILES; i++) {
			snprintf(name, sizeof name, "%s%d", base.c_str(), i);
			int fd = open(name, O_RDWR, 0666);
			int len = random() % 4096;
			if (fd < 0 || write(fd, data, len) != len ||
			    close(fd) < 0) {
				state.SkipWithError("bare loop failed");
				return;
			}
		}
		state.SetIterationTime(cpu_seconds(RUSAGE_SELF) - before);
	}
	state.SetItemsProcessed(state.iterations() * FILES);
}
BENCHMARK(BM_bare_loop_write)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
	std::string top = zvbench::scratch_dir("zv-ioloop");
	if (top.empty()) {
		fprintf(stderr, "ioloop_bench: cannot make a directory\n");
		return 1;
	}
	base = top + "/f";
	// Write mode needs the files to exist.
	for (int i = 0; i < FILES; i++) {
		int fd = open((base + std::to_string(i)).c_str(),
		              O_CREAT | O_WRONLY, 0644);
		if (fd < 0) {
			perror("ioloop_bench: create");
			return 1;
		}
		close(fd);
	}
	int rc = zvbench::run(
	        argc, argv,
	        {{.benchmark = "ioloop -w of 20000 files, against a bare loop",
	          .unit = "files/s",
	          .figure = {"BM_ioloop_write", zvbench::measure::real_rate,
	                     FILES},
	          .baseline = zvbench::side{"BM_bare_loop_write",
	                                    zvbench::measure::real_rate, FILES},
	          .aim = ">= 0.95"}},
	        5);
	return zvbench::remove_tree(top) ? rc : 1;
}
