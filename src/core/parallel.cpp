#include "parallel.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace velk {

namespace detail {

bool MapJob::claim(std::size_t& begin, std::size_t& end) noexcept {
  std::size_t next = next_index_.load(std::memory_order_relaxed);
  while (next < item_count_) {
    // Take a fixed share of what is left: large ranges while the job is
    // fresh, single items at the end so the threads finish together.
    const std::size_t size = std::max<std::size_t>(1, (item_count_ - next) / claim_divisor_);
    if (next_index_.compare_exchange_weak(next, next + size, std::memory_order_relaxed)) {
      begin = next;
      end = next + size;
      return true;
    }
  }
  return false;
}

void MapJob::run_until_exhausted() noexcept {
  std::size_t begin = 0;
  std::size_t end = 0;
  while (!failed() && claim(begin, end)) runner_(body_, begin, end, *this);
}

void MapJob::record_failure(std::size_t index, std::exception_ptr error) noexcept {
  std::lock_guard lock(failure_mutex_);
  if (!failure_ || index < failed_index_) {
    failed_index_ = index;
    failure_ = std::move(error);
  }
  failed_.store(true, std::memory_order_relaxed);
}

void MapJob::rethrow_if_failed() const {
  if (failure_) std::rethrow_exception(failure_);
}

std::optional<std::size_t> parse_thread_count(const char* text) noexcept {
  if (text == nullptr || *text == '\0') return std::nullopt;
  std::size_t count = 0;
  for (const char* digit = text; *digit != '\0'; ++digit) {
    if (*digit < '0' || *digit > '9') return std::nullopt;
    const auto value = static_cast<std::size_t>(*digit - '0');
    if (count > (SIZE_MAX - value) / 10) return std::nullopt;
    count = count * 10 + value;
  }
  if (count == 0) return std::nullopt;
  return count;
}

std::size_t default_thread_count() noexcept {
  if (const auto requested = parse_thread_count(std::getenv("RAYON_NUM_THREADS"))) {
    return *requested;
  }
  return std::max(1U, std::thread::hardware_concurrency());
}

}  // namespace detail

ThreadPool::ThreadPool(std::size_t thread_count) : creator_pid_(::getpid()) {
  if (thread_count == 0) throw std::invalid_argument("ThreadPool: thread_count must be at least 1");
  workers_.reserve(thread_count - 1);
  try {
    for (std::size_t i = 1; i < thread_count; ++i) workers_.emplace_back([this] { worker_loop(); });
  } catch (...) {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    work_published_.notify_all();
    for (auto& worker : workers_) worker.join();
    throw;
  }
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  work_published_.notify_all();
  for (auto& worker : workers_) worker.join();
}

detail::MapJob* ThreadPool::claimable_job_locked() {
  // Newest first: nested maps are what the threads further down are waiting on.
  for (auto it = open_jobs_.rbegin(); it != open_jobs_.rend(); ++it) {
    if (!(*it)->exhausted() && !(*it)->failed()) return *it;
  }
  // Every open job is fully claimed or stopped, so none will take a thread again.
  open_jobs_.clear();
  return nullptr;
}

void ThreadPool::work_on(detail::MapJob& job, std::unique_lock<std::mutex>& lock) {
  ++job.active_threads_;
  lock.unlock();
  job.run_until_exhausted();
  lock.lock();
  if (--job.active_threads_ == 0 && waiting_owners_ > 0) job_progress_.notify_all();
}

void ThreadPool::worker_loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (detail::MapJob* job = claimable_job_locked()) {
      work_on(*job, lock);
      continue;
    }
    if (stopping_) return;
    ++idle_workers_;
    work_published_.wait(lock);
    --idle_workers_;
  }
}

void ThreadPool::run(detail::MapJob& job) {
  std::unique_lock lock(mutex_);
  open_jobs_.push_back(&job);  // the only step that can throw
  // The caller takes the first range itself; wake whoever can take the rest.
  const std::size_t helpers = std::min(idle_workers_, job.item_count_ - 1);
  for (std::size_t i = 0; i < helpers; ++i) work_published_.notify_one();
  if (waiting_owners_ > 0) job_progress_.notify_all();
  work_on(job, lock);

  // Our job is fully claimed; until its last range finishes elsewhere, help
  // with whatever else is open rather than sleep.
  std::erase(open_jobs_, &job);
  while (job.active_threads_ > 0) {
    if (detail::MapJob* other = claimable_job_locked()) {
      work_on(*other, lock);
      continue;
    }
    ++waiting_owners_;
    job_progress_.wait(lock);
    --waiting_owners_;
  }
}

namespace {

// The global pool. Only the atfork handlers and global_pool() write it, the
// latter under creation_mutex.
std::atomic<ThreadPool*> global_pool_instance{nullptr};
std::mutex creation_mutex;
bool fork_handlers_installed = false;

// Pools inherited across fork() stay reachable here so leak checkers in the
// child do not flag them; they are never used again. Past the last slot they
// are simply dropped.
ThreadPool* inherited_pools[32] = {};
std::size_t inherited_pool_count = 0;

void forget_pool(ThreadPool* pool) noexcept {
  if (pool != nullptr && inherited_pool_count < std::size(inherited_pools)) {
    inherited_pools[inherited_pool_count++] = pool;
  }
}

// Holding creation_mutex across fork() means the child never inherits it
// locked by a thread that no longer exists.
void before_fork() noexcept { creation_mutex.lock(); }
void after_fork_in_parent() noexcept { creation_mutex.unlock(); }
void after_fork_in_child() noexcept {
  // The workers did not come along; their pool may be mid-update. Leave it be.
  forget_pool(global_pool_instance.exchange(nullptr, std::memory_order_relaxed));
  creation_mutex.unlock();
}

}  // namespace

ThreadPool& global_pool() {
  ThreadPool* pool = global_pool_instance.load(std::memory_order_acquire);
  if (pool != nullptr && pool->creator_pid() == ::getpid()) return *pool;

  std::lock_guard lock(creation_mutex);
  pool = global_pool_instance.load(std::memory_order_relaxed);
  // A fork that bypassed the atfork handlers (a raw clone) still must not
  // reuse a pool whose workers stayed behind.
  if (pool != nullptr && pool->creator_pid() != ::getpid()) {
    forget_pool(pool);
    pool = nullptr;
  }
  if (pool == nullptr) {
    if (!fork_handlers_installed) {
      if (const int error = pthread_atfork(&before_fork, &after_fork_in_parent,
                                           &after_fork_in_child)) {
        throw std::system_error(error, std::generic_category(), "pthread_atfork");
      }
      fork_handlers_installed = true;
    }
    pool = new ThreadPool(detail::default_thread_count());
    global_pool_instance.store(pool, std::memory_order_release);
  }
  return *pool;
}

std::size_t pool_thread_count() { return global_pool().thread_count(); }

}  // namespace velk
