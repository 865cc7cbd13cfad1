// The phase diagram over the cooperative rates.
#include "args.hpp"
#include "entries.hpp"
#include "fits/phase_grids.hpp"
#include "gil.hpp"
#include "run_state.hpp"

namespace velk::py {

const char py_compute_phase_grids_doc[] =
    "py_compute_phase_grids(st_free, normalize_stw, log_cow_grid, log_coe_grid, n_u=2.0, n_m=2.0)\n--\n\n"
    "Compute phase diagram grids over log10(CoW) x log10(CoE) space.\n\n"
    "Returns (bistability, avg_meth, entropy, frac_inter) as 2D numpy arrays,\n"
    "each of shape (n_cow, n_coe).";

PyObject* py_compute_phase_grids(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Arguments a("py_compute_phase_grids",
                      {"st_free", "normalize_stw", "log_cow_grid", "log_coe_grid", "n_u", "n_m"}, 4, args,
                      kwargs);
    const double st_free = as_float(a[0], "st_free");
    const bool normalize_stw = as_bool(a[1], "normalize_stw");
    const ArrayArg cow_arg = as_array(a[2], "log_cow_grid", 1);
    const ArrayArg coe_arg = as_array(a[3], "log_coe_grid", 1);
    const double n_U = as_float(a[4], "n_u", 2.0);
    const double n_M = as_float(a[5], "n_m", 2.0);
    const std::vector<double> log_cow_grid = to_vector(cow_arg);
    const std::vector<double> log_coe_grid = to_vector(coe_arg);

    // Safe without the lock: the grids are owned copies, nothing touches Python.
    PhaseGrids grids = without_gil([&] {
      return compute_phase_grids(st_free, normalize_stw, log_cow_grid, log_coe_grid, n_U, n_M, mm_vmax());
    });
    Ref bistability = new_array_2d(std::move(grids.bistability));
    Ref avg_meth = new_array_2d(std::move(grids.avg_meth));
    Ref entropy = new_array_2d(std::move(grids.entropy));
    Ref frac_inter = new_array_2d(std::move(grids.frac_inter));
    return new_tuple(std::move(bistability), std::move(avg_meth), std::move(entropy), std::move(frac_inter))
        .release();
  });
}

}  // namespace velk::py
