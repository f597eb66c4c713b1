// Runs a fuzz target's corpus as a plain test: every file named, or found in
// a directory named, goes once through LLVMFuzzerTestOneInput. A broken
// invariant aborts; an empty corpus fails, so a lost corpus is noticed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

namespace
{

bool replay(const fs::path &file)
{
	std::ifstream in(file, std::ios::binary);
	if (!in) {
		std::fprintf(stderr, "cannot read %s\n", file.c_str());
		return false;
	}
	std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
	                        std::istreambuf_iterator<char>());
	LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()),
	                       bytes.size());
	return true;
}

} // namespace

int main(int argc, char **argv)
{
	std::vector<fs::path> files;
	for (int i = 1; i < argc; i++) {
		std::error_code ec;
		fs::path arg(argv[i]);
		if (fs::is_directory(arg, ec)) {
			for (const auto &entry : fs::directory_iterator(arg))
				if (entry.is_regular_file())
					files.push_back(entry.path());
		} else if (fs::is_regular_file(arg, ec)) {
			files.push_back(arg);
		} else {
			std::fprintf(stderr, "no such corpus: %s\n", argv[i]);
			return 1;
		}
	}
	std::sort(files.begin(), files.end());
	if (files.empty()) {
		std::fprintf(stderr, "no inputs to replay\n");
		return 1;
	}
	for (const auto &file : files) {
		if (!replay(file))
			return 1;
	}
	std::printf("replayed %zu inputs\n", files.size());
	return 0;
}
