/* Hook registration racing other registrations and an invocation. */
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "modules/kavalin/internal.h"

namespace {

/* Registrations racing each other and an invoking thread: every node ends
 * up in the list exactly once and an invocation never sees a half-made
 * node. Meant for ThreadSanitizer as much as for the count. */
std::atomic<int> concurrent_calls{0};
zorv_hook_return_t counting_cb(void *, int64_t, int) {
  concurrent_calls.fetch_add(1, std::memory_order_relaxed);
  return ZORV_HOOK_CONTINUE;
}

TEST(KavalinHooks, ConcurrentRegistrationLosesNothing) {
  constexpr int threads = 4, per_thread = 200;
  std::atomic<bool> stop{false};
  std::thread invoker([&] {
    while (!stop.load()) kavalin_account_mapped_hook_invoke(0, 0);
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; t++) {
    writers.emplace_back([] {
      for (int i = 0; i < per_thread; i++) {
        kavalin_account_mapped_hook_register("w", counting_cb, nullptr);
      }
    });
  }
  for (auto &w : writers) w.join();
  stop.store(true);
  invoker.join();

  size_t nodes = 0;
  for (auto *n = nh_kavalin_account_mapped_list.load(); n; n = n->next) nodes++;
  EXPECT_EQ(nodes, static_cast<size_t>(threads * per_thread));
  concurrent_calls = 0;
  kavalin_account_mapped_hook_invoke(0, 0);
  EXPECT_EQ(concurrent_calls.load(), threads * per_thread);
}

}  // namespace
