// Replication end to end: the daemon with kavalin and ostrel against a
// stand-in cluster of two nodes on loopback. The replica, read through the
// show route, must reach the node's snapshot after a fresh start, follow
// changes through diffs, and converge again after faults (a corrupt
// full-state stream, forgotten checkpoints, every node down) while
// metrics, health and the log tell an operator what is going on.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "support/prometheus_text.h"
#include "support/standin_process.h"
#include "support/system_support.h"

namespace wt = wendrel_test;

namespace {

using wt::replica_tags;
using wt::Standin;

class OstrelReplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(wt::make_certs(certs(), &why)) << why;
  }
  std::string certs() { return dir_.file("certs"); }

  bool start_daemon(wt::Daemon &d, Standin &s, const std::string &more = "",
                    const std::string &log = "wendrel") {
    wt::ConfigOptions opt;
    opt.certs_dir = certs();
    opt.plain_listener = true;
    opt.open_metrics = true;
    opt.modules_xml =
        "    <module image=\"kavalin\" name=\"kavalin\"/>\n"
        "    <module image=\"ostrel\" name=\"ostrel\"><config>"
        "<update_interval>1</update_interval>"
        "<failover_timeout>3</failover_timeout></config></module>\n";
    opt.extra_xml =
        "  <clusters my_id=\"6f1c2a4e-3b5d-4c7e-9f80-1a2b3c4d5e6f\"/>\n"
        "  <drask timeout=\"5000\" connecttimeout=\"1000\"><swimlane>"
        "<bootstrap cluster=\"1\" host=\"127.0.0.1:" +
        std::to_string(s.node(0)) + "\"/>" + more + "</swimlane></drask>\n";
    std::string conf = dir_.file("wendrel.conf");
    if (!wt::write_file(conf, wt::make_config(opt))) return false;
    return d.start(conf, dir_.file(log + ".log"));
  }

  std::string converge(Standin &s, wt::Daemon &d, int seconds = 30) {
    return wt::converge(s, certs(), d.https_port(), seconds);
  }

  wt::TempDir dir_{"ostrel-repl"};
};

TEST_F(OstrelReplicationTest, FreshStartThenDiffsThenLostCheckpoint) {
  Standin s;
  ASSERT_TRUE(s.start({"--nodes", "2", "--base-port", "0", "--checks", "150",
                       "--tags-per-check", "5", "--seed", "3"},
                      dir_.file("standin.log")));
  wt::Daemon d;
  ASSERT_TRUE(start_daemon(d, s)) << d.log();
  ASSERT_TRUE(d.wait_for_log("[1] ostrelate full sync complete against", 30000))
      << d.log();
  EXPECT_EQ("", converge(s, d)) << d.log();

  // The status route tells what the worker does.
  auto st = wt::https_request(certs(), d.https_port(), "/module/ostrel/status.json");
  EXPECT_EQ(200, st.status);
  EXPECT_EQ("application/json", st.headers["content-type"]);
  EXPECT_NE(std::string::npos, st.body.find("\"cluster_id\":1")) << st.body;
  EXPECT_NE(std::string::npos, st.body.find("\"full_syncs\":1")) << st.body;
  // (the serialiser may escape the slashes of the URL)
  EXPECT_NE(std::string::npos, st.body.find("\"node\":\"http:")) << st.body;
  EXPECT_NE(std::string::npos,
            st.body.find("127.0.0.1:" + std::to_string(s.node(0)) + "\""))
      << st.body;
  EXPECT_EQ(std::string::npos, st.body.find("\"checkpoint\":null")) << st.body;
  EXPECT_EQ(std::string::npos, st.body.find("\"elements_merged\":0,")) << st.body;
  wt::RequestOptions anonymous;
  anonymous.identity = "";
  EXPECT_EQ(403, wt::https_request(certs(), d.https_port(),
                                   "/module/ostrel/status.json", anonymous)
                     .status);

  // Changes arrive through diffs: an addition, a removal, a new check, and
  // a removal followed by a re-addition.
  const std::string a = s.snapshot().begin()->first;
  const std::string fresh = "0f0f0f0f-1111-4222-8333-444444444444";
  auto tag_of_a = *s.snapshot().begin()->second.begin();
  EXPECT_EQ(200, s.post("/tag/add", "{\"check\":\"" + a + "\",\"tag\":\"new:one\"}").status);
  EXPECT_EQ(200, s.post("/tag/remove", "{\"check\":\"" + a + "\",\"tag\":\"" +
                                           tag_of_a + "\"}").status);
  EXPECT_EQ(200, s.post("/tag/add", "{\"check\":\"" + fresh +
                                        "\",\"tag\":\"env:prod\"}").status);
  EXPECT_EQ(200, s.post("/tag/remove", "{\"check\":\"" + fresh +
                                           "\",\"tag\":\"env:prod\"}").status);
  EXPECT_EQ(200, s.post("/tag/add", "{\"check\":\"" + fresh +
                                        "\",\"tag\":\"env:prod\"}").status);
  EXPECT_EQ("", converge(s, d)) << d.log();
  EXPECT_EQ(std::multiset<std::string>{"env:prod"},
            replica_tags(certs(), d.https_port(), fresh));

  // The node forgets every checkpoint: the next diff gets 409, the worker
  // makes a new checkpoint and pulls the full state again on that node.
  EXPECT_EQ(200, s.post("/nodes/0/faults", "{\"forget_checkpoints\":true}").status);
  EXPECT_TRUE(d.wait_for_log("[1] ostrelate lost checkpoint against", 15000))
      << d.log();
  EXPECT_EQ(200, s.post("/tag/add", "{\"check\":\"" + fresh +
                                        "\",\"tag\":\"after:409\"}").status);
  EXPECT_EQ("", converge(s, d)) << d.log();
  EXPECT_EQ(0, d.stop());
}

