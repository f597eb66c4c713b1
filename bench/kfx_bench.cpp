/* The support library against what a caller would write by hand, measured
 * in the same run: parameter lookup against a bare glob of the same brace
 * pattern (both on the simulated parameter trees), and expression-list
 * matching and expansion against plain loops over the same ranges. */
#include "support/bench_rounds.h"
#include "support/scratch.h"

#include <libkfx/util/param.h>
#include <libkfx/util/string.h>
#include <zvsim/zvsim.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

const char *const list_text = "[0-255/3,300-700,1000-1999/7,4000]";
struct range {
	unsigned lo, hi, stride;
};
const range ranges[] = {
        {0, 255, 3}, {300, 700, 1}, {1000, 1999, 7}, {4000, 4000, 1}};

void BM_glob_baseline(benchmark::State &state)
{
	for (auto _ : state) {
		glob_t g;
		int rc = glob(KFX_PARAM_TOPDIR "/lov/*/target_obd", GLOB_BRACE,
		              nullptr, &g);
		benchmark::DoNotOptimize(rc);
		if (rc == 0)
			globfree(&g);
	}
}
BENCHMARK(BM_glob_baseline);

void BM_kfx_get_param_paths(benchmark::State &state)
{
	for (auto _ : state) {
		glob_t g;
		int rc = kfx_get_param_paths(&g, "%s/%s/%s", "lov", "*",
		                             "target_obd");
		benchmark::DoNotOptimize(rc);
		if (rc == 0)
			globfree(&g);
	}
}
BENCHMARK(BM_kfx_get_param_paths);

void BM_match_loop_baseline(benchmark::State &state)
{
	unsigned v = 0;
	for (auto _ : state) {
		bool hit = false;
		for (const range &r : ranges)
			if (v >= r.lo && v <= r.hi &&
			    (v - r.lo) % r.stride == 0) {
				hit = true;
				break;
			}
		benchmark::DoNotOptimize(hit);
		v = (v + 37) % 4100;
	}
}
BENCHMARK(BM_match_loop_baseline);

void BM_kfx_expr_list_match(benchmark::State &state)
{
	kfx_expr_list *list;
	if (kfx_expr_list_parse(list_text, strlen(list_text), 0, 5000, &list))
		abort();
	unsigned v = 0;
	for (auto _ : state) {
		int hit = kfx_expr_list_match(v, list);
		benchmark::DoNotOptimize(hit);
		v = (v + 37) % 4100;
	}
	kfx_expr_list_free(list);
}
BENCHMARK(BM_kfx_expr_list_match);

void BM_expand_loop_baseline(benchmark::State &state)
{
	for (auto _ : state) {
		size_t n = 0;
		for (const range &r : ranges)
			n += (r.hi - r.lo) / r.stride + 1;
		auto *values = static_cast<__u32 *>(calloc(n, sizeof(__u32)));
		size_t i = 0;
		for (const range &r : ranges)
			for (unsigned long v = r.lo; v <= r.hi; v += r.stride)
				values[i++] = v;
		benchmark::DoNotOptimize(values);
		free(values);
	}
}
BENCHMARK(BM_expand_loop_baseline);

void BM_kfx_expr_list_values(benchmark::State &state)
{
	kfx_expr_list *list;
	if (kfx_expr_list_parse(list_text, strlen(list_text), 0, 5000, &list))
		abort();
	for (auto _ : state) {
		__u32 *values;
		int n = kfx_expr_list_values(list, 1 << 20, &values);
		benchmark::DoNotOptimize(values);
		kfx_expr_list_values_free(values, n);
	}
	kfx_expr_list_free(list);
}
BENCHMARK(BM_kfx_expr_list_values);

} // namespace

int main(int argc, char **argv)
{
	/* the simulated parameter trees, so both sides see the same files */
	std::string state = zvbench::scratch_dir("kfxbench");
	if (state.empty() || zvsim_setup(state.c_str(), "bench", 1) != 0) {
		fprintf(stderr, "kfx_bench: cannot set up the simulator\n");
		return 1;
	}
	using zvbench::side;
	int rc = zvbench::run(
	        argc, argv,
	        {{.benchmark = "kfx_get_param_paths, against a bare glob",
	          .unit = "calls/s",
	          .figure = {"BM_kfx_get_param_paths"},
	          .baseline = side{"BM_glob_baseline"},
	          .aim = ">= 0.91"},
	         {.benchmark = "kfx_expr_list_match, against a hand loop",
	          .unit = "calls/s",
	          .figure = {"BM_kfx_expr_list_match"},
	          .baseline = side{"BM_match_loop_baseline"}},
	         {.benchmark = "kfx_expr_list_values, against a hand loop",
	          .unit = "calls/s",
	          .figure = {"BM_kfx_expr_list_values"},
	          .baseline = side{"BM_expand_loop_baseline"}}},
	        5);
	zvsim_teardown();
	return zvbench::remove_tree(state) ? rc : 1;
}
