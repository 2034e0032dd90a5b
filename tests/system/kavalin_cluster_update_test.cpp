// The cluster bootstrap update endpoint through the running daemon over
// HTTPS: validation, the fixed-location guard, host replacement and
// removal (seen by ostrel through the cluster-changed hook), id narrowing,
// canonical cluster attributes and a failing write.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/kavalin_support.h"

namespace {

using kavalin_test::elements;
using kavalin_test::error_text;
using kavalin_test::KavalinDaemon;

const std::string kDrask =
    "  <drask>\n"
    "    <bootstrap cluster=\"5\" host=\"127.0.0.1:18501\"/>\n"
    "    <swimlane>\n"
    "      <bootstrap cluster=\"1\" host=\"127.0.0.1:18101\"/>\n"
    "      <bootstrap cluster=\"1\" host=\"127.0.0.1:18102\"/>\n"
    "      <bootstrap cluster=\"3\" host=\"127.0.0.1:18301\"/>\n"
    "      <bootstrap cluster=\"5\" host=\"127.0.0.1:18502\"/>\n"
    "      <bootstrap host=\"127.0.0.1:18101\"/>\n"
    "      <deeper><bootstrap cluster=\"3\" host=\"127.0.0.1:18399\"/></deeper>\n"
    "      <account_map><map account=\"42\" cluster=\"3\"/></account_map>\n"
    "    </swimlane>\n"
    "  </drask>\n";

std::string lane_bootstraps(const std::string &conf, int id) {
  return elements(conf, "//drask//swimlane/bootstrap[@cluster=\"" +
                            std::to_string(id) + "\"]");
}

class KavalinClusterUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    d_.reset(new KavalinDaemon(kDrask, /*with_ostrel=*/true));
    ASSERT_TRUE(d_->start()) << d_->log();
  }
  std::unique_ptr<KavalinDaemon> d_;
};

TEST_F(KavalinClusterUpdate, ValidationRowsAndGuardChangeNothing) {
  const std::string before = d_->conf_text();
  const std::string ok = "<drask><bootstrap host=\"127.0.0.1:1\"/></drask>";
  struct row {
    std::string id;
    std::string body;
    std::string message;
  };
  const row rows[] = {
      {"3", "not xml", "xml parse error"},
      {"0", "not xml", "xml parse error"},
      {"0", ok, "Rejecting change to cluster/0"},
      {"4294967296", ok, "Rejecting change to cluster/0"},
      {"2147483648", ok, "Rejecting change to cluster/0"},
      {"3", "<cluster><bootstrap host=\"h\"/></cluster>", "malformed document"},
      {"3", "<drask><bootstrap host=\"h\"/><map/></drask>",
       "child other than `bootstrap` unexpected"},
      {"3", "<drask><bootstrap/></drask>", "bootstrap missing host"},
      {"3", "<drask><bootstrap cluster=\"3\"/></drask>", "bootstrap missing host"},
      {"3", "<drask><bootstrap host=\"h\" cluster=\"4\"/></drask>",
       "bootstrap missing cluster"},
      {"5", ok, "Illegal cluster configuration found.\n"},
      /* Elements inside a bootstrap element would plant hosts elsewhere. */
      {"3", "<drask><bootstrap host=\"h\"><bootstrap cluster=\"5\" host=\"e\"/>"
            "</bootstrap></drask>", "malformed document"},
      {"1", "<drask><bootstrap host=\"h\"><swimlane><bootstrap cluster=\"1\" "
            "host=\"e\"/></swimlane></bootstrap></drask>", "malformed document"},
  };
  const std::string log_before = d_->log();
  for (const auto &r : rows) {
    auto res = d_->post("/module/kavalin/cluster/" + r.id, r.body);
    EXPECT_EQ(res.status, 400) << r.id << " " << r.body;
    EXPECT_EQ(res.headers["content-type"], "text/html");
    EXPECT_EQ(error_text(res.body), r.message) << r.id << " " << r.body;
  }
  EXPECT_TRUE(d_->daemon().wait_for_log(
      "Found cluster configuration under //drask/bootstrap for cluster 5. "
      "Mutable configuration must be located under "
      "//drask//swimlane/bootstrap. Rejecting update.",
      5000));
  auto res = d_->post("/module/kavalin/cluster/3", ok, "");
  EXPECT_EQ(res.status, 403);
  EXPECT_EQ(d_->conf_text(), before);
  /* No cluster was rebuilt or removed. */
  const std::string log_after = d_->log();
  EXPECT_EQ(log_after.find("Initializing cluster", log_before.size()), std::string::npos);
  EXPECT_EQ(log_after.find("Removing cluster", log_before.size()), std::string::npos);
}

