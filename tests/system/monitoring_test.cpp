// The shipped monitoring against a running daemon (kavalin and ostrel
// replicating a stand-in cluster): every metric name and label that the
// Prometheus rules and the Grafana dashboard use is in the daemon's
// exposition, and a real Prometheus server scrapes /metrics over HTTPS with
// the client certificate, loads the rules and sees the figures the status
// route shows.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <iostream>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "support/process.h"
#include "support/standin_process.h"
#include "support/system_support.h"

namespace wt = wendrel_test;

namespace {

std::string prometheus_bin() {
  const char *dir = getenv("WENDREL_PROMETHEUS_BIN");
  return dir ? dir : "";
}

class MonitoringTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new wt::TempDir("monitoring");
    std::string why;
    ASSERT_TRUE(wt::make_certs(certs(), &why)) << why;
    standin_ = new wt::Standin();
    ASSERT_TRUE(standin_->start({"--nodes", "2", "--base-port", "0", "--checks",
                                 "60", "--tags-per-check", "3", "--seed", "4"},
                                dir_->file("standin.log")));
    wt::ConfigOptions opt = wt::replica_options(
        certs(), "<bootstrap cluster=\"1\" host=\"127.0.0.1:" +
                     std::to_string(standin_->node(0)) +
                     "\"/><account_map><map account=\"42\" cluster=\"1\"/>"
                     "</account_map>");
    std::string conf = dir_->file("wendrel.conf");
    ASSERT_TRUE(wt::write_file(conf, wt::make_config(opt)));
    daemon_ = new wt::Daemon();
    ASSERT_TRUE(daemon_->start(conf, dir_->file("wendrel.log"))) << daemon_->log();
    ASSERT_TRUE(daemon_->wait_for_log("[1] ostrelate full sync complete", 30000))
        << daemon_->log();
  }
  static void TearDownTestSuite() {
    if (daemon_) {
      EXPECT_EQ(0, daemon_->stop());
    }
    delete daemon_;
    delete standin_;
    delete dir_;
  }
  static std::string certs() { return dir_->file("certs"); }
  static wt::HttpResult get(const std::string &path) {
    return wt::https_request(certs(), daemon_->https_port(), path);
  }
  static std::string shipped(const std::string &name) {
    return wt::source_dir() + "/packaging/monitoring/" + name;
  }

  static wt::TempDir *dir_;
  static wt::Standin *standin_;
  static wt::Daemon *daemon_;
};

wt::TempDir *MonitoringTest::dir_ = nullptr;
wt::Standin *MonitoringTest::standin_ = nullptr;
wt::Daemon *MonitoringTest::daemon_ = nullptr;

TEST_F(MonitoringTest, EveryNameTheRulesAndDashboardUseIsExposed) {
  // Series that appear only once something happened: an update answered
  // (and one refused), a routed message.
  wt::RequestOptions post;
  post.method = "POST";
  post.with_body = true;
  post.body = "<drask><map account=\"43\" cluster=\"1\"/></drask>";
  EXPECT_EQ(204, wt::https_request(certs(), daemon_->https_port(),
                                   "/module/kavalin/map", post).status);
  post.body = "<nope/>";
  EXPECT_EQ(400, wt::https_request(certs(), daemon_->https_port(),
                                   "/module/kavalin/cluster/1", post).status);
  post.body = "M\t1765000000.000\tnoit01\tweb01`http`c_42_7_"
              "0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d\tvalue";
  EXPECT_EQ(200, wt::https_request(certs(), daemon_->https_port(),
                                   "/diag/route?prefix=check", post).status);

  auto scrape = get("/metrics");
  ASSERT_EQ(200, scrape.status);
  std::string exposition = dir_->file("metrics.txt");
  ASSERT_TRUE(wt::write_file(exposition, scrape.body));
  auto r = wt::run({"python3", wt::source_dir() + "/tests/monitoring/check_names.py",
                    exposition, shipped("wendrel-rules.yml"),
                    shipped("wendrel-dashboard.json")});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  std::cout << r.out;
}

