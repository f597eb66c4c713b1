/* What every binding of the zorvel extension shares: Python arguments
 * turned into what the client library takes (checked before any call
 * reaches the kernel), failures turned into OSError, and blocking calls
 * made without the GIL. */
#ifndef ZORVEL_PY_CONVERT_H
#define ZORVEL_PY_CONVERT_H

#include <pybind11/pybind11.h>

#include <zorvel/zorvelapi.h>

#include <cstdint>
#include <string>

namespace py = pybind11;

namespace zvpy
{

/* A file-system path as given (for messages) and as bytes (for the
 * library): str, bytes or os.PathLike, as the os module takes them. */
struct fs_path {
	py::object given;
	std::string bytes;
	const char *c_str() const
	{
		return bytes.c_str();
	}
};

fs_path path_of(py::handle obj);

/* A text argument that is not a path (a target, a user, a pattern):
 * str or bytes, without NUL. */
std::string text_of(py::handle obj, const char *what);

/* Text the kernel or the library gave, decoded as os.fsdecode() does. */
py::str decode(const char *text, size_t len);
py::str decode(const std::string &text);

/* A descriptor: an int or an object with fileno(). */
int fd_of(py::handle obj);

/* True when obj stands for a descriptor rather than a path. */
bool is_fd(py::handle obj);

/* Integers in [min, max]: TypeError for a non-integer, ValueError out of
 * range, naming the argument. */
uint64_t u64_of(py::handle obj, const char *what, uint64_t max = UINT64_MAX);
int64_t i64_of(py::handle obj, const char *what, int64_t min, int64_t max);

/* A FID: a Fid, or its text in either form (ValueError for other text). */
zo_fid fid_of(py::handle obj);
zo_fid parse_fid(const std::string &text);
bool is_fid(py::handle obj);
py::object fid_object(const zo_fid &fid);
std::string fid_text(const zo_fid &fid);

/* Raises OSError(err, strerror(err), filename[, filename2]), which Python
 * turns into the subclass of that errno (FileNotFoundError...). err may
 * be positive or negative. An EINTR whose signal handler raised is that
 * exception instead. */
[[noreturn]] void raise_os_error(int err, py::handle filename = py::handle(),
                                 py::handle filename2 = py::handle());

/* Runs call() without the GIL. */
template <typename Call>
auto nogil(Call call)
{
	py::gil_scoped_release release;
	return call();
}

/* Runs call() without the GIL, again after a signal whose handler did
 * not raise (as the os module does), and returns its result; a handler's
 * exception ends it. call() returns a negative errno for EINTR. */
template <typename Call>
auto without_gil(Call call)
{
	for (;;) {
		decltype(call()) rc;
		{
			py::gil_scoped_release nogil;
			rc = call();
		}
		if (rc != -EINTR)
			return rc;
		if (PyErr_CheckSignals() != 0)
			throw py::error_already_set();
	}
}

/* The same for calls that return -1 and set errno: -errno on failure. */
template <typename Call>
auto without_gil_errno(Call call)
{
	return without_gil([&] {
		auto rc = call();
		return rc == -1 ? decltype(rc)(-errno) : rc;
	});
}

/* The descriptor an argument stands for: its own when it is one (an int
 * or an object with fileno()), else its path opened with flags and
 * O_CLOEXEC, closed when this goes. given() names it in errors. */
class file_arg
{
      public:
	file_arg(py::handle obj, int flags);
	file_arg(const file_arg &) = delete;
	file_arg &operator=(const file_arg &) = delete;
	~file_arg();
	int fd() const
	{
		return fd_;
	}
	py::handle given() const
	{
		return given_;
	}

      private:
	int fd_ = -1;
	bool owned_ = false;
	py::object given_;
};

/* Opens path with flags and O_CLOEXEC, without the GIL: the descriptor,
 * or OSError naming the path. */
int open_path(const fs_path &path, int flags);

/* Docstrings: the first line gives the signature, as help() shows it. */
void bind_fid_type(py::module_ &m);
void bind_fid(py::module_ &m);
void bind_names(py::module_ &m);
void bind_changelog(py::module_ &m);
void bind_changelog_record(py::module_ &m);
void bind_swap(py::module_ &m);
void bind_lease(py::module_ &m);
void bind_data(py::module_ &m);
void bind_advice(py::module_ &m);

} // namespace zvpy

#endif
