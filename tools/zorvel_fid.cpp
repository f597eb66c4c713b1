/* FID subcommands: path2fid, fid2path, path2parent, cat-fid. */
#include "zorvel_cmd.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace
{

/* Walking links stops here even if the kernel keeps answering. */
constexpr int max_links = 1 << 16;

int usage_of(const char *name)
{
	return usage_error(name, "missing arguments");
}

/* The mount point that paths of fid2path are joined to, and an open
 * descriptor of it that the links are asked for on. */
int root_of(const char *mount_or_fsname, std::string *root, int *root_fd)
{
	char buf[PATH_MAX];
	int rc = mount_or_fsname[0] == '/'
	                 ? zvapi_search_mounts(mount_or_fsname, 0, buf, nullptr)
	                 : zvapi_search_rootpath(buf, mount_or_fsname);
	if (rc != 0)
		return rc;
	*root = buf;
	*root_fd = open(buf, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
	return *root_fd < 0 ? -errno : 0;
}

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

/* Prints every hard link of one FID; 0 or a negative errno. */
int print_links(int root_fd, const char *mount, const std::string &root,
                const char *fidstr, bool prefix)
{
	struct zo_fid fid;
	int rc = zvapi_fid_parse(fidstr, &fid, nullptr);
	if (rc != 0) {
		zvapi_error(ZVAPI_MSG_ERROR | ZVAPI_MSG_NO_ERRNO, 0,
		            "bad FID format '%s', should be [seq:oid:ver] "
		            "(e.g. " ZO_FID_FMT ")",
		            fidstr, (unsigned long long)FID_SEQ_NORMAL, 2U, 0U);
		return rc;
	}
	int linkno = 0;
	long long recno = -1;
	for (int n = 0; n < max_links; n++) {
		char path[PATH_MAX];
		int old = linkno;
		rc = zvapi_fid2path_at(root_fd, &fid, path, sizeof(path),
		                       &recno, &linkno);
		if (rc != 0) {
			zvapi_error(ZVAPI_MSG_ERROR, rc,
			            "cannot find a path of %s in '%s'", fidstr,
			            mount);
			return rc;
		}
		std::string full = join(root, path);
		if (prefix)
			printf("%s: %s\n", fidstr, full.c_str());
		else
			printf("%s\n", full.c_str());
		if (linkno <= old)
			break;
	}
	return 0;
}

} // namespace

int cmd_path2fid(int argc, char **argv)
{
	if (argc < 2)
		return usage_of(argv[0]);
	int status = 0;
	for (int i = 1; i < argc; i++) {
		struct zo_fid fid;
		int rc = zvapi_path2fid(argv[i], &fid);
		if (rc != 0) {
			zvapi_error(ZVAPI_MSG_ERROR, rc,
			            "cannot get FID of '%s'", argv[i]);
			if (status == 0)
				status = exit_status(rc);
			continue;
		}
		if (argc > 2)
			printf("%s: ", argv[i]);
		printf(ZO_FID_FMT "\n", ZO_FID_ARGS(&fid));
	}
	return status;
}

int cmd_fid2path(int argc, char **argv)
{
	if (argc < 3)
		return usage_of(argv[0]);
	const char *mount = argv[1];
	std::string root;
	int root_fd = -1;
	int rc = root_of(mount, &root, &root_fd);
	if (rc != 0) {
		zvapi_error(ZVAPI_MSG_ERROR, rc, "'%s' is not a zorvel mount",
		            mount);
		return exit_status(rc);
	}
	/* One root descriptor for every link of every FID. */
	int status = 0;
	for (int i = 2; i < argc; i++) {
		rc = print_links(root_fd, mount, root, argv[i], argc > 3);
		if (rc != 0 && status == 0)
			status = exit_status(rc);
	}
	close(root_fd);
	return status;
}

int cmd_path2parent(int argc, char **argv)
{
	if (argc < 2)
		return usage_of(argv[0]);
	int status = 0;
	for (int i = 1; i < argc; i++) {
		for (unsigned int linkno = 0; linkno < max_links; linkno++) {
			struct zo_fid parent;
			char name[NAME_MAX + 1];
			int rc = zvapi_path2parent(argv[i], linkno, &parent,
			                           name, sizeof(name));
			if (rc == -ENODATA && linkno > 0)
				break;
			if (rc < 0) {
				zvapi_error(ZVAPI_MSG_ERROR, rc,
				            "cannot get parent of '%s'",
				            argv[i]);
				if (status == 0)
					status = exit_status(rc);
				break;
			}
			if (argc > 2)
				printf("%s: ", argv[i]);
			printf(ZO_FID_FMT "/%s\n", ZO_FID_ARGS(&parent), name);
		}
	}
	return status;
}

int cmd_cat_fid(int argc, char **argv)
{
	if (argc < 3)
		return usage_of(argv[0]);
	int status = 0;
	for (int i = 2; i < argc; i++) {
		struct zo_fid fid;
		int rc = zvapi_fid_parse(argv[i], &fid, nullptr);
		int fd = rc == 0 ? zvapi_open_by_fid(argv[1], &fid, O_RDONLY)
		                 : rc;
		if (fd < 0) {
			zvapi_error(ZVAPI_MSG_ERROR, fd,
			            "cannot open %s in '%s'", argv[i], argv[1]);
			if (status == 0)
				status = exit_status(fd);
			continue;
		}
		char buf[65536];
		ssize_t n;
		while ((n = read(fd, buf, sizeof(buf))) > 0)
			if (fwrite(buf, 1, n, stdout) != (size_t)n)
				break;
		if (n < 0 && status == 0) {
			zvapi_error(ZVAPI_MSG_ERROR, -errno,
			            "cannot read %s in '%s'", argv[i], argv[1]);
			status = exit_status(-errno);
		}
		close(fd);
	}
	fflush(stdout);
	return status;
}
