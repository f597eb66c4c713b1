/* The benchmark report's rows: medians of alternating runs, aims, and the
 * JSON every run of make bench leaves behind. */
#include "support/bench_rows.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

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

} // namespace
