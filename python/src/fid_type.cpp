/* The Fid type, written against the C API rather than pybind11: change-log
 * records carry two to four FIDs each, and a type of our own is made
 * without a look-up of registered types. Immutable, hashable, ordered by
 * (seq, oid, ver). */
#include "convert.h"

#include <structmember.h>

#include <cerrno>
#include <cstdio>
#include <tuple>

namespace zvpy
{

namespace
{

struct FidObject {
	PyObject_HEAD zo_fid f;
};

PyTypeObject *fid_type = nullptr;

bool is_blank(char c)
{
	return c == ' ' || (c >= '\t' && c <= '\r');
}

auto key(const zo_fid &f)
{
	return std::make_tuple(f.f_seq, f.f_oid, f.f_ver);
}

PyObject *fid_new(PyTypeObject *type, PyObject *args, PyObject *kwargs)
{
	static const char *names[] = {"seq", "oid", "ver", nullptr};
	PyObject *seq, *oid, *ver = nullptr;
	if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:Fid",
	                                 const_cast<char **>(names), &seq, &oid,
	                                 &ver))
		return nullptr;
	try {
		zo_fid f{};
		f.f_seq = u64_of(seq, "seq");
		f.f_oid = uint32_t(u64_of(oid, "oid", UINT32_MAX));
		f.f_ver = ver ? uint32_t(u64_of(ver, "ver", UINT32_MAX)) : 0;
		(void)type;
		return fid_object(f).release().ptr();
	} catch (py::error_already_set &e) {
		e.restore();
	} catch (py::builtin_exception &e) {
		e.set_error();
	}
	return nullptr;
}

const zo_fid &fid_value(PyObject *self)
{
	return reinterpret_cast<FidObject *>(self)->f;
}

PyObject *fid_str(PyObject *self)
{
	return PyUnicode_FromString(fid_text(fid_value(self)).c_str());
}

PyObject *fid_repr(PyObject *self)
{
	const zo_fid &f = fid_value(self);
	char buf[80];
	snprintf(buf, sizeof buf, "Fid(%#llx, 0x%x, 0x%x)",
	         (unsigned long long)f.f_seq, f.f_oid, f.f_ver);
	return PyUnicode_FromString(buf);
}

Py_hash_t fid_hash(PyObject *self)
{
	const zo_fid &f = fid_value(self);
	/* as the tuple (seq, oid, ver) would, mixed the same way */
	Py_hash_t h = Py_hash_t(f.f_seq * 0x9E3779B97F4A7C15ull ^
	                        (uint64_t(f.f_oid) << 32 | f.f_ver) *
	                                0xC2B2AE3D27D4EB4Full);
	return h == -1 ? -2 : h;
}

PyObject *fid_richcompare(PyObject *a, PyObject *b, int op)
{
	if (!PyObject_TypeCheck(a, fid_type) ||
	    !PyObject_TypeCheck(b, fid_type))
		Py_RETURN_NOTIMPLEMENTED;
	auto x = key(fid_value(a)), y = key(fid_value(b));
	Py_RETURN_RICHCOMPARE(x, y, op);
}

PyObject *fid_seq(PyObject *self, void *)
{
	return PyLong_FromUnsignedLongLong(fid_value(self).f_seq);
}
PyObject *fid_oid(PyObject *self, void *)
{
	return PyLong_FromUnsignedLong(fid_value(self).f_oid);
}
PyObject *fid_ver(PyObject *self, void *)
{
	return PyLong_FromUnsignedLong(fid_value(self).f_ver);
}

PyObject *fid_reduce(PyObject *self, PyObject *)
{
	const zo_fid &f = fid_value(self);
	return Py_BuildValue(
	        "O(KkK)", Py_TYPE(self), (unsigned long long)f.f_seq,
	        (unsigned long)f.f_oid, (unsigned long long)f.f_ver);
}

PyObject *fid_parse(PyObject *, PyObject *text)
{
	try {
		return fid_object(parse_fid(text_of(text, "FID")))
		        .release()
		        .ptr();
	} catch (py::error_already_set &e) {
		e.restore();
	} catch (py::builtin_exception &e) {
		e.set_error();
	}
	return nullptr;
}

