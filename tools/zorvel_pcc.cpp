/* Client cache subcommands: pcc attach, detach and state of files (by
 * path, or by FID under a mount with --fid), and pcc add, del, clear and
 * list of the cache areas of a mount. */
#include "zorvel_cmd.h"
#include "zorvel_fid.h"
#include "zorvel_output.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <span>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

/* An archive id: a 32-bit number in any C base. */
bool to_id(const char *text, uint32_t *id)
{
	uint64_t v;
	if (!parse_u64(text, v) || v > UINT32_MAX)
		return false;
	*id = static_cast<uint32_t>(v);
	return true;
}

/* The options of the file subcommands: --fid MOUNT and, for attach, --id ID
 * (required). The files or FIDs start at optind. */
struct FileArgs {
	const char *mount = nullptr;
	uint32_t id = 0;
	bool has_id = false;
	bool json = false;
};

int parse_file_args(int argc, char **argv, bool wants_id, FileArgs *out)
{
	static const option opts[] = {
	        {"fid", required_argument, nullptr, 'f'},
	        {"id", required_argument, nullptr, 'i'},
	        {nullptr, 0, nullptr, 0},
	};
	int c;
	optind = 1;
	opterr = 0;
	while ((c = getopt_long(argc, argv, ":", opts, nullptr)) != -1) {
		if (c == 'f') {
			out->mount = optarg;
		} else if (c == 'i' && wants_id) {
			if (!to_id(optarg, &out->id))
				return usage_error("--id takes a number "
				                   "from 0 to 4294967295");
			out->has_id = true;
		} else {
			return option_error(c == 'i' ? '?' : c, argv);
		}
	}
	if (wants_id && !out->has_id)
		return usage_error("attach needs --id ID");
	if (optind == argc)
		return missing_arguments();
	return 0;
}

/* Runs one(args, file) on each file after the options; the exit status
 * of the first failure, each told by one. */
template <typename One>
int each_file(int argc, char **argv, bool json, bool wants_id, One one)
{
	FileArgs a;
	a.json = json;
	if (int bad = parse_file_args(argc, argv, wants_id, &a))
		return bad;
	return each_operand(std::span(argv + optind, argv + argc),
	                    lost_output::stop,
	                    [&](const char *file) { return one(a, file); });
}

/* "'FILE'", or "FID under 'MOUNT'" with --fid: the object in messages. */
std::string target(const FileArgs &a, const char *file)
{
	if (a.mount == nullptr) {
		std::string quoted = "'";
		quoted += escaped(file);
		return quoted += "'";
	}
	return escaped(file) + " under '" + escaped(a.mount) + "'";
}

/* A FID operand is checked here, so that its message is the usual one. */
int check_fid(const FileArgs &a, const char *file, zo_fid *fid)
{
	zo_fid unused;
	return a.mount ? parse_fid(file, fid ? fid : &unused) : 0;
}

int attach_one(const FileArgs &a, const char *file)
{
	if (int bad = check_fid(a, file, nullptr))
		return bad;
	int rc = a.mount ? zvapi_pcc_attach_fid_str(a.mount, file, a.id,
	                                            ZO_PCC_READWRITE)
	                 : zvapi_pcc_attach(file, a.id, ZO_PCC_READWRITE);
	if (rc != 0)
		return fail(rc, "cannot attach %s to cache area %u",
		            target(a, file).c_str(), a.id);
	if (!a.json)
		return 0;
	return exit_status(
	        json_line().add("file", file).add_u64("id", a.id).write());
}

int detach_one(const FileArgs &a, const char *file)
{
	if (int bad = check_fid(a, file, nullptr))
		return bad;
	int rc = a.mount ? zvapi_pcc_detach_fid_str(a.mount, file, 0)
	                 : zvapi_pcc_detach_file(file, 0);
	/* A refused detach request is -1 with errno set. */
	if (rc == -1)
		rc = -errno;
	if (rc != 0)
		return fail(rc, "cannot detach %s", target(a, file).c_str());
	if (!a.json)
		return 0;
	return exit_status(
	        json_line().add("file", file).add_int("detached", 1).write());
}

