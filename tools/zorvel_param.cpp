/* Parameter subcommands: param list, param get. */
#include "zorvel_cmd.h"
#include "zorvel_output.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace
{

/* The trees a parameter path may start with, longest first where one is
 * a prefix of another. */
const char *const trees[] = {
        "/sys/fs/varn/",           "/sys/fs/zorvel/",
        "/sys/kernel/debug/varn/", "/sys/kernel/debug/zorvel/",
        "/proc/fs/varn/",          "/proc/fs/zorvel/",
        "/proc/sys/varn/",         "/proc/sys/zorvel/",
};

/* A parameter's name: its path relative to its tree. */
const char *param_name(const char *path)
{
	for (const char *tree : trees)
		if (strncmp(path, tree, strlen(tree)) == 0)
			return path + strlen(tree);
	return path;
}

int lookup(const char *pattern, glob_t *paths)
{
	int rc = zvapi_param_get_paths(pattern, paths);
	// lov.*.target_obd is a common guess at lov/*/target_obd
	bool dots = strchr(pattern, '.') != nullptr;
	if (rc != 0)
		return fail(rc, "no parameter matches '%s'%s",
		            escaped(pattern).c_str(),
		            dots ? " (a name's parts are separated by '/', as "
		                   "in lov/*/target_obd)"
		                 : "");
	return 0;
}

int param_list(const char *pattern, bool json)
{
	glob_t paths;
	int rc = lookup(pattern, &paths);
	if (rc != 0)
		return rc;
	for (size_t i = 0; rc == 0 && i < paths.gl_pathc; i++) {
		const char *name = param_name(paths.gl_pathv[i]);
		rc = print_answer(json, json_line().add("name", name),
		                  escaped(name) + "\n");
	}
	zvapi_param_paths_free(&paths);
	return rc;
}

bool is_dir(const char *path)
{
	struct stat st;
	return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

/* name=value, or name= and the lines of a multi-line value. */
int param_get(const char *pattern, bool json)
{
	glob_t paths;
	int rc = lookup(pattern, &paths);
	if (rc != 0)
		return rc;
	first_failure status;
	size_t dirs = 0;
	for (size_t i = 0; i < paths.gl_pathc && output_ok(); i++) {
		/* a directory holds parameters, it is none */
		if (is_dir(paths.gl_pathv[i])) {
			dirs++;
			continue;
		}
		char *value = nullptr;
		size_t len = 0;
		rc = zvapi_param_get_value(paths.gl_pathv[i], &value, &len);
		if (rc != 0) {
			status.note(fail_path(rc, "read", paths.gl_pathv[i]));
			continue;
		}
		const char *name = param_name(paths.gl_pathv[i]);
		if (json) {
			status.note(exit_status(
			        json_line()
			                .add("name", name)
			                .add("value", std::string(value, len))
			                .write()));
			free(value);
			continue;
		}
		char *nl = static_cast<char *>(memchr(value, '\n', len));
		std::string shown = escaped(name);
		if (nl == nullptr || nl == value + len - 1)
			out_printf("%s=%.*s\n", shown.c_str(),
			           int(nl ? nl - value : len), value);
		else
			out_printf("%s=\n%s%s", shown.c_str(), value,
			           value[len - 1] == '\n' ? "" : "\n");
		free(value);
	}
	size_t matched = paths.gl_pathc;
	zvapi_param_paths_free(&paths);
	/* nothing to print is no answer */
	if (dirs == matched)
		return fail(-EISDIR,
		            "'%s' matches directories only ('param list "
		            "%s/*' lists what they hold)",
		            escaped(pattern).c_str(), escaped(pattern).c_str());
	return status.status();
}

int cmd_param(int argc, char **argv)
{
	std::vector<const char *> ops;
	bool json = false;
	if (int bad = take_operands(argc, argv, ops, &json, 2))
		return bad;
	if (ops.size() > 2)
		return usage_error("one PATTERN");
	if (strcmp(ops[0], "list") == 0)
		return param_list(ops[1], json);
	if (strcmp(ops[0], "get") == 0)
		return param_get(ops[1], json);
	return usage_error("the action is list or get");
}

} // namespace

const zorvel_cmd param_cmd = {
        .name = "param",
        .run = cmd_param,
        .usage = "[--json] list|get PATTERN",
        .help = "list the parameters matching PATTERN, or print their values\n"
                "  PATTERN is a name relative to "
                "the parameter trees, its parts\n"
                "  separated by '/', with glob "
                "characters: lov/*/target_obd (not\n"
                "  lov.*.target_obd), "
                "nodemap/default/{squash_uid,squash_gid}\n"
                "  get: NAME=VALUE, or NAME= and "
                "the lines of a value of several;\n"
                "    directories that match are "
                "skipped, and a PATTERN that matches\n"
                "    directories only fails (EISDIR): "
                "'param list DIR/*' lists them\n"
                "  --json keys: list: name; get: name value",
};
