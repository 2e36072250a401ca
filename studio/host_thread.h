// The one thread on which the studio's host objects (scene, nodes, maps, the loaded module) live.
// Requests from the server's many connection threads are posted here and carried out one at a
// time, in the order they were posted, as a host's user-interface thread would run them.
//
// Threads: Post and Stop may be called from any thread. A task must not wait on a future of a
// task posted after it (it would wait for itself).
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <type_traits>

// What a future holds when its task was posted after Stop and so never ran.
class HostThreadStopped : public std::runtime_error {
 public:
  HostThreadStopped() : std::runtime_error("the host thread has stopped") {}
};

class HostThread {
 public:
  HostThread();
  // Stops (see Stop) and joins.
  ~HostThread();
  HostThread(const HostThread&) = delete;
  HostThread& operator=(const HostThread&) = delete;

  // Queues task; its result, or the exception it threw, arrives through the future.
  template <class F>
  auto Post(F task) -> std::future<std::invoke_result_t<F>> {
    using Result = std::invoke_result_t<F>;
    auto packaged = std::make_shared<std::packaged_task<Result()>>(std::move(task));
    std::future<Result> result = packaged->get_future();
    if (!Enqueue([packaged] { (*packaged)(); })) {
      std::promise<Result> refused;
      refused.set_exception(std::make_exception_ptr(HostThreadStopped()));
      return refused.get_future();
    }
    return result;
  }

  // Posts task and waits for it; rethrows what it threw. Must not be called on the host thread.
  template <class F>
  auto Run(F task) -> std::invoke_result_t<F> {
    return Post(std::move(task)).get();
  }

  // Runs the tasks already queued, then ends the thread; tasks posted afterwards are refused
  // (their futures hold HostThreadStopped). Returns once the thread has ended; calling it again
  // does nothing. Must not be called from a task.
  void Stop();

  bool OnHostThread() const { return std::this_thread::get_id() == thread_.get_id(); }

 private:
  bool Enqueue(std::function<void()> job);
  void Loop();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  std::thread thread_;
};
