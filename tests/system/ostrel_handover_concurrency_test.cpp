// A cluster's bootstrap hosts changed through kavalin's REST route while
// ostrel replicates it: the worker against the old hosts stops and gives up
// its record, a new one replicates from the new hosts; removing every host
// stops replication of the cluster. The hand-over crosses threads (an HTTP
// thread rebuilds the cluster while the old worker pulls), so this test runs
// under ThreadSanitizer.
#include <gtest/gtest.h>

#include <string>

#include "support/standin_process.h"
#include "support/system_support.h"

namespace wt = wendrel_test;

namespace {

class OstrelHandover : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(wt::make_certs(certs(), &why)) << why;
  }
  std::string certs() { return dir_.file("certs"); }

  wt::HttpResult update_cluster(wt::Daemon &d, const std::string &xml) {
    wt::RequestOptions o;
    o.method = "POST";
    o.body = xml;
    o.with_body = true;
    o.headers.push_back("Content-Type: application/xml");
    return wt::https_request(certs(), d.https_port(),
                             "/module/kavalin/cluster/1", o);
  }
  std::string status(wt::Daemon &d) {
    auto r = wt::https_request(certs(), d.https_port(),
                               "/module/ostrel/status.json");
    EXPECT_EQ(200, r.status) << r.body;
    return r.body;
  }

  wt::TempDir dir_{"ostrel-handover"};
};

size_t position(const std::string &log, const std::string &text) {
  return log.find(text);
}

TEST_F(OstrelHandover, BootstrapUpdateMovesReplicationToTheNewHosts) {
  wt::Standin a, b;
  ASSERT_TRUE(a.start({"--nodes", "1", "--base-port", "0", "--checks", "40",
                       "--tags-per-check", "3", "--seed", "31", "--signature",
                       "standin-a"},
                      dir_.file("standin-a.log")));
  ASSERT_TRUE(b.start({"--nodes", "1", "--base-port", "0", "--checks", "50",
                       "--tags-per-check", "4", "--seed", "32", "--signature",
                       "standin-b"},
                      dir_.file("standin-b.log")));
  auto opt = wt::replica_options(
      certs(), "<bootstrap cluster=\"1\" host=\"127.0.0.1:" +
                   std::to_string(a.node(0)) + "\"/>");
  std::string conf = dir_.file("wendrel.conf");
  ASSERT_TRUE(wt::write_file(conf, wt::make_config(opt)));
  wt::Daemon d;
  ASSERT_TRUE(d.start(conf, dir_.file("wendrel.log"))) << d.log();
  ASSERT_TRUE(d.wait_for_log("[1] ostrelate full sync complete against standin-a",
                             30000))
      << d.log();
  ASSERT_EQ("", wt::converge(a, certs(), d.https_port())) << d.log();

  // The same cluster id, now on the second stand-in's node.
  auto r = update_cluster(d, "<drask><bootstrap host=\"127.0.0.1:" +
                                 std::to_string(b.node(0)) + "\"/></drask>");
  ASSERT_EQ(204, r.status) << r.body;
  EXPECT_TRUE(d.wait_for_log("[1] ostrelate stopping against standin-a\n", 15000))
      << d.log();
  EXPECT_TRUE(d.wait_for_log("[1] ostrelate full sync complete against standin-b",
                             30000))
      << d.log();
  auto log = d.log();
  size_t stopped = position(log, "[1] ostrelate stopping against standin-a");
  size_t started = position(log, "[1] ostrelate starting against standin-b");
  ASSERT_NE(std::string::npos, started) << log;
  EXPECT_LT(stopped, started) << log;
  EXPECT_EQ("", wt::converge(b, certs(), d.https_port())) << d.log();

  // One record for the cluster, on the new node; it follows the new
  // cluster's changes.
  std::string st = status(d);
  EXPECT_NE(std::string::npos, st.find("127.0.0.1:" + std::to_string(b.node(0))))
      << st;
  EXPECT_EQ(std::string::npos, st.find("127.0.0.1:" + std::to_string(a.node(0))))
      << st;
  EXPECT_EQ(st.find("\"cluster_id\":1"), st.rfind("\"cluster_id\":1")) << st;
  const std::string fresh = "0b0b0b0b-1111-4222-8333-444444444444";
  ASSERT_EQ(200, b.post("/tag/add", "{\"check\":\"" + fresh +
                                        "\",\"tag\":\"moved:b\"}").status);
  EXPECT_EQ("", wt::converge(b, certs(), d.https_port(), 15)) << d.log();

  // Every host removed: the cluster is gone and so is its worker.
  r = update_cluster(d, "<drask/>");
  ASSERT_EQ(204, r.status) << r.body;
  EXPECT_TRUE(d.wait_for_log(
      "[1] unregistering cluster for check tag replication.\n", 10000))
      << d.log();
  EXPECT_TRUE(d.wait_for_log("[1] ostrelate stopping against standin-b\n", 10000))
      << d.log();
  st = status(d);
  EXPECT_EQ(std::string::npos, st.find("\"cluster_id\":1")) << st;
  EXPECT_NE(std::string::npos, st.find("\"clusters\":")) << st;
  log = d.log();
  size_t starts = 0;
  for (size_t p = 0;
       (p = log.find("[1] ostrelate starting against", p)) != std::string::npos;
       p++) {
    starts++;
  }
  EXPECT_EQ(2u, starts) << log;
  EXPECT_EQ(0, d.stop());
}

}  // namespace
