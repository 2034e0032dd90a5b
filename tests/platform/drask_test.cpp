// libdrask against a small topology server (libmicrohttpd on loopback).
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "drask/client.h"
#include "drask/topology.h"
#include "platform/topology_test_server.h"

namespace {

using drask_test::TopologyServer;
using drask_test::dead_host;

const char *kTwoNodes =
    R"({"signature":"cluster-a","nodes":["http://127.0.0.1:8101","http://127.0.0.1:8102/"],"extra":1})";
const char *kThreeNodes =
    R"({"signature":"cluster-a","nodes":["http://127.0.0.1:8101","http://127.0.0.1:8102","http://127.0.0.1:8103"]})";

drask_client_t *client_for(std::vector<std::string> hosts) {
  std::vector<char *> ptrs;
  for (auto &h : hosts) ptrs.push_back(h.data());
  drask_client_t *c = drask_client_alloc(static_cast<int>(ptrs.size()), ptrs.data());
  drask_client_set_connecttimeout(c, 500);
  drask_client_set_timeout(c, 2000);
  return c;
}

class DraskTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { libdrask_init(); }
};

TEST_F(DraskTest, ParsesTopologyDocuments) {
  drask_topo_t *t = drask_topo_parse(kTwoNodes, strlen(kTwoNodes));
  ASSERT_NE(nullptr, t);
  ASSERT_EQ(2, drask_topo_node_count(t));
  EXPECT_STREQ("http://127.0.0.1:8101", drask_topo_node(t, 0));
  EXPECT_STREQ("http://127.0.0.1:8102", drask_topo_node(t, 1));  // slash dropped
  EXPECT_EQ(nullptr, drask_topo_node(t, 2));
  size_t len = 0;
  EXPECT_STREQ("cluster-a", topo_signature(t, &len));
  EXPECT_EQ(9u, len);
  drask_topo_free(t);

  const char *empty = R"({"signature":"s","nodes":[]} )";
  t = drask_topo_parse(empty, strlen(empty));
  ASSERT_NE(nullptr, t);
  EXPECT_EQ(0, drask_topo_node_count(t));
  drask_topo_free(t);

  std::string too_many = R"({"signature":"s","nodes":[)";
  for (int i = 0; i <= DRASK_MAX_NODES; ++i)
    too_many += (i ? ",\"" : "\"") + std::string("http://n") + std::to_string(i) + "\"";
  too_many += "]}";
  for (std::string bad :
       {std::string("not json"), std::string(R"({"nodes":["a"]})"),
        std::string(R"({"signature":"","nodes":["a"]})"),
        std::string(R"({"signature":"s","nodes":"a"})"),
        std::string(R"({"signature":"s","nodes":[1]})"),
        std::string(R"({"signature":"s","nodes":["a"]} trailing)"),
        std::string(R"(["s"])"), too_many}) {
    SCOPED_TRACE(bad.substr(0, 60));
    EXPECT_EQ(nullptr, drask_topo_parse(bad.data(), bad.size()));
  }
}

TEST_F(DraskTest, NodesFromTheFirstBootstrapHostThatAnswers) {
  TopologyServer server;
  ASSERT_GT(server.port(), 0);
  server.set(kTwoNodes);
  drask_client_t *c = client_for({dead_host(), server.host()});
  const char *nodes[DRASK_MAX_NODES];
  ASSERT_EQ(2, drask_client_get_all_nodes(c, nodes));
  EXPECT_STREQ("http://127.0.0.1:8101", nodes[0]);
  EXPECT_STREQ("http://127.0.0.1:8102", nodes[1]);
  // Cached: a second call asks nobody.
  int asked = server.requests();
  ASSERT_EQ(2, drask_client_get_all_nodes(c, nodes));
  EXPECT_EQ(asked, server.requests());
  drask_topo_t *t = drask_client_get_active_topo(c);
  ASSERT_NE(nullptr, t);
  EXPECT_STREQ("cluster-a", topo_signature(t, nullptr));
  drask_client_free(c);
}

TEST_F(DraskTest, MinusOneWhenNoBootstrapHostAnswers) {
  drask_client_t *c = client_for({dead_host(), dead_host()});
  const char *nodes[DRASK_MAX_NODES];
  EXPECT_EQ(-1, drask_client_get_all_nodes(c, nodes));
  EXPECT_EQ(nullptr, drask_client_get_active_topo(c));
  drask_client_free(c);

  // A host that answers with something other than a topology counts as
  // not answering.
  TopologyServer server;
  server.set("{\"error\":\"busy\"}", 503);
  c = client_for({server.host()});
  EXPECT_EQ(-1, drask_client_get_all_nodes(c, nodes));
  server.set("<html>", 200);
  drask_client_topology_stale(c);
  EXPECT_EQ(-1, drask_client_get_all_nodes(c, nodes));
  drask_client_free(c);
}

