// Running engine work with the interpreter lock released.
//
// Both helpers run pure C++ on owned copies of the arguments: nothing between
// release and re-acquisition touches a Python object, which is what makes the
// release safe. Exceptions thrown by the work are carried across the
// re-acquisition and rethrown with the lock held.
#pragma once

#include <signal.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "errors.hpp"
#include "python.hpp"
#include "run_state.hpp"

namespace velk::py {

namespace detail {

template <class Work>
auto run_captured(Work& work, std::exception_ptr& failure) -> std::optional<std::invoke_result_t<Work&>> {
  try {
    return work();
  } catch (...) {
    failure = std::current_exception();
    return std::nullopt;
  }
}

}  // namespace detail

/// Runs work() with the interpreter lock released and returns its result.
template <class Work>
auto without_gil(Work&& work) -> std::invoke_result_t<Work&> {
  std::exception_ptr failure;
  PyThreadState* state = PyEval_SaveThread();
  auto result = detail::run_captured(work, failure);
  PyEval_RestoreThread(state);
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

/// The interruptible call sequence of the long-running functions: clear the
/// Ctrl+C flag, let SIGINT only set that flag, release the lock and run the
/// work, re-acquire the lock, then put back the SIGINT disposition that was in
/// force before the call (on every exit path, so the user's next Ctrl+C is
/// handled as before). If Ctrl+C was pressed, the partial result is discarded
/// and KeyboardInterrupt("Interrupted by Ctrl+C") is raised.
template <class Work>
auto interruptible(Work&& work) -> std::invoke_result_t<Work&> {
  set_interrupted(false);
  struct sigaction flag_only {};
  flag_only.sa_handler = set_interrupted_flag;
  sigemptyset(&flag_only.sa_mask);
  flag_only.sa_flags = 0;
  struct sigaction previous {};
  const bool installed = sigaction(SIGINT, &flag_only, &previous) == 0;

  std::exception_ptr failure;
  PyThreadState* state = PyEval_SaveThread();
  auto result = detail::run_captured(work, failure);
  PyEval_RestoreThread(state);

  if (installed) sigaction(SIGINT, &previous, nullptr);
  if (interrupted()) {
    set_interrupted(false);
    raise(PyExc_KeyboardInterrupt, "Interrupted by Ctrl+C");
  }
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

}  // namespace velk::py
