// What the simulator costs a program on the files it does not serve: an
// open, read (4 KiB) and close loop on a file outside the mount, in a
// process run under the simulator (zvsim run) against the same loop in a
// process without it, run one after the other in each round. The loop
// (openloop) times its own CPU time, so the start of the process and the
// setup of the simulation are left out.
//
//   build-bench/bin/sim_passthrough_bench
#include "support/bench_rounds.h"
#include "support/scratch.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace
{

constexpr long LOOPS = 200000;
std::string file; // 4 KiB, outside any mount

// Runs argv and reads the seconds it prints; negative on a failure.
double loop_seconds(std::vector<const char *> argv)
{
	argv.push_back(nullptr);
	int out[2];
	if (pipe(out) != 0)
		return -1;
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_adddup2(&fa, out[1], 1);
	posix_spawn_file_actions_addclose(&fa, out[0]);
	pid_t pid;
	int rc = posix_spawn(&pid, argv[0], &fa, nullptr,
	                     const_cast<char **>(argv.data()), environ);
	posix_spawn_file_actions_destroy(&fa);
	close(out[1]);
	char text[64] = {};
	ssize_t n = rc == 0 ? read(out[0], text, sizeof text - 1) : -1;
	close(out[0]);
	int ws = 0;
	if (rc != 0 || waitpid(pid, &ws, 0) < 0 || !WIFEXITED(ws) ||
	    WEXITSTATUS(ws) != 0 || n <= 0)
		return -1;
	return atof(text);
}

void loops(benchmark::State &state, bool simulated)
{
	std::string count = std::to_string(LOOPS);
	std::vector<const char *> argv;
	if (simulated)
		argv = {ZVSIM_BIN, "run", "--"};
	argv.push_back(OPENLOOP_BIN);
	argv.push_back(file.c_str());
	argv.push_back(count.c_str());
	for (auto _ : state) {
		double s = loop_seconds(argv);
		if (s <= 0) {
			state.SkipWithError("openloop failed");
			break;
		}
		state.SetIterationTime(s);
	}
}

void BM_open_read_close_under_sim(benchmark::State &state)
{
	loops(state, true);
}
BENCHMARK(BM_open_read_close_under_sim)
        ->UseManualTime()
        ->Iterations(5)
        ->Unit(benchmark::kMillisecond);

void BM_open_read_close_plain(benchmark::State &state)
{
	loops(state, false);
}
BENCHMARK(BM_open_read_close_plain)
        ->UseManualTime()
        ->Iterations(5)
        ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
	std::string top = zvbench::scratch_dir("zv-passthrough");
	file = top + "/data";
	static char data[4096];
	int fd =
	        top.empty() ? -1 : open(file.c_str(), O_CREAT | O_WRONLY, 0644);
	if (fd < 0 || write(fd, data, sizeof data) != sizeof data ||
	    close(fd) != 0) {
		fprintf(stderr, "sim_passthrough_bench: cannot set up\n");
		return 1;
	}
	int rc = zvbench::run(
	        argc, argv,
	        {{.benchmark = "open + read + close outside the mount, under "
	                       "the simulator against without it",
	          .unit = "loops/s",
	          .figure = {"BM_open_read_close_under_sim",
	                     zvbench::measure::real_rate, double(LOOPS)},
	          .baseline = zvbench::side{"BM_open_read_close_plain",
	                                    zvbench::measure::real_rate,
	                                    double(LOOPS)},
	          .aim = ">= 0.95"}},
	        5);
	return zvbench::remove_tree(top) ? rc : 1;
}
