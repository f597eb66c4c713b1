/* The support library against what a caller would write by hand, measured
 * in the same run: parameter lookup against a bare glob of the same brace
 * pattern (both on the simulated parameter trees), and expression-list
 * matching and expansion against plain loops over the same ranges. */
#include <libkfx/util/param.h>
#include <libkfx/util/string.h>
#include <zvsim/zvsim.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
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

class ratio_reporter : public benchmark::ConsoleReporter
{
      public:
	void ReportRuns(const std::vector<Run> &runs) override
	{
		ConsoleReporter::ReportRuns(runs);
		for (const auto &run : runs)
			times_[run.benchmark_name()] =
			        run.GetAdjustedRealTime();
	}
	void Finalize() override
	{
		ConsoleReporter::Finalize();
		ratio("kfx_get_param_paths / bare glob",
		      "BM_kfx_get_param_paths", "BM_glob_baseline",
		      "aim < 1.10");
		ratio("kfx_expr_list_match / hand loop",
		      "BM_kfx_expr_list_match", "BM_match_loop_baseline", "");
		ratio("kfx_expr_list_values / hand loop",
		      "BM_kfx_expr_list_values", "BM_expand_loop_baseline", "");
	}

      private:
	void ratio(const char *what, const char *lib, const char *base,
	           const char *aim)
	{
		if (times_[base] > 0)
			printf("%s: %.2fx the time %s\n", what,
			       times_[lib] / times_[base], aim);
	}
	std::map<std::string, double> times_;
};

} // namespace

int main(int argc, char **argv)
{
	/* the simulated parameter trees, so both sides see the same files */
	char state[] = "/tmp/kfxbench.XXXXXX";
	if (mkdtemp(state) == nullptr || zvsim_setup(state, "bench", 1) != 0) {
		fprintf(stderr, "kfx_bench: cannot set up the simulator\n");
		return 1;
	}
	benchmark::Initialize(&argc, argv);
	ratio_reporter reporter;
	benchmark::RunSpecifiedBenchmarks(&reporter);
	benchmark::Shutdown();
	zvsim_teardown();
	std::string cmd = std::string("rm -rf ") + state;
	return system(cmd.c_str()) == 0 ? 0 : 1;
}
