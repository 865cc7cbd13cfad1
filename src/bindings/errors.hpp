// The single place where C++ errors cross into Python.
//
// Entry functions run their body through `guarded`: every C++ exception
// becomes a Python exception and the function returns NULL, so nothing ever
// unwinds into the interpreter and the module stays usable after any failure.
#pragma once

#include <exception>
#include <new>
#include <stdexcept>

#include "python.hpp"

namespace velk::py {

/// Thrown after a Python exception has been set (argument errors, failed
/// object creation); `guarded` leaves that exception in place.
struct PythonErrorSet {};

/// Sets `type` with `message` and throws PythonErrorSet.
[[noreturn]] void raise(PyObject* type, const char* message);

/// Converts the exception in flight into a Python exception (RuntimeError
/// with the failure text; MemoryError for allocation failures).
void set_python_error_from_current_exception() noexcept;

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_python_error_from_current_exception();
    return nullptr;
  }
}

}  // namespace velk::py
