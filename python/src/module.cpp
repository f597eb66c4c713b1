/* The compiled part of the zorvel package: zorvel._zorvel. The package's
 * __init__ re-exports it with the enumerations and small records written
 * in Python. */
#include "convert.h"

PYBIND11_MODULE(_zorvel, m)
{
	/* Each docstring starts with the Python signature. */
	py::options options;
	options.disable_function_signatures();

	m.doc() = "Bindings of libzorvelapi; use the zorvel package.";
	zvpy::bind_fid(m);
	zvpy::bind_names(m);
	zvpy::bind_changelog(m);
	zvpy::bind_swap(m);
	zvpy::bind_lease(m);
	zvpy::bind_data(m);
	zvpy::bind_advice(m);
	m.def("set_message_level", &zvapi_msg_set_level, py::arg("level"),
	      "set_message_level(level) -> int\n\nHow much the client library "
	      "writes to standard error (MessageLevel); returns the previous "
	      "level. Failures come as exceptions whatever the level; the "
	      "package sets MessageLevel.OFF when it is imported.");
	/* Classes show as the package's own. */
	for (const char *cls : {"ChangeLog", "GroupLock", "Lease"})
		m.attr(cls).attr("__module__") = "zorvel";
}
