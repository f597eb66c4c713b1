/* ChangeLog: a reader of a metadata target's change log, as an iterator
 * of records and a context manager. */
#include "changelog_record.h"

#include <cerrno>
#include <climits>

namespace zvpy
{

namespace
{

constexpr int extra_all =
        CHANGELOG_EXTRA_FLAG_UIDGID | CHANGELOG_EXTRA_FLAG_NID |
        CHANGELOG_EXTRA_FLAG_OMODE | CHANGELOG_EXTRA_FLAG_XATTR;

class ChangeLog
{
      public:
	ChangeLog(py::handle target, py::handle start, bool follow, bool jobid,
	          py::handle extra)
	    : target_(text_of(target, "target")), follow_(follow)
	{
		long long startrec = i64_of(start, "start", 0, LLONG_MAX);
		int xflags = int(u64_of(extra, "extra", extra_all));
		int flags =
		        (jobid ? CHANGELOG_FLAG_JOBID : 0) |
		        (xflags ? CHANGELOG_FLAG_EXTRA_FLAGS : 0) |
		        (follow ? CHANGELOG_FLAG_FOLLOW | CHANGELOG_FLAG_BLOCK
		                : 0);
		void *priv = nullptr;
		int rc = without_gil([&] {
			return zvapi_changelog_start(&priv,
			                             changelog_send_flag(flags),
			                             target_.c_str(), startrec);
		});
		if (rc != 0)
			raise_os_error(rc, target);
		if (xflags)
			zvapi_changelog_set_xflags(
			        priv, changelog_send_extra_flag(xflags));
		priv_ = priv;
	}
	ChangeLog(const ChangeLog &) = delete;
	ChangeLog &operator=(const ChangeLog &) = delete;
	~ChangeLog()
	{
		if (priv_ != nullptr)
			zvapi_changelog_fini(&priv_);
	}

	/* The next record; StopIteration at the end of the log (a follower
	 * waits instead). The GIL is let go only for a read of the device:
	 * records already read come without it. */
	py::object next()
	{
		in_use use(this);
		changelog_rec *rec = nullptr;
		int rc;
		if (zvapi_changelog_in_buf(priv_) == 1)
			rc = zvapi_changelog_recv(priv_, &rec);
		else if (PyErr_CheckSignals() != 0) /* before a wait */
			throw py::error_already_set();
		else
			rc = without_gil([&] {
				return zvapi_changelog_recv(priv_, &rec);
			});
		if (rc == 1)
			throw py::stop_iteration();
		if (rc != 0)
			raise_os_error(rc, py::str(target_));
		struct owner {
			changelog_rec *r;
			~owner()
			{
				zvapi_changelog_free(&r);
			}
		} own{rec};
		return record_object(rec);
	}

	void close()
	{
		if (busy_)
			throw std::runtime_error(
			        "ChangeLog is being read by another thread");
		if (priv_ != nullptr)
			zvapi_changelog_fini(&priv_);
	}

	bool closed() const
	{
		return priv_ == nullptr;
	}

	int fileno()
	{
		in_use use(this);
		return zvapi_changelog_get_fd(priv_);
	}

	bool buffered()
	{
		in_use use(this);
		return zvapi_changelog_in_buf(priv_) == 1;
	}

	void clear(py::handle user, py::handle endrec)
	{
		clear_records(py::str(target_), user, endrec);
	}

	static void clear_records(py::handle target_arg, py::handle user_arg,
	                          py::handle endrec_arg)
	{
		std::string target = text_of(target_arg, "target");
		std::string user = text_of(user_arg, "user");
		long long endrec = i64_of(endrec_arg, "endrec", 0, LLONG_MAX);
		int rc = without_gil([&] {
			return zvapi_changelog_clear(target.c_str(),
			                             user.c_str(), endrec);
		});
		if (rc != 0)
			raise_os_error(rc, target_arg);
	}

	std::string repr() const
	{
		return "<zorvel.ChangeLog target='" + target_ + "'" +
		       (follow_ ? " follow" : "") + (priv_ ? "" : " closed") +
		       ">";
	}

