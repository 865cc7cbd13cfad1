// Module definition, the function table in interface order, and init.
#define VELK_IMPORT_NUMPY_API
#include "python.hpp"

#include <array>

#include "entries.hpp"

namespace velk::py {
namespace {

// GCC warns on casting a keyword function to PyCFunction directly; the
// detour through a plain function pointer type is the sanctioned spelling.
template <class Function>
PyCFunction as_c_function(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

// Interface order: __all__ follows this table.
PyMethodDef kFunctions[] = {
    {"py_set_raw_count", as_c_function(py_set_raw_count), METH_VARARGS | METH_KEYWORDS, py_set_raw_count_doc},
    {"py_set_mm_vmax", as_c_function(py_set_mm_vmax), METH_VARARGS | METH_KEYWORDS, py_set_mm_vmax_doc},
    {"py_compute_nll", as_c_function(py_compute_nll), METH_VARARGS | METH_KEYWORDS, py_compute_nll_doc},
    {"py_compute_model_fracs", as_c_function(py_compute_model_fracs), METH_VARARGS | METH_KEYWORDS,
     py_compute_model_fracs_doc},
    {"py_fit_one_density", as_c_function(py_fit_one_density), METH_VARARGS | METH_KEYWORDS,
     py_fit_one_density_doc},
    {"py_fit_all_densities", as_c_function(py_fit_all_densities), METH_VARARGS | METH_KEYWORDS,
     py_fit_all_densities_doc},
    {"py_fit_all_densities_exp", as_c_function(py_fit_all_densities_exp), METH_VARARGS | METH_KEYWORDS,
     py_fit_all_densities_exp_doc},
    {"py_fit_shared_st", as_c_function(py_fit_shared_st), METH_VARARGS | METH_KEYWORDS,
     py_fit_shared_st_doc},
    {"py_fit_shared_exp", as_c_function(py_fit_shared_exp), METH_VARARGS | METH_KEYWORDS,
     py_fit_shared_exp_doc},
    {"py_fit_shared_st_exp_perdensity", as_c_function(py_fit_shared_st_exp_perdensity),
     METH_VARARGS | METH_KEYWORDS, py_fit_shared_st_exp_perdensity_doc},
    {"py_fit_shared_co", as_c_function(py_fit_shared_co), METH_VARARGS | METH_KEYWORDS,
     py_fit_shared_co_doc},
    {"py_profile_shared_st", as_c_function(py_profile_shared_st), METH_VARARGS | METH_KEYWORDS,
     py_profile_shared_st_doc},
    {"py_profile_shared_co", as_c_function(py_profile_shared_co), METH_VARARGS | METH_KEYWORDS,
     py_profile_shared_co_doc},
    {"py_fit_bootstrap", as_c_function(py_fit_bootstrap), METH_VARARGS | METH_KEYWORDS, py_fit_bootstrap_doc},
    {"py_fit_bootstrap_exp", as_c_function(py_fit_bootstrap_exp), METH_VARARGS | METH_KEYWORDS,
     py_fit_bootstrap_exp_doc},
    {"py_fit_bootstrap_exp_perdensity", as_c_function(py_fit_bootstrap_exp_perdensity),
     METH_VARARGS | METH_KEYWORDS, py_fit_bootstrap_exp_perdensity_doc},
    {"py_fit_bootstrap_co", as_c_function(py_fit_bootstrap_co), METH_VARARGS | METH_KEYWORDS,
     py_fit_bootstrap_co_doc},
    {"py_compute_phase_grids", as_c_function(py_compute_phase_grids), METH_VARARGS | METH_KEYWORDS,
     py_compute_phase_grids_doc},
    {"py_fit_drift_one", as_c_function(py_fit_drift_one), METH_VARARGS | METH_KEYWORDS, py_fit_drift_one_doc},
    {"py_fit_drift_bootstrap", as_c_function(py_fit_drift_bootstrap), METH_VARARGS | METH_KEYWORDS,
     py_fit_drift_bootstrap_doc},
    {"py_drift_predict", as_c_function(py_drift_predict), METH_VARARGS | METH_KEYWORDS, py_drift_predict_doc},
    {"py_fit_tied", as_c_function(py_fit_tied), METH_VARARGS | METH_KEYWORDS, py_fit_tied_doc},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "velk_core",
    "Python module.",
    0,        // no per-module state
    nullptr,  // functions are added after creation, in table order
    nullptr, nullptr, nullptr, nullptr,
};

// The module keeps process-wide state (run-wide switches, the Ctrl+C flag, the
// thread pool), so it is created once per process.
PyObject* g_module = nullptr;
bool g_initialised = false;

PyObject* create_module() {
  if (g_initialised) {
    PyErr_SetString(PyExc_ImportError,
                    "velk_core may only be initialised once per interpreter process");
    return nullptr;
  }
  if (PyArray_ImportNumPyAPI() < 0) return nullptr;

  PyObject* module = PyModule_Create(&kModule);
  if (module == nullptr) return nullptr;
  PyObject* all = PyList_New(0);
  if (all == nullptr || PyModule_AddObjectRef(module, "__all__", all) < 0) {
    Py_XDECREF(all);
    Py_DECREF(module);
    return nullptr;
  }
  PyObject* module_name = PyModule_GetNameObject(module);
  for (PyMethodDef& definition : kFunctions) {
    PyObject* function = module_name ? PyCFunction_NewEx(&definition, nullptr, module_name) : nullptr;
    PyObject* name = function ? PyUnicode_FromString(definition.ml_name) : nullptr;
    const bool added = name != nullptr && PyModule_AddObjectRef(module, definition.ml_name, function) == 0 &&
                       PyList_Append(all, name) == 0;
    Py_XDECREF(name);
    Py_XDECREF(function);
    if (!added) {
      Py_XDECREF(module_name);
      Py_DECREF(all);
      Py_DECREF(module);
      return nullptr;
    }
  }
  Py_XDECREF(module_name);
  Py_DECREF(all);

  g_initialised = true;
  g_module = module;
  Py_INCREF(g_module);  // the process-wide cell keeps its own reference
  return module;
}

}  // namespace
}  // namespace velk::py

PyMODINIT_FUNC PyInit_velk_core(void) {
  try {
    return velk::py::create_module();
  } catch (...) {
    PyErr_SetString(PyExc_ImportError, "velk_core: internal error during initialisation");
    return nullptr;
  }
}
