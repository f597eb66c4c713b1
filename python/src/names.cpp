/* Names and parameters: the client name of a mount, the kernel client's
 * version, and the parameters it publishes. */
#include "convert.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace zvpy
{

namespace
{

py::str getname(py::handle path_arg)
{
	fs_path path = path_of(path_arg);
	char name[256];
	int rc = without_gil(
	        [&] { return zvapi_getname(path.c_str(), name, sizeof name); });
	if (rc != 0)
		raise_os_error(rc, path.given);
	return decode(name, strlen(name));
}

py::str version()
{
	char text[4096];
	int rc = without_gil_errno(
	        [&] { return zvapi_get_version_string(text, sizeof text); });
	if (rc != 0)
		raise_os_error(rc, py::str("version"));
	return decode(text, strlen(text));
}

/* The trees parameters live in, longest first where one is a prefix of
 * another; a parameter's name is its path below its tree. */
const char *const trees[] = {
        "/sys/fs/varn/",           "/sys/fs/zorvel/",
        "/sys/kernel/debug/varn/", "/sys/kernel/debug/zorvel/",
        "/proc/fs/varn/",          "/proc/fs/zorvel/",
        "/proc/sys/varn/",         "/proc/sys/zorvel/",
};

std::string param_name(const std::string &path)
{
	for (const char *tree : trees)
		if (path.compare(0, strlen(tree), tree) == 0)
			return path.substr(strlen(tree));
	return path;
}

struct paths_owner {
	glob_t g{};
	bool filled = false;
	~paths_owner()
	{
		if (filled)
			zvapi_param_paths_free(&g);
	}
};

/* Paths of the parameter files matching pattern, in tree order. */
std::vector<std::string> param_paths(const std::string &pattern, int *rc)
{
	std::vector<std::string> out;
	paths_owner paths;
	*rc = zvapi_param_get_paths(pattern.c_str(), &paths.g);
	if (*rc != 0)
		return out;
	paths.filled = true;
	for (size_t i = 0; i < paths.g.gl_pathc; i++)
		out.emplace_back(paths.g.gl_pathv[i]);
	return out;
}

py::list param_list(py::handle pattern_arg)
{
	std::string pattern = text_of(pattern_arg, "pattern");
	int rc = 0;
	std::vector<std::string> paths =
	        nogil([&] { return param_paths(pattern, &rc); });
	if (rc != 0)
		raise_os_error(rc, pattern_arg);
	py::list out;
	for (const std::string &p : paths)
		out.append(decode(param_name(p)));
	return out;
}

struct value {
	std::string path, text;
	int rc = 0;
};

/* Every parameter file matching pattern with its content (directories,
 * which hold parameters, are none). */
std::vector<value> read_params(const std::string &pattern, int *rc)
{
	std::vector<value> out;
	for (std::string &path : param_paths(pattern, rc)) {
		struct stat st;
		if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
			continue;
		value v;
		char *buf = nullptr;
		size_t len = 0;
		v.rc = zvapi_param_get_value(path.c_str(), &buf, &len);
		if (v.rc == 0) {
			v.text.assign(buf, len);
			free(buf);
		}
		v.path = std::move(path);
		out.push_back(std::move(v));
	}
	return out;
}

py::dict param_get(py::handle pattern_arg)
{
	std::string pattern = text_of(pattern_arg, "pattern");
	int rc = 0;
	std::vector<value> values =
	        nogil([&] { return read_params(pattern, &rc); });
	if (rc != 0)
		raise_os_error(rc, pattern_arg);
	py::dict out;
	for (value &v : values) {
		if (v.rc != 0)
			raise_os_error(v.rc, decode(v.path));
		if (!v.text.empty() && v.text.back() == '\n')
			v.text.pop_back();
		py::str name = decode(param_name(v.path));
		if (!out.contains(name)) /* the first tree's wins */
			out[name] = decode(v.text);
	}
	return out;
}

} // namespace

void bind_names(py::module_ &m)
{
	m.def("getname", &getname, py::arg("path"),
	      "getname(path) -> str\n\nThe client name of the mount holding "
	      "path: '<fsname>-<instance>'.");
	m.def("version", &version,
	      "version() -> str\n\nThe version of the running kernel client.");
	m.def("param_list", &param_list, py::arg("pattern"),
	      "param_list(pattern) -> list[str]\n\nNames of the kernel "
	      "client's parameters matching pattern (a name below the "
	      "parameter trees, glob wildcards allowed, e.g. 'zvlite/*/pcc'), "
	      "in tree order. FileNotFoundError when none matches.");
	m.def("param_get", &param_get, py::arg("pattern"),
	      "param_get(pattern) -> dict[str, str]\n\nThe parameters matching "
	      "pattern with their values (the whole content, one trailing line "
	      "end removed); a name found in several trees keeps the first "
	      "tree's value. FileNotFoundError when none matches.");
}

} // namespace zvpy
