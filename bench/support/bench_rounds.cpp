#include "bench_rounds.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace zvbench
{

namespace
{

/* One benchmark's run in one round. */
struct measured {
	double real = 0, cpu = 0; /* seconds, all iterations */
	double iterations = 0;
	std::map<std::string, double> counters;
};

std::string run_key(const benchmark::BenchmarkReporter::Run &run)
{
	const auto &n = run.run_name;
	return n.args.empty() ? n.function_name
	                      : n.function_name + "/" + n.args;
}

/* Prints as the console reporter does and keeps each run's numbers by
 * round. */
class collector : public benchmark::ConsoleReporter
{
      public:
	void ReportRuns(const std::vector<Run> &runs) override
	{
		ConsoleReporter::ReportRuns(runs);
		for (const Run &run : runs) {
			if (run.run_type != Run::RT_Iteration ||
			    run.error_occurred)
				continue;
			measured m{run.real_accumulated_time,
			           run.cpu_accumulated_time,
			           double(run.iterations),
			           {}};
			for (const auto &[name, c] : run.counters)
				m.counters[name] = c.value;
			runs_[run_key(run)][round] = m;
		}
	}
	/* The side's number in each round, NAN where it has none. */
	std::vector<double> values(const side &s, int rounds) const
	{
		std::vector<double> out(rounds, NAN);
		auto it = runs_.find(s.run);
		if (it == runs_.end())
			return out;
		for (const auto &[r, m] : it->second)
			out[r] = number(s, m);
		return out;
	}
	bool ran(const std::string &run) const
	{
		return runs_.count(run) != 0;
	}

	int round = 0;

      private:
	static double number(const side &s, const measured &m)
	{
		double v = NAN;
		switch (s.how) {
		case measure::real_rate:
			v = m.real > 0 ? m.iterations / m.real : NAN;
			break;
		case measure::cpu_rate:
			v = m.cpu > 0 ? m.iterations / m.cpu : NAN;
			break;
		case measure::real_time:
			v = m.iterations > 0 ? m.real / m.iterations : NAN;
			break;
		case measure::cpu_time:
			v = m.iterations > 0 ? m.cpu / m.iterations : NAN;
			break;
		case measure::counter: {
			auto c = m.counters.find(s.counter);
			v = c == m.counters.end() ? NAN : c->second;
			break;
		}
		}
		return v * s.scale;
	}
	std::map<std::string, std::map<int, measured>> runs_;
};

int runs_wanted(int default_runs)
{
	const char *env = getenv("ZV_BENCH_RUNS");
	int n = env ? atoi(env) : 0;
	return n > 0 ? n : default_runs;
}

} // namespace

bool initialize(int *argc, char **argv)
{
	benchmark::Initialize(argc, argv);
	return !benchmark::ReportUnrecognizedArguments(*argc, argv);
}

std::vector<row> run_rounds(const std::vector<comparison> &comparisons,
                            int default_runs)
{
	int rounds = runs_wanted(default_runs);
	collector c;
	for (c.round = 0; c.round < rounds; c.round++) {
		if (rounds > 1)
			printf("-- round %d of %d\n", c.round + 1, rounds);
		fflush(stdout);
		benchmark::RunSpecifiedBenchmarks(&c);
	}
	std::vector<row> rows;
	for (const comparison &cmp : comparisons) {
		if (!c.ran(cmp.figure.run))
			continue; /* filtered out, or failed every time */
		std::vector<double> base;
		if (cmp.baseline)
			base = c.values(*cmp.baseline, rounds);
		rows.push_back(make_row(cmp.benchmark, cmp.unit,
		                        c.values(cmp.figure, rounds), base,
		                        cmp.aim));
	}
	return rows;
}

bool report(const std::vector<row> &rows)
{
	printf("\n");
	print_table(stdout, rows);
	if (!stdout_written())
		return false;
	if (append_to_rows_file(rows))
		return true;
	fprintf(stderr, "cannot append to %s\n", getenv("ZV_BENCH_ROWS"));
	return false;
}

int run(int argc, char **argv, const std::vector<comparison> &comparisons,
        int default_runs)
{
	if (!initialize(&argc, argv))
		return 2;
	bool ok = report(run_rounds(comparisons, default_runs));
	benchmark::Shutdown();
	return ok ? 0 : 1;
}

} // namespace zvbench
