/* Replication workers against a node on loopback: the pauses between pulls,
 * and the hand-over of a cluster between workers while one is held inside
 * a transfer. Workers, the registering thread and the node's threads meet
 * here, so this runs under ThreadSanitizer. */
#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "drask/client.h"
#include "fake_kavalin.h"
#include "feed_node.h"
#include "log_capture.h"
#include "modules/ostrel/internal.h"

namespace {

using namespace std::chrono_literals;

FeedNode *g_node = nullptr;
std::mutex g_mu;
std::set<int> g_present;

drask_client_t *client_of(const std::string &host) {
  // Never freed, as kavalin never frees a client (and still reachable when
  // the process exits).
  static auto &clients = *new std::map<std::string, drask_client_t *>();
  auto it = clients.find(host);
  if (it != clients.end()) return it->second;
  std::string h = host;
  char *hosts[] = {h.data()};
  drask_client_t *c = drask_client_alloc(1, hosts);
  drask_client_set_connecttimeout(c, 500);
  drask_client_set_timeout(c, 3000);
  return clients[host] = c;
}

void set_client(int id, bool present) {
  std::lock_guard<std::mutex> g(g_mu);
  if (present) {
    g_present.insert(id);
  } else {
    g_present.erase(id);
  }
}

}  // namespace

/* kavalin's lookup, found by name: clusters 5 and 7 live on the test node
 * (so they share its topology signature), 6 on a port nobody serves. */
extern "C" __attribute__((visibility("default"))) drask_client_t *
kavalin_client_for_cluster_dyn_function(int id) {
  std::lock_guard<std::mutex> g(g_mu);
  if (g_present.count(id) == 0 || g_node == nullptr) return nullptr;
  return client_of(id == 6 ? "127.0.0.1:9" : g_node->host());
}