/* A file that already holds bootstrap elements inside bootstrap elements
 * (written by hand or by an older daemon): the nested ones serve no
 * cluster, and removing an element together with its nested twin of the
 * same cluster frees each once. */
TEST(KavalinClusterNesting, NestedElementsInTheFileAreInertAndRemovedOnce) {
  KavalinDaemon d("<drask><swimlane>"
                  "<bootstrap cluster=\"1\" host=\"127.0.0.1:18101\"><swimlane>"
                  "<bootstrap cluster=\"1\" host=\"127.0.0.1:18102\"/>"
                  "</swimlane></bootstrap>"
                  "<bootstrap cluster=\"3\" host=\"127.0.0.1:18301\">"
                  "<bootstrap cluster=\"5\" host=\"127.0.0.1:18599\"/></bootstrap>"
                  "<bootstrap host=\"127.0.0.1:18101\"/>"
                  "</swimlane></drask>");
  ASSERT_TRUE(d.start()) << d.log();
  EXPECT_TRUE(d.daemon().wait_for_log(
      "Initializing cluster 1 with 1 bootstrap nodes", 5000));
  EXPECT_EQ(d.log().find("Initializing cluster 5"), std::string::npos);

  auto r = d.post("/module/kavalin/cluster/1", "<drask/>");
  ASSERT_EQ(r.status, 204) << d.log();
  EXPECT_EQ(elements(d.conf_text(), "//bootstrap[@cluster=\"1\"]"), "");
  EXPECT_TRUE(d.daemon().wait_for_log("Removing cluster 1", 5000));

  r = d.post("/module/kavalin/cluster/5",
             "<drask><bootstrap host=\"127.0.0.1:18501\"/></drask>");
  EXPECT_EQ(r.status, 204);
  EXPECT_TRUE(d.daemon().wait_for_log(
      "Initializing cluster 5 with 1 bootstrap nodes", 5000));

  ASSERT_TRUE(d.restart()) << d.log();
  EXPECT_TRUE(d.daemon().wait_for_log(
      "Initializing cluster 5 with 1 bootstrap nodes", 5000));
  EXPECT_TRUE(d.daemon().wait_for_log(
      "Initializing cluster 3 with 1 bootstrap nodes", 5000));
  EXPECT_EQ(d.log().find("Initializing cluster 5 with 2"), std::string::npos);
}

TEST_F(KavalinClusterUpdate, ReplaceThenRemoveHosts) {
  /* New hosts, one without @cluster (it gains cluster 3), one written as
   * 03 (stored as 3, so the cluster's own lookups find it). Deeper
   * elements of cluster 3 and other clusters' elements stay. */
  auto r = d_->post("/module/kavalin/cluster/3",
                    "<drask>\n <bootstrap host=\"127.0.0.1:18311\" port=\"x\"/>\n"
                    " <bootstrap cluster=\"03\" host=\"127.0.0.1:18312\"/>\n</drask>");
  EXPECT_EQ(r.status, 204) << r.body;
  std::string conf = d_->conf_text();
  EXPECT_EQ(lane_bootstraps(conf, 3),
            "[host=127.0.0.1:18311,port=x,cluster=3] "
            "[cluster=3,host=127.0.0.1:18312]");
  EXPECT_EQ(elements(conf, "//deeper/bootstrap"),
            "[cluster=3,host=127.0.0.1:18399]");
  EXPECT_EQ(lane_bootstraps(conf, 1),
            "[cluster=1,host=127.0.0.1:18101] [cluster=1,host=127.0.0.1:18102]");
  /* Rebuilt with the two new hosts and the deeper one, and ostrel was told. */
  EXPECT_TRUE(d_->daemon().wait_for_log(
      "Initializing cluster 3 with 3 bootstrap nodes", 5000));
  EXPECT_TRUE(d_->daemon().wait_for_log(
      "[3] Updated cluster for check tag replication", 5000));
  EXPECT_TRUE(d_->daemon().wait_for_log(
      "cluster update from 127.0.0.1 (CN=wendrel operator): cluster 3 "
      "bootstrap 127.0.0.1:18399,127.0.0.1:18311,127.0.0.1:18312 (was "
      "127.0.0.1:18301,127.0.0.1:18399)\n", 5000));
  /* The read-back shows the new hosts; no node answers there, so the
   * client has no topology to show. */
  auto back = wendrel_test::https_request(d_->certs(), d_->daemon().https_port(),
                                          "/module/kavalin/clusters");
  EXPECT_EQ(back.status, 200);
  EXPECT_NE(back.body.find("{\"cluster_id\":3,\"bootstrap\":[\"127.0.0.1:18399\","
                           "\"127.0.0.1:18311\",\"127.0.0.1:18312\"],"
                           "\"topology_signature\":null,\"nodes\":null}"),
            std::string::npos) << back.body;

  /* Every host of the cluster under the swimlane removed: only the
   * deeper one is left, so the cluster lives on with one host. */
  r = d_->post("/module/kavalin/cluster/3", "<drask>\n</drask>");
  EXPECT_EQ(r.status, 204);
  EXPECT_EQ(lane_bootstraps(d_->conf_text(), 3), "");
  EXPECT_TRUE(d_->daemon().wait_for_log(
      "Initializing cluster 3 with 1 bootstrap nodes", 5000));

  /* Cluster 2 never existed; posting none leaves none: removed and
   * announced (ostrel unregisters it). */
  r = d_->post("/module/kavalin/cluster/2", "<drask/>");
  EXPECT_EQ(r.status, 204);
  EXPECT_TRUE(d_->daemon().wait_for_log("Removing cluster 2", 5000));
  EXPECT_TRUE(d_->daemon().wait_for_log(
      "[2] unregistering cluster for check tag replication.", 5000));

  /* The written file loads; the account map still routes to cluster 3. */
  ASSERT_TRUE(d_->restart()) << d_->log();
  EXPECT_TRUE(d_->daemon().wait_for_log(
      "Initializing cluster 3 with 1 bootstrap nodes", 5000));
  EXPECT_EQ(d_->live_swimlane(42), 3);
}

