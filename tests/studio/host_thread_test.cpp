#include "studio/host_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

TEST(HostThread, RunsTasksInPostingOrderOnOneThreadOfItsOwn) {
  HostThread host;
  std::vector<int> order;  // touched on the host thread only
  std::vector<std::future<std::thread::id>> ids;
  for (int i = 0; i < 200; ++i) {
    ids.push_back(host.Post([&order, i] {
      order.push_back(i);
      return std::this_thread::get_id();
    }));
  }
  std::vector<std::thread::id> ran;
  for (auto& id : ids) ran.push_back(id.get());
  EXPECT_NE(ran.front(), std::this_thread::get_id());
  for (const std::thread::id& id : ran) EXPECT_EQ(id, ran.front());
  ASSERT_EQ(order.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
  EXPECT_TRUE(host.Run([&host] { return host.OnHostThread(); }));
  EXPECT_FALSE(host.OnHostThread());
}

TEST(HostThread, CarriesExceptionsBackAndKeepsRunning) {
  HostThread host;
  std::future<int> failed = host.Post([]() -> int { throw std::invalid_argument("bad value"); });
  try {
    failed.get();
    FAIL() << "the exception was lost";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "bad value");
  }
  // The thread survives the task that threw.
  EXPECT_EQ(host.Run([] { return 7; }), 7);
  EXPECT_THROW(host.Run([]() -> int { throw std::runtime_error("again"); }), std::runtime_error);
}

TEST(HostThread, StopRunsWhatWasQueuedAndRefusesLaterTasks) {
  HostThread host;
  std::atomic<bool> release{false};
  std::atomic<int> ran{0};
  // The first task holds the thread so that the others are still queued when Stop comes.
  auto blocker = host.Post([&] {
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ++ran;
  });
  std::vector<std::future<void>> queued;
  for (int i = 0; i < 10; ++i) queued.push_back(host.Post([&] { ++ran; }));
  std::thread stopper([&] { host.Stop(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  release = true;
  stopper.join();
  EXPECT_EQ(ran.load(), 11);
  for (auto& f : queued) EXPECT_NO_THROW(f.get());

  std::future<int> late = host.Post([] { return 1; });
  EXPECT_THROW(late.get(), HostThreadStopped);
  host.Stop();  // a second stop does nothing
}
