// The process-wide thread pool and the parallel maps that run on it.
//
// How it works
// ------------
// A map is a *job* that lives on the stack of the thread that calls it. The
// job is published in the pool's list of open jobs, and every participant
// (the idle workers, and the caller itself) claims index ranges from it with
// one compare-and-swap on the job's next-index counter. Range sizes shrink as
// the job drains (a fixed fraction of what is left, at least one item): the
// first claims are large so a map of 10,000 five-microsecond grid points costs
// about a hundred claims, and the last claims are single items so no thread
// sits idle behind a long tail. Each item writes only its own result slot,
// which is why results are in index order and never depend on the thread count
// or on who ran what.
//
// Nesting. A thread whose job has no unclaimed ranges left but still has
// items running elsewhere does not block: it takes ranges from the newest open
// job (the most deeply nested work, which is what the others are waiting for),
// and sleeps only when there is nothing to claim at all. Nested maps therefore
// need no extra threads and cannot deadlock: a thread only ever waits for a job
// it created, and every range it might be waiting on was claimed, by someone,
// after that job was created, so a chain of waits always ends at a thread that
// is computing.
//
// Locking. One mutex guards the list of open jobs and the count of threads
// inside each job; it is taken a few times per map and per participant, never
// per item. Idle workers sleep on a condition variable; publishing a job wakes
// as many as it can use.
//
// Errors. An item that throws stops its job: items not started yet are
// skipped, the ones running finish, and the caller rethrows the exception of
// the lowest index that threw.
//
// fork(). Only the forking thread survives in the child, so the inherited pool
// has no workers and its mutex may be held by a thread that no longer exists.
// The child forgets that pool without touching it (its memory is deliberately
// leaked) and builds a fresh one on first use. A caller in the middle of a map
// at the moment of the fork is not rescued: that map never finishes in the
// child.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <concepts>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace velk {

class ThreadPool;

namespace detail {

// One parallel map in flight. Owned by the calling thread's stack frame; the
// pool only holds a pointer while the job is open.
class MapJob {
 public:
  // Runs items [begin, end) of `body`; stops early once the job has failed.
  using RangeRunner = void (*)(const void* body, std::size_t begin, std::size_t end, MapJob& job);

  MapJob(std::size_t item_count, std::size_t participants, RangeRunner runner,
         const void* body) noexcept
      : item_count_(item_count),
        claim_divisor_(4 * participants),
        runner_(runner),
        body_(body) {}
  MapJob(const MapJob&) = delete;
  MapJob& operator=(const MapJob&) = delete;

  // Claims and runs ranges until none is left unclaimed. Never throws.
  void run_until_exhausted() noexcept;

  bool exhausted() const noexcept {
    return next_index_.load(std::memory_order_relaxed) >= item_count_;
  }
  bool failed() const noexcept { return failed_.load(std::memory_order_relaxed); }

  // Keeps the exception of the lowest failing index and stops the job.
  void record_failure(std::size_t index, std::exception_ptr error) noexcept;
  // Rethrows the recorded exception, if any. Call only after the job is done.
  void rethrow_if_failed() const;

 private:
  friend class velk::ThreadPool;

  bool claim(std::size_t& begin, std::size_t& end) noexcept;

  const std::size_t item_count_;
  const std::size_t claim_divisor_;
  const RangeRunner runner_;
  const void* const body_;
  std::atomic<std::size_t> next_index_{0};
  std::atomic<bool> failed_{false};

  std::mutex failure_mutex_;
  std::size_t failed_index_ = 0;
  std::exception_ptr failure_;

  // Threads currently inside this job, the owner included. Guarded by the
  // pool's mutex: the owner may destroy the job once this is zero.
  std::size_t active_threads_ = 0;
};

template <class Body>
void run_range(const void* body, std::size_t begin, std::size_t end, MapJob& job) {
  const Body& item = *static_cast<const Body*>(body);
  for (std::size_t index = begin; index < end; ++index) {
    if (job.failed()) return;
    try {
      item(index);
    } catch (...) {
      job.record_failure(index, std::current_exception());
      return;
    }
  }
}

/// Reads a worker count from the text of RAYON_NUM_THREADS.
/// In: the variable's value, or nullptr when it is unset.
/// Out: the count when the text is a positive decimal integer (digits only, no
/// sign or blanks, fits std::size_t), else nothing. Never throws.
std::optional<std::size_t> parse_thread_count(const char* text) noexcept;

/// Worker count for a new global pool: RAYON_NUM_THREADS when it holds a
/// positive integer, else the number of logical CPUs (at least 1).
std::size_t default_thread_count() noexcept;

// Result type of a map's work item, stored by value.
template <class F>
using map_result_t = std::remove_cvref_t<std::invoke_result_t<const std::decay_t<F>&, std::size_t>>;

}  // namespace detail

