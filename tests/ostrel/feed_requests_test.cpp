/* The feed requests as a node sees them: a small HTTP server on loopback
 * plays the cluster and answers creates, deletes and pulls as each case
 * needs, recording what it was asked. The record's messages are read
 * through the log observer. */
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "drask/client.h"
#include "feed_node.h"
#include "log_capture.h"
#include "modules/ostrel/internal.h"
#include "zorv/json.h"

namespace {

const char *kError = "error/ostrel";
const int kCluster = 5;

FeedNode *g_node = nullptr;

drask_client_t *node_client() {
  static drask_client_t *client = [] {
    std::string h = g_node->host();
    char *hosts[] = {h.data()};
    drask_client_t *c = drask_client_alloc(1, hosts);
    drask_client_set_connecttimeout(c, 1000);
    drask_client_set_timeout(c, 3000);
    return c;
  }();
  return client;
}

}  // namespace

/* kavalin's lookup, found by name: the one cluster lives on the test node. */
extern "C" __attribute__((visibility("default"))) drask_client_t *
kavalin_client_for_cluster_dyn_function(int cluster_id) {
  return (cluster_id == kCluster && g_node != nullptr) ? node_client() : nullptr;
}

namespace {

class CheckpointRequests : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    libdrask_init();
    errorls = zorv_log_stream_find(kError);
    subscriber = strdup("replica-7");
    g_node = new FeedNode();
  }
  static void TearDownTestSuite() {
    // The client keeps the node's URL strings; the node itself may go.
    delete g_node;
    g_node = nullptr;
    free(subscriber);
    subscriber = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(g_node->up());
    zorv_dyn_buffer_init(&c.buffer);
    c.cluster_id = kCluster;
    g_node->forget();
    logs.clear();
  }
  void TearDown() override {
    zorv_dyn_buffer_destroy(&c.buffer);
    free(c.checkpoint);
  }
  std::string feed_url() const {
    return g_node->base() + "/metafeed/check/tag?subscriber=replica-7";
  }
  std::string request(const char *method) const {
    return std::string(method) + " /metafeed/check/tag?subscriber=replica-7";
  }
  std::vector<std::string> error_lines() {
    std::vector<std::string> out;
    for (auto &l : logs.lines()) {
      if (l.first == kError) out.push_back(l.second);
    }
    return out;
  }

  cluster c{};
  LogCapture logs;
};

TEST_F(CheckpointRequests, CreateTakesTheHeaderToken) {
  g_node->on("POST", {200, "{\"checkpoint\":\"0000002a:00000010\"}",
                      "0000002a:00000010"});
  EXPECT_TRUE(establish_checkpoint(&c));
  ASSERT_NE(c.checkpoint, nullptr);
  EXPECT_STREQ(c.checkpoint, "0000002a:00000010");
  EXPECT_NE(c.last_success, 0u);
  EXPECT_EQ(g_node->requests(), std::vector<std::string>{request("POST")});
  EXPECT_TRUE(error_lines().empty());

  // 200 without the header gives nothing to pull with: a failure.
  free(c.checkpoint);
  c.checkpoint = nullptr;
  g_node->on("POST", {200, "{}", ""});
  EXPECT_FALSE(establish_checkpoint(&c));
  EXPECT_EQ(c.checkpoint, nullptr);
  EXPECT_EQ(error_lines(),
            std::vector<std::string>{"[5] failed to create checkpoint with '" +
                                     feed_url() + "': 200 unspecified error\n"});
}

TEST_F(CheckpointRequests, ConflictDeletesOnTheSameNodeAndKeepsNothing) {
  // The 409 even names a token: it must not survive the conflict.
  g_node->on("POST", {409, "{\"error\":\"subscriber has a checkpoint\"}",
                      "00000001:00000002"});
  g_node->on("DELETE", {204, "", ""});
  EXPECT_FALSE(establish_checkpoint(&c));
  EXPECT_EQ(c.checkpoint, nullptr);
  EXPECT_EQ(g_node->requests(),
            (std::vector<std::string>{request("POST"), request("DELETE")}));
  EXPECT_TRUE(error_lines().empty());
}

