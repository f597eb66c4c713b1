/* A change-log record as a Python object. */
#ifndef ZORVEL_PY_CHANGELOG_RECORD_H
#define ZORVEL_PY_CHANGELOG_RECORD_H

#include "convert.h"

namespace zvpy
{

/* The ChangeLogRecord of rec, which is in the layout its flags say. */
py::object record_object(const changelog_rec *rec);

} // namespace zvpy

#endif
