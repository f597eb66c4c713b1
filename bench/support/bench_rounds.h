/* Google Benchmark programs on the shared report: the program's benchmarks
 * run several times over, one round after another, so that each figure and
 * its baseline alternate on a noisy machine; each comparison becomes a row
 * (medians of the rounds), printed at the end and appended to the rows
 * file of make bench. */
#pragma once

#include "bench_rows.h"

#include <optional>
#include <string>
#include <vector>

namespace zvbench
{

/* What a number is read from a benchmark's run. */
enum class measure {
	real_rate, /* iterations a second of elapsed (or manual) time */
	cpu_rate,  /* iterations a second of this process's CPU time */
	real_time, /* elapsed (or manual) seconds an iteration */
	cpu_time,  /* CPU seconds an iteration */
	counter,   /* the value of a user counter */
};

struct side {
	/* The benchmark's function name, "/<args>" after it when it has
	 * any: "BM_fid2path_index/10000". */
	std::string run;
	measure how = measure::real_rate;
	/* Multiplies the number: items an iteration for a rate, the unit in
	 * a second for a time (1e3 for milliseconds). */
	double scale = 1;
	std::string counter = ""; /* with measure::counter */
};

/* The user counter named counter of the benchmark run named run. */
inline side counter_of(const std::string &run, const std::string &counter)
{
	return {run, measure::counter, 1, counter};
}

struct comparison {
	std::string benchmark; /* the row's name */
	std::string unit;
	side figure;
	std::optional<side> baseline = std::nullopt;
	std::string aim = ""; /* see row::aim */
};

/* Google Benchmark's options out of argv (--benchmark_filter and the
 * like); false, with a message, on an argument it does not know. */
bool initialize(int *argc, char **argv);

/* Runs the selected benchmarks in rounds (ZV_BENCH_RUNS, or
 * default_runs), printing each round's results, and makes a row of each
 * comparison that has a figure. */
std::vector<row> run_rounds(const std::vector<comparison> &comparisons,
                            int default_runs);

/* Prints the rows as a table and appends them to make bench's rows file;
 * false when that file could not be written. */
bool report(const std::vector<row> &rows);

/* initialize(), run_rounds() and report() for a program that needs
 * nothing else: its exit status. */
int run(int argc, char **argv, const std::vector<comparison> &comparisons,
        int default_runs);

} // namespace zvbench
