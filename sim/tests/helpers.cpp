#include "helpers.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zvtest
{

std::string fid_text(const zo_fid &fid)
{
	char buf[ZO_FID_FMT_LEN];
	snprintf(buf, sizeof buf, ZO_FID_FMT, ZO_FID_ARGS(&fid));
	return buf;
}

bool same_fid(const zo_fid &a, const zo_fid &b)
{
	return a.f_seq == b.f_seq && a.f_oid == b.f_oid && a.f_ver == b.f_ver;
}

void Sim::SetUp()
{
	fds_before_ = open_fd_count();
	sim_fixture::SetUp();
}

void Sim::TearDown()
{
	sim_fixture::TearDown();
	// No request path may leave a descriptor behind.
	EXPECT_EQ(open_fd_count(), fds_before_);
}

void Sim::resetup(int mdts, int osts)
{
	zvsim_teardown();
	remove_tree(state());
	ASSERT_EQ(zvsim_setup_ex(state().c_str(), "demo", mdts, osts), 0);
	ASSERT_EQ(zvsim_log_enable(1), 0);
}

std::string Sim::mnt(const std::string &rel) const
{
	std::string m = zvsim_mount_path();
	return rel.empty() ? m : m + "/" + rel;
}

zo_fid Sim::fid(const std::string &path, bool follow)
{
	file_handle_room h;
	int rc = h.take(AT_FDCWD, path.c_str(), follow ? AT_SYMLINK_FOLLOW : 0);
	EXPECT_EQ(rc, 0) << path << ": " << strerror(errno);
	EXPECT_EQ(h.fh.handle_type, FILEID_ZORVEL);
	EXPECT_EQ(h.fh.handle_bytes, sizeof(struct zorvel_file_handle));
	return rc == 0 ? h.as<zo_fid>() : zo_fid{};
}

Res Sim::fid2path(const zo_fid &fid, unsigned &linkno, std::string &path,
                  unsigned pathlen, unsigned long long recno,
                  unsigned long long *recno_out)
{
	std::vector<char> buf(sizeof(getinfo_fid2path) + pathlen + 8, '\x7f');
	auto *gf = reinterpret_cast<getinfo_fid2path *>(buf.data());
	gf->gf_fid = fid;
	gf->gf_recno = recno;
	gf->gf_linkno = linkno;
	gf->gf_pathlen = pathlen;
	int dir = open(mnt().c_str(), O_RDONLY | O_DIRECTORY);
	Res r{ioctl(dir, ZV_IOC_FID2PATH, gf), errno};
	close(dir);
	// Nothing written past the path area.
	EXPECT_EQ(buf[sizeof(getinfo_fid2path) + pathlen], '\x7f');
	if (r.rc == 0) {
		path = gf->gf_u.gf_path;
		linkno = gf->gf_linkno;
	}
	if (recno_out)
		*recno_out = gf->gf_recno;
	return r;
}

Res Sim::getparent(const std::string &path, unsigned linkno, zo_fid &parent,
                   std::string &name, unsigned name_size)
{
	std::vector<char> buf(sizeof(struct getparent) + name_size, 0);
	auto *gp = reinterpret_cast<struct getparent *>(buf.data());
	gp->gp_linkno = linkno;
	gp->gp_name_size = name_size;
	int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
	EXPECT_GE(fd, 0) << path;
	Res r{ioctl(fd, ZV_IOC_GETPARENT, gp), errno};
	close(fd);
	if (r.rc == 0) {
		parent = gp->gp_fid;
		name = gp->gp_name;
	}
	return r;
}

Res Sim::fid2mdtidx(const zo_fid &fid)
{
	zo_fid copy = fid;
	int dir = open(mnt().c_str(), O_RDONLY | O_DIRECTORY);
	Res r{ioctl(dir, ZV_IOC_FID2MDTIDX, &copy), errno};
	close(dir);
	return r;
}

std::vector<std::string> Sim::all_links(const zo_fid &f)
{
	std::vector<std::string> links;
	unsigned linkno = 0;
	for (int guard = 0; guard < 100; ++guard) {
		unsigned asked = linkno;
		std::string path;
		Res r = fid2path(f, linkno, path);
		if (r.rc != 0) {
			ADD_FAILURE() << "FID2PATH: " << strerror(r.err);
			break;
		}
		links.push_back(path);
		if (linkno == asked)
			break;
		EXPECT_EQ(linkno, asked + 1);
	}
	return links;
}

} // namespace zvtest