// Prometheus' HTTP API answer for an instant query: the first result's
// value, or NaN when there is none (yet).
double query(int port, const std::string &promql) {
  std::string path = "/api/v1/query?query=" + promql;
  auto r = wt::http_request(port, path);
  double value = std::nan("");
  json_object *doc = json_tokener_parse(r.body.c_str());
  json_object *data, *result, *first, *pair;
  if (doc && json_object_object_get_ex(doc, "data", &data) &&
      json_object_object_get_ex(data, "result", &result) &&
      json_object_array_length(result) > 0 &&
      (first = json_object_array_get_idx(result, 0)) &&
      json_object_object_get_ex(first, "value", &pair)) {
    value = std::strtod(json_object_get_string(json_object_array_get_idx(pair, 1)),
                        nullptr);
  }
  json_object_put(doc);
  return value;
}

TEST_F(MonitoringTest, RealPrometheusScrapesOverHttpsAndLoadsTheRules) {
  const std::string bin = prometheus_bin() + "/prometheus";
  ASSERT_EQ(0, access(bin.c_str(), X_OK))
      << bin << " missing: run scripts/install-deps.sh";
  const int port = wt::free_port();
  ASSERT_NE(0, port);
  const std::string config = dir_->file("prometheus.yml");
  ASSERT_TRUE(wt::write_file(config,
      "global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
      "rule_files: ['" + shipped("wendrel-rules.yml") + "']\n"
      "scrape_configs:\n"
      "  - job_name: wendrel\n"
      "    scheme: https\n"
      "    tls_config:\n"
      "      ca_file: " + certs() + "/ca.crt\n"
      "      cert_file: " + certs() + "/client.crt\n"
      "      key_file: " + certs() + "/client.key\n"
      "    static_configs:\n"
      "      - targets: ['127.0.0.1:" + std::to_string(daemon_->https_port()) +
      "']\n"));
  wt::Background prometheus;
  ASSERT_TRUE(prometheus.start({bin, "--config.file=" + config,
                                "--storage.tsdb.path=" + dir_->file("tsdb"),
                                "--web.listen-address=127.0.0.1:" +
                                    std::to_string(port)},
                               dir_->file("prometheus.log")));

  // The first scrape lands within a second or two of the start.
  double elements = std::nan("");
  for (int i = 0; i < 300 && std::isnan(elements); i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(prometheus.running()) << wt::read_file(dir_->file("prometheus.log"));
    elements = query(port, "ostrel_store_elements");
  }
  ASSERT_FALSE(std::isnan(elements)) << wt::read_file(dir_->file("prometheus.log"));
  EXPECT_EQ(1, query(port, "up{job=\"wendrel\"}"));

  // Nothing changes on the stand-in, so the store holds exactly what the
  // full sync merged, which the status route tells.
  auto status = get("/module/ostrel/status.json");
  json_object *doc = json_tokener_parse(status.body.c_str());
  json_object *clusters, *merged;
  double from_status = 0;
  ASSERT_TRUE(doc && json_object_object_get_ex(doc, "clusters", &clusters))
      << status.body;
  for (size_t i = 0; i < json_object_array_length(clusters); i++) {
    if (json_object_object_get_ex(json_object_array_get_idx(clusters, i),
                                  "elements_merged", &merged))
      from_status += json_object_get_double(merged);
  }
  json_object_put(doc);
  EXPECT_EQ(180, from_status) << status.body;
  EXPECT_EQ(from_status, elements);

  // Every rule evaluates without an error against the real series.
  std::string rules;
  for (int i = 0; i < 50; i++) {
    rules = wt::http_request(port, "/api/v1/rules").body;
    if (rules.find("\"lastEvaluation\":\"0001-01-01") == std::string::npos &&
        rules.find("WendrelHealthDegraded") != std::string::npos)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_NE(std::string::npos, rules.find("\"name\":\"wendrel-alerts\"")) << rules;
  EXPECT_EQ(std::string::npos, rules.find("\"health\":\"err")) << rules;
  EXPECT_EQ(std::string::npos, rules.find("\"health\":\"unknown\"")) << rules;
  EXPECT_EQ(0, prometheus.stop());
}

}  // namespace
