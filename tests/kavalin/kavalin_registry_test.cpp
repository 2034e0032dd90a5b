/* The cluster registry at start-up and on re-initialisation: scan order,
 * the host limit, borrowed clients, removal, the timeouts, and sections
 * without a host. */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kavalin_test_support.h"
#include "zorv/conf.h"

namespace {

using kavtest::conf_doc;

/* What the cluster-changed hook saw: the id and, looked up from inside the
 * hook, the client then stored for it. */
struct hook_event {
  int id;
  drask_client_t *client;
};
std::vector<hook_event> events;

zorv_hook_return_t on_cluster_changed(void *, int id) {
  events.push_back({id, kavalin_client_for_cluster_dyn_function(id)});
  return ZORV_HOOK_CONTINUE;
}

std::vector<int> event_ids() {
  std::vector<int> ids;
  for (const auto &e : events) ids.push_back(e.id);
  return ids;
}

std::vector<std::string> hosts_of(drask_client_t *client) {
  const char *const *hosts = nullptr;
  int n = drask_client_get_bootstrap(client, &hosts);
  return std::vector<std::string>(hosts, hosts + n);
}

std::string bootstrap(const std::string &cluster, const std::string &host) {
  std::string s = "<bootstrap";
  if (!cluster.empty()) s += " cluster=\"" + cluster + "\"";
  if (!host.empty()) s += " host=\"" + host + "\"";
  return s + "/>";
}

class KavalinRegistry : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    kavalin_cluster_changed_hook_register("test", on_cluster_changed, nullptr);
  }
  void SetUp() override { events.clear(); }
  void start(const std::string &drask_body, const std::string &attrs = "") {
    log.clear();
    events.clear();
    kavtest::start_with(
        conf_doc("<drask" + attrs + ">" + drask_body + "</drask>"));
  }
  kavtest::log_capture log;
};

TEST_F(KavalinRegistry, NoBootstrapSection) {
  kavtest::fresh_module();
  EXPECT_FALSE(kavalin_account_map_loaded_function());
  start("");
  EXPECT_EQ(log.on("notice"), std::vector<std::string>{"Removing cluster 0\n"});
  EXPECT_EQ(event_ids(), std::vector<int>{0});
  EXPECT_EQ(zorv_hash_size(&global_clusters), 0);
  for (int id : {0, 1, -1}) {
    EXPECT_EQ(kavalin_client_for_cluster_dyn_function(id), nullptr);
  }
  EXPECT_EQ(kavalin_get_cluster_for_account_dyn_function(42), 0);
  {
    kavtest::memory_bracket bracket;
    EXPECT_EQ(kavalin_get_discard_data_filter_for_account_dyn_function(42),
              nullptr);
  }
  EXPECT_EQ(kavalin_get_override_clusters_for_account_dyn_function(42),
            nullptr);
  EXPECT_TRUE(kavalin_account_map_loaded_function());
  EXPECT_TRUE(log.has("notice/kavalin", "loaded 0 account->cluster mappings\n"));
}

TEST_F(KavalinRegistry, ClustersInFirstSectionOrderDefaultLast) {
  start(bootstrap("1", "h1") + bootstrap("", "d1") +
        "<swimlane>" + bootstrap("2", "h2") + bootstrap("0", "d2") +
        "</swimlane>");
  EXPECT_EQ(event_ids(), (std::vector<int>{1, 2, 0}));
  EXPECT_EQ(log.on("notice"),
            (std::vector<std::string>{
                "Initializing cluster 1 with 1 bootstrap nodes\n",
                "Initializing cluster 2 with 1 bootstrap nodes\n",
                "Initializing cluster 0 with 2 bootstrap nodes\n"}));
  EXPECT_EQ(hosts_of(kavalin_client_for_cluster_dyn_function(0)),
            (std::vector<std::string>{"d1", "d2"}));
  /* Inside the hook the new client is already in place. */
  for (const auto &e : events) {
    EXPECT_NE(e.client, nullptr);
    EXPECT_EQ(e.client, kavalin_client_for_cluster_dyn_function(e.id));
  }
}

TEST_F(KavalinRegistry, InterleavedSectionsInitialiseEachClusterOnce) {
  start(bootstrap("1", "a1") + bootstrap("3", "c1") + bootstrap("1", "a2") +
        bootstrap("3", "c2"));
  EXPECT_EQ(event_ids(), (std::vector<int>{1, 3, 0}));
  EXPECT_EQ(hosts_of(kavalin_client_for_cluster_dyn_function(3)),
            (std::vector<std::string>{"c1", "c2"}));
  EXPECT_EQ(hosts_of(kavalin_client_for_cluster_dyn_function(1)),
            (std::vector<std::string>{"a1", "a2"}));
  EXPECT_EQ(log.on("notice").back(), "Removing cluster 0\n");
}

TEST_F(KavalinRegistry, HostLimitIs128) {
  std::string body;
  for (int i = 0; i < 130; i++) body += bootstrap("4", "h" + std::to_string(i));
  start(body);
  EXPECT_TRUE(log.has("notice", "Initializing cluster 4 with 128 bootstrap nodes\n"));
  auto hosts = hosts_of(kavalin_client_for_cluster_dyn_function(4));
  ASSERT_EQ(hosts.size(), 128u);
  EXPECT_EQ(hosts.front(), "h0");
  EXPECT_EQ(hosts.back(), "h127");
}

