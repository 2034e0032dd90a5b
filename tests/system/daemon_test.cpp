// The daemon on its own (no modules): start-up, the health and diagnostic
// routes over HTTPS with and without the client certificate, clean stops,
// and clear start-up failures.
#include <gtest/gtest.h>

#include "support/system_support.h"

namespace wt = wendrel_test;

namespace {

class DaemonTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new wt::TempDir("wendrel-daemon");
    std::string why;
    ASSERT_TRUE(wt::make_certs(certs(), &why)) << why;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string certs() { return dir_->file("certs"); }
  static std::string file(const std::string &name) { return dir_->file(name); }

  // Writes a configuration and starts the daemon with it.
  static bool start(wt::Daemon &d, const wt::ConfigOptions &opt,
                    const std::string &name) {
    std::string conf = file(name + ".conf");
    if (!wt::write_file(conf, wt::make_config(opt))) return false;
    return d.start(conf, file(name + ".log"));
  }

  static wt::TempDir *dir_;
};

wt::TempDir *DaemonTest::dir_ = nullptr;

TEST_F(DaemonTest, ServesHealthAndDiagnosticsThenStopsOnSigterm) {
  wt::ConfigOptions opt;
  opt.certs_dir = certs();
  opt.plain_listener = true;
  wt::Daemon d;
  ASSERT_TRUE(start(d, opt, "serve")) << d.log();
  ASSERT_GT(d.https_port(), 0) << d.log();
  ASSERT_GT(d.http_port(), 0) << d.log();

  auto health = wt::https_request(certs(), d.https_port(), "/health");
  EXPECT_EQ(200, health.status) << health.error;
  EXPECT_EQ("application/json", health.headers["content-type"]);
  EXPECT_EQ(0u, health.body.find("{\"status\":\"ok\"")) << health.body;
  // Health is open: no certificate, and plain HTTP, both get it.
  wt::RequestOptions anonymous;
  anonymous.identity = "";
  EXPECT_EQ(200, wt::https_request(certs(), d.https_port(), "/health", anonymous).status);
  EXPECT_EQ(200, wt::http_request(d.http_port(), "/health").status);

  wt::RequestOptions post;
  post.method = "POST";
  post.body = "{\"account_id\":42}";
  post.with_body = true;
  // Without a hook that rewrites, the prefix comes back unchanged.
  auto route = wt::https_request(certs(), d.https_port(),
                                 "/diag/route?prefix=check.metrics", post);
  EXPECT_EQ(200, route.status) << route.error;
  EXPECT_EQ("check.metrics\n", route.body);
  EXPECT_EQ("continue", route.headers["x-hook-result"]);

  auto missing = wt::https_request(certs(), d.https_port(), "/diag/route", post);
  EXPECT_EQ(400, missing.status);

  post.identity = "";
  auto refused = wt::https_request(certs(), d.https_port(),
                                   "/diag/route?prefix=check.metrics", post);
  EXPECT_EQ(403, refused.status) << refused.error;
  post.identity = "other-client";
  EXPECT_EQ(403, wt::https_request(certs(), d.https_port(),
                                   "/diag/route?prefix=p", post).status);
  EXPECT_EQ(403, wt::http_request(d.http_port(), "/diag/route?prefix=p", post).status);

  const std::string uuid = "0f6c8f4e-8d3a-4b1e-9a57-2c9d3e5f7a10";
  auto tagset = wt::https_request(
      certs(), d.https_port(), "/diag/tagset/" + uuid + "?tag=env:prod&tag=team:db");
  EXPECT_EQ(200, tagset.status) << tagset.error;
  EXPECT_EQ("{\"tags\":[\"__check_uuid:" + uuid + "\",\"env:prod\",\"team:db\"]}\n",
            tagset.body);
  EXPECT_EQ(404, wt::https_request(certs(), d.https_port(), "/diag/tagset/not-a-uuid")
                     .status);
  EXPECT_EQ(403, wt::https_request(certs(), d.https_port(), "/diag/tagset/" + uuid,
                                   anonymous).status);

  // Plain HTTP to the HTTPS port: the TLS complaint names the peer.
  wt::http_request(d.https_port(), "/health");
  EXPECT_TRUE(d.wait_for_log("http: TLS handshake failed (peer 127.0.0.1)\n",
                             5000)) << d.log();

  EXPECT_EQ(0, d.stop(SIGTERM));
  std::string log = d.log();
  EXPECT_NE(std::string::npos, log.find("wendrel stopping on SIGTERM")) << log;
  EXPECT_NE(std::string::npos, log.find("wendrel stopped")) << log;
}

TEST_F(DaemonTest, RelativeCertificatePathsAndSigint) {
  // Certificate paths relative to the configuration file's folder.
  wt::ConfigOptions opt;
  opt.certs_dir = "certs";
  opt.metric_director = false;
  wt::Daemon d;
  ASSERT_TRUE(start(d, opt, "sigint")) << d.log();
  EXPECT_NE(std::string::npos, d.log().find("metric director disabled"));
  EXPECT_NE(std::string::npos,
            d.log().find("client certificates checked against " + certs() + "/ca.crt"))
      << d.log();
  EXPECT_EQ(200, wt::https_request(certs(), d.https_port(), "/health").status);
  wt::RequestOptions post;
  post.method = "POST";
  post.with_body = true;
  EXPECT_EQ(200, wt::https_request(certs(), d.https_port(), "/diag/route?prefix=p",
                                   post).status);
  EXPECT_EQ(0, d.stop(SIGINT));
}

TEST_F(DaemonTest, StartUpFailuresSayWhatWentWrong) {
  struct Case {
    const char *name;
    std::string modules_xml;
    std::string certs_dir;
    std::string expect;  // in the output
  };
  std::vector<Case> cases = {
      {"missing-module",
       "    <module image=\"" + file("nowhere/missing.so") + "\" name=\"missing\"/>\n",
       certs(), "missing.so"},
      {"missing-cert", "", file("no-such-certs"), "no-such-certs/server.crt"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    wt::ConfigOptions opt;
    opt.certs_dir = c.certs_dir;
    opt.modules_xml = c.modules_xml;
    wt::Daemon d;
    EXPECT_FALSE(start(d, opt, c.name));
    int status = d.wait_exit(10000);
    EXPECT_NE(0, status);
    EXPECT_NE(-1, status);
    std::string log = d.log();
    EXPECT_NE(std::string::npos, log.find(c.expect)) << log;
    EXPECT_EQ(std::string::npos, log.find("wendrel ready")) << log;
  }

  // A configuration that is not XML, and one that does not exist.
  ASSERT_TRUE(wt::write_file(file("broken.conf"), "<wendrel><listeners>"));
  for (const std::string &conf : {file("broken.conf"), file("absent.conf")}) {
    wt::Daemon d;
    EXPECT_FALSE(d.start(conf, file("broken.log")));
    EXPECT_EQ(1, d.wait_exit(10000));
    EXPECT_NE(std::string::npos, d.log().find("cannot load configuration '" + conf))
        << d.log();
    if (conf == file("absent.conf")) {  // the file and the system's reason
      EXPECT_NE(std::string::npos,
                d.log().find("cannot read '" + conf + "': No such file or directory"))
          << d.log();
    }
  }
}

}  // namespace
