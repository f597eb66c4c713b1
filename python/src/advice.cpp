/* Access advice, file heat and nodemaps. */
#include "convert.h"

#include <pybind11/stl.h>

#include <cerrno>
#include <vector>

namespace zvpy
{

namespace
{

/* One entry from a sequence (advice, start, end[, value1, value2, value3,
 * value4]), an Advice among them. */
zvapi_zo_ladvise advice_entry(py::handle obj)
{
	if (!PySequence_Check(obj.ptr()) || PyUnicode_Check(obj.ptr()))
		throw py::type_error("an advice is a sequence (advice, start, "
		                     "end, ...), such as zorvel.Advice");
	auto seq = py::reinterpret_borrow<py::sequence>(obj);
	size_t n = seq.size();
	if (n < 3 || n > 7)
		throw py::type_error("an advice has 3 to 7 fields");
	zvapi_zo_ladvise e{};
	e.zla_advice = uint16_t(u64_of(seq[0], "advice", ZO_LADVISE_MAX - 1));
	if (e.zla_advice == ZO_LADVISE_INVALID)
		throw py::value_error("advice out of range");
	e.zla_start = u64_of(seq[1], "start");
	e.zla_end = u64_of(seq[2], "end");
	if (n > 3)
		e.zla_value1 = uint16_t(u64_of(seq[3], "value1", UINT16_MAX));
	if (n > 4)
		e.zla_value2 = uint32_t(u64_of(seq[4], "value2", UINT32_MAX));
	if (n > 5)
		e.zla_value3 = uint32_t(u64_of(seq[5], "value3", UINT32_MAX));
	if (n > 6)
		e.zla_value4 = uint32_t(u64_of(seq[6], "value4", UINT32_MAX));
	return e;
}

py::list ladvise(py::handle fd_arg, py::iterable advices, py::handle flags_arg)
{
	int fd = fd_of(fd_arg);
	uint64_t flags = u64_of(flags_arg, "flags", LADVISE_FLAGS_MASK);
	std::vector<zvapi_zo_ladvise> entries;
	for (py::handle a : advices)
		entries.push_back(advice_entry(a));
	if (entries.empty() || entries.size() > LADVISE_MAX_COUNT)
		throw py::value_error("1 to 1023 advices in one call");
	int rc = without_gil_errno([&] {
		return zvapi_ladvise(fd, flags, int(entries.size()),
		                     entries.data());
	});
	if (rc != 0)
		raise_os_error(rc, fd_arg);
	py::list out;
	for (const zvapi_zo_ladvise &e : entries)
		out.append(e.zla_advice == ZO_LADVISE_LOCKAHEAD
		                   ? py::object(py::int_(e.zla_value3))
		                   : py::object(py::none()));
	return out;
}

py::tuple heat_get(py::handle fd_arg)
{
	int fd = fd_of(fd_arg);
	/* the header and the values after it, 8-byte aligned */
	uint64_t rec[1 + ZO_HEAT_VALUES] = {};
	auto *heat = reinterpret_cast<zo_heat *>(rec);
	heat->zh_count = ZO_HEAT_VALUES;
	int rc = without_gil([&] { return zvapi_heat_get(fd, heat); });
	if (rc != 0)
		raise_os_error(rc, fd_arg);
	const uint64_t *values = rec + 1;
	return py::make_tuple(values[ZO_HEAT_READ_SAMPLES],
	                      values[ZO_HEAT_WRITE_SAMPLES],
	                      values[ZO_HEAT_READ_BYTES],
	                      values[ZO_HEAT_WRITE_BYTES], heat->zh_flags);
}

void heat_set(py::handle fd_arg, py::handle flags_arg)
{
	int fd = fd_of(fd_arg);
	uint64_t flags = u64_of(flags_arg, "flags");
	int rc = without_gil([&] { return zvapi_heat_set(fd, flags); });
	if (rc != 0)
		raise_os_error(rc, fd_arg);
}

bool nodemap_exists(py::handle name_arg)
{
	std::string name = text_of(name_arg, "name");
	return nogil([&] { return zvapi_nodemap_exists(name.c_str()) == 0; });
}

} // namespace

void bind_advice(py::module_ &m)
{
	m.def("ladvise", &ladvise, py::arg("fd"), py::arg("advices"),
	      py::arg("flags") = 0,
	      "ladvise(fd, advices, flags=0) -> list[int | None]\n\nGives the "
	      "kernel 1 to 1023 access advices (Advice, or sequences (advice, "
	      "start, end[, value1, value2, value3, value4])) for the file "
	      "open on fd in one request. flags: LadviseFlag.ASYNC, UNSET. "
	      "Returns, for each lock-ahead advice, the kernel's result, None "
	      "for the others.");
	m.def("_heat_get", &heat_get, py::arg("fd"));
	m.def("heat_set", &heat_set, py::arg("fd"), py::arg("flags"),
	      "heat_set(fd, flags) -> None\n\nHeatFlag.CLEAR clears the "
	      "file's access counts, OFF stops counting, ON restarts it.");
	m.def("nodemap_exists", &nodemap_exists, py::arg("name"),
	      "nodemap_exists(name) -> bool\n\nWhether a nodemap of this name "
	      "is published among the parameters.");
}

} // namespace zvpy
