/* Lock-free readers (the routing hook and the exported lookups) beside a
 * writer that keeps replacing mappings and their filters: every answer is
 * one the writer stored, and nothing is freed under a reader. Also the
 * host's parameter setter beside cluster rebuilds that read the timeouts. */
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "kavalin_test_support.h"
#include "zorv/conf.h"
#include "zorv/memory.h"

namespace {

TEST(KavalinLookupConcurrency, ReadersBesideAReplacingWriter) {
  kavtest::start_with(kavtest::conf_doc(
      "<drask><bootstrap cluster=\"1\" host=\"h1\"/>"
      "<bootstrap cluster=\"2\" host=\"h2\"/></drask>"));
  ASSERT_EQ(add_account_cluster_map(42, 1, nullptr), 1);

  const std::string payload =
      "M\t1\t2\tx`w`c_42_7::0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d\tcpu";
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; t++) {
    readers.emplace_back([&] {
      char key[256];
      while (!stop.load(std::memory_order_relaxed)) {
        kavalin_alter_route(nullptr, payload.data(), payload.size(), "s", key,
                            sizeof(key));
        std::string k(key);
        if (k.rfind("s.1.42.7.", 0) != 0 && k.rfind("s.2.42.7.", 0) != 0) bad++;
        zorv_memory_begin();
        quib_metric_tag_search_ast_t *f =
            kavalin_get_discard_data_filter_for_account_dyn_function(42);
        quib_metric_tag_t tag;
        quib_metric_tag_set(&tag, "env:prod", 8);
        quib_metric_tagset_t set{&tag, 1, 8};
        if (f && !quib_metric_tag_search_evaluate(f, &set)) bad++;
        zorv_memory_end();
      }
      zorv_memory_fini_thread();
    });
  }
  for (int i = 0; i < 2000; i++) {
    add_account_cluster_map(42, 1 + (i & 1), parse_discard_data_filter("env:prod"));
    if (i % 100 == 99) reap_discard_data_filters();
  }
  stop.store(true);
  for (auto &r : readers) r.join();
  reap_discard_data_filters();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(kavalin_get_cluster_for_account_dyn_function(42), 2);
}

/* The host sets a run-time parameter on its own thread (an operator's
 * request) while a cluster update builds a client from the timeouts. */
TEST(KavalinLookupConcurrency, TimeoutParametersBesideClusterRebuilds) {
  kavtest::start_with(
      kavtest::conf_doc("<drask><bootstrap cluster=\"1\" host=\"h1\"/></drask>"));
  std::thread setter([] {
    for (int i = 0; i < 200; i++) {
      zorv_conf_set_global_param("drask.timeout_ms",
                                 std::to_string(1000 + i).c_str());
    }
  });
  for (int i = 0; i < 200; i++) initialize_drask_cluster(1);
  setter.join();
  initialize_drask_cluster(1);
  EXPECT_EQ(drask_client_get_timeout(kavalin_client_for_cluster_dyn_function(1)),
            1199);
}

}  // namespace
