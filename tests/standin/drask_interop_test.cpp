// The database client (libdrask) discovers a stand-in cluster through its
// GET /topology: the node URLs it reports are the nodes that serve the
// feed, and the signature is the cluster's.
#include <gtest/gtest.h>

#include <string>

#include "drask/client.h"
#include "standin/support/http_client.h"
#include "standin/support/standin_process.h"

using namespace standin_test;

TEST(DraskInterop, ClientLearnsNodesAndSignatureFromTheStandin) {
  StandinProcess cluster({"--nodes", "3", "--signature", "interop-cluster"});
  ASSERT_TRUE(cluster.ok());
  libdrask_init();
  // The first bootstrap host is down: the client must move on to the next.
  post_json(cluster.admin_url("/nodes/0/faults"), "{\"down\":true}");
  std::string first = "127.0.0.1:" + std::to_string(cluster.node_ports()[0]);
  std::string second = "127.0.0.1:" + std::to_string(cluster.node_ports()[1]);
  char *hosts[] = {first.data(), second.data()};
  drask_client_t *client = drask_client_alloc(2, hosts);
  ASSERT_NE(client, nullptr);
  drask_client_set_connecttimeout(client, 2000);
  drask_client_set_timeout(client, 5000);

  const char *nodes[DRASK_MAX_NODES];
  ASSERT_EQ(drask_client_get_all_nodes(client, nodes), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(std::string(nodes[i]), cluster.node_url(i, ""));
    if (i > 0) {
      // Every URL is a working prefix of a feed request.
      HttpResult r = http("POST", std::string(nodes[i]) + "/metafeed/check/tag?subscriber=interop");
      EXPECT_EQ(r.status, 200);
      EXPECT_EQ(r.checkpoint().size(), 17u);
    }
  }
  drask_topo_t *topo = drask_client_get_active_topo(client);
  ASSERT_NE(topo, nullptr);
  size_t length = 0;
  EXPECT_EQ(std::string(topo_signature(topo, &length)), "interop-cluster");
  EXPECT_EQ(length, 15u);
  drask_client_free(client);
}
