// ostrel inside the running daemon: loaded after kavalin from the
// configuration, one replication record per configured cluster, the show
// route over HTTPS, a cluster handed over when kavalin rebuilds it, and the
// start-up stop when no subscriber can be settled.
#include <gtest/gtest.h>

#include "support/system_support.h"

namespace wt = wendrel_test;

namespace {

const char *kModules =
    "    <module image=\"kavalin\" name=\"kavalin\"/>\n"
    "    <module image=\"ostrel\" name=\"ostrel\">\n"
    "      <config><update_interval>2</update_interval></config>\n"
    "    </module>\n";

const char *kClusters =
    "  <clusters my_id=\"6F1C2A4E-0B7D-4C3A-9E2F-1A2B3C4D5E6F\"/>\n"
    "  <drask timeout=\"2000\" connecttimeout=\"500\">\n"
    "    <swimlane>\n"
    "      <bootstrap cluster=\"1\" host=\"127.0.0.1:9\"/>\n"
    "      <bootstrap cluster=\"2\" host=\"127.0.0.1:9\"/>\n"
    "    </swimlane>\n"
    "  </drask>\n";

class OstrelShowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new wt::TempDir("ostrel-show");
    std::string why;
    ASSERT_TRUE(wt::make_certs(certs(), &why)) << why;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string certs() { return dir_->file("certs"); }
  static std::string write_config(const std::string &name,
                                  const std::string &extra) {
    wt::ConfigOptions opt;
    opt.certs_dir = certs();
    opt.modules_xml = kModules;
    opt.extra_xml = extra;
    std::string conf = dir_->file(name + ".conf");
    EXPECT_TRUE(wt::write_file(conf, wt::make_config(opt)));
    return conf;
  }
  static wt::TempDir *dir_;
};
wt::TempDir *OstrelShowTest::dir_ = nullptr;

TEST_F(OstrelShowTest, RegistersClustersAndAnswersShow) {
  wt::Daemon d;
  ASSERT_TRUE(d.start(write_config("show", kClusters), dir_->file("show.log")))
      << d.log();
  EXPECT_TRUE(d.wait_for_log("Starting ostrel with update_interval=2", 5000))
      << d.log();
  for (int id : {1, 2}) {
    EXPECT_TRUE(d.wait_for_log(
        "[" + std::to_string(id) +
            "] registered new cluster for check tag replication with 0 nodes",
        5000))
        << d.log();
  }

  const std::string unknown =
      "/module/ostrel/show/0a1b2c3d-0000-4000-8000-00000000beef.json";
  auto r = wt::https_request(certs(), d.https_port(), unknown);
  EXPECT_EQ(200, r.status) << r.error;
  EXPECT_EQ("application/json", r.headers["content-type"]);
  EXPECT_EQ("{\"tags\":[]}\n", r.body);

  // Upper case matches the route (and finds only upper-case keys).
  r = wt::https_request(
      certs(), d.https_port(),
      "/module/ostrel/show/0A1B2C3D-0000-4000-8000-00000000BEEF.json");
  EXPECT_EQ(200, r.status);
  EXPECT_EQ("{\"tags\":[]}\n", r.body);

  wt::RequestOptions anonymous;
  anonymous.identity = "";
  EXPECT_EQ(403, wt::https_request(certs(), d.https_port(), unknown, anonymous)
                     .status);
  wt::RequestOptions stranger;
  stranger.identity = "other-client";
  EXPECT_EQ(403, wt::https_request(certs(), d.https_port(), unknown, stranger)
                     .status);
  EXPECT_EQ(404, wt::https_request(certs(), d.https_port(),
                                   "/module/ostrel/show/not-a-uuid.json")
                     .status);

  // kavalin rebuilds cluster 1 with new bootstrap hosts: ostrel replaces
  // the record and the old worker hands over.
  wt::RequestOptions update;
  update.method = "POST";
  update.with_body = true;
  update.body = "<drask><bootstrap host=\"127.0.0.1:10\"/></drask>";
  r = wt::https_request(certs(), d.https_port(), "/module/kavalin/cluster/1",
                        update);
  EXPECT_EQ(204, r.status) << r.body;
  EXPECT_TRUE(d.wait_for_log(
      "[1] Updated cluster for check tag replication with 0 nodes", 5000))
      << d.log();
  EXPECT_TRUE(d.wait_for_log("[1] ostrelate stopping against 1", 5000))
      << d.log();

  // Every bootstrap host of cluster 2 removed: the record goes.
  update.body = "<drask></drask>";
  r = wt::https_request(certs(), d.https_port(), "/module/kavalin/cluster/2",
                        update);
  EXPECT_EQ(204, r.status) << r.body;
  EXPECT_TRUE(d.wait_for_log(
      "[2] unregistering cluster for check tag replication.", 5000))
      << d.log();
  EXPECT_TRUE(d.wait_for_log("[2] ostrelate stopping against 2", 5000))
      << d.log();

  EXPECT_EQ(0, d.stop());
}

TEST_F(OstrelShowTest, NoSubscriberAndNoIdentityStopsTheDaemon) {
  std::string extra =
      "  <drask><swimlane><bootstrap cluster=\"1\" host=\"127.0.0.1:9\"/>"
      "</swimlane></drask>\n";
  wt::Daemon d;
  EXPECT_FALSE(d.start(write_config("nosub", extra), dir_->file("nosub.log"),
                       10000));
  EXPECT_EQ(2, d.wait_exit(10000)) << d.log();
  EXPECT_NE(std::string::npos,
            d.log().find("[TERMINATE] No <subscriber> or //clusters/@my_id "
                         "available, cannot use ostrel"))
      << d.log();
}

}  // namespace
