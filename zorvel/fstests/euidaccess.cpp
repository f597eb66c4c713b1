/* euidaccess: started as root, takes on the effective user and group
 * identity of a named user with that user's supplementary groups (the real
 * identity stays), then creates and writes a file. The identities and
 * group lists are printed before and after the switch. */
#include "fstest.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <unistd.h>

namespace
{

void print_ids(const char *when, const char *name)
{
	printf("%s %s ruid:rgid %d:%d, euid:egid %d:%d\n", when, name,
	       (int)getuid(), (int)getgid(), (int)geteuid(), (int)getegid());
}

void print_groups(const gid_t *groups, int count)
{
	printf("\tGroups ");
	for (int i = 0; i < count; i++) {
		errno = 0;
		struct group *gr = getgrgid(groups[i]);
		if (!gr)
			perror("getgrgid");
		printf("%6d - %s, ", (int)groups[i], gr ? gr->gr_name : "?");
	}
	printf("\n");
}

// Whether a failed user lookup failed, or only found nobody: the
// databases set ENOENT or ESRCH for a name they do not hold.
bool lookup_failed()
{
	return errno != 0 && errno != ENOENT && errno != ESRCH;
}

// A failure of the call just made: its errno, or 1 when it set none.
int failed(const char *label)
{
	int err = errno;
	perror(label);
	return err ? err : 1;
}

// The group list of user (primary group gid) from the group database,
// allocated here; count is the first guess of its size and receives it.
gid_t *group_list(const char *user, gid_t gid, int &count, const char *alloc,
                  const char *list, int &err)
{
	for (int tries = 0; tries < 2; tries++) {
		auto *groups = static_cast<gid_t *>(
		        malloc(sizeof(gid_t) * (count > 0 ? count : 1)));
		if (!groups) {
			err = failed(alloc);
			return nullptr;
		}
		int want = count;
		if (getgrouplist(user, gid, groups, &count) != -1)
			return groups;
		free(groups);
		// The database holds more than asked for: once more, with
		// the size it reported.
		if (count <= want)
			break;
	}
	err = failed(list);
	return nullptr;
}

int initial_groups(const char *name)
{
	int count = getgroups(0, nullptr);
	if (count <= 0)
		return 0;
	int err = 0;
	gid_t *groups =
	        group_list(name, getgid(), count, "groups", "groups list", err);
	if (!groups)
		return err;
	print_groups(groups, count);
	free(groups);
	return 0;
}

int switch_groups(const struct passwd *target)
{
	int count = 0;
	getgrouplist(target->pw_name, target->pw_gid, nullptr, &count);
	if (count == 0)
		return 0;
	int err = 0;
	gid_t *groups = group_list(target->pw_name, target->pw_gid, count,
	                           "switch_groups", "switch_groups list", err);
	if (!groups)
		return err;
	print_groups(groups, count);
	int rc = setgroups(count, groups);
	int saved = errno;
	free(groups);
	if (rc < 0) {
		errno = saved;
		return failed("setgroups");
	}
	return 0;
}

int final_groups()
{
	int count = getgroups(0, nullptr);
	auto *groups = static_cast<gid_t *>(
	        malloc(sizeof(gid_t) * (count > 0 ? count : 1)));
	if (!groups)
		return failed("final_groups");
	if (getgroups(count, groups) == -1) {
		int saved = errno;
		free(groups);
		errno = saved;
		return failed("final_groups list");
	}
	print_groups(groups, count);
	free(groups);
	return 0;
}

int write_file(const char *path)
{
	int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0666);
	if (fd < 0)
		return failed("open");
	if (write(fd, "test", 5) == -1) {
		int rc = failed("write");
		close(fd);
		return rc;
	}
	close(fd);
	printf("File %s successfully written\n", path);
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	fstest::hold_standard_streams();
	if (argc != 3) {
		fprintf(stderr,
		        "Usage: %s <user to switch euid to> <path to file to "
		        "access>\n",
		        argv[0]);
		return 1;
	}
	errno = 0;
	struct passwd *pw = getpwuid(getuid());
	if (!pw) {
		if (lookup_failed())
			return failed("getpwuid");
		fprintf(stderr, "Cannot find user in passwd db\n");
		return 1;
	}
	// The entry lives in a static buffer the next lookup reuses.
	std::string real_name(pw->pw_name);
	print_ids("Initially", real_name.c_str());
	if (int rc = initial_groups(real_name.c_str()))
		return rc;

	errno = 0;
	struct passwd *target = getpwnam(argv[1]);
	if (!target) {
		if (lookup_failed())
			return failed("getpwnam");
		fprintf(stderr, "Cannot find user %s in passwd db\n", argv[1]);
		return 1;
	}
	printf("To switch to effective %s uid:gid %d:%d\n", argv[1],
	       (int)target->pw_uid, (int)target->pw_gid);

	// Groups first, while the privilege to change them is still held;
	// the effective user last. The real ids never change.
	if (setegid(target->pw_gid) < 0)
		return failed("setegid");
	if (int rc = switch_groups(target))
		return rc;
	if (seteuid(target->pw_uid) < 0)
		return failed("seteuid");

	print_ids("Now", real_name.c_str());
	if (int rc = final_groups())
		return rc;
	return write_file(argv[2]);
}
