/* FID text parsing against a plain sscanf of the same texts, the baseline
 * every FID-handling tool would otherwise write. */
#include <zorvel/zorvelapi.h>

#include "support/bench_rounds.h"

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

} // namespace

int main(int argc, char **argv)
{
	return zvbench::run(argc, argv,
	                    {{.benchmark = "FID text parse, against sscanf",
	                      .unit = "calls/s",
	                      .figure = {"BM_zvapi_fid_parse"},
	                      .baseline = zvbench::side{"BM_sscanf_baseline"}}},
	                    5);
}
