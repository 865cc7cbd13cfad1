#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "parallel.hpp"

// The fork tests start threads in the child of a multi-threaded parent, which
// ThreadSanitizer refuses by default.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_options() { return "die_after_fork=0"; }
#endif

namespace {

using namespace std::chrono_literals;

// Polls `done` for up to ten seconds; returns its last value.
template <class Done>
bool wait_until(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(100us);
  return done();
}

// A deadlocked pool would hang the whole suite; fail loudly instead.
template <class Fn>
void finishes_within(std::chrono::seconds limit, Fn fn) {
  std::packaged_task<void()> task(fn);
  auto done = task.get_future();
  std::thread runner(std::move(task));
  if (done.wait_for(limit) != std::future_status::ready) {
    std::fputs("parallel map deadlocked\n", stderr);
    std::_Exit(3);
  }
  runner.join();
  done.get();
}

// Deterministic per-index value standing in for a seeded fit.
double fit_value(std::size_t seed) {
  std::mt19937_64 stream(seed);
  return std::uniform_real_distribution<double>(-1.0, 1.0)(stream);
}

// Bootstrap samples -> per-density passes -> grid points, each level a map on
// `pool`, reduced in index order after each join.
double nested_fit(velk::ThreadPool& pool) {
  auto per_sample = pool.map(6, [&](std::size_t sample) {
    auto per_density = pool.map(5, [&](std::size_t density) {
      auto grid = pool.map(40, [&](std::size_t point) {
        return fit_value(sample * 1000 + density * 100 + point);
      });
      double sum = 0.0;
      for (double v : grid) sum += v;
      return sum * static_cast<double>(sample + 1);
    });
    double sum = 0.0;
    for (double v : per_density) sum += v;
    return sum;
  });
  double total = 0.0;
  for (double v : per_sample) total += v;
  return total;
}

// True when both items of one global map run at the same time, which needs a
// live worker besides the caller.
bool two_items_overlap() {
  std::atomic<int> arrived{0};
  const auto met = velk::parallel_map(2, [&](std::size_t) {
    ++arrived;
    return wait_until([&] { return arrived == 2; });
  });
  return met[0] && met[1];
}

// Runs `check` in a forked child and returns its exit status (-1: no normal exit).
template <class Check>
int status_of_forked_child(Check check) {
  const pid_t child = fork();
  if (child == 0) {
    alarm(60);  // a hang in the child shows up as a signal, not a stuck suite
    std::_Exit(check() ? 0 : 1);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(Parallel, ResultsInIndexOrder) {
  velk::ThreadPool pool(4);
  auto squares = pool.map(200, [](std::size_t i) {
    std::this_thread::sleep_for(std::chrono::microseconds((i * 7919) % 300));
    return i * i;
  });
  // Neighbours of a vector<bool> share a word: the race detector sees shared writes.
  auto flags = pool.map(5000, [](std::size_t i) { return i % 3 == 0; });
  struct NoDefault {
    explicit NoDefault(std::size_t v) : value(v) {}
    std::size_t value;
  };
  auto tagged = pool.map(100, [](std::size_t i) { return NoDefault(2 * i); });
  for (std::size_t i = 0; i < 200; ++i) ASSERT_EQ(squares[i], i * i) << i;
  for (std::size_t i = 0; i < 5000; ++i) ASSERT_EQ(flags[i], i % 3 == 0) << i;
  for (std::size_t i = 0; i < 100; ++i) ASSERT_EQ(tagged[i].value, 2 * i) << i;
}

TEST(Parallel, EmptyAndSingleItemMaps) {
  std::atomic<int> calls{0};
  EXPECT_TRUE(velk::parallel_map(0, [&](std::size_t) { return ++calls; }).empty());
  velk::parallel_for(0, [&](std::size_t) { ++calls; });
  EXPECT_EQ(calls.load(), 0);
  EXPECT_EQ(velk::parallel_map(1, [](std::size_t i) { return i + 41; }),
            std::vector<std::size_t>{41});
  EXPECT_THROW(velk::ThreadPool(0), std::invalid_argument);
}

TEST(Parallel, NestedThreeLevels) {
  double sequential = 0.0;  // the same reductions in the same order
  for (std::size_t sample = 0; sample < 6; ++sample) {
    double per_sample = 0.0;
    for (std::size_t density = 0; density < 5; ++density) {
      double grid = 0.0;
      for (std::size_t point = 0; point < 40; ++point) {
        grid += fit_value(sample * 1000 + density * 100 + point);
      }
      per_sample += grid * static_cast<double>(sample + 1);
    }
    sequential += per_sample;
  }
  for (std::size_t threads : {1U, 3U, 8U}) {
    finishes_within(120s, [&] {
      velk::ThreadPool pool(threads);
      EXPECT_EQ(nested_fit(pool), sequential) << threads << " threads";
    });
  }
  // Several outside threads nesting on one pool at once, as concurrent calls from Python do.
  finishes_within(120s, [&] {
    velk::ThreadPool shared(2);
    std::vector<std::future<double>> callers;
    for (int c = 0; c < 3; ++c) {
      callers.push_back(std::async(std::launch::async, [&] { return nested_fit(shared); }));
    }
    for (auto& caller : callers) EXPECT_EQ(caller.get(), sequential);
  });
}

TEST(Parallel, LowestFailingIndexWinsAndLaterItemsAreSkipped) {
  velk::ThreadPool pool(4);
  // Item 5 throws first and item 2 after it, and neither starts before the
  // other has: the lower index must still win.
  std::atomic<bool> two_started{false};
  std::atomic<bool> five_threw{false};
  try {
    pool.for_each(8, [&](std::size_t i) {
      if (i == 5) {
        wait_until([&] { return two_started.load(); });
        five_threw = true;
        throw std::runtime_error("item 5");
      }
      if (i == 2) {
        two_started = true;
        wait_until([&] { return five_threw.load(); });
        throw std::runtime_error("item 2");
      }
    });
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "item 2");
  }

  std::atomic<std::size_t> started{0};
  EXPECT_THROW(pool.for_each(10000,
                             [&](std::size_t i) {
                               ++started;
                               if (i == 0) throw std::logic_error("first item");
                               std::this_thread::sleep_for(20us);
                             }),
               std::logic_error);
  EXPECT_LT(started.load(), 1000U);

  // An inner map's failure crosses the outer map to the caller.
  EXPECT_THROW(pool.for_each(4,
                             [&](std::size_t outer) {
                               pool.for_each(4, [&](std::size_t inner) {
                                 if (outer == 3 && inner == 1) throw std::out_of_range("inner");
                               });
                             }),
               std::out_of_range);
  EXPECT_EQ(pool.map(100, [](std::size_t i) { return i; })[99], 99U);
}

TEST(Parallel, ForkedChildBuildsFreshPool) {
  const double expected = velk::parallel_map(300, fit_value)[299];
  // Fork while the parent's workers are busy, so the child inherits a pool in mid-use.
  std::atomic<bool> keep_busy{true};
  std::thread busy([&] {
    while (keep_busy) velk::parallel_for(64, [](std::size_t i) { (void)fit_value(i); });
  });
  std::this_thread::sleep_for(5ms);
  const int status = status_of_forked_child([&] {
    return two_items_overlap() && velk::parallel_map(300, fit_value)[299] == expected;
  });
  keep_busy = false;
  busy.join();
  EXPECT_EQ(status, 0);
}

TEST(Parallel, WorkerCountFromEnvironment) {
  EXPECT_EQ(velk::detail::parse_thread_count("3"), 3U);
  EXPECT_EQ(velk::detail::parse_thread_count("128"), 128U);
  for (const char* refused :
       {"0", "", "-2", "+2", " 2", "2 ", "two", "3x", "1e3", "99999999999999999999999"}) {
    EXPECT_FALSE(velk::detail::parse_thread_count(refused)) << '"' << refused << '"';
  }
  EXPECT_FALSE(velk::detail::parse_thread_count(nullptr));

  // The variable is read when the pool is built: in a child, on first use.
  (void)velk::pool_thread_count();
  EXPECT_EQ(status_of_forked_child([] {
              setenv("RAYON_NUM_THREADS", "3", 1);
              return velk::pool_thread_count() == 3;
            }),
            0);
}

}  // namespace
