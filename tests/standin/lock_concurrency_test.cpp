// The dataset lock lets a waiting writer in even while readers keep
// overlapping one another, as streams reading piece after piece do; a
// reader-preferring lock would keep the writer out for as long as they go on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "standin/shared_lock.h"

using namespace std::chrono;

TEST(WriterPreferringMutex, AWriterGetsInBetweenOverlappingReaders) {
  standin::WriterPreferringMutex mutex;
  std::atomic<bool> stop{false};
  std::atomic<int> holding{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&, i] {
      std::this_thread::sleep_for(milliseconds(i));  // staggered: always one inside
      while (!stop.load()) {
        std::shared_lock<standin::WriterPreferringMutex> lock(mutex);
        holding.fetch_add(1);
        std::this_thread::sleep_for(milliseconds(3));
        holding.fetch_sub(1);
      }
    });
  }
  std::this_thread::sleep_for(milliseconds(50));
  // The writer runs on its own thread so that a starved writer fails the
  // test after the deadline instead of hanging it: stopping the readers
  // lets it in either way.
  std::atomic<bool> acquired{false};
  std::atomic<int> readers_inside_writer{-1};
  std::thread writer([&] {
    std::unique_lock<standin::WriterPreferringMutex> lock(mutex);
    readers_inside_writer.store(holding.load());
    acquired.store(true);
  });
  auto deadline = steady_clock::now() + seconds(2);
  while (!acquired.load() && steady_clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(1));
  bool in_time = acquired.load();
  stop.store(true);
  writer.join();
  for (auto &reader : readers) reader.join();
  EXPECT_TRUE(in_time) << "the writer waited more than 2 s behind overlapping readers";
  EXPECT_EQ(readers_inside_writer.load(), 0) << "no reader inside while the writer is";
}
