/* The benchmark report of make bench:
 *
 *   bench_report table ROWS JSON
 *       prints every row of the rows file ROWS as one table and writes
 *       them to JSON as an array (the file replaced)
 *   bench_report row --benchmark NAME --unit UNIT --figures V,V,...
 *                    [--baselines V,V,...] [--aim AIM]
 *       makes a row from the numbers of alternating runs, for benchmarks
 *       that are not Google Benchmark programs (scripts), prints it and
 *       appends it to the rows file named by ZV_BENCH_ROWS
 *
 * Exit status: 0, 1 when a file cannot be read or written, 2 on a usage
 * error. */
#include "bench_rows.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>

namespace
{

int usage()
{
	fprintf(stderr, "usage: bench_report table ROWS JSON\n"
	                "       bench_report row --benchmark NAME --unit UNIT "
	                "--figures V,... [--baselines V,...] [--aim AIM]\n");
	return 2;
}

/* "1.5,2,3" as numbers; nullopt when a value is not a number. */
std::optional<std::vector<double>> numbers(const std::string &list)
{
	std::vector<double> out;
	for (size_t at = 0; at < list.size();) {
		size_t comma = list.find(',', at);
		std::string one = list.substr(at, comma - at);
		char *end;
		out.push_back(strtod(one.c_str(), &end));
		if (one.empty() || *end != '\0')
			return std::nullopt;
		at = comma == std::string::npos ? list.size() : comma + 1;
	}
	return out;
}

int table(const char *rows_path, const char *json_path)
{
	std::vector<zvbench::row> rows;
	std::ifstream in(rows_path);
	std::string line;
	while (std::getline(in, line)) {
		auto r = zvbench::from_line(line);
		if (!r) {
			fprintf(stderr, "bench_report: %s: not a row: %s\n",
			        rows_path, line.c_str());
			return 1;
		}
		rows.push_back(*r);
	}
	printf("\n");
	zvbench::print_table(stdout, rows);
	std::string json = zvbench::to_json(rows);
	FILE *out = fopen(json_path, "w");
	if (out == nullptr ||
	    fwrite(json.data(), 1, json.size(), out) != json.size() ||
	    fclose(out) != 0) {
		fprintf(stderr, "bench_report: cannot write %s: %s\n",
		        json_path, strerror(errno));
		return 1;
	}
	printf("\n%zu rows written to %s\n", rows.size(), json_path);
	return zvbench::stdout_written() ? 0 : 1;
}

int add_row(int argc, char **argv)
{
	std::map<std::string, std::string> opt;
	const std::set<std::string> known = {"benchmark", "unit", "figures",
	                                     "baselines", "aim"};
	if (argc % 2 != 0)
		return usage();
	for (int i = 2; i + 1 < argc; i += 2) {
		if (strncmp(argv[i], "--", 2) != 0 || !known.count(argv[i] + 2))
			return usage();
		opt[argv[i] + 2] = argv[i + 1];
	}
	if (!opt.count("benchmark") || !opt.count("unit") ||
	    !opt.count("figures"))
		return usage();
	auto figures = numbers(opt["figures"]);
	auto baselines = numbers(opt["baselines"]);
	if (!figures || !baselines)
		return usage();
	try {
		zvbench::row r =
		        zvbench::make_row(opt["benchmark"], opt["unit"],
		                          *figures, *baselines, opt["aim"]);
		zvbench::print_table(stdout, {r});
		if (!zvbench::stdout_written())
			return 1;
		if (!zvbench::append_to_rows_file({r})) {
			fprintf(stderr, "bench_report: cannot append to %s\n",
			        getenv("ZV_BENCH_ROWS"));
			return 1;
		}
	} catch (const std::invalid_argument &e) {
		fprintf(stderr, "bench_report: %s\n", e.what());
		return 2;
	}
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc == 4 && strcmp(argv[1], "table") == 0)
		return table(argv[2], argv[3]);
	if (argc >= 2 && strcmp(argv[1], "row") == 0)
		return add_row(argc, argv);
	return usage();
}
