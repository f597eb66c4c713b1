/* File identifiers: the translations between FIDs, descriptors and
 * paths. */
#include "convert.h"

#include <pybind11/stl.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <tuple>
#include <vector>

namespace zvpy
{

namespace
{

py::object path2fid(py::handle path_arg)
{
	fs_path path = path_of(path_arg);
	zo_fid fid{};
	int rc =
	        without_gil([&] { return zvapi_path2fid(path.c_str(), &fid); });
	if (rc != 0)
		raise_os_error(rc, path.given);
	return fid_object(fid);
}

py::object fd2fid(py::handle fd_arg)
{
	int fd = fd_of(fd_arg);
	zo_fid fid{};
	int rc = without_gil([&] { return zvapi_fd2fid(fd, &fid); });
	if (rc != 0)
		raise_os_error(rc, fd_arg);
	return fid_object(fid);
}

py::tuple path2parent(py::handle path_arg, py::handle linkno_arg)
{
	fs_path path = path_of(path_arg);
	unsigned linkno = unsigned(u64_of(linkno_arg, "linkno", UINT_MAX));
	zo_fid parent{};
	char name[PATH_MAX];
	int rc = without_gil([&] {
		return zvapi_path2parent(path.c_str(), linkno, &parent, name,
		                         sizeof name);
	});
	if (rc != 0)
		raise_os_error(rc, path.given);
	return py::make_tuple(fid_object(parent), decode(name, strlen(name)));
}

/* Every link of fid: the library answers one at a time and moves linkno
 * on while another follows. A path too long for a page gets the largest
 * buffer the request takes. */
py::list fid2path(py::handle mount_arg, py::handle fid_arg)
{
	fs_path mount = path_of(mount_arg);
	zo_fid fid = fid_of(fid_arg);
	std::string text = fid_text(fid);
	std::vector<std::string> links;
	int rc = without_gil([&] {
		std::vector<char> buf(PATH_MAX);
		long long recno = -1;
		int linkno = 0;
		for (;;) {
			int old = linkno;
			int rc = zvapi_fid2path(mount.c_str(), text.c_str(),
			                        buf.data(), int(buf.size()),
			                        &recno, &linkno);
			if ((rc == -ERANGE || rc == -EOVERFLOW) &&
			    buf.size() == PATH_MAX) {
				buf.resize(65536);
				linkno = old;
				continue;
			}
			if (rc != 0)
				return rc;
			links.emplace_back(buf.data());
			if (linkno == old || links.size() > 65536)
				return 0;
		}
	});
	if (rc != 0)
		raise_os_error(rc, mount.given, py::str(text));
	py::list out;
	for (const std::string &link : links)
		out.append(decode(link));
	return out;
}

int open_by_fid(py::handle mount_arg, py::handle fid_arg, py::handle flags_arg)
{
	fs_path mount = path_of(mount_arg);
	zo_fid fid = fid_of(fid_arg);
	int flags = int(i64_of(flags_arg, "flags", INT_MIN, INT_MAX));
	int fd = without_gil([&] {
		return zvapi_open_by_fid(mount.c_str(), &fid,
		                         flags | O_CLOEXEC);
	});
	if (fd < 0)
		raise_os_error(fd, mount.given, py::str(fid_text(fid)));
	return fd;
}

/* At most this many FIDs go in one request. */
constexpr size_t rmfid_batch = 4096;

/* One request: fills results with 0 for each FID removed and its errno for
 * each that stays; a request the kernel refused as a whole is its error. */
int rmfid_batch_of(const std::string &mount, const zo_fid *fids, size_t n,
                   int *results)
{
	size_t size = sizeof(fid_array) + n * sizeof(zo_fid);
	auto *fa = static_cast<fid_array *>(calloc(1, size));
	if (fa == nullptr)
		return -ENOMEM;
	fa->fa_nr = uint32_t(n);
	memcpy(fa->fa_fids, fids, n * sizeof(zo_fid));
	int rc = zvapi_rmfid(mount.c_str(), fa);
	bool answered = rc == 0;
	for (size_t i = 0; !answered && i < n; i++)
		answered = memcmp(&fa->fa_fids[i], &fids[i], sizeof(zo_fid));
	if (answered) {
		static const zo_fid zero{};
		for (size_t i = 0; i < n; i++) {
			const zo_fid &f = fa->fa_fids[i];
			if (rc == 0 || memcmp(&f, &zero, sizeof f) == 0)
				results[i] = 0;
			else
				results[i] = f.f_ver ? int(f.f_ver) : -rc;
		}
		rc = 0;
	}
	free(fa);
	return rc;
}

py::list rmfid(py::handle mount_arg, py::iterable fids_arg)
{
	fs_path mount = path_of(mount_arg);
	std::vector<zo_fid> fids;
	for (py::handle f : fids_arg)
		fids.push_back(fid_of(f));
	std::vector<int> results(fids.size());
	int rc = without_gil([&] {
		for (size_t at = 0; at < fids.size(); at += rmfid_batch) {
			size_t n = std::min(rmfid_batch, fids.size() - at);
			int rc = rmfid_batch_of(mount.bytes, &fids[at], n,
			                        &results[at]);
			if (rc != 0)
				return rc;
		}
		return 0;
	});
	if (rc != 0)
		raise_os_error(rc, mount.given);
	return py::cast(results);
}

} // namespace

void bind_fid(py::module_ &m)
{
	bind_fid_type(m);
	m.def("path2fid", &path2fid, py::arg("path"),
	      "path2fid(path) -> Fid\n\nThe FID of path itself (a symbolic "
	      "link's own).");
	m.def("fd2fid", &fd2fid, py::arg("fd"),
	      "fd2fid(fd) -> Fid\n\nThe FID of the file open on fd (an int or "
	      "an object with fileno()).");
	m.def("path2parent", &path2parent, py::arg("path"),
	      py::arg("linkno") = 0,
	      "path2parent(path, linkno=0) -> (Fid, str)\n\nThe parent "
	      "directory's FID and the entry name of hard link linkno of "
	      "path.");
	m.def("fid2path", &fid2path, py::arg("mount"), py::arg("fid"),
	      "fid2path(mount, fid) -> list[str]\n\nEvery path (hard link) of "
	      "fid, relative to the root of the file system mounted at mount "
	      "(a path in it, or the file-system name); the root itself is "
	      "'/'.");
	m.def("open_by_fid", &open_by_fid, py::arg("mount"), py::arg("fid"),
	      py::arg("flags") = O_RDONLY,
	      "open_by_fid(mount, fid, flags=os.O_RDONLY) -> int\n\nOpens the "
	      "object fid of the file system holding mount with open flags; "
	      "returns a new descriptor, not inheritable (as os.open()), that "
	      "the caller closes.");
	m.def("rmfid", &rmfid, py::arg("mount"), py::arg("fids"),
	      "rmfid(mount, fids) -> list[int]\n\nRemoves the objects of fids "
	      "(every hard link) from the file system of mount (a path in it "
	      "or its name). Returns each FID's result in order: 0 when "
	      "removed, else the errno that kept it (ENOENT, EISDIR, "
	      "EBUSY...). "
	      "OSError when the request as a whole fails.");
}

} // namespace zvpy
