// One database client shared by several threads while its topology changes
// and is marked stale: every answer is a whole, valid node list, and strings
// handed out earlier stay readable.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "drask/client.h"
#include "platform/topology_test_server.h"

namespace {

std::string topology(int nodes) {
  std::string doc = R"({"signature":"cluster-c","nodes":[)";
  for (int i = 0; i < nodes; ++i)
    doc += (i ? ",\"" : "\"") + std::string("http://127.0.0.1:") +
           std::to_string(9000 + i) + "\"";
  return doc + "]}";
}

TEST(DraskConcurrencyTest, ThreadsShareOneClientAcrossRefreshes) {
  libdrask_init();
  drask_test::TopologyServer server;
  ASSERT_GT(server.port(), 0);
  server.set(topology(2));
  std::string host = server.host();
  char *hosts[] = {host.data()};
  drask_client_t *c = drask_client_alloc(1, hosts);
  drask_client_set_connecttimeout(c, 500);
  drask_client_set_timeout(c, 2000);
  drask_client_set_refresh_interval(c, 1);

  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const char *first = nullptr;
      const char *nodes[DRASK_MAX_NODES];
      for (int i = 0; i < 60; ++i) {
        if (t == 0 && i % 10 == 5) server.set(topology(2 + (i / 10) % 3));
        if (t == 1) drask_client_topology_stale(c);
        int n = drask_client_get_all_nodes(c, nodes);
        if (n < 2 || n > 4) {
          wrong.fetch_add(1);
          continue;
        }
        for (int k = 0; k < n; ++k)
          if (std::string(nodes[k]) != "http://127.0.0.1:" + std::to_string(9000 + k))
            wrong.fetch_add(1);
        if (!first) first = nodes[0];
        drask_topo_t *topo = drask_client_get_active_topo(c);
        if (!topo || std::strcmp(topo_signature(topo, nullptr), "cluster-c") != 0)
          wrong.fetch_add(1);
      }
      // Still valid after every refresh the other threads caused.
      if (!first || std::strcmp(first, "http://127.0.0.1:9000") != 0) wrong.fetch_add(1);
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(0, wrong.load());
  drask_client_free(c);
}

}  // namespace
