// Run-wide switches shared by every model evaluation, and the Ctrl+C flag.
//
// They are process-wide and set from Python at set-up time while no call is
// running; worker threads only read them. Relaxed atomics cost the same as
// plain loads on every target we build for, keep the sanitizers quiet, and a
// lock-free atomic<bool> is the one object a signal handler may legally store to.
#pragma once

#include <atomic>

namespace velk {

/// Michaelis-Menten ceiling of the cooperative drives (+inf: no ceiling).
double mm_vmax() noexcept;
void set_mm_vmax(double vmax) noexcept;

/// Raw-count base for the cooperative drives instead of the fraction base.
bool raw_count() noexcept;
void set_raw_count(bool enabled) noexcept;

/// Set by the SIGINT handler during an interruptible call; long drivers poll it
/// and wind down.
bool interrupted() noexcept;
void set_interrupted(bool value) noexcept;

/// Signal handler for SIGINT: stores true into the flag and nothing else
/// (async-signal-safe).
extern "C" void set_interrupted_flag(int signal_number) noexcept;

}  // namespace velk