      private:
	/* One thread at a time: the handle is not shared while a read
	 * waits without the GIL. */
	struct in_use {
		ChangeLog *log;
		explicit in_use(ChangeLog *l) : log(l)
		{
			if (log->priv_ == nullptr)
				throw py::value_error(
				        "I/O operation on closed ChangeLog");
			if (log->busy_)
				throw std::runtime_error(
				        "ChangeLog is being read by another "
				        "thread");
			log->busy_ = true;
		}
		~in_use()
		{
			log->busy_ = false;
		}
	};

	void *priv_ = nullptr;
	std::string target_;
	bool follow_;
	bool busy_ = false;
};

/* next(log) straight from the type's slot: the method dispatcher would
 * look the instance's C++ type up in pybind11's registry for each record.
 * A ChangeLog has the simple layout (one C++ value, no base class). */
PyObject *changelog_iternext(PyObject *self)
{
	auto *inst = reinterpret_cast<py::detail::instance *>(self);
	if (!inst->simple_layout || !inst->simple_holder_constructed) {
		PyErr_SetString(PyExc_TypeError, "ChangeLog not initialised");
		return nullptr;
	}
	auto *log = static_cast<ChangeLog *>(inst->simple_value_holder[0]);
	try {
		return log->next().release().ptr();
	} catch (py::stop_iteration &) {
		return nullptr; /* no exception set: the end */
	} catch (py::error_already_set &e) {
		e.restore();
	} catch (py::builtin_exception &e) {
		e.set_error();
	} catch (std::exception &e) {
		PyErr_SetString(PyExc_RuntimeError, e.what());
	}
	return nullptr;
}

} // namespace

void bind_changelog(py::module_ &m)
{
	bind_changelog_record(m);
	auto cls =
	        py::class_<ChangeLog>(
	                m, "ChangeLog",
	                R"(ChangeLog(target, start=0, follow=False, jobid=True, extra=ChangeLogExtra.ALL)

A reader of the change log of metadata target target (such as
'demo-MDT0000'), from record start on (0: the first), and an iterator of
its ChangeLogRecords. The iteration ends at the end of the log; with
follow=True it waits for new records instead (without holding the GIL),
and Ctrl-C (or any signal handler that raises) stops the wait with its
exception, leaving the reader usable. jobid asks for the job of each
record; extra (ChangeLogExtra flags) for user and group, client, open
flags and extended attribute name. A log keeps records only while a log
user is registered on its target.

Use it as a context manager, or close() it.)")
	                .def(py::init<py::handle, py::handle, bool, bool,
	                              py::handle>(),
	                     py::arg("target"), py::arg("start") = 0,
	                     py::arg("follow") = false, py::arg("jobid") = true,
	                     py::arg("extra") = extra_all)
	                .def("__iter__", [](py::object self) { return self; })
	                .def("__next__", &ChangeLog::next)
	                .def("__enter__", [](py::object self) { return self; })
	                .def("__exit__",
	                     [](ChangeLog &log, py::args) {
		                     log.close();
		                     return false;
	                     })
	                .def("__repr__", &ChangeLog::repr)
	                .def("close", &ChangeLog::close,
	                     "close() -> None\n\nReleases the reader; closing "
	                     "twice is "
	                     "harmless.")
	                .def_property_readonly("closed", &ChangeLog::closed,
	                                       "True once closed.")
	                .def("fileno", &ChangeLog::fileno,
	                     "fileno() -> int\n\nThe log device's descriptor, "
	                     "for "
	                     "select() or poll().")
	                .def_property_readonly("buffered", &ChangeLog::buffered,
	                                       "True when records wait in the "
	                                       "reader's buffer, so the "
	                                       "next one comes without reading "
	                                       "the device (a consumer "
	                                       "commits its work before a read "
	                                       "that may wait).")
	                .def("clear", &ChangeLog::clear, py::arg("user"),
	                     py::arg("endrec"),
	                     "clear(user, endrec) -> None\n\nPurges, for log "
	                     "user user "
	                     "(such as 'cl1'), the records of this target up "
	                     "to and "
	                     "including endrec.");
	auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
	type->tp_iternext = changelog_iternext;
	PyType_Modified(type);
	m.def("changelog_clear", &ChangeLog::clear_records, py::arg("target"),
	      py::arg("user"), py::arg("endrec"),
	      "changelog_clear(target, user, endrec) -> None\n\nPurges, for "
	      "log user user, the records of target up to and including "
	      "endrec.");
}

} // namespace zvpy
