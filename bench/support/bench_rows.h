/* The rows of the benchmark report: one figure of this project's, the
 * baseline measured in the same run, their ratio and the aim it is held
 * to. Every benchmark program appends its rows to one file, and
 * bench_report prints them all as one table and writes them as JSON. */
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace zvbench
{

struct row {
	std::string benchmark; /* what is measured, and against what */
	std::string unit;      /* of figure and baseline */
	double figure = 0;     /* this project's number */
	std::optional<double> baseline, ratio;
	/* ">= 0.95", "<= 1.5%"; empty for a figure that is only reported. A
	 * ratio reads "higher is better" unless its aim says "<=". */
	std::string aim;
	std::optional<bool> met;
	int runs = 0; /* alternating runs the medians are of */
};

/* A row from several alternating runs of both sides: figures[i] and
 * baselines[i] were measured one after the other, in run i. The figure
 * and baseline are the medians of each side, the ratio the median of the
 * runs' ratios (a run missing a side counts for neither). No baselines (or
 * none measured): the figure alone, without ratio. Throws std::invalid_argument
 * for an aim it cannot read. */
row make_row(const std::string &benchmark, const std::string &unit,
             const std::vector<double> &figures,
             const std::vector<double> &baselines, const std::string &aim);

double median(std::vector<double> values);

/* Whether ratio meets aim; nullopt when aim is not ">= N" or "<= N", N
 * possibly a percentage. */
std::optional<bool> meets(double ratio, const std::string &aim);

/* One row as a line of the rows file, and back. */
std::string to_line(const row &r);
std::optional<row> from_line(const std::string &line);

/* Appends the rows to the file named by ZV_BENCH_ROWS, when it is set
 * (make bench sets it); false when the file cannot be written. */
bool append_to_rows_file(const std::vector<row> &rows);

/* The rows as a table of columns aligned for reading. */
/* The table's ratio cell: see bench_rows.cpp. */
std::string ratio_cell(const row &r);
void print_table(FILE *out, const std::vector<row> &rows);

/* Flushes standard output: false, with a message, when what was printed
 * did not all get there (a full disk, a closed pipe). */
bool stdout_written();

/* The rows as a JSON array of objects, one a line. */
std::string to_json(const std::vector<row> &rows);

} // namespace zvbench
