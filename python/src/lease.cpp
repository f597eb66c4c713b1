/* Leases and the persistent client cache, which attaches files through a
 * lease. */
#include "convert.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>

namespace zvpy
{

namespace
{

class Lease
{
      public:
	Lease(py::handle file, py::handle mode)
	    : file_(py::reinterpret_borrow<py::object>(file)), fd_(fd_of(file)),
	      mode_(int(u64_of(mode, "mode", 4)))
	{
		if (mode_ != ZV_LEASE_RDLCK && mode_ != ZV_LEASE_WRLCK)
			throw py::value_error("mode must be LeaseMode.READ or "
			                      "LeaseMode.WRITE");
	}
	void acquire()
	{
		int rc = without_gil([&] {
			return zvapi_lease_acquire(fd_, zv_lease_mode(mode_));
		});
		if (rc < 0)
			raise_os_error(rc, file_);
		held_ = true;
	}
	/* The mode still held when given back, 0 when the kernel had broken
	 * the lease meanwhile. */
	int release()
	{
		int rc = without_gil([&] { return zvapi_lease_release(fd_); });
		held_ = false;
		if (rc < 0)
			raise_os_error(rc, file_);
		released_ = rc;
		return rc;
	}
	int check()
	{
		int rc = without_gil([&] { return zvapi_lease_check(fd_); });
		if (rc < 0)
			raise_os_error(rc, file_);
		return rc;
	}
	bool held() const
	{
		return held_;
	}
	py::object broken() const
	{
		if (released_ < 0)
			return py::none();
		return py::bool_(released_ == 0);
	}
	int mode() const
	{
		return mode_;
	}

      private:
	py::object file_;
	int fd_;
	int mode_;
	bool held_ = false;
	int released_ = -1; /* not released yet */
};

int lease_check(py::handle file)
{
	int fd = fd_of(file);
	int rc = without_gil([&] { return zvapi_lease_check(fd); });
	if (rc < 0)
		raise_os_error(rc, file);
	return rc;
}

constexpr uint64_t archive_max = UINT32_MAX;

/* Attach file (a path; with mount, a FID of that mount) to cache area
 * archive_id. */
void pcc_attach(py::handle file, py::handle id_arg, py::handle mount_arg)
{
	uint32_t id = uint32_t(u64_of(id_arg, "archive_id", archive_max));
	int rc;
	if (mount_arg.is_none()) {
		fs_path path = path_of(file);
		rc = without_gil([&] {
			return zvapi_pcc_attach(path.c_str(), id,
			                        ZO_PCC_READWRITE);
		});
		if (rc != 0)
			raise_os_error(rc, path.given);
		return;
	}
	fs_path mount = path_of(mount_arg);
	zo_fid fid = fid_of(file);
	rc = without_gil([&] {
		return zvapi_pcc_attach_fid(mount.c_str(), &fid, id,
		                            ZO_PCC_READWRITE);
	});
	if (rc != 0)
		raise_os_error(rc, mount.given, py::str(fid_text(fid)));
}

/* The detach requests answer -1 with errno when the kernel refuses. */
int detach_result(int rc)
{
	return rc == -1 ? -errno : rc;
}

void pcc_detach(py::handle file, py::handle option_arg, py::handle mount_arg)
{
	uint32_t option = uint32_t(u64_of(option_arg, "option", UINT32_MAX));
	int rc;
	if (!mount_arg.is_none()) {
		fs_path mount = path_of(mount_arg);
		zo_fid fid = fid_of(file);
		rc = without_gil([&] {
			return detach_result(zvapi_pcc_detach_fid(
			        mount.c_str(), &fid, option));
		});
		if (rc != 0)
			raise_os_error(rc, mount.given, py::str(fid_text(fid)));
		return;
	}
	if (is_fd(file)) {
		int fd = fd_of(file);
		rc = without_gil([&] {
			return detach_result(zvapi_pcc_detach_fd(fd, option));
		});
	} else {
		fs_path path = path_of(file);
		rc = without_gil([&] {
			return detach_result(
			        zvapi_pcc_detach_file(path.c_str(), option));
		});
	}
	if (rc != 0)
		raise_os_error(rc, file);
}

py::tuple pcc_state(py::handle file)
{
	zo_pcc_state state;
	memset(&state, 0, sizeof state);
	int rc;
	if (is_fd(file)) {
		int fd = fd_of(file);
		rc = without_gil(
		        [&] { return zvapi_pcc_state_get_fd(fd, &state); });
	} else {
		fs_path path = path_of(file);
		rc = without_gil([&] {
			return zvapi_pcc_state_get(path.c_str(), &state);
		});
	}
	if (rc != 0)
		raise_os_error(rc, file);
	py::object path = py::none();
	size_t len = strnlen(state.pccs_path, sizeof state.pccs_path);
	if (len > 0)
		path = decode(state.pccs_path, len);
	return py::make_tuple(state.pccs_type, state.pccs_open_count,
	                      state.pccs_flags, path);
}

} // namespace

void bind_lease(py::module_ &m)
{
	py::class_<Lease>(m, "Lease", R"(Lease(fd, mode=LeaseMode.WRITE)

A read or write lease on the file open on fd (an int or an object with
fileno(); a write lease needs it open for writing), as a context manager:
taken on entry, given back on exit. The kernel breaks a lease when another
opener comes; after the exit, broken tells whether it was broken before
it was given back.)")
	        .def(py::init<py::handle, py::handle>(), py::arg("fd"),
	             py::arg("mode") = int(ZV_LEASE_WRLCK))
	        .def("acquire", &Lease::acquire,
	             "acquire() -> None\n\nTakes the lease (EBUSY when "
	             "another open file holds a conflicting one).")
	        .def("release", &Lease::release,
	             "release() -> int\n\nGives the lease back: the mode that "
	             "was still held, 0 when the kernel had broken it.")
	        .def("check", &Lease::check,
	             "check() -> int\n\nThe mode held through this descriptor, "
	             "0 when none (or broken).")
	        .def_property_readonly("held", &Lease::held,
	                               "True between acquire and release.")
	        .def_property_readonly(
	                "broken", &Lease::broken,
	                "After release: True when the kernel had broken the "
	                "lease; None before.")
	        .def_property_readonly("mode", &Lease::mode,
	                               "The mode asked for.")
	        .def("__enter__",
	             [](py::object self) {
		             self.cast<Lease &>().acquire();
		             return self;
	             })
	        .def("__exit__", [](Lease &l, py::args) {
		        if (l.held())
			        l.release();
		        return false;
	        });
	m.def("lease_check", &lease_check, py::arg("fd"),
	      "lease_check(fd) -> int\n\nThe lease mode held through fd, 0 "
	      "when none.");
	m.def("pcc_attach", &pcc_attach, py::arg("file"), py::arg("archive_id"),
	      py::arg("mount") = py::none(),
	      "pcc_attach(file, archive_id, mount=None) -> None\n\nAttaches "
	      "file (a path; with mount, a FID of the file system at mount) "
	      "to the read-write client cache area archive_id; OSError EBUSY "
	      "when another opener broke the lease the attach goes "
	      "through.");
	m.def("pcc_detach", &pcc_detach, py::arg("file"), py::arg("option") = 0,
	      py::arg("mount") = py::none(),
	      "pcc_detach(file, option=0, mount=None) -> None\n\nDetaches file "
	      "(a path or a descriptor; with mount, a FID of the file system "
	      "at mount) from the client cache; option: the kernel's option "
	      "bits.");
	m.def("_pcc_state", &pcc_state, py::arg("file"));
}

} // namespace zvpy
