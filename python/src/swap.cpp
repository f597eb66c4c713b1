/* Data versions, volatile files, layout swaps and group locks. */
#include "convert.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>

namespace zvpy
{

namespace
{

uint64_t data_version(py::handle file, py::handle flags_arg)
{
	uint64_t flags = u64_of(flags_arg, "flags", UINT32_MAX);
	file_arg f(file, O_RDONLY);
	uint64_t dv = 0;
	int rc = without_gil(
	        [&] { return zvapi_get_data_version(f.fd(), &dv, flags); });
	if (rc != 0)
		raise_os_error(rc, f.given());
	return dv;
}

int create_volatile(py::handle dir_arg, py::handle mdt_arg,
                    py::handle flags_arg, py::handle mode_arg)
{
	fs_path dir = path_of(dir_arg);
	int mdt = int(i64_of(mdt_arg, "mdt_index", -1, 0xFFFF));
	int flags = int(i64_of(flags_arg, "flags", INT_MIN, INT_MAX));
	mode_t mode = mode_t(u64_of(mode_arg, "mode", 07777));
	int fd = without_gil([&] {
		return zvapi_create_volatile_param(
		        dir.c_str(), mdt, flags | O_CLOEXEC, mode, nullptr);
	});
	if (fd < 0)
		raise_os_error(fd, dir.given);
	return fd;
}

/* The two files are descriptors or paths, opened for writing for the
 * call; check_dv is (dv1, dv2), None for a version not checked. */
void swap_layouts(py::handle a, py::handle b, py::handle flags_arg,
                  py::handle check_dv)
{
	uint64_t flags = u64_of(flags_arg, "flags");
	uint64_t dv[2] = {0, 0};
	if (!check_dv.is_none()) {
		if (!PySequence_Check(check_dv.ptr()) ||
		    PySequence_Size(check_dv.ptr()) != 2)
			throw py::type_error("check_dv must be a pair "
			                     "(dv1, dv2), None for either");
		auto pair = py::reinterpret_borrow<py::sequence>(check_dv);
		const uint64_t check[2] = {ZV_SWAP_CHECK_DV1,
		                           ZV_SWAP_CHECK_DV2};
		for (int i = 0; i < 2; i++) {
			py::object v = pair[i];
			if (v.is_none())
				continue;
			dv[i] = u64_of(v, "check_dv");
			flags |= check[i];
		}
	}
	file_arg fa(a, O_WRONLY), fb(b, O_WRONLY);
	int rc = without_gil([&] {
		return zvapi_fswap_layouts(fa.fd(), fb.fd(), dv[0], dv[1],
		                           flags);
	});
	if (rc != 0)
		raise_os_error(rc, fa.given(), fb.given());
}

class GroupLock
{
      public:
	GroupLock(py::handle file, py::handle gid)
	    : file_(py::reinterpret_borrow<py::object>(file)), fd_(fd_of(file)),
	      gid_(u64_of(gid, "gid"))
	{
		if (gid_ == 0)
			throw py::value_error("gid out of range");
	}
	void lock()
	{
		if (held_)
			throw std::runtime_error("group lock already held");
		int rc = without_gil(
		        [&] { return zvapi_group_lock64(fd_, gid_); });
		if (rc < 0)
			raise_os_error(rc, file_);
		held_ = true;
	}
	void unlock()
	{
		if (!held_)
			return;
		int rc = without_gil(
		        [&] { return zvapi_group_unlock64(fd_, gid_); });
		held_ = false;
		if (rc < 0)
			raise_os_error(rc, file_);
	}
	bool held() const
	{
		return held_;
	}
	uint64_t gid() const
	{
		return gid_;
	}

      private:
	py::object file_;
	int fd_;
	uint64_t gid_;
	bool held_ = false;
};

} // namespace

void bind_swap(py::module_ &m)
{
	m.attr("SWAP_CHECK_DV1") = ZV_SWAP_CHECK_DV1;
	m.attr("SWAP_CHECK_DV2") = ZV_SWAP_CHECK_DV2;
	m.attr("SWAP_KEEP_MTIME") = ZV_SWAP_KEEP_MTIME;
	m.attr("SWAP_KEEP_ATIME") = ZV_SWAP_KEEP_ATIME;

	m.def("data_version", &data_version, py::arg("file"),
	      py::arg("flags") = 0,
	      "data_version(file, flags=0) -> int\n\nThe data version of file "
	      "(a path, or a descriptor open on it): it changes whenever the "
	      "data does. flags are the kernel's request flags (32 bits).");
	m.def("create_volatile", &create_volatile, py::arg("dir"),
	      py::arg("mdt_index") = -1, py::arg("flags") = O_RDWR,
	      py::arg("mode") = 0600,
	      "create_volatile(dir, mdt_index=-1, flags=os.O_RDWR, mode=0o600) "
	      "-> int\n\nCreates a file in directory dir that has no name "
	      "(it goes with its last descriptor) and returns its descriptor, "
	      "not inheritable, which the caller closes. mdt_index: the "
	      "metadata target to create it on, -1 for any.");
	m.def("swap_layouts", &swap_layouts, py::arg("file1"), py::arg("file2"),
	      py::arg("flags") = 0, py::arg("check_dv") = py::none(),
	      "swap_layouts(file1, file2, flags=0, check_dv=None) -> None\n\n"
	      "Exchanges the data (layouts) of two files (paths or descriptors "
	      "open for writing), each keeping its FID and names. flags: "
	      "SWAP_KEEP_MTIME, SWAP_KEEP_ATIME (each file keeps that time of "
	      "its own). check_dv=(dv1, dv2): swap only if the files' data "
	      "versions are still these (None: not checked), else "
	      "BlockingIOError (EAGAIN).");

	py::class_<GroupLock>(m, "GroupLock", R"(GroupLock(fd, gid)

Group lock gid (1 to 2**64-1) on the file open on fd (an int or an object
with fileno()), as a context manager: taken on entry (waiting, without the
GIL, while another id holds the file; Ctrl-C stops the wait), released on
exit. Holders of the same id share the lock.)")
	        .def(py::init<py::handle, py::handle>(), py::arg("fd"),
	             py::arg("gid"))
	        .def("lock", &GroupLock::lock,
	             "lock() -> None\n\nTakes the lock.")
	        .def("unlock", &GroupLock::unlock,
	             "unlock() -> None\n\nReleases the lock (nothing when it "
	             "is not held).")
	        .def_property_readonly("held", &GroupLock::held,
	                               "True while the lock is held.")
	        .def_property_readonly("gid", &GroupLock::gid,
	                               "The group lock id.")
	        .def("__enter__",
	             [](py::object self) {
		             self.cast<GroupLock &>().lock();
		             return self;
	             })
	        .def("__exit__", [](GroupLock &l, py::args) {
		        l.unlock();
		        return false;
	        });
}

} // namespace zvpy