namespace {

const char *kNotice = "notice/ostrel";
const char *kError = "error/ostrel";

std::string line(int id, const std::string &rest) {
  return "[" + std::to_string(id) + "] " + rest + "\n";
}

class WorkerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    libdrask_init();
    g_node = new FeedNode();
    ostrel_config(&ostrel, nullptr);
    ostrel_init(&ostrel);
    subscriber = strdup("replica-9");
    max_fail_us_before_next = 600000000;
  }
  static void TearDownTestSuite() {
    // Stopping the node joins its connection threads.
    FeedNode *node;
    {
      std::lock_guard<std::mutex> g(g_mu);
      node = g_node;
      g_node = nullptr;
    }
    delete node;
  }
  void SetUp() override {
    ASSERT_TRUE(g_node->up());
    g_node->forget();
    g_node->on("POST", {200, "", "0000000a:00000001"});
    g_node->on("FULL", {200, "", ""});
    Answer unchanged;
    unchanged.echo = true;
    g_node->on("DIFF", unchanged);
    g_node->on("DELETE", {204, "", ""});
  }
  void TearDown() override {
    g_node->release();
    for (int id : {5, 6, 7}) remove(id);
    // A worker logs its stop before it lets its topology go; the next test
    // starts only once every worker has, or its first worker would park.
    for (int i = 0; i < 500; i++) {
      pthread_mutex_lock(&clusters_lock);
      const int held = zorv_hash_size(&cluster_signatures);
      pthread_mutex_unlock(&clusters_lock);
      if (held == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  void add(int id) {
    set_client(id, true);
    fake_kavalin::fire_cluster_changed(id);
  }
  void remove(int id) {
    set_client(id, false);
    fake_kavalin::fire_cluster_changed(id);
  }
  LogCapture logs;
};

double seconds(FeedNode::Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

TEST_F(WorkerTest, PausesFollowTheOutcomeOfEachPass) {
  update_interval = 3;
  const std::string cp1 = "0000000a:00000001", cp2 = "0000000a:00000002";
  // A body that ends inside a message (L 64, 10 bytes of it).
  const std::string cut_short = std::string("\0\0\0\x40", 4) + "0123456789";
  g_node->then("DIFF", {200, "", cp2});         // d1 moved: next at once
  g_node->then("DIFF", {200, "", cp2});         // d2 same: update_interval
  g_node->then("DIFF", {500, "", ""});          // d3 failed: 1 s
  g_node->then("DIFF", {200, cut_short, "0000000a:00000003"});  // d4 failed: 1 s
  g_node->then("DIFF", {200, "", cp2});         // d5 same: update_interval
  g_node->then("DIFF", {409, "", ""});          // d6 neutral after success
  add(5);
  ASSERT_TRUE(g_node->wait_count("POST", 2, 30s));
  remove(5);
  ASSERT_TRUE(logs.wait_for(kNotice, line(5, "ostrelate stopping against feed-test")));

  const std::vector<FeedNode::Seen> s = g_node->seen();
  ASSERT_GE(s.size(), 9u);
  const std::vector<std::string> kinds = {"POST", "FULL", "DIFF", "DIFF", "DIFF",
                                          "DIFF", "DIFF", "DIFF", "POST"};
  for (size_t i = 0; i < kinds.size(); i++) ASSERT_EQ(s[i].kind, kinds[i]) << i;
  // Gap before request i+1, and what it should be (0: at once). The last:
  // a 409 after a success pauses as after a success.
  const double expected[] = {0, 0, 0, 3, 1, 1, 3, 3};
  for (size_t i = 0; i < 8; i++) {
    double gap = seconds(s[i + 1].at - s[i].at);
    if (expected[i] == 0) {
      EXPECT_LT(gap, 0.8) << "before request " << i + 1;
    } else {
      EXPECT_GE(gap, expected[i] - 0.05) << "before request " << i + 1;
      EXPECT_LT(gap, expected[i] + 0.9) << "before request " << i + 1;
    }
  }
  // The cut-short answer's token was not taken: the pull after it asked
  // from the checkpoint before it.
  EXPECT_EQ(s[6].checkpoint, cp2);
  EXPECT_EQ(s[2].checkpoint, cp1);
  update_interval = 1;
}

TEST_F(WorkerTest, ReplacementWaitsForTheOutgoingWorkerAndParkedOnesWake) {
  // Cluster 5's worker is held inside its full-state transfer.
  g_node->then("FULL", {200, "", "", false, /*hold=*/true});
  add(5);
  ASSERT_TRUE(g_node->wait_count("FULL", 1));

  // Rebuilt meanwhile, then another cluster registers: its spin-up must not
  // start the replacement while the outgoing worker holds the topology.
  fake_kavalin::fire_cluster_changed(5);
  EXPECT_EQ(logs.count(kNotice, line(5, "Updated cluster for check tag "
                                        "replication with 0 nodes")),
            1);
  add(6);
  const std::string skipped = line(
      5, "ostrelate already replicating cluster with same signature "
         "feed-test. Skipping cluster.");
  EXPECT_FALSE(logs.wait_for(kError, skipped, 1, 1s));

  // The outgoing worker ends with its transfer and starts the replacement.
  g_node->release();
  ASSERT_TRUE(logs.wait_for(kNotice, line(5, "ostrelate stopping against feed-test")));
  ASSERT_TRUE(logs.wait_for(kNotice, line(5, "ostrelate starting against feed-test"), 2));
  ASSERT_TRUE(g_node->wait_count("POST", 2));
  EXPECT_EQ(logs.count(kError, skipped), 0);

  // Cluster 7 has the same topology: its worker parks, and takes over when
  // cluster 5 is removed and its worker lets the signature go.
  add(7);
  ASSERT_TRUE(logs.wait_for(kError, line(7, "ostrelate already replicating "
                                            "cluster with same signature "
                                            "feed-test. Skipping cluster.")));
  remove(5);
  EXPECT_TRUE(logs.wait_for(kNotice, line(7, "ostrelate starting against feed-test")));
  EXPECT_TRUE(g_node->wait_count("POST", 3));
}

}  // namespace
