/* FID text parsing against a plain sscanf of the same texts, the baseline
 * every FID-handling tool would otherwise write. */
#include <zorvel/zorvelapi.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

namespace
{

std::vector<std::string> make_texts()
{
	std::vector<std::string> texts;
	for (unsigned i = 0; i < 1024; i++) {
		char buf[ZO_FID_FMT_LEN];
		snprintf(buf, sizeof(buf), "[%#llx:0x%x:0x%x]",
		         0x200000400ULL + (i >> 4), i * 7919, i & 1);
		texts.emplace_back(buf);
	}
	return texts;
}

const std::vector<std::string> texts = make_texts();

void BM_sscanf_baseline(benchmark::State &state)
{
	size_t i = 0;
	for (auto _ : state) {
		unsigned long long seq;
		unsigned oid, ver;
		int n = sscanf(texts[i++ & 1023].c_str(), "[%llx:%x:%x]", &seq,
		               &oid, &ver);
		benchmark::DoNotOptimize(n);
		benchmark::DoNotOptimize(seq);
	}
}
BENCHMARK(BM_sscanf_baseline);

void BM_zvapi_fid_parse(benchmark::State &state)
{
	size_t i = 0;
	for (auto _ : state) {
		struct zo_fid fid;
		int rc = zvapi_fid_parse(texts[i++ & 1023].c_str(), &fid,
		                         nullptr);
		benchmark::DoNotOptimize(rc);
		benchmark::DoNotOptimize(fid);
	}
}
BENCHMARK(BM_zvapi_fid_parse);

/* Prints the parse time as a ratio of the baseline measured in this run. */
class ratio_reporter : public benchmark::ConsoleReporter
{
      public:
	void ReportRuns(const std::vector<Run> &runs) override
	{
		ConsoleReporter::ReportRuns(runs);
		for (const auto &run : runs) {
			if (run.benchmark_name() == "BM_sscanf_baseline")
				baseline_ = run.GetAdjustedRealTime();
			else if (run.benchmark_name() == "BM_zvapi_fid_parse")
				parse_ = run.GetAdjustedRealTime();
		}
	}
	void Finalize() override
	{
		ConsoleReporter::Finalize();
		if (baseline_ > 0 && parse_ > 0)
			printf("zvapi_fid_parse / sscanf baseline: %.2fx the "
			       "time\n",
			       parse_ / baseline_);
	}

      private:
	double baseline_ = 0, parse_ = 0;
};

} // namespace

int main(int argc, char **argv)
{
	benchmark::Initialize(&argc, argv);
	ratio_reporter reporter;
	benchmark::RunSpecifiedBenchmarks(&reporter);
	benchmark::Shutdown();
	return 0;
}