TEST(KavalinClusterRemoval, LastHostGoneRemovesTheCluster) {
  KavalinDaemon d("<drask><swimlane>"
                  "<bootstrap cluster=\"4\" host=\"127.0.0.1:18401\"/>"
                  "<bootstrap host=\"127.0.0.1:18101\"/>"
                  "</swimlane></drask>",
                  /*with_ostrel=*/true);
  ASSERT_TRUE(d.start()) << d.log();
  EXPECT_TRUE(d.daemon().wait_for_log(
      "[4] registered new cluster for check tag replication", 5000));
  auto r = d.post("/module/kavalin/cluster/4", "<drask/>");
  EXPECT_EQ(r.status, 204);
  EXPECT_TRUE(d.daemon().wait_for_log("Removing cluster 4", 5000));
  EXPECT_TRUE(d.daemon().wait_for_log(
      "[4] unregistering cluster for check tag replication.", 5000));
  EXPECT_EQ(elements(d.conf_text(), "//bootstrap[@cluster=\"4\"]"), "");
}

TEST_F(KavalinClusterUpdate, WideIdNarrowsToClusterOne) {
  auto r = d_->post("/module/kavalin/cluster/4294967297",
                    "<drask><bootstrap host=\"127.0.0.1:18109\"/></drask>");
  EXPECT_EQ(r.status, 204) << r.body;
  EXPECT_EQ(lane_bootstraps(d_->conf_text(), 1),
            "[host=127.0.0.1:18109,cluster=1]");
  EXPECT_TRUE(d_->daemon().wait_for_log(
      "Initializing cluster 1 with 1 bootstrap nodes", 5000));
}

TEST_F(KavalinClusterUpdate, FailedFileWriteStillAnswers) {
  ASSERT_EQ(unlink(d_->conf_path().c_str()), 0);
  ASSERT_EQ(mkdir(d_->conf_path().c_str(), 0755), 0);
  auto r = d_->post("/module/kavalin/cluster/3",
                    "<drask><bootstrap host=\"127.0.0.1:18321\"/></drask>");
  EXPECT_EQ(r.status, 204);
  EXPECT_TRUE(d_->daemon().wait_for_log("local config write failed", 5000));
  /* The tree kept the change and the cluster was rebuilt from it. */
  EXPECT_TRUE(d_->daemon().wait_for_log(
      "Initializing cluster 3 with 2 bootstrap nodes", 5000));
  rmdir(d_->conf_path().c_str());
}

TEST(KavalinClusterUpdateSections, MissingSwimlane) {
  KavalinDaemon d("<drask><bootstrap cluster=\"1\" host=\"h\"/></drask>");
  ASSERT_TRUE(d.start()) << d.log();
  std::string before = d.conf_text();
  auto r = d.post("/module/kavalin/cluster/1",
                  "<drask><bootstrap host=\"h2\"/></drask>");
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(error_text(r.body),
            "invalid config (missing //drask//swimlane section)");
  EXPECT_EQ(d.conf_text(), before);
}

}  // namespace