TEST_F(DraskTest, RefreshKeepsHandedOutStringsAndSignaturesEqualPerCluster) {
  TopologyServer server;
  server.set(kTwoNodes);
  drask_client_t *c = client_for({server.host()});
  drask_client_t *other = client_for({server.host()});
  const char *nodes[DRASK_MAX_NODES];
  ASSERT_EQ(2, drask_client_get_all_nodes(c, nodes));
  const char *first_node = nodes[0];
  drask_topo_t *first = drask_client_get_active_topo(c);
  const char *first_sig = topo_signature(first, nullptr);
  EXPECT_STREQ(first_sig, topo_signature(drask_client_get_active_topo(other), nullptr));

  // Same content again: the client keeps the object it has.
  drask_client_topology_stale(c);
  ASSERT_EQ(2, drask_client_get_all_nodes(c, nodes));
  EXPECT_EQ(first, drask_client_get_active_topo(c));
  EXPECT_EQ(first_node, nodes[0]);

  // The cluster grew: a marked-stale client sees the new node list, and
  // what it handed out before is still readable.
  server.set(kThreeNodes);
  drask_client_topology_stale(c);
  ASSERT_EQ(3, drask_client_get_all_nodes(c, nodes));
  EXPECT_STREQ("http://127.0.0.1:8103", nodes[2]);
  EXPECT_NE(first, drask_client_get_active_topo(c));
  EXPECT_STREQ("http://127.0.0.1:8101", first_node);
  EXPECT_STREQ("cluster-a", first_sig);

  // A refresh interval refetches on its own.
  server.set(kTwoNodes);
  drask_client_set_refresh_interval(other, 50);
  std::this_thread::sleep_for(std::chrono::milliseconds(80));
  int asked = server.requests();
  EXPECT_EQ(2, drask_client_get_all_nodes(other, nodes));
  EXPECT_EQ(asked + 1, server.requests());

  // The bootstrap host goes away: the cached topology still answers.
  server.stop();
  drask_client_topology_stale(c);
  EXPECT_EQ(3, drask_client_get_all_nodes(c, nodes));
  drask_client_free(c);
  drask_client_free(other);
}

TEST_F(DraskTest, ClientBasics) {
  EXPECT_EQ(nullptr, drask_client_alloc(0, nullptr));
  std::string a = "h1:1", b = "h2:2";
  char *hosts[] = {a.data(), b.data()};
  drask_client_t *c = drask_client_alloc(2, hosts);
  a = "changed";  // the client keeps its own copies
  const char *const *kept = nullptr;
  ASSERT_EQ(2, drask_client_get_bootstrap(c, &kept));
  EXPECT_STREQ("h1:1", kept[0]);
  EXPECT_STREQ("h2:2", kept[1]);
  drask_client_set_connecttimeout(c, 1234);
  drask_client_set_timeout(c, 5678);
  EXPECT_EQ(1234, drask_client_get_connecttimeout(c));
  EXPECT_EQ(5678, drask_client_get_timeout(c));
  drask_client_free(c);
}

TEST_F(DraskTest, CurlSetupSetsNoOverallTimeLimit) {
  // Feed pulls run long: a handle set up from the topology must outlast the
  // client's total timeout (which bounds only the topology fetch itself).
  TopologyServer server;
  server.set(kTwoNodes);
  drask_client_t *c = client_for({server.host()});
  drask_topo_t *t = drask_client_get_active_topo(c);
  ASSERT_NE(nullptr, t);
  drask_client_set_timeout(c, 300);
  server.set_delay_ms(900);
  CURL *curl = curl_easy_init();
  topo_curl_setup(curl, t);
  topo_curl_setup(curl, nullptr);  // no topology: nothing happens
  topo_curl_setup(nullptr, t);
  std::string url = "http://" + server.host() + DRASK_TOPOLOGY_PATH;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION,
                   +[](char *, size_t s, size_t n, void *) { return s * n; });
  EXPECT_EQ(CURLE_OK, curl_easy_perform(curl));
  curl_easy_cleanup(curl);

  // The topology fetch itself does honour the total timeout.
  drask_client_topology_stale(c);
  drask_client_t *fresh = client_for({server.host()});
  drask_client_set_timeout(fresh, 300);
  const char *nodes[DRASK_MAX_NODES];
  EXPECT_EQ(-1, drask_client_get_all_nodes(fresh, nodes));
  server.set_delay_ms(0);
  drask_client_free(fresh);
  drask_client_free(c);
}

}  // namespace
