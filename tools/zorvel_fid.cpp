/* FID subcommands: path2fid, fid2path, path2parent, cat-fid. */
#include "zorvel_fid.h"
#include "zorvel_cmd.h"
#include "zorvel_output.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <span>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

/* Walking links stops here even if the kernel keeps answering. */
constexpr int max_links = 1 << 16;

std::string join(const std::string &root, const char *rel)
{
	if (strcmp(rel, "/") == 0)
		return root;
	std::string out = root;
	if (out.empty() || out.back() != '/')
		out += '/';
	out += rel[0] == '/' ? rel + 1 : rel;
	return out;
}

/* The mount the FID operands are under: as named on the command line, its
 * root path and a descriptor of it. */
struct mount_root {
	const char *named;
	std::string path;
	int fd = -1;
};

/* Prints every hard link of one FID; the exit status. */
int print_links(const mount_root &root, const char *fidstr, bool json)
{
	struct zo_fid fid;
	int rc = parse_fid(fidstr, &fid);
	if (rc != 0)
		return rc;
	int linkno = 0;
	long long recno = -1;
	for (int n = 0; n < max_links && output_ok(); n++) {
		char path[PATH_MAX];
		int old = linkno;
		rc = zvapi_fid2path_at(root.fd, &fid, path, sizeof(path),
		                       &recno, &linkno);
		if (rc == 0 && path[0] == '\0')
			rc = -ENOENT;
		if (rc != 0)
			return fail(rc, "cannot find a path of %s in '%s'",
			            escaped(fidstr).c_str(),
			            escaped(root.named).c_str());
		std::string full = join(root.path, path);
		rc = print_answer(
		        json, json_line().add("fid", fidstr).add("path", full),
		        escaped(fidstr) + ": " + escaped(full.c_str()) + "\n");
		if (rc != 0)
			return rc;
		if (linkno <= old)
			break;
	}
	return 0;
}

/* The parent and entry name of a symbolic link, which cannot be opened
 * for the request: its directory and its last component. */
int link_parent(const char *path, zo_fid *parent, std::string &name)
{
	std::string p = path;
	while (p.size() > 1 && p.back() == '/')
		p.pop_back();
	size_t slash = p.rfind('/');
	std::string dir = slash == std::string::npos ? "."
	                  : slash == 0               ? "/"
	                                             : p.substr(0, slash);
	name = slash == std::string::npos ? p : p.substr(slash + 1);
	/* the directory itself, through any links on the way */
	int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0)
		return -errno;
	int rc = zvapi_fd2fid(fd, parent);
	close(fd);
	return rc;
}

