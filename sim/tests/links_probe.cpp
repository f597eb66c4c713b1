// A plain program for the link-index tests, run in child processes under
// zvsim run (it sees the simulator only when preloaded):
//   zvsim_links links FID            every link of FID, one a line, or
//                                    "error <errno name>"
//   zvsim_links churn DIR SEED N     N random namespace changes under DIR,
//                                    with lookups of what they touch
#include "churn.h"
#include "zvtest/file_handle.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <linux/zorvel/zorvel_fid.h>

namespace
{

// Every link of fid through FID2PATH, or -errno.
int links_of(const zo_fid &fid, std::vector<std::string> &out)
{
	const char *mnt = getenv("ZVSIM_MOUNT");
	int dir = mnt ? open(mnt, O_RDONLY | O_DIRECTORY) : -1;
	if (dir < 0)
		return -ENOENT;
	std::vector<char> buf(sizeof(getinfo_fid2path) + 4096);
	auto *gf = reinterpret_cast<getinfo_fid2path *>(buf.data());
	int rc = 0;
	for (unsigned linkno = 0, guard = 0; guard < 1000; ++guard) {
		*gf = {};
		gf->gf_fid = fid;
		gf->gf_linkno = linkno;
		gf->gf_pathlen = 4096;
		if (ioctl(dir, ZV_IOC_FID2PATH, gf) < 0) {
			rc = -errno;
			break;
		}
		out.emplace_back(gf->gf_u.gf_path);
		if (gf->gf_linkno == linkno)
			break;
		linkno = gf->gf_linkno;
	}
	close(dir);
	return rc;
}

int print_links(const char *text)
{
	zo_fid fid{};
	unsigned long long seq;
	unsigned oid, ver;
	if (sscanf(text, "[%llx:%x:%x]", &seq, &oid, &ver) != 3)
		return 1;
	fid = {seq, oid, ver};
	std::vector<std::string> links;
	int rc = links_of(fid, links);
	if (rc < 0) {
		printf("error %s\n", strerrorname_np(-rc));
		return 2;
	}
	for (const auto &l : links)
		printf("%s\n", l.c_str());
	return 0;
}

bool fid_of(const std::string &path, zo_fid &fid)
{
	zvtest::file_handle_room h;
	if (h.take(AT_FDCWD, path.c_str()) < 0)
		return false;
	fid = h.as<zo_fid>();
	return true;
}

int churn(const std::string &dir, unsigned seed, long n)
{
	for (long i = 0; i < n; ++i) {
		std::string p = zvtest::churn_path(dir, seed);
		std::string q = zvtest::churn_path(dir, seed);
		zo_fid fid;
		std::vector<std::string> links;
		if (!zvtest::churn_change(p, q, seed, false) && fid_of(p, fid))
			links_of(fid, links);
	}
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc == 3 && strcmp(argv[1], "links") == 0)
		return print_links(argv[2]);
	if (argc == 5 && strcmp(argv[1], "churn") == 0)
		return churn(argv[2], static_cast<unsigned>(atoi(argv[3])),
		             atol(argv[4]));
	fprintf(stderr, "usage: %s links FID | churn DIR SEED N\n", argv[0]);
	return 1;
}