PyGetSetDef fid_getset[] = {
        {"seq", fid_seq, nullptr, "Sequence number (64 bits).", nullptr},
        {"oid", fid_oid, nullptr,
         "Object number within the sequence (32 "
         "bits).",
         nullptr},
        {"ver", fid_ver, nullptr, "Version (32 bits).", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef fid_methods[] = {
        {"parse", fid_parse, METH_O | METH_STATIC,
         "parse(text) -> Fid\n\nThe FID of '[seq:oid:ver]' or "
         "'seq:oid:ver' (numbers in C notation: 0x hexadecimal, decimal, 0 "
         "octal). ValueError for anything else."},
        {"__reduce__", fid_reduce, METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
};

const char fid_doc[] =
        "Fid(seq, oid, ver=0)\n\nA file identifier: the name of an object "
        "of the file system that does\nnot depend on its path. Immutable, "
        "hashable and ordered (by seq, oid,\nver). Fid.parse(text) reads "
        "'[0x200000400:0x2:0x0]' or\n'0x200000400:0x2:0x0'; str() gives the "
        "bracketed form.";

PyType_Slot fid_slots[] = {
        {Py_tp_new, reinterpret_cast<void *>(fid_new)},
        {Py_tp_str, reinterpret_cast<void *>(fid_str)},
        {Py_tp_repr, reinterpret_cast<void *>(fid_repr)},
        {Py_tp_hash, reinterpret_cast<void *>(fid_hash)},
        {Py_tp_richcompare, reinterpret_cast<void *>(fid_richcompare)},
        {Py_tp_getset, fid_getset},
        {Py_tp_methods, fid_methods},
        {Py_tp_doc, const_cast<char *>(fid_doc)},
        {0, nullptr},
};

PyType_Spec fid_spec = {"zorvel.Fid", sizeof(FidObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                        fid_slots};

} // namespace

/* The whole text must be one FID, bracketed or bare: the library's parser
 * stops at the first character it does not take, which would let
 * "[1:2:3] junk" or "[1:2:x]" through. */
zo_fid parse_fid(const std::string &text)
{
	zo_fid fid{};
	char *end = nullptr;
	int rc = zvapi_fid_parse(text.c_str(), &fid, &end);
	if (rc == -ERANGE)
		throw py::value_error("FID field out of range: '" + text + "'");
	size_t first = 0, last = text.size();
	while (first < last && is_blank(text[first]))
		first++;
	while (last > first && is_blank(text[last - 1]))
		last--;
	bool opened = first < last && text[first] == '[';
	bool closed = last > first && text[last - 1] == ']';
	const char *stop = text.c_str() + last;
	if (rc != 0 || end == nullptr || end < stop || opened != closed ||
	    (opened && end[-1] != ']'))
		throw py::value_error("bad FID '" + text +
		                      "', should be [seq:oid:ver]");
	return fid;
}

py::object fid_object(const zo_fid &fid)
{
	PyObject *obj = fid_type->tp_alloc(fid_type, 0);
	if (obj == nullptr)
		throw py::error_already_set();
	reinterpret_cast<FidObject *>(obj)->f = fid;
	return py::reinterpret_steal<py::object>(obj);
}

bool is_fid(py::handle obj)
{
	return PyObject_TypeCheck(obj.ptr(), fid_type);
}

zo_fid fid_of(py::handle obj)
{
	if (is_fid(obj))
		return fid_value(obj.ptr());
	if (PyUnicode_Check(obj.ptr()) || PyBytes_Check(obj.ptr()))
		return parse_fid(text_of(obj, "FID"));
	throw py::type_error(std::string("a FID must be a Fid or its text, "
	                                 "not ") +
	                     Py_TYPE(obj.ptr())->tp_name);
}

std::string fid_text(const zo_fid &fid)
{
	char buf[ZO_FID_FMT_LEN + 8];
	snprintf(buf, sizeof buf, ZO_FID_FMT, ZO_FID_ARGS(&fid));
	return buf;
}

void bind_fid_type(py::module_ &m)
{
	PyObject *type = PyType_FromSpec(&fid_spec);
	if (type == nullptr)
		throw py::error_already_set();
	fid_type = reinterpret_cast<PyTypeObject *>(type);
	m.add_object("Fid", type); /* the module keeps the reference */
}

} // namespace zvpy
