#include "zvtest/files.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace zvtest
{

temp_dir::temp_dir()
{
	const char *base = getenv("TMPDIR");
	std::string tmpl =
	        std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
	        "/zvtest.XXXXXX";
	std::vector<char> buf(tmpl.begin(), tmpl.end());
	buf.push_back('\0');
	if (mkdtemp(buf.data()) == nullptr)
		throw std::runtime_error("mkdtemp failed for " + tmpl);
	path_ = buf.data();
}

temp_dir::~temp_dir()
{
	remove_tree(path_);
}

void remove_tree(const std::string &path)
{
	nftw(
	        path.c_str(),
	        [](const char *p, const struct stat *, int, struct FTW *) {
		        remove(p);
		        return 0;
	        },
	        16, FTW_DEPTH | FTW_PHYS);
}

void write_file(const std::string &path, const std::string &content)
{
	std::ofstream out(path, std::ios::binary);
	out << content;
	if (!out)
		throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::stringstream ss;
	ss << in.rdbuf();
	return ss.str();
}

} // namespace zvtest