TEST_F(OstrelReplicationTest, CorruptFullStateMovesToTheNextNode) {
  Standin s;
  ASSERT_TRUE(s.start({"--nodes", "2", "--base-port", "0", "--checks", "80",
                       "--tags-per-check", "4", "--seed", "5"},
                      dir_.file("standin.log")));
  ASSERT_EQ(200, s.post("/nodes/0/faults", "{\"corrupt_next_full\":10}").status);
  wt::Daemon d;
  ASSERT_TRUE(start_daemon(d, s)) << d.log();
  EXPECT_TRUE(d.wait_for_log("[1] ostrelate full sync failed against", 30000))
      << d.log();
  EXPECT_TRUE(d.wait_for_log("error in setcrdt stream in state", 1000))
      << d.log();
  EXPECT_TRUE(d.wait_for_log("[1] ostrelate full sync complete against", 30000))
      << d.log();
  EXPECT_EQ("", converge(s, d)) << d.log();

  // The node in use goes down: diffs fail until the fail-over time (3 s)
  // has passed, then the worker moves on and nothing is lost.
  EXPECT_EQ(200, s.post("/nodes/1/faults", "{\"down\":true}").status);
  EXPECT_TRUE(d.wait_for_log("[1] ostrelate lost sync against", 20000))
      << d.log();
  const std::string fresh = "0e0e0e0e-1111-4222-8333-444444444444";
  EXPECT_EQ(200, s.post("/tag/add", "{\"check\":\"" + fresh +
                                        "\",\"tag\":\"moved:on\"}").status);
  EXPECT_EQ("", converge(s, d)) << d.log();
  EXPECT_EQ(0, d.stop());
}

TEST_F(OstrelReplicationTest, RestartFindsItsOldCheckpointAndReplacesIt) {
  Standin s;
  ASSERT_TRUE(s.start({"--nodes", "1", "--base-port", "0", "--checks", "20",
                       "--tags-per-check", "3", "--seed", "11"},
                      dir_.file("standin.log")));
  {
    wt::Daemon first;
    ASSERT_TRUE(start_daemon(first, s)) << first.log();
    ASSERT_TRUE(first.wait_for_log("[1] ostrelate full sync complete", 30000))
        << first.log();
    // Killed: its checkpoint stays on the node under the same subscriber.
    first.stop(SIGKILL);
  }
  ASSERT_EQ(200, s.post("/counters/reset", "").status);
  // The next daemon's create is answered 409; it deletes the old
  // checkpoint, creates a new one and syncs.
  wt::Daemon d;
  ASSERT_TRUE(start_daemon(d, s, "", "second")) << d.log();
  ASSERT_TRUE(d.wait_for_log("[1] ostrelate full sync complete", 30000))
      << d.log();
  auto counters = wt::http_request(s.admin(), "/counters").body;
  EXPECT_NE(std::string::npos, counters.find("\"checkpoint_delete\":1"))
      << counters;
  EXPECT_NE(std::string::npos, counters.find("\"checkpoint_create\":2"))
      << counters;
  EXPECT_EQ("", converge(s, d)) << d.log();
  EXPECT_EQ(0, d.stop());
}

