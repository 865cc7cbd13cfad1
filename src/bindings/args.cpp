#include "args.hpp"

#include <cstring>
#include <string>

namespace velk::py {
namespace {

[[noreturn]] void argument_error(PyObject* type, const char* name, const std::string& cause) {
  const std::string message = std::string("argument '") + name + "': " + cause;
  raise(type, message.c_str());
}

// Re-raises the pending exception of a failed conversion as the argument's
// error: same exception type, message prefixed with the argument's name.
[[noreturn]] void rewrap_pending_error(const char* name) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (type == nullptr) raise(PyExc_SystemError, "conversion failed without an exception");
  PyErr_Format(type, "argument '%s': %S", name, value != nullptr ? value : Py_None);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  throw PythonErrorSet{};
}

std::string attribute_text(PyObject* object, const char* attribute) {
  Ref value(PyObject_GetAttrString(object, attribute));
  if (!value.get()) {
    PyErr_Clear();
    return "?";
  }
  Ref text(PyObject_Str(value.get()));
  const char* utf8 = text.get() ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return utf8;
}

std::string type_name(PyObject* object) {
  return attribute_text(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__");
}

std::string array_expectation(int ndim) {
  return "expected a " + std::to_string(ndim) + "-dimensional numpy.ndarray of float64";
}

PyArrayObject* as_ndarray(const ArrayArg& argument) {
  return reinterpret_cast<PyArrayObject*>(argument.array);
}

void require_contiguous(const ArrayArg& argument) {
  const int flags = PyArray_FLAGS(as_ndarray(argument));
  if ((flags & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) == 0) {
    const std::string message = std::string("NotContiguousError: argument '") + argument.name +
                                "' is not contiguous in memory (a strided view); pass "
                                "numpy.ascontiguousarray(" + argument.name + ") instead";
    raise(PyExc_RuntimeError, message.c_str());
  }
}

}  // namespace

Ref checked(PyObject* new_reference) {
  if (new_reference == nullptr) throw PythonErrorSet{};
  return Ref(new_reference);
}

Arguments::Arguments(const char* function, std::initializer_list<const char*> names,
                     std::size_t required, PyObject* args, PyObject* kwargs, std::size_t keyword_only) {
  const std::size_t count = names.size();
  if (count > kMaxParameters) raise(PyExc_SystemError, "too many parameters for the argument table");
  const std::size_t positional = count - keyword_only;
  const Py_ssize_t given = args != nullptr ? PyTuple_Size(args) : 0;
  if (static_cast<std::size_t>(given) > positional) {
    const std::string message = std::string(function) + "() takes at most " + std::to_string(positional) +
                                (keyword_only > 0 ? " positional" : "") + " arguments (" +
                                std::to_string(given) + " given)";
    raise(PyExc_TypeError, message.c_str());
  }
  for (Py_ssize_t i = 0; i < given; ++i) slots_[i] = PyTuple_GetItem(args, i);

  if (kwargs != nullptr) {
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      std::size_t index = count;
      if (PyUnicode_Check(key)) {
        std::size_t i = 0;
        for (const char* name : names) {
          if (PyUnicode_CompareWithASCIIString(key, name) == 0) {
            index = i;
            break;
          }
          ++i;
        }
      }
      if (index == count) {
        Ref text(PyObject_Repr(key));
        const char* shown = text.get() ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
        if (shown == nullptr) PyErr_Clear();
        const std::string message = std::string(function) + "() got an unexpected keyword argument " +
                                    (shown != nullptr ? shown : "?");
        raise(PyExc_TypeError, message.c_str());
      }
      if (slots_[index] != nullptr) {
        const std::string message = std::string(function) + "() got multiple values for argument '" +
                                    names.begin()[index] + "'";
        raise(PyExc_TypeError, message.c_str());
      }
      slots_[index] = value;
    }
  }

  for (std::size_t i = 0; i < required; ++i) {
    if (slots_[i] == nullptr) {
      const std::string message = std::string(function) + "() missing required argument '" +
                                  names.begin()[i] + "' (pos " + std::to_string(i + 1) + ")";
      raise(PyExc_TypeError, message.c_str());
    }
  }
}

