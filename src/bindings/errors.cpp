#include "errors.hpp"

namespace velk::py {

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PythonErrorSet{};
}

void set_python_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonErrorSet&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error flagged without an exception");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    PyErr_SetString(PyExc_RuntimeError, failure.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown internal error");
  }
}

}  // namespace velk::py
