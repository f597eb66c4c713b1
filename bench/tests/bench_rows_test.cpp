/* The benchmark report's rows: medians of alternating runs, aims, and the
 * JSON every run of make bench leaves behind. */
#include "support/bench_rows.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <stdexcept>
#include <unistd.h>

namespace
{

using zvbench::make_row;

TEST(BenchRows, RatiosAreMediansOfTheRunsThatMeasuredBothSides)
{
	/* the run with a failed baseline counts for neither side */
	zvbench::row r = make_row("b", "calls/s", {10, 30, 20, 99},
	                          {10, 20, 40, NAN}, ">= 0.95");
	EXPECT_EQ(r.runs, 3);
	EXPECT_DOUBLE_EQ(r.figure, 20);
	EXPECT_DOUBLE_EQ(*r.baseline, 20);
	EXPECT_DOUBLE_EQ(*r.ratio, 1.0) << "ratios 1, 1.5, 0.5";
	EXPECT_EQ(r.met, true);

	r = make_row("b", "%", {1.2, 1.0}, {100, 100}, "<= 1.5%");
	EXPECT_EQ(r.met, true) << "1.1% of the baseline";
	r = make_row("b", "s", {3, 1, 2}, {}, "");
	EXPECT_FALSE(r.ratio);
	EXPECT_FALSE(r.met);
	EXPECT_EQ(r.runs, 3);
	EXPECT_DOUBLE_EQ(r.figure, 2);
	EXPECT_THROW(make_row("b", "s", {1}, {1}, "about 1"),
	             std::invalid_argument);
}

// A ratio just under its line never shows as the line itself.
TEST(BenchRows, TheRatioShownFallsOnTheSideOfTheAimItDoes)
{
	auto cell = [](double fig, const char *aim) {
		return zvbench::ratio_cell(make_row("b", "x", {fig}, {1}, aim));
	};
	EXPECT_EQ(cell(0.9494, ">= 0.95"), "0.949");
	EXPECT_EQ(cell(0.9495, ">= 0.95"), "0.9495") << "0.950 at three";
	EXPECT_EQ(cell(0.94999, ">= 0.95"), "0.94999");
	EXPECT_EQ(cell(0.9504, ">= 0.95"), "0.95");
	EXPECT_EQ(cell(0.9512, ">= 0.95"), "0.95");
	EXPECT_EQ(cell(1.5004, "<= 1.5"), "1.5004");
	EXPECT_EQ(cell(0.015004, "<= 1.5%"), "1.5004%");
	EXPECT_EQ(cell(0.0092, "<= 1.5%"), "0.92%");
	EXPECT_EQ(cell(0.9495, ""), "0.95") << "no aim: two decimals";
}

TEST(BenchRows, JsonAndTheRowsFileKeepEveryField)
{
	zvbench::row full = make_row("pread \"4 KiB\"\x01", "calls/s", {3.4e6},
	                             {4.1e6}, ">= 0.95");
	zvbench::row only = make_row("first build", "s", {2.5}, {}, "");
	EXPECT_EQ(zvbench::to_json({full, only}),
	          "[\n {\"benchmark\": \"pread \\\"4 KiB\\\"\\u0001\", "
	          "\"unit\": \"calls/s\", \"figure\": 3.4e+06, "
	          "\"baseline\": 4.1e+06, \"ratio\": 0.829268, "
	          "\"aim\": \">= 0.95\", \"met\": false, \"runs\": 1},\n"
	          " {\"benchmark\": \"first build\", \"unit\": \"s\", "
	          "\"figure\": 2.5, \"baseline\": null, \"ratio\": null, "
	          "\"aim\": null, \"met\": null, \"runs\": 1}\n]\n");
	EXPECT_EQ(zvbench::to_json({}), "[]\n");

	for (const zvbench::row &r : {full, only}) {
		auto back = zvbench::from_line(zvbench::to_line(r));
		ASSERT_TRUE(back);
		EXPECT_EQ(zvbench::to_json({*back}), zvbench::to_json({r}));
	}
	EXPECT_FALSE(zvbench::from_line("too\tfew\tfields"));
}

// A table that could not be printed is a failure of the benchmark.
TEST(BenchRows, AFailedPrintOfTheTableIsReported)
{
	int pipe_fds[2];
	ASSERT_EQ(pipe(pipe_fds), 0);
	close(pipe_fds[0]); // no reader: writes fail with EPIPE
	void (*was)(int) = signal(SIGPIPE, SIG_IGN);
	fflush(stdout);
	int saved = dup(1);
	ASSERT_GE(saved, 0);
	dup2(pipe_fds[1], 1);
	zvbench::print_table(stdout, {make_row("b", "s", {1}, {1}, "")});
	bool written = zvbench::stdout_written();
	clearerr(stdout);
	dup2(saved, 1);
	close(saved);
	close(pipe_fds[1]);
	signal(SIGPIPE, was);
	EXPECT_FALSE(written);
	EXPECT_TRUE(zvbench::stdout_written());
}

} // namespace
