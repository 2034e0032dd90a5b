/* The account map and the override sets as loaded at start-up, the
 * exported lookups, filters (parsed, refused, replaced), and the two
 * configurations that stop the process. */
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <set>
#include <string>
#include <vector>

#include "kavalin_test_support.h"
#include "zorv/memory.h"

/* libzorv's test hook: the next n deferred frees cannot get their node, so
 * a free asked for outside any bracket happens before the call returns. */
namespace zorv::memory {
void fail_next_node_allocations(int n);
}

namespace {

using kavtest::conf_doc;

std::vector<std::pair<int64_t, int>> mapped;
zorv_hook_return_t on_mapped(void *, int64_t account, int cluster) {
  mapped.push_back({account, cluster});
  return ZORV_HOOK_CONTINUE;
}

const std::string kClusters =
    "<bootstrap cluster=\"1\" host=\"h1\"/>"
    "<bootstrap cluster=\"3\" host=\"h3\"/>";

std::string with_map(const std::string &maps) {
  return conf_doc("<drask><swimlane>" + kClusters + "<account_map>" + maps +
                  "</account_map></swimlane></drask>");
}

std::string with_overrides(const std::string &maps) {
  return conf_doc("<drask>" + kClusters + "</drask><drask_cluster_map_override>" +
                  maps + "</drask_cluster_map_override>");
}

std::set<int64_t> override_of(int64_t account) {
  zorv_hash_table *set =
      kavalin_get_override_clusters_for_account_dyn_function(account);
  std::set<int64_t> ids;
  if (set == nullptr) return ids;
  zorv_hash_iter it = ZORV_HASH_ITER_ZERO;
  const char *key;
  int klen;
  void *data;
  while (zorv_hash_adv(set, &it, &key, &klen, &data)) {
    EXPECT_EQ(klen, 8);
    EXPECT_EQ(data, nullptr);
    ids.insert(*reinterpret_cast<const int64_t *>(key));
  }
  return ids;
}

class KavalinAccountMap : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    /* Once per process: the death-test suite shares this fixture. */
    static bool registered = false;
    if (!registered) {
      kavalin_account_mapped_hook_register("test", on_mapped, nullptr);
      registered = true;
    }
    zorv_log_stream_enable(zorv_log_stream_find("debug/kavalin"), true);
  }
  void start(const std::string &xml) {
    log.clear();
    mapped.clear();
    kavtest::start_with(xml);
  }
  kavtest::log_capture log;
};

TEST_F(KavalinAccountMap, LastSectionWinsAndEveryStoredSectionFires) {
  start(with_map("<map account=\"42\" cluster=\"1\"/>"
                 "<map account=\"42\" cluster=\"3\"/>"
                 "<map account=\"43\" cluster=\"-1\"/>"
                 "<map account=\"44\" cluster=\"7\"/>"
                 "<map account=\"45\"/>"
                 "<map cluster=\"1\"/>"));
  EXPECT_EQ(kavalin_get_cluster_for_account_dyn_function(42), 3);
  EXPECT_EQ(kavalin_get_cluster_for_account_dyn_function(43), -1);
  EXPECT_EQ(kavalin_get_cluster_for_account_dyn_function(44), 0);
  EXPECT_EQ(kavalin_get_cluster_for_account_dyn_function(45), 0);
  EXPECT_EQ(mapped, (std::vector<std::pair<int64_t, int>>{
                        {42, 1}, {42, 3}, {43, -1}}));
  EXPECT_TRUE(log.has("notice", "account 44 maps to unconfigured cluster 7\n"));
  EXPECT_TRUE(log.has("notice/kavalin", "loaded 2 account->cluster mappings\n"));
}

TEST_F(KavalinAccountMap, Filters) {
  start(with_map("<map account=\"1\" cluster=\"1\" discard_data_filter=\"env:prod\"/>"
                 "<map account=\"2\" cluster=\"1\" discard_data_filter=\"and(env:prod\"/>"
                 "<map account=\"3\" cluster=\"7\" discard_data_filter=\"env:x\"/>"));
  kavtest::memory_bracket bracket;
  EXPECT_NE(kavalin_get_discard_data_filter_for_account_dyn_function(1), nullptr);
  EXPECT_TRUE(log.has("debug/kavalin", "Parsed discard_data_filter 'env:prod'\n"));
  /* Stored, but without a filter; the error names the offset. */
  EXPECT_EQ(kavalin_get_cluster_for_account_dyn_function(2), 1);
  EXPECT_EQ(kavalin_get_discard_data_filter_for_account_dyn_function(2), nullptr);
  bool offset_line = false;
  for (const auto &t : log.on("error/kavalin")) {
    offset_line |= t.rfind("error parsing discard_data_filter_value 'and(env:prod' at offset `", 0) == 0;
  }
  EXPECT_TRUE(offset_line);
  EXPECT_EQ(kavalin_get_discard_data_filter_for_account_dyn_function(3), nullptr);
}

/* A replaced or refused mapping's filter is released only once the
 * readers that could hold it are done: a reader thread keeps its bracket
 * open, and the release must wait for it (under AddressSanitizer an early
 * free would also fault in the reader's evaluation). */