double as_float(PyObject* object, const char* name) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) rewrap_pending_error(name);
  return value;
}

double as_float(PyObject* object, const char* name, double fallback) {
  return object == nullptr ? fallback : as_float(object, name);
}

bool as_bool(PyObject* object, const char* name) {
  if (object == Py_True) return true;
  if (object == Py_False) return false;
  if (Py_TYPE(object) == &PyBoolArrType_Type) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) rewrap_pending_error(name);
    return truth != 0;
  }
  argument_error(PyExc_TypeError, name,
                 "'" + type_name(object) + "' object cannot be converted to a boolean (pass True or False)");
}

bool as_bool(PyObject* object, const char* name, bool fallback) {
  return object == nullptr ? fallback : as_bool(object, name);
}

std::uint64_t as_count(PyObject* object, const char* name) {
  Ref index(PyNumber_Index(object));
  if (!index.get()) rewrap_pending_error(name);
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) rewrap_pending_error(name);
  return static_cast<std::uint64_t>(value);
}

std::uint64_t as_count(PyObject* object, const char* name, std::uint64_t fallback) {
  return object == nullptr ? fallback : as_count(object, name);
}

std::optional<std::uint64_t> optional_count(PyObject* object, const char* name) {
  if (object == nullptr || object == Py_None) return std::nullopt;
  return as_count(object, name);
}

std::vector<double> as_float_tuple(PyObject* object, const char* name, std::size_t length) {
  if (!PyTuple_Check(object)) {
    argument_error(PyExc_TypeError, name,
                   "'" + type_name(object) + "' object cannot be converted to a tuple (expected a tuple of " +
                       std::to_string(length) + " floats)");
  }
  const Py_ssize_t size = PyTuple_Size(object);
  if (size != static_cast<Py_ssize_t>(length)) {
    argument_error(PyExc_TypeError, name,
                   "expected a tuple of length " + std::to_string(length) + ", got a tuple of length " +
                       std::to_string(size));
  }
  std::vector<double> values(length);
  for (std::size_t i = 0; i < length; ++i) {
    values[i] = as_float(PyTuple_GetItem(object, static_cast<Py_ssize_t>(i)), name);
  }
  return values;
}

Bounds as_bounds(PyObject* object, const char* name) {
  const std::vector<double> pair = as_float_tuple(object, name, 2);
  return {pair[0], pair[1]};
}

Bounds as_bounds(PyObject* object, const char* name, Bounds fallback) {
  return object == nullptr ? fallback : as_bounds(object, name);
}

ArrayArg as_array(PyObject* object, const char* name, int ndim) {
  if (!PyArray_Check(object)) {
    argument_error(PyExc_TypeError, name, array_expectation(ndim) + ", got '" + type_name(object) + "'");
  }
  PyArrayObject* array = reinterpret_cast<PyArrayObject*>(object);
  if (PyArray_NDIM(array) != ndim) {
    argument_error(PyExc_TypeError, name,
                   array_expectation(ndim) + ", got a " + std::to_string(PyArray_NDIM(array)) +
                       "-dimensional array");
  }
  PyArray_Descr* float64 = PyArray_DescrFromType(NPY_DOUBLE);
  const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), float64) != 0;
  Py_DECREF(float64);
  if (!equivalent) {
    argument_error(PyExc_TypeError, name,
                   array_expectation(ndim) + ", got an array of " + attribute_text(object, "dtype") +
                       " (convert it with .astype(numpy.float64))");
  }
  return {object, name};
}

std::optional<ArrayArg> optional_array(PyObject* object, const char* name, int ndim) {
  if (object == nullptr || object == Py_None) return std::nullopt;
  return as_array(object, name, ndim);
}

std::optional<std::vector<double>> optional_float_tuple(PyObject* object, const char* name,
                                                        std::size_t length) {
  if (object == nullptr || object == Py_None) return std::nullopt;
  return as_float_tuple(object, name, length);
}

std::vector<double> to_vector(const ArrayArg& argument) {
  require_contiguous(argument);
  PyArrayObject* array = as_ndarray(argument);
  const std::size_t length = static_cast<std::size_t>(PyArray_DIM(array, 0));
  std::vector<double> values(length);
  if (length > 0) std::memcpy(values.data(), PyArray_DATA(array), length * sizeof(double));
  return values;
}

