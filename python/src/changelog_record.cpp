/* ChangeLogRecord: one record of a change log with every field as a
 * Python value, built from the record the reader hands out. Records come
 * by the hundred thousand, so what repeats is made once: type names, the
 * broken-down time of the last second seen. */
#include "changelog_record.h"

#include <datetime.h>
#include <structmember.h>

#include <cstddef>
#include <cstring>
#include <ctime>

namespace zvpy
{

namespace
{

#define ZV_RECORD_FIELDS(X)                                                    \
	X(index, "Record number in the log (from 1).")                         \
	X(type, "Operation: 'CREATE', 'MKDIR', 'HARDLINK', 'SOFTLINK', "       \
	        "'MKNOD', 'UNLINK', 'RMDIR', 'RENAME', 'SETATTR', 'TRUNC', "   \
	        "'SETXATTR'... ('?' for a type this version does not know).")  \
	X(time, "When, as an aware datetime in UTC (microseconds).")           \
	X(time_ns, "When, in nanoseconds since the epoch.")                    \
	X(flags, "The record type's own flags (low 12 bits).")                 \
	X(tfid, "Fid of the object changed.")                                  \
	X(pfid, "Fid of its parent directory (of the new name for a "          \
	        "rename).")                                                    \
	X(name, "Entry name in the parent (the new name for a rename).")       \
	X(sfid, "Renames: Fid of the object renamed; else None.")              \
	X(spfid, "Renames: Fid of its former parent directory; else None.")    \
	X(jobid, "Job that made the change, or None.")                         \
	X(uid, "User id of the change (None unless asked for).")               \
	X(gid, "Group id of the change (None unless asked for).")              \
	X(nid, "Network identifier of the client, or None.")                   \
	X(open_mode, "Open flags of a creation, or None.")                     \
	X(xattr, "Extended attribute name of a SETXATTR, or None.")

/* The record's fields in the order of ZV_RECORD_FIELDS. */
enum field {
#define ZV_ENUM(f, doc) f_##f,
	ZV_RECORD_FIELDS(ZV_ENUM)
#undef ZV_ENUM
	field_count
};

struct RecordObject {
	PyObject_HEAD PyObject *fields[field_count];
};

PyTypeObject *record_type = nullptr;

/* Type names, made once and never released (they outlive the module's
 * users, up to the interpreter's end). */
PyObject *type_names[CL_LAST + 1];

PyObject *type_name(uint32_t type)
{
	PyObject *name = type_names[type < CL_LAST ? type : uint32_t(CL_LAST)];
	Py_INCREF(name);
	return name;
}

/* The date and time of a second since the epoch, in UTC; records of one
 * second share the work. */
struct utc_second {
	int64_t sec = -1;
	struct tm tm {
	};
};

py::object utc_datetime(uint64_t ns)
{
	static thread_local utc_second last;
	int64_t sec = int64_t(ns / 1000000000u);
	int us = int(ns % 1000000000u / 1000u);
	if (sec != last.sec) {
		time_t t = time_t(sec);
		gmtime_r(&t, &last.tm);
		last.sec = sec;
	}
	const struct tm &tm = last.tm;
	PyObject *dt = PyDateTimeAPI->DateTime_FromDateAndTime(
	        tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
	        tm.tm_min, tm.tm_sec, us, PyDateTime_TimeZone_UTC,
	        PyDateTimeAPI->DateTimeType);
	if (dt == nullptr)
		throw py::error_already_set();
	return py::reinterpret_steal<py::object>(dt);
}

bool is_zero(const zo_fid &f)
{
	return f.f_seq == 0 && f.f_oid == 0 && f.f_ver == 0;
}

/* A fixed-size text field: up to its first NUL. */
py::object text_field(const char *p, size_t max)
{
	size_t len = strnlen(p, max);
	if (len == 0)
		return py::none();
	return decode(p, len);
}

py::object u64(uint64_t v)
{
	PyObject *n = PyLong_FromUnsignedLongLong(v);
	if (n == nullptr)
		throw py::error_already_set();
	return py::reinterpret_steal<py::object>(n);
}

py::object or_none(uint64_t v)
{
	return v == 0 ? py::none() : u64(v);
}

void record_dealloc(PyObject *self)
{
	auto *r = reinterpret_cast<RecordObject *>(self);
	for (PyObject *&f : r->fields)
		Py_CLEAR(f);
	Py_TYPE(self)->tp_free(self);
	Py_DECREF(record_type); /* heap type instances hold their type */
}

PyObject *record_repr(PyObject *self)
{
	auto *r = reinterpret_cast<RecordObject *>(self);
	return PyUnicode_FromFormat(
	        "ChangeLogRecord(index=%R, type=%R, tfid=%R, pfid=%R, "
	        "name=%R)",
	        r->fields[f_index], r->fields[f_type], r->fields[f_tfid],
	        r->fields[f_pfid], r->fields[f_name]);
}

PyObject *record_as_dict(PyObject *self, PyObject *)
{
	auto *r = reinterpret_cast<RecordObject *>(self);
	PyObject *d = PyDict_New();
	if (d == nullptr)
		return nullptr;
	static const char *const names[] = {
#define ZV_NAME(f, doc) #f,
	        ZV_RECORD_FIELDS(ZV_NAME)
#undef ZV_NAME
	};
	for (int i = 0; i < field_count; i++)
		if (PyDict_SetItemString(d, names[i], r->fields[i]) != 0) {
			Py_DECREF(d);
			return nullptr;
		}
	return d;
}

PyMemberDef record_members[] = {
#define ZV_MEMBER(f, doc)                                                      \
	{#f, T_OBJECT,                                                         \
	 Py_ssize_t(offsetof(RecordObject, fields) +                           \
	            f_##f * sizeof(PyObject *)),                               \
	 READONLY, doc},
        ZV_RECORD_FIELDS(ZV_MEMBER)
#undef ZV_MEMBER
                {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef record_methods[] = {
        {"as_dict", record_as_dict, METH_NOARGS,
         "as_dict() -> dict[str, Any]\n\nThe fields by name."},
        {nullptr, nullptr, 0, nullptr},
};

PyType_Slot record_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(record_dealloc)},
        {Py_tp_repr, reinterpret_cast<void *>(record_repr)},
        {Py_tp_members, record_members},
        {Py_tp_methods, record_methods},
        {Py_tp_doc,
         const_cast<char *>("One record of a change log, as a ChangeLog "
                            "hands it out. Fields that the record does not "
                            "carry are None.")},
        {0, nullptr},
};

PyType_Spec record_spec = {"zorvel.ChangeLogRecord", sizeof(RecordObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
                                   Py_TPFLAGS_DISALLOW_INSTANTIATION,
                           record_slots};

} // namespace

py::object record_object(const changelog_rec *rec)
{
	/* each field is set once, from a new reference */
	py::object v[field_count];
	v[f_index] = u64(rec->cr_index);
	v[f_type] = py::reinterpret_steal<py::object>(type_name(rec->cr_type));
	v[f_time] = utc_datetime(rec->cr_time);
	v[f_time_ns] = u64(rec->cr_time);
	v[f_flags] = u64(rec->cr_flags & CLF_FLAGMASK);
	v[f_tfid] = fid_object(rec->cr_tfid);
	v[f_pfid] = fid_object(rec->cr_pfid);
	v[f_name] = decode(changelog_rec_name(rec),
	                   strnlen(changelog_rec_name(rec), rec->cr_namelen));
	for (int f : {f_sfid, f_spfid, f_jobid, f_uid, f_gid, f_nid,
	              f_open_mode, f_xattr})
		v[f] = py::none();
	if (rec->cr_flags & CLF_RENAME) {
		const changelog_ext_rename *rn = changelog_rec_rename(rec);
		if (!is_zero(rn->cr_sfid) || !is_zero(rn->cr_spfid)) {
			v[f_sfid] = fid_object(rn->cr_sfid);
			v[f_spfid] = fid_object(rn->cr_spfid);
		}
	}
	if (rec->cr_flags & CLF_JOBID)
		v[f_jobid] = text_field(changelog_rec_jobid(rec)->cr_jobid,
		                        sizeof(changelog_ext_jobid::cr_jobid));
	int extra = changelog_rec_extra_bits(rec);
	if (extra & CLFE_UIDGID) {
		const changelog_ext_uidgid *ids = changelog_rec_uidgid(rec);
		v[f_uid] = u64(ids->cr_uid);
		v[f_gid] = u64(ids->cr_gid);
	}
	if (extra & CLFE_NID)
		v[f_nid] = or_none(changelog_rec_nid(rec)->cr_nid);
	if (extra & CLFE_OPEN)
		v[f_open_mode] =
		        or_none(changelog_rec_openmode(rec)->cr_openflags);
	if (extra & CLFE_XATTR)
		v[f_xattr] = text_field(changelog_rec_xattr(rec)->cr_xattr,
		                        sizeof(changelog_ext_xattr::cr_xattr));

	PyObject *obj = record_type->tp_alloc(record_type, 0);
	if (obj == nullptr)
		throw py::error_already_set();
	auto *r = reinterpret_cast<RecordObject *>(obj);
	for (int i = 0; i < field_count; i++)
		r->fields[i] = v[i].release().ptr();
	return py::reinterpret_steal<py::object>(obj);
}

void bind_changelog_record(py::module_ &m)
{
	PyDateTime_IMPORT;
	if (PyDateTimeAPI == nullptr)
		throw py::error_already_set();
	for (uint32_t t = 0; t <= CL_LAST; t++)
		type_names[t] = PyUnicode_InternFromString(
		        t < CL_LAST ? changelog_type2str(t) : "?");

	PyObject *type = PyType_FromSpec(&record_spec);
	if (type == nullptr)
		throw py::error_already_set();
	record_type = reinterpret_cast<PyTypeObject *>(type);
	m.add_object("ChangeLogRecord", type);
}

} // namespace zvpy