TEST_F(OstrelReplicationTest, SameClusterUnderTwoIdsGetsOneWorker) {
  Standin s;
  ASSERT_TRUE(s.start({"--nodes", "2", "--base-port", "0", "--checks", "30",
                       "--tags-per-check", "3", "--seed", "9"},
                      dir_.file("standin.log")));
  // Cluster 2 reaches the same cluster through its other node: the same
  // topology signature.
  wt::Daemon d;
  ASSERT_TRUE(start_daemon(d, s,
                           "<bootstrap cluster=\"2\" host=\"127.0.0.1:" +
                               std::to_string(s.node(1)) + "\"/>"))
      << d.log();
  EXPECT_TRUE(d.wait_for_log(
      "ostrelate already replicating cluster with same signature", 30000))
      << d.log();
  EXPECT_EQ("", converge(s, d)) << d.log();
  auto log = d.log();
  size_t starts = 0;
  for (size_t p = 0; (p = log.find("] ostrelate starting against", p)) !=
                     std::string::npos;
       p++) {
    starts++;
  }
  EXPECT_EQ(1u, starts) << log;
  // The status route says why one of the two records has no worker.
  auto status = wt::https_request(certs(), d.https_port(),
                                  "/module/ostrel/status.json");
  EXPECT_EQ(200, status.status);
  EXPECT_NE(std::string::npos,
            status.body.find("skipped: another cluster id replicates this topology"))
      << status.body;
  EXPECT_NE(std::string::npos, status.body.find("diff sync")) << status.body;
  EXPECT_EQ(0, d.stop());
}

}  // namespace

// A full-state stream that ends cleanly inside a record, or right after an
// element's info (its value never came), is a cut-off stream: the pull must
// fail and be made again rather than count as a complete sync.
TEST_F(OstrelReplicationTest, TruncatedFullStateIsNotAcceptedAsComplete) {
  Standin s;
  ASSERT_TRUE(s.start({"--nodes", "2", "--base-port", "0", "--checks", "60",
                       "--tags-per-check", "3", "--seed", "9"},
                      dir_.file("standin.log")));
  ASSERT_EQ(200, s.post("/nodes/0/faults", "{\"truncate_next_full\":700}").status);
  // Outer and inner name (18 bytes), the first set name (41), its first
  // element's info (21): the stream ends where that element's value begins.
  ASSERT_EQ(200, s.post("/nodes/1/faults", "{\"truncate_next_full\":80}").status);
  wt::Daemon d;
  ASSERT_TRUE(start_daemon(d, s)) << d.log();
  EXPECT_TRUE(d.wait_for_log("[1] ostrelate full sync complete against", 30000))
      << d.log();
  const std::string log = d.log();
  const std::string trailing = "[1] ostrelate full sync had trailing data";
  EXPECT_NE(std::string::npos, log.find(trailing, log.find(trailing) + 1)) << log;
  EXPECT_NE(std::string::npos,
            log.find("ended between an element's info and its value")) << log;
  EXPECT_EQ("", converge(s, d)) << d.log();
  EXPECT_EQ(0, d.stop());
}

