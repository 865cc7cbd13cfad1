#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "parallel.hpp"

// The fork test starts threads in a child of a multi-threaded parent, which
// ThreadSanitizer refuses by default.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_options() { return "die_after_fork=0"; }
#endif

namespace {

using namespace std::chrono_literals;

// A deadlocked pool would hang the whole suite; fail loudly instead.
template <class Fn>
void finishes_within(std::chrono::seconds limit, Fn fn) {
  std::packaged_task<void()> task(fn);
  auto done = task.get_future();
  std::thread runner(std::move(task));
  if (done.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "parallel map did not finish within %llds: deadlock\n",
                 static_cast<long long>(limit.count()));
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
double nested_fit(velk::ThreadPool& pool, std::size_t samples) {
  auto per_sample = pool.map(samples, [&](std::size_t sample) {
    auto per_density = pool.map(5, [&](std::size_t density) {
      auto grid = pool.map(40, [&](std::size_t point) {
        return fit_value(sample * 1000 + density * 100 + point);
      });
      double sum = 0.0;
      for (double v : grid) sum += v;
      return sum;
    });
    double sum = 0.0;
    for (double v : per_density) sum += v * static_cast<double>(sample + 1);
    return sum;
  });
  double total = 0.0;
  for (double v : per_sample) total += v;
  return total;
}

// Runs `check` in a forked child and returns its exit status (-1: did not exit).
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

TEST(Parallel, ResultsInIndexOrderWhateverTheDurations) {
  velk::ThreadPool pool(4);
  auto results = pool.map(200, [](std::size_t i) {
    std::this_thread::sleep_for(std::chrono::microseconds((i * 7919) % 300));
    return i * i + 7;
  });
  ASSERT_EQ(results.size(), 200U);
  for (std::size_t i = 0; i < results.size(); ++i) EXPECT_EQ(results[i], i * i + 7) << i;
}

TEST(Parallel, ResultTypesWithoutDefaultOrPackedStorage) {
  velk::ThreadPool pool(3);
  // vector<bool> packs neighbours into one word: the sanitizer build catches shared writes.
  auto flags = pool.map(5000, [](std::size_t i) { return i % 3 == 0; });
  auto owned = pool.map(100, [](std::size_t i) { return std::make_unique<std::size_t>(i); });
  struct NoDefault {
    explicit NoDefault(std::size_t v) : value(v) {}
    std::size_t value;
  };
  auto tagged = pool.map(100, [](std::size_t i) { return NoDefault(2 * i); });
  for (std::size_t i = 0; i < 5000; ++i) ASSERT_EQ(flags[i], i % 3 == 0) << i;
  for (std::size_t i = 0; i < 100; ++i) {
    EXPECT_EQ(*owned[i], i);
    EXPECT_EQ(tagged[i].value, 2 * i);
  }
}

TEST(Parallel, EmptyAndSingleItemMaps) {
  velk::ThreadPool pool(2);
  std::atomic<int> calls{0};
  EXPECT_TRUE(pool.map(0, [&](std::size_t) { return ++calls; }).empty());
  velk::parallel_for(0, [&](std::size_t) { ++calls; });
  EXPECT_EQ(calls.load(), 0);
  const auto single = velk::parallel_map(1, [](std::size_t i) { return i + 41; });
  EXPECT_EQ(single, std::vector<std::size_t>{41});
  EXPECT_THROW(velk::ThreadPool(0), std::invalid_argument);
}

TEST(Parallel, NestedThreeLevels) {
  // The same reductions, in the same order, on one thread.
  double sequential = 0.0;
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
  for (std::size_t workers : {1U, 4U}) {
    finishes_within(120s, [&] {
      velk::ThreadPool pool(workers);
      EXPECT_EQ(nested_fit(pool, 6), sequential) << workers << " workers";
    });
  }
  // Several outside threads nesting on one pool at once, as concurrent Python calls do.
  finishes_within(120s, [&] {
    velk::ThreadPool shared(2);
    std::vector<std::future<double>> callers;
    for (int c = 0; c < 3; ++c) {
      callers.push_back(std::async(std::launch::async, [&] { return nested_fit(shared, 6); }));
    }
    for (auto& caller : callers) EXPECT_EQ(caller.get(), sequential);
  });
}

TEST(Parallel, SameResultsForAnyThreadCount) {
  auto run = [](velk::ThreadPool& pool) {
    auto fits = pool.map(1000, [](std::size_t i) { return fit_value(i); });
    double total = -0.0;
    for (double v : fits) total += v;  // reduced after the join, in index order
    return total;
  };
  velk::ThreadPool one(1);
  velk::ThreadPool three(3);
  velk::ThreadPool eight(8);
  const double reference = run(one);
  EXPECT_EQ(run(three), reference);
  EXPECT_EQ(run(eight), reference);
  auto global = velk::parallel_map(1000, [](std::size_t i) { return fit_value(i); });
  double total = -0.0;
  for (double v : global) total += v;
  EXPECT_EQ(total, reference);
}

TEST(Parallel, LowestFailingIndexWinsAndLaterItemsAreSkipped) {
  velk::ThreadPool pool(4);
  // Item 5 fails first, item 2 only after it: the lower index must still win.
  // Each waits for the other to have started, so neither can be skipped.
  std::atomic<bool> two_started{false};
  std::atomic<bool> five_threw{false};
  auto wait_for = [](const std::atomic<bool>& flag) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!flag && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(100us);
    }
  };
  auto throw_two_and_five = [&](std::size_t i) {
    if (i == 5) {
      wait_for(two_started);
      five_threw = true;
      throw std::runtime_error("item 5");
    }
    if (i == 2) {
      two_started = true;
      wait_for(five_threw);
      throw std::runtime_error("item 2");
    }
    return i;
  };
  try {
    pool.map(8, throw_two_and_five);
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

  // The pool is usable afterwards.
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
    return velk::pool_thread_count() >= 1 && velk::parallel_map(300, fit_value)[299] == expected;
  });
  keep_busy = false;
  busy.join();
  EXPECT_EQ(status, 0);
}

TEST(Parallel, WorkerCountFromEnvironment) {
  EXPECT_EQ(velk::detail::parse_thread_count("3"), 3U);
  EXPECT_EQ(velk::detail::parse_thread_count("128"), 128U);
  for (const char* refused : {"0", "", "-2", "+2", " 2", "2 ", "two", "3x", "1e3",
                              "99999999999999999999999"}) {
    EXPECT_FALSE(velk::detail::parse_thread_count(refused).has_value()) << '"' << refused << '"';
  }
  EXPECT_FALSE(velk::detail::parse_thread_count(nullptr).has_value());

  // The variable is read when the pool is built: in a child, on first use.
  (void)velk::pool_thread_count();
  EXPECT_EQ(status_of_forked_child([] {
              setenv("RAYON_NUM_THREADS", "3", 1);
              return velk::pool_thread_count() == 3;
            }),
            0);
  EXPECT_EQ(status_of_forked_child([] {
              setenv("RAYON_NUM_THREADS", "0", 1);
              return velk::pool_thread_count() == std::max(1U, std::thread::hardware_concurrency());
            }),
            0);
}

}  // namespace
