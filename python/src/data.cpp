/* The data path: mirrors of a file (read, write, copy, verify) and sparse
 * files (data extents, holes). */
#include "convert.h"

#include <pybind11/stl.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zvpy
{

namespace
{

constexpr size_t chunk = 4u << 20;
/* Mirror ids are probed from 1 until one cannot be selected. */
constexpr unsigned max_probe = 65535;

size_t page_size()
{
	return size_t(sysconf(_SC_PAGESIZE));
}

/* A page-aligned buffer, as mirror writes need. */
struct aligned {
	std::unique_ptr<char, decltype(&free)> mem{nullptr, free};
	explicit aligned(size_t size)
	{
		void *p = nullptr;
		if (posix_memalign(&p, page_size(), size ? size : 1) == 0)
			mem.reset(static_cast<char *>(p));
	}
};

unsigned mirror_of(py::handle obj, uint64_t max = UINT32_MAX)
{
	uint64_t id = u64_of(obj, "mirror", max);
	if (id == 0)
		throw py::value_error("mirror out of range");
	return unsigned(id);
}

void check_aligned(uint64_t value, const char *what)
{
	if (value % page_size() != 0)
		throw py::value_error(std::string(what) +
		                      " must be a multiple of the page size");
}

std::vector<unsigned> probe_ids(int fd)
{
	std::vector<unsigned> ids;
	for (unsigned id = 1; id <= max_probe; id++) {
		if (zvapi_mirror_set(fd, id) != 0)
			break;
		zvapi_mirror_clear(fd);
		ids.push_back(id);
	}
	return ids;
}

py::list mirror_ids(py::handle fd_arg)
{
	int fd = fd_of(fd_arg);
	std::vector<unsigned> ids = nogil([&] { return probe_ids(fd); });
	if (ids.empty()) {
		int rc = zvapi_mirror_set(fd, 1);
		raise_os_error(rc ? rc : -EIO, fd_arg);
	}
	return py::cast(ids);
}

py::bytes mirror_read(py::handle fd_arg, py::handle id_arg, py::handle size_arg,
                      py::handle offset_arg)
{
	int fd = fd_of(fd_arg);
	unsigned id = mirror_of(id_arg);
	size_t size = size_t(u64_of(size_arg, "size", SSIZE_MAX));
	off_t offset = off_t(i64_of(offset_arg, "offset", 0, INT64_MAX));
	std::string data(size, '\0');
	ssize_t n = without_gil([&] {
		return zvapi_mirror_read(fd, id, data.data(), size, offset);
	});
	if (n < 0)
		raise_os_error(int(n), fd_arg);
	return py::bytes(data.data(), size_t(n));
}

ssize_t mirror_write(py::handle fd_arg, py::handle id_arg, py::buffer data,
                     py::handle offset_arg)
{
	int fd = fd_of(fd_arg);
	unsigned id = mirror_of(id_arg);
	off_t offset = off_t(i64_of(offset_arg, "offset", 0, INT64_MAX));
	check_aligned(uint64_t(offset), "offset");
	py::buffer_info in = data.request();
	size_t len = size_t(in.size * in.itemsize);
	aligned buf(len);
	if (!buf.mem)
		throw std::bad_alloc();
	memcpy(buf.mem.get(), in.ptr, len);
	ssize_t n = without_gil([&] {
		return zvapi_mirror_write(fd, id, buf.mem.get(), len, offset);
	});
	if (n < 0)
		raise_os_error(int(n), fd_arg);
	return n;
}

/* Size of mirror id: 0 or a negative errno. */
int mirror_size(int fd, unsigned id, off_t *size)
{
	if (id == 0) { /* the file as a whole */
		struct stat st;
		if (fstat(fd, &st) != 0)
			return -errno;
		*size = st.st_size;
		return 0;
	}
	int rc = zvapi_mirror_set(fd, id);
	if (rc != 0)
		return rc;
	struct stat st;
	rc = fstat(fd, &st) == 0 ? 0 : -errno;
	*size = st.st_size;
	zvapi_mirror_clear(fd);
	return rc;
}

ssize_t mirror_copy(py::handle fd_arg, py::handle src_arg, py::handle dst_arg,
                    py::handle offset_arg, py::handle length_arg)
{
	int fd = fd_of(fd_arg);
	unsigned src = unsigned(u64_of(src_arg, "src", UINT32_MAX));
	unsigned dst = mirror_of(dst_arg);
	off_t offset = off_t(i64_of(offset_arg, "offset", 0, INT64_MAX));
	check_aligned(uint64_t(offset), "offset");
	size_t length = SIZE_MAX; /* to the end */
	if (!length_arg.is_none()) {
		length = size_t(u64_of(length_arg, "length", SSIZE_MAX));
		check_aligned(length, "length");
	}
	/* A copy to the end leaves the destination the source's size. */
	ssize_t n = without_gil([&] {
		return zvapi_mirror_copy(fd, src, dst, offset, length);
	});
	if (n < 0)
		raise_os_error(int(n), fd_arg);
	return n;
}

py::list mirror_copy_many(py::handle fd_arg, py::handle src_arg,
                          py::iterable dst_arg)
{
	int fd = fd_of(fd_arg);
	uint16_t src = uint16_t(u64_of(src_arg, "src", UINT16_MAX));
	std::vector<uint16_t> dst;
	for (py::handle d : dst_arg)
		dst.push_back(uint16_t(mirror_of(d, UINT16_MAX)));
	if (dst.empty())
		throw py::value_error("no destination mirror");
	ssize_t n = without_gil([&] {
		return zvapi_mirror_copy_many(fd, src, dst.data(), dst.size());
	});
	if (n < 0)
		raise_os_error(int(n), fd_arg);
	dst.resize(size_t(n));
	return py::cast(dst);
}

/* 1 when mirror id holds other bytes than mirror 1 (or another size), 0
 * when the same, or a negative errno. */
int mirror_differs(int fd, unsigned id, char *a, char *b)
{
	off_t size1 = 0, size = 0;
	int rc = mirror_size(fd, 1, &size1);
	if (rc == 0)
		rc = mirror_size(fd, id, &size);
	if (rc != 0)
		return rc;
	if (size != size1)
		return 1;
	for (off_t pos = 0; pos < size;) {
		ssize_t n1 = zvapi_mirror_read(fd, 1, a, chunk, pos);
		ssize_t n = zvapi_mirror_read(fd, id, b, chunk, pos);
		if (n1 < 0 || n < 0)
			return int(n1 < 0 ? n1 : n);
		if (n != n1 || memcmp(a, b, size_t(n)) != 0)
			return 1;
		if (n == 0)
			break;
		pos += n;
	}
	return 0;
}

py::list mirror_verify(py::handle fd_arg, py::handle ids_arg)
{
	int fd = fd_of(fd_arg);
	std::vector<unsigned> ids;
	if (ids_arg.is_none())
		ids = mirror_ids(fd_arg).cast<std::vector<unsigned>>();
	else
		for (py::handle id :
		     py::reinterpret_borrow<py::iterable>(ids_arg))
			ids.push_back(mirror_of(id));
	aligned a(chunk), b(chunk);
	if (!a.mem || !b.mem)
		throw std::bad_alloc();
	std::vector<unsigned> differ;
	int rc = without_gil([&] {
		for (unsigned id : ids) {
			if (id == 1)
				continue;
			int d = mirror_differs(fd, id, a.mem.get(),
			                       b.mem.get());
			if (d < 0)
				return d;
			if (d)
				differ.push_back(id);
		}
		return 0;
	});
	if (rc != 0)
		raise_os_error(rc, fd_arg);
	return py::cast(differ);
}

/* The data stretches of fd (or of one of its mirrors) as (offset, length)
 * pairs: holes are what lies between them. */
py::list data_extents(py::handle fd_arg, py::handle mirror_arg)
{
	int fd = fd_of(fd_arg);
	unsigned id = mirror_arg.is_none() ? 0 : mirror_of(mirror_arg);
	std::vector<std::pair<int64_t, int64_t>> extents;
	int rc = without_gil([&] {
		off_t pos = 0;
		for (;;) {
			size_t len = 0;
			off_t at =
			        id ? zvapi_mirror_data_seek(fd, id, pos, &len)
			           : zvapi_data_seek(fd, pos, &len);
			if (at < 0)
				return int(at);
			if (len == 0)
				return 0;
			extents.emplace_back(at, int64_t(len));
			pos = at + off_t(len);
		}
	});
	if (rc != 0)
		raise_os_error(rc, fd_arg);
	return py::cast(extents);
}

bool is_sparse(py::handle fd_arg, py::handle mirror_arg)
{
	int fd = fd_of(fd_arg);
	unsigned id = mirror_arg.is_none() ? 0 : mirror_of(mirror_arg);
	return nogil([&] {
		return id ? zvapi_mirror_is_sparse(fd, id)
		          : zvapi_file_is_sparse(fd);
	});
}

void punch(py::handle fd_arg, py::handle offset_arg, py::handle length_arg,
           py::handle mirror_arg)
{
	int fd = fd_of(fd_arg);
	off_t offset = off_t(i64_of(offset_arg, "offset", 0, INT64_MAX));
	size_t length = size_t(u64_of(length_arg, "length", INT64_MAX));
	unsigned id = mirror_arg.is_none() ? 0 : mirror_of(mirror_arg);
	int rc = without_gil([&] {
		return id ? zvapi_mirror_punch(fd, id, offset, length)
		          : zvapi_hole_punch(fd, offset, length);
	});
	if (rc != 0)
		raise_os_error(rc, fd_arg);
}

} // namespace

void bind_data(py::module_ &m)
{
	m.def("mirror_ids", &mirror_ids, py::arg("fd"),
	      "mirror_ids(fd) -> list[int]\n\nThe mirrors of the file open on "
	      "fd: ids from 1 up.");
	m.def("mirror_read", &mirror_read, py::arg("fd"), py::arg("mirror"),
	      py::arg("size"), py::arg("offset") = 0,
	      "mirror_read(fd, mirror, size, offset=0) -> bytes\n\nUp to size "
	      "bytes of mirror mirror at offset (fewer at its end).");
	m.def("mirror_write", &mirror_write, py::arg("fd"), py::arg("mirror"),
	      py::arg("data"), py::arg("offset") = 0,
	      "mirror_write(fd, mirror, data, offset=0) -> int\n\nWrites data "
	      "(bytes-like) to mirror mirror at offset, a multiple of the page "
	      "size; all of it or OSError.");
	m.def("mirror_copy", &mirror_copy, py::arg("fd"), py::arg("src"),
	      py::arg("dst"), py::arg("offset") = 0,
	      py::arg("length") = py::none(),
	      "mirror_copy(fd, src, dst, offset=0, length=None) -> int\n\n"
	      "Copies mirror src (0: the file as a whole) to mirror dst from "
	      "offset, length bytes or (None) to the end, where dst then ends "
	      "as src does; offset and length are multiples of the page size. "
	      "Returns the bytes copied.");
	m.def("mirror_copy_many", &mirror_copy_many, py::arg("fd"),
	      py::arg("src"), py::arg("dsts"),
	      "mirror_copy_many(fd, src, dsts) -> list[int]\n\nCopies mirror "
	      "src to each mirror of dsts, holes kept as holes; returns the "
	      "destinations that hold the copy (the others failed). OSError "
	      "when none does.");
	m.def("mirror_verify", &mirror_verify, py::arg("fd"),
	      py::arg("mirrors") = py::none(),
	      "mirror_verify(fd, mirrors=None) -> list[int]\n\nCompares the "
	      "bytes and size of each mirror (default: every one) with mirror "
	      "1; returns the ids that differ (empty: they agree).");
	m.def("data_extents", &data_extents, py::arg("fd"),
	      py::arg("mirror") = py::none(),
	      "data_extents(fd, mirror=None) -> list[tuple[int, int]]\n\nThe "
	      "stretches of data of the file open on fd (or of one mirror) as "
	      "(offset, length); holes lie between them. Moves the file "
	      "offset.");
	m.def("is_sparse", &is_sparse, py::arg("fd"),
	      py::arg("mirror") = py::none(),
	      "is_sparse(fd, mirror=None) -> bool\n\nTrue when the file (or "
	      "mirror) is not empty and has a hole before its end.");
	m.def("punch", &punch, py::arg("fd"), py::arg("offset"),
	      py::arg("length"), py::arg("mirror") = py::none(),
	      "punch(fd, offset, length, mirror=None) -> None\n\nPunches a "
	      "hole over [offset, offset + length) of the file (or of one "
	      "mirror), keeping its size.");
}

} // namespace zvpy