TEST_F(KavalinAccountMap, ReleasedFilterOutlivesAReaderBracket) {
  start(with_map("<map account=\"9\" cluster=\"1\" discard_data_filter=\"a:b\"/>"));
  std::promise<void> holding, go_on;
  std::atomic<bool> matched{false};
  std::thread reader([&] {
    zorv_memory_begin();
    quib_metric_tag_search_ast_t *held =
        kavalin_get_discard_data_filter_for_account_dyn_function(9);
    holding.set_value();
    go_on.get_future().wait();
    quib_metric_tag_t tag;
    quib_metric_tag_set(&tag, "a:b", 3);
    quib_metric_tagset_t tagset{&tag, 1, 3};
    matched = held && quib_metric_tag_search_evaluate(held, &tagset);
    zorv_memory_end();
    zorv_memory_fini_thread();
  });
  holding.get_future().wait();

  ASSERT_EQ(add_account_cluster_map(9, 3, parse_discard_data_filter("c:d")), 1);
  ASSERT_EQ(add_account_cluster_map(9, 77, parse_discard_data_filter("e:f")), 0);
  std::atomic<bool> reaped{false};
  std::thread reaper([&] {
    reap_discard_data_filters();
    reaped = true;
    zorv_memory_fini_thread();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(reaped.load()) << "filters freed under an open bracket";
  go_on.set_value();
  reader.join();
  reaper.join();
  EXPECT_TRUE(matched.load());
  EXPECT_TRUE(reaped.load());
  EXPECT_EQ(kavalin_get_cluster_for_account_dyn_function(9), 3);
  kavtest::memory_bracket bracket;
  EXPECT_NE(kavalin_get_discard_data_filter_for_account_dyn_function(9), nullptr);
}

/* A replaced entry may be freed as soon as it leaves the table (here
 * before the replace returns); the writer must have read from it whatever
 * it still needs. Under AddressSanitizer a later read faults. */
TEST_F(KavalinAccountMap, ReplacedEntryIsNotReadAfterItsRelease) {
  start(with_map("<map account=\"9\" cluster=\"1\" discard_data_filter=\"a:b\"/>"));
  quib_metric_tag_search_ast_t *next = parse_discard_data_filter("c:d");
  zorv::memory::fail_next_node_allocations(1);
  EXPECT_EQ(add_account_cluster_map(9, 3, next), 1);
  zorv::memory::fail_next_node_allocations(0);
  reap_discard_data_filters();
  kavtest::memory_bracket bracket;
  EXPECT_EQ(kavalin_get_discard_data_filter_for_account_dyn_function(9), next);
}

TEST_F(KavalinAccountMap, OverrideRules) {
  start(with_overrides(
      "<map account=\"1\" cluster=\"1,5\"/>"
      "<map account=\"2\" cluster=\"5,1\"/>"
      "<map account=\"3\" cluster=\"1\"/>"
      "<map account=\"4\" cluster=\"5\"/>"
      "<map account=\"5\" cluster=\",,1,,5,\"/>"
      "<map account=\"6\" cluster=\"2,5\"/>"
      "<map account=\"7\" cluster=\"\"/>"
      "<map account=\"8\" cluster=\",,,\"/>"
      "<map account=\"9\" cluster=\"1,5,7\"/>"
      "<map account=\"10\" cluster=\"1,0,5\"/>"
      "<map account=\"11\" cluster=\"1,0\"/>"
      "<map account=\"12\" cluster=\"0\"/>"
      "<map account=\"13\"/>"
      "<map cluster=\"1\"/>"));
  using S = std::set<int64_t>;
  EXPECT_EQ(override_of(1), (S{1, 5}));
  EXPECT_EQ(override_of(2), (S{1, 5}));
  EXPECT_EQ(override_of(3), (S{1}));
  EXPECT_EQ(override_of(4), (S{5}));
  EXPECT_EQ(override_of(5), (S{1, 5}));
  for (int64_t a : {6, 7, 8, 9, 10, 13}) {
    EXPECT_EQ(kavalin_get_override_clusters_for_account_dyn_function(a), nullptr) << a;
  }
  EXPECT_EQ(override_of(11), (S{1}));
  /* A single refused entry still stores an (empty) set. */
  ASSERT_NE(kavalin_get_override_clusters_for_account_dyn_function(12), nullptr);
  EXPECT_TRUE(override_of(12).empty());

  const char *primary =
      "WARNING: one entry for override must be the primary cluster (1) in "
      "override (%s) for account %d - skipping/not using override\n";
  const char *too_many =
      "WARNING: more than two entries specified in override (%s) for account "
      "%d - limit is two - skipping/not using override\n";
  auto fmt = [](const char *f, const char *s, int a) {
    char buf[512];
    snprintf(buf, sizeof(buf), f, s, a);
    return std::string(buf);
  };
  EXPECT_EQ(log.on("error"),
            (std::vector<std::string>{
                fmt(primary, "2,5", 6),
                fmt(primary, "", 7),
                fmt(primary, ",,,", 8),
                fmt(too_many, "1,5,7", 9),
                "0 is invalid cluster for account 10 in override\n",
                fmt(too_many, "1,0,5", 10),
                "0 is invalid cluster for account 11 in override\n",
                "0 is invalid cluster for account 12 in override\n",
            }));
}

/* The two configurations that stop the process, each in a child. */
using KavalinOverrideDeathTest = KavalinAccountMap;

TEST_F(KavalinOverrideDeathTest, DuplicateClusterIdAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(start(with_overrides("<map account=\"77\" cluster=\"1,1\"/>")),
              ::testing::KilledBySignal(SIGABRT),
              "\\[FATAL\\] could not add cluster id 1 for account 77 in override");
}

TEST_F(KavalinOverrideDeathTest, SecondSectionForAnAccountAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(start(with_overrides("<map account=\"78\" cluster=\"1\"/>"
                                   "<map account=\"78\" cluster=\"5\"/>")),
              ::testing::KilledBySignal(SIGABRT),
              "\\[FATAL\\] could not add override for account 78 - please "
              "validate configuration");
}

}  // namespace