// A node that grants checkpoints but cuts every full state short
// replicates nothing, though each pass has a successful request: health
// must say so within the fail-over time (3 s here), and recover once a
// full sync completes.
TEST_F(OstrelReplicationTest, EveryFullStateCutShortIsUnhealthyUntilOneCompletes) {
  Standin s;
  ASSERT_TRUE(s.start({"--nodes", "2", "--base-port", "0", "--checks", "60",
                       "--tags-per-check", "3", "--seed", "21"},
                      dir_.file("standin.log")));
  for (int n = 0; n < 2; n++)
    ASSERT_EQ(200, s.post("/nodes/" + std::to_string(n) + "/faults",
                          "{\"close_after\":500}").status);
  wt::Daemon d;
  ASSERT_TRUE(start_daemon(d, s)) << d.log();
  wt::HttpResult h;
  for (int i = 0; i < 80 && h.status != 503; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    h = wt::http_request(d.http_port(), "/health");
  }
  EXPECT_EQ(503, h.status) << h.body << d.log();
  EXPECT_NE(std::string::npos, h.body.find("\"subject\":\"cluster 1\"")) << h.body;
  EXPECT_NE(std::string::npos, h.body.find("no full sync completed")) << h.body;
  auto m = wt::http_request(d.http_port(), "/metrics");
  wt::Exposition e;
  ASSERT_EQ("", wt::parse_exposition(m.body, &e)) << m.body;
  EXPECT_EQ(0, e.samples["ostrel_replica_current{cluster=\"1\"}"]);
  EXPECT_GE(e.samples["ostrel_full_sync_failures_total{cluster=\"1\"}"], 2);
  EXPECT_GT(e.samples["ostrel_replica_seconds_since_current{cluster=\"1\"}"], 3);
  EXPECT_EQ(3, e.samples["ostrel_failover_timeout_seconds"]);
  auto st = wt::https_request(certs(), d.https_port(), "/module/ostrel/status.json");
  EXPECT_NE(std::string::npos, st.body.find("\"current\":false")) << st.body;
  EXPECT_NE(std::string::npos, st.body.find("\"seconds_since_current\":null")) << st.body;

  for (int n = 0; n < 2; n++)
    ASSERT_EQ(200, s.post("/nodes/" + std::to_string(n) + "/faults",
                          "{\"close_after\":null}").status);
  EXPECT_EQ("", converge(s, d)) << d.log();
  for (int i = 0; i < 100 && h.status != 200; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    h = wt::http_request(d.http_port(), "/health");
  }
  EXPECT_EQ(200, h.status) << h.body;
  st = wt::https_request(certs(), d.https_port(), "/module/ostrel/status.json");
  EXPECT_NE(std::string::npos, st.body.find("\"current\":true")) << st.body;
  EXPECT_EQ(0, d.stop());
}

// A tag longer than max_tag_bytes (64 KiB by default) is passed over, not
// fatal: the full sync completes with every other check, and changes
// behind another such tag in a diff still arrive.
TEST_F(OstrelReplicationTest, OversizedTagsArePassedOver) {
  Standin s;
  ASSERT_TRUE(s.start({"--nodes", "2", "--base-port", "0", "--checks", "300",
                       "--tags-per-check", "3", "--seed", "13"},
                      dir_.file("standin.log")));
  const std::string a = "0a0a0a0a-1111-4222-8333-444444444444";
  const std::string b = "0b0b0b0b-1111-4222-8333-444444444444";
  const std::string big(70000, 'x');
  auto tag = [&](const char *op, const std::string &check, const std::string &t) {
    return s.post(std::string("/tag/") + op,
                  "{\"check\":\"" + check + "\",\"tag\":\"" + t + "\"}").status;
  };
  ASSERT_EQ(200, tag("add", a, "big:" + big));
  ASSERT_EQ(200, tag("add", a, "env:prod"));
  wt::Daemon d;
  ASSERT_TRUE(start_daemon(d, s)) << d.log();
  ASSERT_TRUE(d.wait_for_log("[1] ostrelate full sync complete against", 30000))
      << d.log();
  EXPECT_TRUE(d.wait_for_log("[1] passed over an element of check " + a +
                             ": its tag of 70004 bytes is longer than "
                             "max_tag_bytes (65536)\n", 10))
      << d.log();
  EXPECT_EQ(std::multiset<std::string>{"env:prod"},
            replica_tags(certs(), d.https_port(), a));

  ASSERT_EQ(200, tag("add", b, "big:" + big));
  ASSERT_EQ(200, tag("add", b, "after:big"));
  ASSERT_EQ(200, tag("remove", a, "big:" + big));
  ASSERT_EQ(200, tag("remove", b, "big:" + big));
  // Every check but the oversized tags: the node's data now.
  EXPECT_EQ("", converge(s, d)) << d.log();
  EXPECT_EQ(std::multiset<std::string>{"after:big"},
            replica_tags(certs(), d.https_port(), b));
  auto m = wt::http_request(d.http_port(), "/metrics");
  wt::Exposition e;
  ASSERT_EQ("", wt::parse_exposition(m.body, &e)) << m.body;
  EXPECT_GE(e.samples["ostrel_oversized_elements_skipped_total{cluster=\"1\"}"], 4);
  EXPECT_EQ(1, e.samples["ostrel_full_syncs_total{cluster=\"1\"}"]);
  EXPECT_EQ(0, e.samples["ostrel_full_sync_failures_total{cluster=\"1\"}"]);
  EXPECT_EQ(0, d.stop());
}

