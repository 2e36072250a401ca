#include "studio/host_thread.h"

HostThread::HostThread() : thread_([this] { Loop(); }) {}

HostThread::~HostThread() { Stop(); }

bool HostThread::Enqueue(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    queue_.push_back(std::move(job));
  }
  wake_.notify_one();
  return true;
}

void HostThread::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void HostThread::Loop() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      // What was queued before Stop still runs, so no caller waits on a future that never fills.
      if (queue_.empty()) return;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    // A packaged task keeps its exception in its future, so nothing escapes into the loop.
    job();
  }
}