std::optional<std::vector<double>> to_vector(const std::optional<ArrayArg>& argument) {
  if (!argument) return std::nullopt;
  return to_vector(*argument);
}

RowMatrix extract_rows(const ArrayArg& argument) {
  require_contiguous(argument);
  PyArrayObject* array = as_ndarray(argument);
  const std::size_t rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
  const std::size_t cols = static_cast<std::size_t>(PyArray_DIM(array, 1));
  RowMatrix matrix(rows, cols);
  if (rows == 0 || cols == 0) return matrix;
  const char* base = static_cast<const char*>(PyArray_DATA(array));
  if (PyArray_IS_C_CONTIGUOUS(array)) {
    std::memcpy(matrix.values().data(), base, rows * cols * sizeof(double));
    return matrix;
  }
  // Fortran order: copy logical rows, not memory order, so a transposed array
  // gives the rows the caller sees.
  const npy_intp row_stride = PyArray_STRIDE(array, 0);
  const npy_intp col_stride = PyArray_STRIDE(array, 1);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < cols; ++c) {
      std::memcpy(&matrix(r, c), base + static_cast<npy_intp>(r) * row_stride + static_cast<npy_intp>(c) * col_stride,
                  sizeof(double));
    }
  }
  return matrix;
}

ArrayCopy extract_array(const ArrayArg& argument) {
  require_contiguous(argument);
  PyArrayObject* array = as_ndarray(argument);
  const int ndim = PyArray_NDIM(array);
  ArrayCopy copy;
  std::size_t count = 1;
  for (int k = 0; k < ndim; ++k) {
    copy.shape.push_back(static_cast<std::size_t>(PyArray_DIM(array, k)));
    count *= copy.shape.back();
  }
  copy.values.resize(count);
  if (count == 0) return copy;
  const char* base = static_cast<const char*>(PyArray_DATA(array));
  if (PyArray_IS_C_CONTIGUOUS(array)) {
    std::memcpy(copy.values.data(), base, count * sizeof(double));
    return copy;
  }
  // Fortran order: walk the logical indices in C order (last index fastest).
  std::vector<std::size_t> index(static_cast<std::size_t>(ndim), 0);
  for (std::size_t flat = 0; flat < count; ++flat) {
    npy_intp offset = 0;
    for (int k = 0; k < ndim; ++k) offset += static_cast<npy_intp>(index[k]) * PyArray_STRIDE(array, k);
    std::memcpy(&copy.values[flat], base + offset, sizeof(double));
    for (int k = ndim - 1; k >= 0 && ++index[k] == copy.shape[k]; --k) index[k] = 0;
  }
  return copy;
}

Ref new_float(double value) { return checked(PyFloat_FromDouble(value)); }

Ref new_array_1d(std::span<const double> values) {
  npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
  Ref array = checked(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
  if (!values.empty()) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), values.data(),
                values.size() * sizeof(double));
  }
  return array;
}

namespace {

constexpr const char* kBufferCapsuleName = "velkora.velk_core.result_buffer";

void free_result_buffer(PyObject* capsule) {
  delete static_cast<std::vector<double>*>(PyCapsule_GetPointer(capsule, kBufferCapsuleName));
}

}  // namespace

Ref new_array_2d(RowMatrix&& matrix) {
  npy_intp dims[2] = {static_cast<npy_intp>(matrix.rows()), static_cast<npy_intp>(matrix.cols())};
  if (matrix.values().empty()) return checked(PyArray_ZEROS(2, dims, NPY_DOUBLE, 0));
  auto* buffer = new std::vector<double>(std::move(matrix.values()));
  PyObject* capsule = PyCapsule_New(buffer, kBufferCapsuleName, free_result_buffer);
  if (capsule == nullptr) {
    delete buffer;
    throw PythonErrorSet{};
  }
  Ref owner(capsule);
  Ref array = checked(PyArray_SimpleNewFromData(2, dims, NPY_DOUBLE, buffer->data()));
  // PyArray_SetBaseObject steals the capsule reference, also when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) != 0) {
    throw PythonErrorSet{};
  }
  return array;
}

}  // namespace velk::py