// Diff pulls whose bodies break off must not move the checkpoint: the
// token in the headers acknowledges changes the body never delivered.
// The faults last less than the fail-over time, so no fresh full sync can
// paper over a skipped change.
TEST_F(OstrelReplicationTest, BrokenDiffPullsLoseNoChange) {
  Standin s;
  ASSERT_TRUE(s.start({"--nodes", "2", "--base-port", "0", "--checks", "40",
                       "--tags-per-check", "3", "--seed", "11"},
                      dir_.file("standin.log")));
  wt::Daemon d;
  ASSERT_TRUE(start_daemon(d, s)) << d.log();
  ASSERT_TRUE(d.wait_for_log("[1] ostrelate full sync complete against", 30000))
      << d.log();
  ASSERT_EQ("", converge(s, d)) << d.log();

  for (int n = 0; n < 2; n++) {
    ASSERT_EQ(200, s.post("/nodes/" + std::to_string(n) + "/faults",
                          "{\"close_after\":70}").status);
  }
  const std::string check = "0d0d0d0d-2222-4333-8444-555555555555";
  for (int i = 0; i < 12; i++) {
    ASSERT_EQ(200, s.post("/tag/add", "{\"check\":\"" + check +
                                          "\",\"tag\":\"burst:" +
                                          std::to_string(i) + "\"}").status);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  for (int n = 0; n < 2; n++) {
    ASSERT_EQ(200, s.post("/nodes/" + std::to_string(n) + "/faults",
                          "{\"close_after\":null}").status);
  }
  EXPECT_EQ("", converge(s, d, 10)) << d.log();
  EXPECT_EQ(12u, replica_tags(certs(), d.https_port(), check).size());
  EXPECT_FALSE(d.wait_for_log("[1] ostrelate lost sync against", 10)) << d.log();
  EXPECT_EQ(0, d.stop());
}

/* What an operator's tools see: metrics that agree with the status route
 * and the replicated data, health that turns 503 while every node is down
 * (fail-over time 3 s) and 200 once they are back, and one log line per
 * change of state rather than per retry. */
TEST_F(OstrelReplicationTest, MetricsHealthAndLogThroughAnOutage) {
  Standin s;
  ASSERT_TRUE(s.start({"--nodes", "2", "--base-port", "0", "--checks", "40",
                       "--tags-per-check", "3", "--seed", "5"},
                      dir_.file("standin.log")));
  wt::Daemon d;
  ASSERT_TRUE(start_daemon(d, s)) << d.log();
  ASSERT_TRUE(d.wait_for_log("[1] ostrelate full sync complete against", 30000))
      << d.log();
  ASSERT_EQ("", converge(s, d)) << d.log();
  const std::string node0 = "http://127.0.0.1:" + std::to_string(s.node(0));
  const std::string node1 = "http://127.0.0.1:" + std::to_string(s.node(1));
  EXPECT_TRUE(d.wait_for_log("[1] pulling the full state from " + node0 + "\n", 10))
      << d.log();
  EXPECT_EQ(200, wt::https_request(certs(), d.https_port(), "/health").status);

  // Without a certificate only on the listener marked for it.
  wt::RequestOptions anonymous;
  anonymous.identity = "";
  EXPECT_EQ(403, wt::https_request(certs(), d.https_port(), "/metrics", anonymous)
                     .status);
  auto st = wt::https_request(certs(), d.https_port(), "/module/ostrel/status.json");
  auto m = wt::http_request(d.http_port(), "/metrics");
  ASSERT_EQ(200, m.status) << m.error << d.log();
  EXPECT_EQ("text/plain; version=0.0.4; charset=utf-8", m.headers["content-type"]);
  wt::Exposition e;
  ASSERT_EQ("", wt::parse_exposition(m.body, &e)) << m.body;
  size_t live = 0;
  for (const auto &[check, tags] : s.snapshot()) live += tags.size();
  EXPECT_EQ(static_cast<double>(s.snapshot().size()), e.samples["ostrel_store_checks"]);
  EXPECT_EQ(static_cast<double>(live), e.samples["ostrel_store_live_elements"]);
  EXPECT_EQ(1, e.samples["ostrel_replication_phase{cluster=\"1\",phase=\"diff sync\"}"]);
  EXPECT_EQ(0, e.samples["ostrel_replication_phase{cluster=\"1\",phase=\"full sync\"}"]);
  EXPECT_EQ(1, e.samples["ostrel_full_syncs_total{cluster=\"1\"}"]);
  EXPECT_GE(e.samples["ostrel_pulls_total{cluster=\"1\",outcome=\"ok\"}"], 1);
  EXPECT_GT(e.samples["ostrel_received_bytes_total{cluster=\"1\"}"], 1000);
  EXPECT_EQ("counter", e.types["ostrel_elements_merged_total"]);
  // The status route was read just before: with no change since, the
  // elements merged and the checkpoint agree.
  const std::string merged =
      "\"elements_merged\":" +
      std::to_string(static_cast<long>(
          e.samples["ostrel_elements_merged_total{cluster=\"1\"}"]));
  EXPECT_NE(std::string::npos, st.body.find(merged)) << st.body << merged;
  char position[16];
  snprintf(position, sizeof position, ":%08lx\"",
           static_cast<unsigned long>(
               e.samples["ostrel_checkpoint_position{cluster=\"1\"}"]));
  EXPECT_NE(std::string::npos, st.body.find(position)) << st.body << position;
  EXPECT_EQ(1, e.samples["kavalin_clusters"]);
  EXPECT_EQ(1, e.samples["zorv_http_requests_total{code=\"403\",method=\"GET\","
                         "route=\"/metrics/?\"}"]);
  auto build = e.samples.lower_bound("wendrel_build_info{");
  ASSERT_NE(build, e.samples.end());
  EXPECT_EQ(0u, build->first.find("wendrel_build_info{")) << build->first;
  EXPECT_EQ(1, build->second);

  // Every node down: one line for the first failed pull, the fail-over
  // naming both nodes, and health degraded within the fail-over time.
  for (int n = 0; n < 2; n++)
    ASSERT_EQ(200, s.post("/nodes/" + std::to_string(n) + "/faults",
                          "{\"down\":true}").status);
  EXPECT_TRUE(d.wait_for_log("[1] pull from " + node0 + " failed: ", 10000)) << d.log();
  EXPECT_TRUE(d.wait_for_log("[1] fail-over (no successful pull within the "
                             "fail-over time): leaving " + node0 + ", taking " +
                             node1 + "\n", 10000)) << d.log();
  wt::HttpResult h;
  for (int i = 0; i < 100 && h.status != 503; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    h = wt::http_request(d.http_port(), "/health");
  }
  EXPECT_EQ(503, h.status) << h.body;
  EXPECT_EQ(0u, h.body.find("{\"status\":\"degraded\"")) << h.body;
  EXPECT_NE(std::string::npos, h.body.find("\"subject\":\"cluster 1\"")) << h.body;
  std::string log = d.log();
  const std::string first = "[1] pull from " + node0 + " failed: ";
  EXPECT_EQ(std::string::npos, log.find(first, log.find(first) + 1)) << log;

  for (int n = 0; n < 2; n++)
    ASSERT_EQ(200, s.post("/nodes/" + std::to_string(n) + "/faults",
                          "{\"down\":false}").status);
  EXPECT_EQ("", converge(s, d)) << d.log();
  for (int i = 0; i < 100 && h.status != 200; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    h = wt::http_request(d.http_port(), "/health");
  }
  EXPECT_EQ(200, h.status) << h.body;
  EXPECT_EQ(0, d.stop());
}
