#include "run_state.hpp"

#include <limits>

namespace velk {
namespace {

std::atomic<double> g_mm_vmax{std::numeric_limits<double>::infinity()};
std::atomic<bool> g_raw_count{false};
std::atomic<bool> g_interrupted{false};

static_assert(std::atomic<bool>::is_always_lock_free,
              "the SIGINT handler must be able to store the flag without a lock");

}  // namespace

double mm_vmax() noexcept { return g_mm_vmax.load(std::memory_order_relaxed); }
void set_mm_vmax(double vmax) noexcept { g_mm_vmax.store(vmax, std::memory_order_relaxed); }

bool raw_count() noexcept { return g_raw_count.load(std::memory_order_relaxed); }
void set_raw_count(bool enabled) noexcept { g_raw_count.store(enabled, std::memory_order_relaxed); }

bool interrupted() noexcept { return g_interrupted.load(std::memory_order_relaxed); }
void set_interrupted(bool value) noexcept { g_interrupted.store(value, std::memory_order_relaxed); }

extern "C" void set_interrupted_flag(int /*signal_number*/) noexcept {
  g_interrupted.store(true, std::memory_order_relaxed);
}

}  // namespace velk
