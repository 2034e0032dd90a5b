// Hooks registered while other threads invoke them (module start-up beside
// live traffic), and the metric director told from several workers at once.
// Runs under ThreadSanitizer.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <uuid/uuid.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "quib/iep.h"
#include "quib/metric_director.h"
#include "quib/tagset.h"

namespace {

std::atomic<int> fixup_calls{0};

zorv_hook_return_t count_fixup(void *closure, quib_metric_tagset_class_t,
                               quib_metric_tagset_t *) {
  static_cast<std::atomic<int> *>(closure)->fetch_add(1);
  fixup_calls.fetch_add(1);
  return ZORV_HOOK_CONTINUE;
}

zorv_hook_return_t write_key(void *closure, const char *, size_t, const char *,
                             char *rk, size_t rlen) {
  snprintf(rk, rlen, "k%d", *static_cast<int *>(closure));
  return ZORV_HOOK_DONE;
}

TEST(QuibConcurrency, HooksRegisteredWhileInvokedAreSeenWhole) {
  constexpr int kHooks = 200;
  std::vector<std::atomic<int>> per_hook(kHooks);
  std::vector<int> ids(kHooks);
  std::atomic<bool> done{false};
  std::vector<std::thread> invokers;
  for (int t = 0; t < 3; ++t) {
    invokers.emplace_back([&] {
      quib_metric_tag_t tags[QUIB_METRIC_MAX_TAGS];
      quib_metric_tagset_t ts{tags, 0, 0};
      char key[32];
      while (!done.load()) {
        quib_metric_tagset_fixup_hook_invoke(QUIB_METRIC_TAGSET_CHECK, &ts);
        key[0] = '\0';
        iep_routingkey_update_hook_invoke("m", 1, "p", key, sizeof key);
      }
    });
  }
  for (int i = 0; i < kHooks; ++i) {
    ids[i] = i;
    quib_metric_tagset_fixup_hook_register("count", count_fixup, &per_hook[i]);
    iep_routingkey_update_hook_register("key", write_key, &ids[i]);
  }
  done = true;
  for (auto &t : invokers) t.join();

  // After registration, one invoke reaches every hook once, the last
  // registered routing-key callback writing last.
  int before = fixup_calls.load();
  quib_metric_tag_t tags[QUIB_METRIC_MAX_TAGS];
  quib_metric_tagset_t ts{tags, 0, 0};
  EXPECT_EQ(quib_metric_tagset_fixup_hook_invoke(QUIB_METRIC_TAGSET_CHECK, &ts),
            ZORV_HOOK_CONTINUE);
  EXPECT_EQ(fixup_calls.load() - before, kHooks);
  char key[32] = "";
  EXPECT_EQ(iep_routingkey_update_hook_invoke("m", 1, "p", key, sizeof key), ZORV_HOOK_DONE);
  EXPECT_STREQ(key, "k199");
}

TEST(QuibConcurrency, DirectorToldFromSeveralThreads) {
  void *lib = dlopen(QUIB_DIRECTOR_PATH, RTLD_NOW | RTLD_GLOBAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto set = reinterpret_cast<metric_director_set_check_generation_func>(
      dlsym(lib, METRIC_DIRECTOR_SET_CHECK_GENERATION_SYMBOL));
  auto get = reinterpret_cast<uint64_t (*)(const unsigned char *)>(
      dlsym(lib, "metric_director_get_check_generation"));
  ASSERT_NE(set, nullptr);
  ASSERT_NE(get, nullptr);
  std::vector<std::array<unsigned char, 16>> ids(4);
  for (auto &id : ids) uuid_generate(id.data());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (uint64_t g = 1; g <= 2000; ++g) {
        set(ids[t].data(), g);
        (void)get(ids[(t + 1) % 4].data());
      }
    });
  for (auto &th : threads) th.join();
  for (auto &id : ids) EXPECT_EQ(get(id.data()), 2000u);
}

}  // namespace