/* The state of one file, by path or by FID (parsed) under mount. */
int state_of(const char *mount, const char *file, const zo_fid &fid,
             zo_pcc_state *st)
{
	if (mount == nullptr)
		return zvapi_pcc_state_get(file, st);
	int fd = zvapi_open_by_fid(mount, &fid,
	                           O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return fd;
	int rc = zvapi_pcc_state_get_fd(fd, st);
	close(fd);
	return rc;
}

const char *type_name(uint32_t type)
{
	return type == ZO_PCC_NONE        ? "none"
	       : type == ZO_PCC_READWRITE ? "readwrite"
	                                  : "unknown";
}

int state_one(const FileArgs &a, const char *file)
{
	zo_fid fid{};
	if (int bad = check_fid(a, file, &fid))
		return bad;
	zo_pcc_state st;
	int rc = state_of(a.mount, file, fid, &st);
	if (rc != 0)
		return fail(rc, "cannot get the cache state of %s",
		            target(a, file).c_str());
	const char *type = type_name(st.pccs_type);
	st.pccs_path[sizeof(st.pccs_path) - 1] = '\0';
	if (a.json) {
		json_line line;
		line.add("file", file).add("type", type);
		if (st.pccs_type != ZO_PCC_NONE)
			line.add_u64("open_count", st.pccs_open_count)
			        .add_u64("flags", st.pccs_flags)
			        .add("path", st.pccs_path);
		return exit_status(line.write());
	}
	if (st.pccs_type == ZO_PCC_NONE)
		out_printf("%s: type=none\n", escaped(file).c_str());
	else
		out_printf("%s: type=%s open_count=%u flags=%#x path=%s\n",
		           escaped(file).c_str(), type, st.pccs_open_count,
		           st.pccs_flags, escaped(st.pccs_path).c_str());
	return 0;
}

/* add MOUNT ID, del MOUNT ID, clear MOUNT: one command to the mount's
 * cache configuration. */
int pcc_config(const char *action, const std::vector<const char *> &ops,
               bool json)
{
	bool clear = strcmp(action, "clear") == 0;
	uint32_t id = 0;
	if (ops.empty())
		return missing_arguments();
	if (ops.size() != (clear ? 1u : 2u) || (!clear && !to_id(ops[1], &id)))
		return usage_error(clear ? "clear needs a mount"
		                         : "add and del need a mount and an "
		                           "id from 0 to 4294967295");
	std::string cmd =
	        clear ? "clear"
	              : std::string(action) + " " + std::to_string(id);
	int rc = zvapi_pccdev_set(ops[0], cmd.c_str());
	if (rc != 0) {
		std::string what =
		        clear ? "clear"
		        : *action == 'a'
		                ? "add area " + std::to_string(id) + " to"
		                : "delete area " + std::to_string(id) + " from";
		return fail(rc, "cannot %s the cache areas of '%s'",
		            what.c_str(), escaped(ops[0]).c_str());
	}
	if (!json)
		return 0;
	json_line line;
	line.add("mount", ops[0]).add("action", action);
	if (!clear)
		line.add_u64("id", id);
	return exit_status(line.write());
}

/* The configuration text of the cache areas of mount into text. */
int read_areas(const char *mount, std::string &text)
{
	char name[PATH_MAX];
	int rc = zvapi_getname(mount, name, sizeof(name));
	if (rc < 0)
		return rc;
	glob_t paths;
	rc = zvapi_param_get_paths(
	        (std::string("zvlite/") + name + "/pcc").c_str(), &paths);
	if (rc != 0)
		return rc;
	char *value = nullptr;
	size_t len = 0;
	rc = zvapi_param_get_value(paths.gl_pathv[0], &value, &len);
	zvapi_param_paths_free(&paths);
	if (rc != 0)
		return rc;
	text.assign(value, len);
	free(value);
	return 0;
}

/* One area line, "KEY=VALUE ...", as JSON: the keys of the line (the
 * last value runs to the line's end, so a root may hold spaces); the
 * archive id as a number. */
int area_json(const char *mount, const std::string &line)
{
	json_line out;
	out.add("mount", mount);
	size_t at = 0;
	while (at < line.size()) {
		size_t eq = line.find('=', at);
		if (eq == std::string::npos)
			break;
		std::string key = line.substr(at, eq - at);
		size_t next = line.find(' ', eq);
		/* the value ends before the next word holding '=' */
		while (next != std::string::npos) {
			size_t word = line.find(' ', next + 1);
			size_t e = line.find('=', next + 1);
			if (e != std::string::npos &&
			    (word == std::string::npos || e < word))
				break;
			next = word;
		}
		std::string value = line.substr(
		        eq + 1, next == std::string::npos ? std::string::npos
		                                          : next - eq - 1);
		uint64_t n;
		if (key == "archive_id" && parse_u64(value.c_str(), n))
			out.add_u64(key.c_str(), n);
		else
			out.add(key.c_str(), value);
		at = next == std::string::npos ? line.size() : next + 1;
	}
	return out.write();
}

int pcc_list(const std::vector<const char *> &ops, bool json)
{
	if (ops.empty())
		return missing_arguments();
	if (ops.size() != 1)
		return usage_error("list needs a mount");
	std::string text;
	int rc = read_areas(ops[0], text);
	if (rc != 0)
		return fail(rc, "cannot read the cache areas of '%s'",
		            escaped(ops[0]).c_str());
	if (!json) {
		out_write(text.data(), text.size());
		return 0;
	}
	first_failure status;
	for (size_t at = 0; at < text.size() && output_ok();) {
		size_t nl = text.find('\n', at);
		if (nl == std::string::npos)
			nl = text.size();
		if (nl > at)
			status.note(exit_status(
			        area_json(ops[0], text.substr(at, nl - at))));
		at = nl + 1;
	}
	return status.status();
}

int cmd_pcc(int argc, char **argv)
{
	bool json = take_json_flag(argc, argv);
	if (argc < 2)
		return missing_arguments();
	const char *sub = argv[1];
	argc--;
	argv++;
	if (strcmp(sub, "attach") == 0)
		return each_file(argc, argv, json, true, attach_one);
	if (strcmp(sub, "detach") == 0)
		return each_file(argc, argv, json, false, detach_one);
	if (strcmp(sub, "state") == 0)
		return each_file(argc, argv, json, false, state_one);
	bool config = strcmp(sub, "add") == 0 || strcmp(sub, "del") == 0 ||
	              strcmp(sub, "clear") == 0;
	if (!config && strcmp(sub, "list") != 0)
		return usage_error(
		        "the action is attach, detach, state, add, del, clear "
		        "or list");
	std::vector<const char *> ops;
	if (int bad = take_operands(argc, argv, ops, nullptr))
		return bad;
	return config ? pcc_config(sub, ops, json) : pcc_list(ops, json);
}

} // namespace

const zorvel_cmd pcc_cmd = {
        .name = "pcc",
        .run = cmd_pcc,
        .usage = "[--json] attach --id ID [--fid MOUNT] FILE... | detach|state "
                 "[--fid MOUNT] FILE... | add|del MOUNT ID | clear|list MOUNT",
        .help = "attach files to the client cache, detach them, "
                "show their state; configure the cache areas\n"
                "  with --fid MOUNT the operands are FIDs under MOUNT\n"
                "  state, a line per file: FILE: "
                "type=none, or FILE: type=readwrite\n"
                "    open_count=N flags=0xF path=COPY\n"
                "  list, a line per area: archive_id=ID root=DIR\n"
                "  --json keys: attach: file id; "
                "detach: file detached; state: file type\n"
                "    [open_count flags path]; add, "
                "del: mount action id; clear: mount\n"
                "    action; list: mount archive_id root",
};