bool is_symlink(const char *path)
{
	struct stat st;
	return lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

int parents_of(const char *path, bool json)
{
	for (unsigned int linkno = 0; linkno < max_links && output_ok();
	     linkno++) {
		struct zo_fid parent;
		char buf[NAME_MAX + 1];
		std::string name;
		int rc;
		if (is_symlink(path)) {
			if (linkno > 0)
				break;
			rc = link_parent(path, &parent, name);
		} else {
			rc = zvapi_path2parent(path, linkno, &parent, buf,
			                       sizeof(buf));
			if (rc == -ENODATA && linkno > 0)
				break;
			name = buf;
		}
		if (rc < 0)
			return fail_path(rc, "get the parent of", path);
		std::string fid = fid_text(parent);
		rc = print_answer(json,
		                  json_line()
		                          .add("path", path)
		                          .add("parent", fid)
		                          .add("name", name),
		                  escaped(path) + ": " + fid + "/" +
		                          escaped(name.c_str()) + "\n");
		if (rc != 0)
			return rc;
	}
	return 0;
}

/* Copies one file, opened by FID, to standard output; the exit status. */
int cat_one(const mount_root &root, const char *fidstr, bool json)
{
	struct zo_fid fid;
	int rc = parse_fid(fidstr, &fid);
	if (rc != 0)
		return rc;
	/* Without blocking: a FIFO must not hang the command. */
	int fd = zvapi_open_by_fid(root.path.c_str(), &fid,
	                           O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return fail(fd, "cannot open %s in '%s'",
		            escaped(fidstr).c_str(),
		            escaped(root.path.c_str()).c_str());
	struct stat st;
	rc = fstat(fd, &st) != 0    ? -errno
	     : S_ISDIR(st.st_mode)  ? -EISDIR
	     : !S_ISREG(st.st_mode) ? -EINVAL
	                            : 0;
	if (rc != 0) {
		close(fd);
		return fail(rc, "cannot read %s%s", escaped(fidstr).c_str(),
		            rc == -EINVAL ? ", which is no regular file" : "");
	}
	int flags = fcntl(fd, F_GETFL);
	fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
	static char buf[65536];
	ssize_t n;
	uint64_t at = 0;
	rc = 0;
	while (rc == 0 && (n = read(fd, buf, sizeof(buf))) > 0) {
		if (json)
			rc = exit_status(json_line()
			                         .add("fid", fidstr)
			                         .add_u64("offset", at)
			                         .add_u64("length", n)
			                         .add("hex", hex(buf, n))
			                         .write());
		else if (!out_write(buf, n))
			break; /* told once, at the end */
		at += n;
	}
	if (rc == 0 && n < 0) {
		int err = errno;
		rc = fail(err, "cannot read %s", escaped(fidstr).c_str());
	}
	close(fd);
	return rc;
}

} // namespace

std::string fid_text(const zo_fid &fid)
{
	char text[64];
	snprintf(text, sizeof text, ZO_FID_FMT, ZO_FID_ARGS(&fid));
	return text;
}

int parse_fid(const char *text, zo_fid *fid)
{
	char *end = nullptr;
	int rc = zvapi_fid_parse(text, fid, &end);
	if (rc == 0 && end != nullptr && *end != '\0')
		rc = -EINVAL;
	if (rc == 0 && fid->f_seq == 0 && fid->f_oid == 0)
		rc = -EINVAL; /* no object has the zero FID */
	if (rc == 0)
		return 0;
	fail(0, "bad FID '%s'%s, should be [seq:oid:ver] (e.g. " ZO_FID_FMT ")",
	     escaped(text).c_str(), rc == -ERANGE ? " (out of range)" : "",
	     (unsigned long long)FID_SEQ_NORMAL, 2U, 0U);
	return exit_status(rc);
}

int open_root(const char *mount_or_fsname, std::string *root, int *root_fd)
{
	char buf[PATH_MAX];
	int rc = mount_or_fsname[0] == '/'
	                 ? zvapi_search_mounts(mount_or_fsname, 0, buf, nullptr)
	                 : zvapi_search_rootpath(buf, mount_or_fsname);
	if (rc == 0) {
		*root = buf;
		*root_fd = open(buf, O_RDONLY | O_DIRECTORY | O_NONBLOCK |
		                             O_CLOEXEC);
		rc = *root_fd < 0 ? -errno : 0;
	}
	if (rc != 0)
		return fail(rc, "'%s' is no zorvel mount or file-system name",
		            escaped(mount_or_fsname).c_str());
	return 0;
}

namespace
{

int path2fid_one(const char *path, bool json)
{
	struct zo_fid fid;
	int rc = zvapi_path2fid(path, &fid);
	if (rc != 0)
		return fail_path(rc, "get the FID of", path);
	std::string text = fid_text(fid);
	return print_answer(json,
	                    json_line().add("path", path).add("fid", text),
	                    escaped(path) + ": " + text + "\n");
}

int cmd_path2fid(int argc, char **argv)
{
	return operand_command(argc, argv, lost_output::stop, path2fid_one);
}

/* MOUNT|FSNAME FID...: each FID answered alone by one(root, fid, json),
 * with one root descriptor for them all. */
template <typename One>
int each_fid(int argc, char **argv, One &&one)
{
	std::vector<const char *> ops;
	bool json = false;
	if (int bad = take_operands(argc, argv, ops, &json, 2))
		return bad;
	mount_root root{.named = ops[0], .path = {}, .fd = -1};
	if (int rc = open_root(ops[0], &root.path, &root.fd))
		return rc;
	int status = each_operand(
	        std::span(ops).subspan(1), lost_output::stop,
	        [&](const char *fid) { return one(root, fid, json); });
	close(root.fd);
	return status;
}

int cmd_fid2path(int argc, char **argv)
{
	return each_fid(argc, argv, print_links);
}

int cmd_path2parent(int argc, char **argv)
{
	return operand_command(argc, argv, lost_output::go_on, parents_of);
}

int cmd_cat_fid(int argc, char **argv)
{
	return each_fid(argc, argv, cat_one);
}

} // namespace

const zorvel_cmd path2fid_cmd = {
        .name = "path2fid",
        .run = cmd_path2fid,
        .usage = "[--json] PATH...",
        .help = "print the FID of each path (a symbolic link's own)\n"
                "  a line per path: PATH: FID\n"
                "  --json keys: path fid",
};

const zorvel_cmd fid2path_cmd = {
        .name = "fid2path",
        .run = cmd_fid2path,
        .usage = "[--json] MOUNT|FSNAME FID...",
        .help = "print every path (hard link) of each FID\n"
                "  a line per link: FID: PATH (the "
                "root's FID: the mount itself)\n"
                "  --json keys, a line per link: fid path",
};

const zorvel_cmd path2parent_cmd = {
        .name = "path2parent",
        .run = cmd_path2parent,
        .usage = "[--json] PATH...",
        .help = "print the parent FID and entry "
                "name of each link of each path\n"
                "  a line per link: PATH: PARENT-FID/NAME\n"
                "  --json keys, a line per link: path parent name",
};

const zorvel_cmd cat_fid_cmd = {
        .name = "cat-fid",
        .run = cmd_cat_fid,
        .usage = "[--json] MOUNT|FSNAME FID...",
        .help = "write the content of each regular file, opened by its FID\n"
                "  --json keys, a line per 64 KiB read: fid offset length hex",
};
