// Replication while a node misbehaves during the full-state pull: a stream
// that is cut off part way moves the worker to the next node without losing
// anything, and a slow one reports its progress while it lasts.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "support/standin_process.h"
#include "support/system_support.h"

namespace wt = wendrel_test;

namespace {

class OstrelFullSyncFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(wt::make_certs(certs(), &why)) << why;
  }
  std::string certs() { return dir_.file("certs"); }

  bool start_daemon(wt::Daemon &d, wt::Standin &s) {
    auto opt = wt::replica_options(
        certs(), "<bootstrap cluster=\"1\" host=\"127.0.0.1:" +
                     std::to_string(s.node(0)) + "\"/>");
    std::string conf = dir_.file("wendrel.conf");
    if (!wt::write_file(conf, wt::make_config(opt))) return false;
    return d.start(conf, dir_.file("wendrel.log"));
  }

  /* A per-node request count from the stand-in's counters. */
  long node_count(wt::Standin &s, int node, const std::string &kind) {
    std::string body = wt::http_request(s.admin(), "/counters").body;
    size_t at = body.find("\"node\":" + std::to_string(node) + ",");
    if (at == std::string::npos) return -1;
    at = body.find("\"" + kind + "\":", at);
    if (at == std::string::npos) return -1;
    return std::stol(body.substr(at + kind.size() + 3));
  }

  wt::TempDir dir_{"ostrel-fullsync"};
};

TEST_F(OstrelFullSyncFaults, NodeDroppingTheStreamHandsOverToTheNext) {
  wt::Standin s;
  // 300 checks of 5 tags make a stream of some 70 KB: the cut at 20000
  // bytes falls well inside it.
  ASSERT_TRUE(s.start({"--nodes", "2", "--base-port", "0", "--checks", "300",
                       "--tags-per-check", "5", "--seed", "21"},
                      dir_.file("standin.log")));
  ASSERT_EQ(200, s.post("/nodes/0/faults", "{\"close_after\":20000}").status);
  wt::Daemon d;
  ASSERT_TRUE(start_daemon(d, s)) << d.log();
  ASSERT_TRUE(d.wait_for_log("[1] ostrelate full sync failed against", 30000))
      << d.log();
  ASSERT_TRUE(d.wait_for_log("[1] ostrelate full sync complete against", 30000))
      << d.log();
  auto log = d.log();
  EXPECT_LT(log.find("[1] ostrelate full sync failed against"),
            log.find("[1] ostrelate full sync complete against"))
      << log;
  // A cut-off transfer, not a refused stream.
  EXPECT_EQ(std::string::npos, log.find("error in setcrdt stream")) << log;
  // The fail-over names the node left and the node taken, and the full
  // sync says where it pulls from.
  const std::string node0 = "http://127.0.0.1:" + std::to_string(s.node(0));
  const std::string node1 = "http://127.0.0.1:" + std::to_string(s.node(1));
  EXPECT_NE(std::string::npos,
            log.find("[1] fail-over (full sync failed): leaving " + node0 +
                     ", taking " + node1 + "\n")) << log;
  EXPECT_NE(std::string::npos,
            log.find("[1] pulling the full state from " + node1 + "\n")) << log;
  // The complete sync came from the other node; node 0 was tried once.
  EXPECT_EQ(1, node_count(s, 0, "full_state"));
  EXPECT_EQ(1, node_count(s, 1, "full_state"));
  EXPECT_EQ("", wt::converge(s, certs(), d.https_port())) << d.log();

  // The replica follows changes from the node it moved to.
  const std::string fresh = "0c0c0c0c-1111-4222-8333-444444444444";
  ASSERT_EQ(200, s.post("/tag/add", "{\"check\":\"" + fresh +
                                        "\",\"tag\":\"after:cut\"}").status);
  EXPECT_EQ("", wt::converge(s, certs(), d.https_port(), 15)) << d.log();
  EXPECT_EQ(0, d.stop());
}

TEST_F(OstrelFullSyncFaults, SlowFullSyncReportsProgress) {
  wt::Standin s;
  // 12 checks of 3 tags: under 2 KB, sent at 250 bytes a second, so the
  // pull lasts some 7 s: one progress line, about 5 s in.
  ASSERT_TRUE(s.start({"--nodes", "1", "--base-port", "0", "--checks", "12",
                       "--tags-per-check", "3", "--seed", "4"},
                      dir_.file("standin.log")));
  ASSERT_EQ(200, s.post("/nodes/0/faults", "{\"stall_rate\":250}").status);
  wt::Daemon d;
  ASSERT_TRUE(start_daemon(d, s)) << d.log();
  ASSERT_TRUE(d.wait_for_log("[1] ostrelate full sync against", 30000))
      << d.log();
  auto began = std::chrono::steady_clock::now();
  ASSERT_TRUE(d.wait_for_log("[1] ostrelate full sync in progress: ", 15000))
      << d.log();
  auto after = std::chrono::steady_clock::now() - began;
  EXPECT_GE(after, std::chrono::milliseconds(4500));
  // Meanwhile the status route shows the full sync as it goes: its
  // checkpoint, and the bytes received so far.
  auto st = wt::https_request(certs(), d.https_port(), "/module/ostrel/status.json");
  EXPECT_NE(std::string::npos, st.body.find("\"phase\":\"full sync\"")) << st.body;
  EXPECT_EQ(std::string::npos, st.body.find("\"checkpoint\":null")) << st.body;
  EXPECT_NE(std::string::npos, st.body.find("\"full_sync_bytes\":")) << st.body;
  EXPECT_EQ(std::string::npos, st.body.find("\"full_sync_bytes\":0,")) << st.body;
  ASSERT_TRUE(d.wait_for_log("[1] ostrelate full sync complete against", 20000))
      << d.log();

  auto log = d.log();
  // "[<time>] [notice/ostrel] [1] ostrelate full sync in progress: C checks,
  // E elements, B bytes"
  const std::string marker = "[1] ostrelate full sync in progress: ";
  const size_t at = log.find(marker);
  ASSERT_NE(std::string::npos, at) << log;
  const size_t line_start = log.rfind('\n', at) + 1;  // npos + 1 == 0
  const std::string head = log.substr(line_start, at - line_start);
  // It went to the notice stream, and shows a pull under way: part of the
  // checks, their elements, and bytes.
  EXPECT_NE(std::string::npos, head.find("[notice/ostrel]")) << head;
  long checks = -1, elements = -1, bytes = -1;
  ASSERT_EQ(3, sscanf(log.c_str() + at + marker.size(),
                      "%ld checks, %ld elements, %ld bytes", &checks,
                      &elements, &bytes))
      << log.substr(at, 120);
  EXPECT_GT(checks, 0);
  EXPECT_LT(checks, 12);
  EXPECT_LE(elements, 3 * checks);
  EXPECT_GE(elements, 3 * (checks - 1));
  EXPECT_GT(bytes, 1000);
  EXPECT_LT(at, log.find("[1] ostrelate full sync complete"));
  EXPECT_EQ("", wt::converge(s, certs(), d.https_port())) << d.log();
  EXPECT_EQ(0, d.stop());
}

}  // namespace
