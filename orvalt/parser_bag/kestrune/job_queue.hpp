#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

namespace orvalt::parser_bag {

// A FIFO queue of at most `capacity` waiting jobs that counts unfinished jobs, so that a
// producer can wait until every job it put has been finished (as Python's queue.Queue with
// maxsize, task_done and join). close() lets the consumer take what is left and then ends
// its loop.
template <class Job>
class JobQueue {
 public:
  explicit JobQueue(std::size_t capacity) : capacity_(capacity) {}

  // Waits while the queue is full, so that a producer faster than its consumer holds only
  // `capacity` jobs in memory.
  void put(Job job) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return jobs_.size() < capacity_; });
      jobs_.push_back(std::move(job));
      ++unfinished_;
    }
    changed_.notify_all();
  }

  // Waits for a job; std::nullopt once the queue is closed and empty.
  std::optional<Job> take() {
    std::optional<Job> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return !jobs_.empty() || closed_; });
      if (jobs_.empty()) return std::nullopt;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    changed_.notify_all();
    return job;
  }

  // Marks one taken job finished (whether it succeeded or not).
  void task_done() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --unfinished_;
    }
    changed_.notify_all();
  }

  // Waits until every job put so far is finished.
  void join() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return unfinished_ == 0; });
  }

  void close() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closed_ = true;
    }
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  const std::size_t capacity_;
  std::deque<Job> jobs_;
  std::size_t unfinished_ = 0;
  bool closed_ = false;
};

}  // namespace orvalt::parser_bag