TEST_F(KavalinRegistry, FullDefaultClusterStopsTheScan) {
  std::string body;
  for (int i = 0; i < 128; i++) body += bootstrap("", "d" + std::to_string(i));
  body += bootstrap("5", "h5");
  start(body);
  EXPECT_EQ(event_ids(), std::vector<int>{0});
  EXPECT_EQ(hosts_of(kavalin_client_for_cluster_dyn_function(0)).size(), 128u);
  EXPECT_EQ(kavalin_client_for_cluster_dyn_function(5), nullptr);
}

TEST_F(KavalinRegistry, ReinitialiseKeepsBorrowedClientsUsable) {
  start("<swimlane>" + bootstrap("1", "old") + "</swimlane>");
  drask_client_t *borrowed = kavalin_client_for_cluster_dyn_function(1);
  ASSERT_NE(borrowed, nullptr);

  kavtest::load_conf(conf_doc("<drask><swimlane>" + bootstrap("1", "new1") +
                              bootstrap("1", "new2") + "</swimlane></drask>"));
  events.clear();
  initialize_drask_cluster(1);
  drask_client_t *fresh = kavalin_client_for_cluster_dyn_function(1);
  ASSERT_NE(fresh, nullptr);
  EXPECT_NE(fresh, borrowed);
  EXPECT_EQ(hosts_of(fresh), (std::vector<std::string>{"new1", "new2"}));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].client, fresh);
  /* The replaced record was not freed: its client still answers. */
  EXPECT_EQ(hosts_of(borrowed), std::vector<std::string>{"old"});

  /* Sections gone: the cluster is removed and announced. */
  kavtest::load_conf(conf_doc("<drask><swimlane/></drask>"));
  log.clear();
  events.clear();
  initialize_drask_cluster(1);
  EXPECT_EQ(log.on("notice"), std::vector<std::string>{"Removing cluster 1\n"});
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].id, 1);
  EXPECT_EQ(events[0].client, nullptr);
  EXPECT_EQ(kavalin_client_for_cluster_dyn_function(1), nullptr);
  EXPECT_EQ(hosts_of(fresh).size(), 2u);
  EXPECT_EQ(drask_client_get_timeout(borrowed), 8000);
}

TEST_F(KavalinRegistry, TimeoutAttributes) {
  start(bootstrap("1", "h"));
  EXPECT_EQ(drask_client_get_timeout(kavalin_client_for_cluster_dyn_function(1)), 8000);
  EXPECT_EQ(drask_client_get_connecttimeout(kavalin_client_for_cluster_dyn_function(1)), 1000);

  start(bootstrap("1", "h"), " timeout=\"3000\"");
  drask_client_t *c = kavalin_client_for_cluster_dyn_function(1);
  EXPECT_EQ(drask_client_get_timeout(c), 3000);
  EXPECT_EQ(drask_client_get_connecttimeout(c), 1000);

  start(bootstrap("1", "h"), " connecttimeout=\"250\"");
  c = kavalin_client_for_cluster_dyn_function(1);
  EXPECT_EQ(drask_client_get_timeout(c), 8000);
  EXPECT_EQ(drask_client_get_connecttimeout(c), 250);

  /* The run-time parameters change clients created afterwards only. */
  char value[32];
  ASSERT_EQ(zorv_conf_get_global_param("drask.connect_timeout_ms", value,
                                       sizeof(value)), 0);
  EXPECT_STREQ(value, "250");
  ASSERT_EQ(zorv_conf_set_global_param("drask.timeout_ms", "4500"), 0);
  initialize_drask_cluster(1);
  EXPECT_EQ(drask_client_get_timeout(c), 8000);
  EXPECT_EQ(drask_client_get_timeout(kavalin_client_for_cluster_dyn_function(1)), 4500);
}

/* A section without @host gives no host slot and is not counted. */
TEST_F(KavalinRegistry, SectionsWithoutHostAreSkipped) {
  start(bootstrap("2", "") + bootstrap("2", "h2") + bootstrap("6", "") +
        bootstrap("6", "") + bootstrap("", ""));
  EXPECT_TRUE(log.has("notice", "Initializing cluster 2 with 1 bootstrap nodes\n"));
  EXPECT_EQ(hosts_of(kavalin_client_for_cluster_dyn_function(2)),
            std::vector<std::string>{"h2"});
  /* Cluster 6 has no host at all: removed, announced once, never built. */
  EXPECT_EQ(event_ids(), (std::vector<int>{2, 6, 0}));
  EXPECT_EQ(kavalin_client_for_cluster_dyn_function(6), nullptr);
  EXPECT_EQ(kavalin_client_for_cluster_dyn_function(0), nullptr);
  EXPECT_TRUE(log.has("notice", "Removing cluster 6\n"));
  EXPECT_TRUE(log.has("notice", "Removing cluster 0\n"));
}

}  // namespace