TEST_F(CheckpointRequests, DeleteOutcomes) {
  // Gone already (404) or deleted (204): forgotten, nothing said.
  for (int status : {404, 204, 200}) {
    logs.clear();
    g_node->forget();
    c.checkpoint = strdup("0000002a:00000010");
    g_node->on("DELETE", {status, status == 404 ? "{\"error\":\"none\"}" : "", ""});
    drop_checkpoint(&c);
    EXPECT_EQ(c.checkpoint, nullptr) << status;
    EXPECT_EQ(g_node->requests(), std::vector<std::string>{request("DELETE")})
        << status;
    EXPECT_TRUE(error_lines().empty()) << status;
  }

  // A refused delete is reported with the node's reason; the checkpoint is
  // forgotten all the same.
  logs.clear();
  c.checkpoint = strdup("0000002a:00000010");
  g_node->on("DELETE", {500, "{\"error\":\"busy\"}", ""});
  drop_checkpoint(&c);
  EXPECT_EQ(c.checkpoint, nullptr);
  EXPECT_EQ(error_lines(),
            std::vector<std::string>{"[5] failed to delete checkpoint with '" +
                                     feed_url() + "': 500 busy\n"});
}

TEST_F(CheckpointRequests, FailedCreateSaysWhy) {
  // Not JSON: the tokenizer's own complaint about the body.
  const std::string html = "<html><body>Internal Server Error</body></html>";
  zorv_json_tokener_error err = zorv_json_tokener_success;
  zorv_json_object *doc = zorv_json_tokener_parse(html.c_str(), &err);
  ASSERT_EQ(doc, nullptr);
  ASSERT_GE(err, 0);
  ASSERT_LT(err, zorv_json_tokener_error_count);
  const std::string complaint = zorv_json_tokener_errors[err];

  g_node->on("POST", {500, html, ""});
  EXPECT_FALSE(establish_checkpoint(&c));
  EXPECT_EQ(c.checkpoint, nullptr);
  EXPECT_EQ(error_lines(),
            std::vector<std::string>{"[5] failed to create checkpoint with '" +
                                     feed_url() + "': 500 " + complaint + "\n"});

  // JSON without "error": nothing to quote.
  logs.clear();
  g_node->on("POST", {500, "{\"status\":\"down\"}", ""});
  EXPECT_FALSE(establish_checkpoint(&c));
  EXPECT_EQ(error_lines(),
            std::vector<std::string>{"[5] failed to create checkpoint with '" +
                                     feed_url() + "': 500 unspecified error\n"});
  // A failed create is not followed by a delete.
  for (auto &r : g_node->requests()) EXPECT_EQ(r, request("POST"));
}

TEST_F(CheckpointRequests, PullAdoptsTheTokenOnlyFromAWholeAnswer) {
  const char *diff_path = "/metafeed/check/tag?subscriber=%s&checkpoint=%s";
  c.full_state = 255;
  c.checkpoint = strdup("00000001:00000001");
  g_node->on("FULL", {200, "", "00000001:00000002"});
  EXPECT_EQ(pull_it(&c, "/meta/check/tag", read_full), 200);
  EXPECT_STREQ(c.checkpoint, "00000001:00000002");
  EXPECT_TRUE(c.checkpoint_changed);
  EXPECT_NE(c.last_success, 0u);
  EXPECT_NE(c.last_success_mono, 0u);

  // Neither a refusal, nor a transfer that broke after a 200 had begun,
  // nor a 200 whose body ends inside a message is a success: the token
  // they carry is not taken and the last success stays where it was.
  const std::string partial = std::string("\0\0\0\x40", 4) + "0123456789";
  const std::vector<std::pair<Answer, int>> failures = {
      {{500, "", "00000001:00000003"}, 500},
      {{200, partial, "00000001:00000003", /*cut=*/true}, 0},
      {{200, partial, "00000001:00000003"}, 200},
  };
  for (const auto &[answer, status] : failures) {
    c.last_success = c.last_success_mono = 0;
    c.checkpoint_changed = false;
    logs.clear();
    g_node->on("DIFF", answer);
    EXPECT_EQ(pull_it(&c, diff_path, read_diff), status);
    EXPECT_STREQ(c.checkpoint, "00000001:00000002") << status;
    EXPECT_FALSE(c.checkpoint_changed);
    EXPECT_EQ(c.last_success, 0u);
    EXPECT_EQ(c.last_success_mono, 0u);
  }
  // The cut-short body of the last case, said once, with node and size.
  EXPECT_EQ(error_lines(),
            std::vector<std::string>{"[5] pull from '" + g_node->base() +
                                     "' ended inside a message: 14 bytes "
                                     "left\n"});
}

}  // namespace
