// NumPy's C API for a module that uses it. The one translation unit that
// calls import_array() defines TOLVANE_IMPORT_NUMPY_API before including this;
// CMake gives each module its own PY_ARRAY_UNIQUE_SYMBOL.
#pragma once

#include "support/py_ref.hpp"

#ifndef TOLVANE_IMPORT_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
