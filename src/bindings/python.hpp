// The one include for Python and NumPy headers in the binding layer. Only
// module.cpp imports the NumPy C API table; every other file shares it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifndef VELK_IMPORT_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
