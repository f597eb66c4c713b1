/* ChangeLogRecord: one record of a change log with every field as a
 * Python value, built from the record the reader hands out. Records come
 * by the hundred thousand, so what repeats is made once: type names, the
 * broken-down time of the last second seen. */
#include "changelog_record.h"

#include <datetime.h>

#include <cstring>
#include <ctime>

namespace zvpy
{

namespace
{

struct ChangeLogRecord {
	py::object index, type, time, time_ns, flags, tfid, pfid, name;
	py::object sfid, spfid, jobid, uid, gid, nid, open_mode, xattr;
};

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
	struct tm tm {};
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

std::string record_repr(const ChangeLogRecord &r)
{
	return "ChangeLogRecord(index=" + py::repr(r.index).cast<std::string>() +
	       ", type=" + py::repr(r.type).cast<std::string>() +
	       ", tfid=" + py::repr(r.tfid).cast<std::string>() +
	       ", pfid=" + py::repr(r.pfid).cast<std::string>() +
	       ", name=" + py::repr(r.name).cast<std::string>() + ")";
}

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

} // namespace

py::object record_object(const changelog_rec *rec)
{
	ChangeLogRecord r;
	r.index = u64(rec->cr_index);
	r.type = py::reinterpret_steal<py::object>(type_name(rec->cr_type));
	r.time = utc_datetime(rec->cr_time);
	r.time_ns = u64(rec->cr_time);
	r.flags = u64(rec->cr_flags & CLF_FLAGMASK);
	r.tfid = fid_object(rec->cr_tfid);
	r.pfid = fid_object(rec->cr_pfid);
	r.name = decode(changelog_rec_name(rec),
	                strnlen(changelog_rec_name(rec), rec->cr_namelen));
	r.sfid = r.spfid = r.jobid = r.uid = r.gid = py::none();
	r.nid = r.open_mode = r.xattr = py::none();
	if (rec->cr_flags & CLF_RENAME) {
		const changelog_ext_rename *rn = changelog_rec_rename(rec);
		if (!is_zero(rn->cr_sfid) || !is_zero(rn->cr_spfid)) {
			r.sfid = fid_object(rn->cr_sfid);
			r.spfid = fid_object(rn->cr_spfid);
		}
	}
	if (rec->cr_flags & CLF_JOBID)
		r.jobid = text_field(changelog_rec_jobid(rec)->cr_jobid,
		                     sizeof(changelog_ext_jobid::cr_jobid));
	int extra = changelog_rec_extra_bits(rec);
	if (extra & CLFE_UIDGID) {
		const changelog_ext_uidgid *ids = changelog_rec_uidgid(rec);
		r.uid = u64(ids->cr_uid);
		r.gid = u64(ids->cr_gid);
	}
	if (extra & CLFE_NID)
		r.nid = or_none(changelog_rec_nid(rec)->cr_nid);
	if (extra & CLFE_OPEN)
		r.open_mode = or_none(changelog_rec_openmode(rec)->cr_openflags);
	if (extra & CLFE_XATTR)
		r.xattr = text_field(changelog_rec_xattr(rec)->cr_xattr,
		                     sizeof(changelog_ext_xattr::cr_xattr));
	return py::cast(std::move(r));
}

void bind_changelog_record(py::module_ &m)
{
	PyDateTime_IMPORT;
	if (PyDateTimeAPI == nullptr)
		throw py::error_already_set();
	for (uint32_t t = 0; t <= CL_LAST; t++)
		type_names[t] = PyUnicode_InternFromString(
		        t < CL_LAST ? changelog_type2str(t) : "?");

	auto cls = py::class_<ChangeLogRecord>(
	        m, "ChangeLogRecord",
	        "One record of a change log, as a ChangeLog hands it out. Fields "
	        "that the record does not carry are None.");
#define ZV_FIELD(field, doc) cls.def_readonly(#field, &ChangeLogRecord::field, doc);
	ZV_RECORD_FIELDS(ZV_FIELD)
#undef ZV_FIELD
	cls.def("__repr__", &record_repr);
	cls.def(
	        "as_dict",
	        [](const ChangeLogRecord &r) {
		        py::dict d;
#define ZV_ITEM(field, doc) d[#field] = r.field;
		        ZV_RECORD_FIELDS(ZV_ITEM)
#undef ZV_ITEM
		        return d;
	        },
	        "as_dict() -> dict[str, Any]\n\nThe fields by name.");
}

} // namespace zvpy