/// A fixed set of worker threads running parallel maps. The process uses one
/// (see global_pool); tests build their own with a chosen size.
class ThreadPool {
 public:
  /// A pool on which `thread_count` threads compute a map started from
  /// outside it: the caller, which always works on its own map, and
  /// thread_count - 1 workers. So RAYON_NUM_THREADS=1 really means one thread.
  /// Throws std::invalid_argument when thread_count is 0, std::system_error
  /// when a thread cannot be started (the ones already started are joined).
  explicit ThreadPool(std::size_t thread_count);
  /// Stops and joins the workers. No map may be running on this pool.
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  /// Number of worker threads (the calling thread of a map comes on top).
  std::size_t thread_count() const noexcept { return workers_.size() + 1; }
  /// Process id of the process that built this pool.
  pid_t creator_pid() const noexcept { return creator_pid_; }

  /// Calls f(i) for every i in [0, n), spread over the workers and the calling
  /// thread, and returns the results in index order.
  /// In: n, and f callable as `f(std::size_t)` through a const reference,
  /// concurrently from several threads; f may itself run maps on this pool.
  /// Out: a vector of n results, element i being f(i).
  /// Throws: the exception of the lowest index whose item threw, once every
  /// running item has finished; items not yet started are then skipped.
  /// Also std::bad_alloc from the result storage.
  template <class F>
  auto map(std::size_t n, F&& f) -> std::vector<detail::map_result_t<F>>;

  /// Calls f(i) for every i in [0, n) like map, for work without a result.
  /// Throws as map does.
  template <class F>
  void for_each(std::size_t n, F&& f);

 private:
  // Publishes the job, works on it and on other open jobs until the job's
  // last range has finished. Never throws once the job is published.
  void run(detail::MapJob& job);
  void worker_loop();
  // The newest open job with unclaimed items, dropping exhausted ones from the
  // list on the way; nullptr when there is none. Needs mutex_.
  detail::MapJob* claimable_job_locked();
  // Runs ranges of `job` with the lock released; `lock` is held again on return.
  void work_on(detail::MapJob& job, std::unique_lock<std::mutex>& lock);

  std::mutex mutex_;
  std::condition_variable work_published_;  // idle workers wait here
  std::condition_variable job_progress_;    // owners waiting for their job wait here
  std::vector<detail::MapJob*> open_jobs_;  // oldest first
  std::size_t idle_workers_ = 0;
  std::size_t waiting_owners_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
  pid_t creator_pid_;
};

template <class F>
void ThreadPool::for_each(std::size_t n, F&& f) {
  // Decayed so that a plain function arrives as a pointer.
  using Body = std::decay_t<F>;
  if (n == 0) return;
  const Body& body = f;
  if (n == 1) {
    std::invoke(body, std::size_t{0});
    return;
  }
  detail::MapJob job(n, thread_count(), &detail::run_range<Body>, &body);
  run(job);
  job.rethrow_if_failed();
}

template <class F>
auto ThreadPool::map(std::size_t n, F&& f) -> std::vector<detail::map_result_t<F>> {
  using R = detail::map_result_t<F>;
  const auto& body = f;
  // Results go straight into their final vector when that is safe; bool is
  // excluded because neighbouring elements of vector<bool> share a word.
  if constexpr (std::default_initializable<R> && std::is_move_assignable_v<R> &&
                !std::is_same_v<R, bool>) {
    std::vector<R> results(n);
    for_each(n, [&results, &body](std::size_t i) { results[i] = std::invoke(body, i); });
    return results;
  } else {
    std::vector<std::optional<R>> slots(n);
    for_each(n, [&slots, &body](std::size_t i) { slots[i].emplace(std::invoke(body, i)); });
    std::vector<R> results;
    results.reserve(n);
    for (auto& slot : slots) results.push_back(std::move(*slot));
    return results;
  }
}

/// The process-wide pool, built on first use (and again on first use in a
/// forked child) with detail::default_thread_count() workers. It is never
/// destroyed, so maps stay usable until the process ends.
/// Throws std::system_error when the pool cannot be built; a later call retries.
ThreadPool& global_pool();

/// Worker count of the process-wide pool (builds it when needed).
/// Throws as global_pool does.
std::size_t pool_thread_count();

/// ThreadPool::map on the process-wide pool: results of f(0) ... f(n-1) in
/// index order. Throws the lowest-index exception of the items, or as
/// global_pool does.
template <class F>
auto parallel_map(std::size_t n, F&& f) -> std::vector<detail::map_result_t<F>> {
  if (n == 0) return {};
  return global_pool().map(n, std::forward<F>(f));
}

/// ThreadPool::for_each on the process-wide pool: runs f(0) ... f(n-1).
/// Throws as parallel_map does.
template <class F>
void parallel_for(std::size_t n, F&& f) {
  if (n == 0) return;
  global_pool().for_each(n, std::forward<F>(f));
}

}  // namespace velk
