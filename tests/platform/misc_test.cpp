// Clocks and thread names.

#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "zorv/thread.h"
#include "zorv/time.h"

namespace {

TEST(Clock, WallClockAgreesWithTheSystemInMicroseconds) {
  auto sys = std::chrono::duration_cast<std::chrono::microseconds>(
                 std::chrono::system_clock::now().time_since_epoch())
                 .count();
  uint64_t ours = zorv_now_us();
  EXPECT_LT(std::llabs(static_cast<long long>(ours) - sys), 1000000LL);
}

TEST(Clock, MonotonicClockMeasuresASleep) {
  uint64_t t0 = zorv_now_mono_us();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  uint64_t t1 = zorv_now_mono_us();
  EXPECT_GE(t1 - t0, 20000u);
  EXPECT_LT(t1 - t0, 5000000u);
}

std::string kernel_name() {
  char name[32] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

TEST(ThreadName, SetsKernelNameAndRemembersIt) {
  std::thread([] {
    EXPECT_STREQ(zorv_thread_getname(), "");
    zorv_thread_setname("ostrel/5");
    EXPECT_EQ(kernel_name(), "ostrel/5");
    EXPECT_STREQ(zorv_thread_getname(), "ostrel/5");
  }).join();
}

TEST(ThreadName, LongNamesAreCutForTheKernelWithoutSplittingACharacter) {
  std::thread([] {
    zorv_thread_setname("replication-worker-12");
    EXPECT_EQ(kernel_name(), "replication-wor");
    EXPECT_STREQ(zorv_thread_getname(), "replication-worker-12");
    // 14 ASCII bytes then a two-byte character straddling the 15-byte cut.
    zorv_thread_setname("abcdefghijklmn\xc3\xa9z");
    EXPECT_EQ(kernel_name(), "abcdefghijklmn");
  }).join();
}

}  // namespace
