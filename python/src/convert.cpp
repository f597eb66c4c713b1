/* Arguments in, failures out: the conversions every binding shares. */
#include "convert.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace zvpy
{

fs_path path_of(py::handle obj)
{
	PyObject *bytes = nullptr;
	/* str, bytes or os.PathLike; TypeError otherwise, ValueError for an
	 * embedded NUL, as os.open() */
	if (!PyUnicode_FSConverter(obj.ptr(), &bytes))
		throw py::error_already_set();
	auto owner = py::reinterpret_steal<py::object>(bytes);
	return {py::reinterpret_borrow<py::object>(obj),
	        std::string(PyBytes_AS_STRING(bytes),
	                    size_t(PyBytes_GET_SIZE(bytes)))};
}

std::string text_of(py::handle obj, const char *what)
{
	std::string out;
	if (PyUnicode_Check(obj.ptr())) {
		Py_ssize_t len;
		const char *p = PyUnicode_AsUTF8AndSize(obj.ptr(), &len);
		if (p == nullptr)
			throw py::error_already_set();
		out.assign(p, size_t(len));
	} else if (PyBytes_Check(obj.ptr())) {
		out.assign(PyBytes_AS_STRING(obj.ptr()),
		           size_t(PyBytes_GET_SIZE(obj.ptr())));
	} else {
		throw py::type_error(std::string(what) +
		                     " must be str or bytes, not " +
		                     Py_TYPE(obj.ptr())->tp_name);
	}
	if (out.find('\0') != std::string::npos)
		throw py::value_error(std::string(what) +
		                      ": embedded null character");
	return out;
}

py::str decode(const char *text, size_t len)
{
	PyObject *s = PyUnicode_DecodeFSDefaultAndSize(text, Py_ssize_t(len));
	if (s == nullptr)
		throw py::error_already_set();
	return py::reinterpret_steal<py::str>(s);
}

py::str decode(const std::string &text)
{
	return decode(text.data(), text.size());
}

bool is_fd(py::handle obj)
{
	if (PyBool_Check(obj.ptr()))
		return false;
	return PyLong_Check(obj.ptr()) || py::hasattr(obj, "fileno");
}

int fd_of(py::handle obj)
{
	if (PyBool_Check(obj.ptr()))
		throw py::type_error("a descriptor must be an int, not bool");
	/* TypeError for other objects, ValueError for a negative number */
	int fd = PyObject_AsFileDescriptor(obj.ptr());
	if (fd < 0)
		throw py::error_already_set();
	return fd;
}

namespace
{

/* obj as a Python int (int subclasses and __index__ accepted). */
py::object as_int(py::handle obj, const char *what)
{
	if (PyBool_Check(obj.ptr()) || !PyIndex_Check(obj.ptr()))
		throw py::type_error(std::string(what) +
		                     " must be an int, not " +
		                     Py_TYPE(obj.ptr())->tp_name);
	PyObject *n = PyNumber_Index(obj.ptr());
	if (n == nullptr)
		throw py::error_already_set();
	return py::reinterpret_steal<py::object>(n);
}

[[noreturn]] void out_of_range(const char *what)
{
	throw py::value_error(std::string(what) + " out of range");
}

} // namespace

uint64_t u64_of(py::handle obj, const char *what, uint64_t max)
{
	py::object n = as_int(obj, what);
	unsigned long long v = PyLong_AsUnsignedLongLong(n.ptr());
	if (v == (unsigned long long)-1 && PyErr_Occurred()) {
		/* negative or too large */
		PyErr_Clear();
		out_of_range(what);
	}
	if (v > max)
		out_of_range(what);
	return v;
}

int64_t i64_of(py::handle obj, const char *what, int64_t min, int64_t max)
{
	py::object n = as_int(obj, what);
	int overflow = 0;
	long long v = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
	if (v == -1 && PyErr_Occurred())
		throw py::error_already_set();
	if (overflow != 0 || v < min || v > max)
		out_of_range(what);
	return v;
}

void raise_os_error(int err, py::handle filename, py::handle filename2)
{
	if (err < 0)
		err = -err;
	if (err == EINTR && PyErr_CheckSignals() != 0)
		throw py::error_already_set();
	py::object name = filename
	                          ? py::reinterpret_borrow<py::object>(filename)
	                          : py::none();
	py::tuple args = filename2 ? py::make_tuple(err, strerror(err), name,
	                                            py::none(), filename2)
	                           : py::make_tuple(err, strerror(err), name);
	/* OSError(...) becomes the subclass its errno maps to */
	PyErr_SetObject(PyExc_OSError, args.ptr());
	throw py::error_already_set();
}

int open_path(const fs_path &path, int flags)
{
	int fd = without_gil_errno(
	        [&] { return open(path.c_str(), flags | O_CLOEXEC); });
	if (fd < 0)
		raise_os_error(fd, path.given);
	return fd;
}

file_arg::file_arg(py::handle obj, int flags)
{
	given_ = py::reinterpret_borrow<py::object>(obj);
	if (is_fd(obj)) {
		fd_ = fd_of(obj);
		return;
	}
	fd_ = open_path(path_of(obj), flags);
	owned_ = true;
}

file_arg::~file_arg()
{
	if (owned_)
		close(fd_);
}

} // namespace zvpy
