/* The JSON list writer against fprintf of the same keys and values into the
 * same kind of stream (one line, strings quoted but not escaped, as a
 * hand-written printer would): what building, escaping and writing through
 * the list costs. */
#include <zorvel/zorvelapi.h>

#include "support/bench_rounds.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace
{

/* A line like the front end's: a path, a FID, counts and a rate. */
struct Values {
	char path[40] = "/mnt/demo/dir/file-0001.dat";
	char fid[40] = "[0x200000401:0x1:0x0]";
	int mirror = 2;
	uint64_t bytes = 1073741824ULL;
	double rate = 1234.5678;
};

void BM_json_list(benchmark::State &state)
{
	FILE *out = fopen("/dev/null", "w");
	Values v;
	for (auto _ : state) {
		zvapi_json_item_list *list = nullptr;
		zvapi_json_init_list(&list);
		zvapi_json_add_item(&list, (char *)"rate", ZVAPI_JSON_REAL,
		                    &v.rate);
		zvapi_json_add_item(&list, (char *)"bytes", ZVAPI_JSON_BIGNUM,
		                    &v.bytes);
		zvapi_json_add_item(&list, (char *)"mirror", ZVAPI_JSON_INTEGER,
		                    &v.mirror);
		zvapi_json_add_item(&list, (char *)"fid", ZVAPI_JSON_STRING,
		                    v.fid);
		zvapi_json_add_item(&list, (char *)"path", ZVAPI_JSON_STRING,
		                    v.path);
		zvapi_json_write_list(&list, out);
		zvapi_json_destroy_list(&list);
	}
	fclose(out);
}
BENCHMARK(BM_json_list);

void BM_fprintf(benchmark::State &state)
{
	FILE *out = fopen("/dev/null", "w");
	Values v;
	for (auto _ : state) {
		benchmark::DoNotOptimize(&v);
		fprintf(out,
		        "{\"path\": \"%s\", \"fid\": \"%s\", \"mirror\": %d, "
		        "\"bytes\": %llu, \"rate\": %f}\n",
		        v.path, v.fid, v.mirror, (unsigned long long)v.bytes,
		        v.rate);
	}
	fclose(out);
}
BENCHMARK(BM_fprintf);

} // namespace

int main(int argc, char **argv)
{
	return zvbench::run(
	        argc, argv,
	        {{.benchmark = "JSON list writer, against fprintf",
	          .unit = "lines/s",
	          .figure = {"BM_json_list", zvbench::measure::cpu_rate},
	          .baseline = zvbench::side{"BM_fprintf",
	                                    zvbench::measure::cpu_rate},
	          .aim = ">= 0.90"}},
	        5);
}
