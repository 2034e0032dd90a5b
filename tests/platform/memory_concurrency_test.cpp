// Safe memory under ThreadSanitizer: readers inside brackets beside a writer
// that frees what they read through zorv_memory_safe_free. A deferred free
// that is not ordered after the readers' brackets is reported as a race.

#include <gtest/gtest.h>

#include "platform/safe_memory_scenarios.h"

TEST(SafeMemoryConcurrency, ReadersBesideAFreeingWriter) {
  zorv_test::run_republish_scenario(3, 5000);
}

TEST(SafeMemoryConcurrency, ManyShortLivedReaderThreads) {
  for (int round = 0; round < 8; ++round) zorv_test::run_republish_scenario(2, 200);
}
