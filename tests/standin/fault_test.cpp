// Every fault mode of a node, observed the way a replica sees it: through
// libcurl, with the tests' own decoders. Also the request counters.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <chrono>
#include <memory>
#include <thread>
#include <string>

#include "standin/support/feed_decoders.h"
#include "standin/support/http_client.h"
#include "standin/support/standin_process.h"

using namespace standin_test;

namespace {

std::string feed(const std::string &subscriber) { return "/metafeed/check/tag?subscriber=" + subscriber; }

// Reads a counter of one node from GET /counters.
uint64_t counter(StandinProcess &p, int node, const char *kind) {
  HttpResult r = get(p.admin_url("/counters"));
  std::unique_ptr<json_object, decltype(&json_object_put)> doc(json_tokener_parse(r.body.c_str()),
                                                               &json_object_put);
  json_object *nodes = nullptr, *requests = nullptr, *value = nullptr;
  if (!doc || !json_object_object_get_ex(doc.get(), "nodes", &nodes)) return UINT64_MAX;
  json_object *entry = json_object_array_get_idx(nodes, static_cast<size_t>(node));
  if (!entry || !json_object_object_get_ex(entry, "requests", &requests) ||
      !json_object_object_get_ex(requests, kind, &value))
    return UINT64_MAX;
  return json_object_get_uint64(value);
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    // About 45 KB of full state: enough for mid-stream faults.
    process_ = std::make_unique<StandinProcess>(
        std::vector<std::string>{"--nodes", "2", "--checks", "100", "--tags-per-check", "10"});
    ASSERT_TRUE(process_->ok());
  }
  StandinProcess &p() { return *process_; }
  void fault(int node, const std::string &json) {
    HttpResult r = post_json(p().admin_url("/nodes/" + std::to_string(node) + "/faults"), json);
    ASSERT_EQ(r.status, 200) << r.body;
  }
  HttpResult full(int node, const HttpOptions &options = {}) {
    return http("GET", p().node_url(node, "/meta/check/tag"), "", options);
  }
  std::unique_ptr<StandinProcess> process_;
};

}  // namespace

TEST_F(Faults, InjectedStatusAnswersEveryFeedRequestUntilCleared) {
  fault(0, "{\"status\":503}");
  EXPECT_EQ(http("POST", p().node_url(0, feed("s"))).status, 503);
  EXPECT_EQ(http("DELETE", p().node_url(0, feed("s"))).status, 503);
  EXPECT_EQ(full(0).status, 503);
  HttpResult diff = get(p().node_url(0, feed("s") + "&checkpoint=00000000:00000000"));
  EXPECT_EQ(diff.status, 503);
  EXPECT_NE(diff.body.find("\"error\""), std::string::npos);
  EXPECT_EQ(get(p().node_url(0, "/topology")).status, 200) << "the topology is not a feed request";
  EXPECT_EQ(full(1).status, 200) << "faults are per node";
  EXPECT_EQ(counter(p(), 0, "faulted"), 4u);
  EXPECT_EQ(counter(p(), 0, "full_state"), 1u);

  ASSERT_EQ(post_json(p().admin_url("/nodes/0/clear"), "").status, 200);
  EXPECT_EQ(full(0).status, 200);
  EXPECT_EQ(http("POST", p().node_url(0, feed("s"))).status, 200)
      << "a faulted create made no checkpoint";
  EXPECT_EQ(post_json(p().admin_url("/nodes/0/faults"), "{\"status\":42}").status, 400);
  EXPECT_EQ(post_json(p().admin_url("/nodes/0/faults"), "{\"stall\":1}").status, 400);
}

TEST_F(Faults, StallTripsTheClientsLowSpeedLimit) {
  fault(0, "{\"stall_rate\":20}");
  HttpOptions options;
  options.low_speed_limit = 100;
  options.low_speed_time = 1;
  HttpResult slow = full(0, options);
  EXPECT_EQ(slow.code, CURLE_OPERATION_TIMEDOUT);
  EXPECT_LT(slow.seconds, 10.0);
  EXPECT_LT(slow.body.size(), 200u) << "at most about 20 bytes a second";
  EXPECT_EQ(full(1, options).code, CURLE_OK);

  // Diffs are stalled too; the header comes first, so the token is known.
  HttpResult created = http("POST", p().node_url(0, feed("s")));
  ASSERT_EQ(created.status, 200);
  for (int i = 0; i < 40; ++i)
    post_json(p().admin_url("/tag/add"),
              "{\"check\":\"0f0f0f0f-1111-4222-8333-444444444444\",\"tag\":\"k:" +
                  std::to_string(i) + "\"}");
  HttpResult diff = http("GET", p().node_url(0, feed("s") + "&checkpoint=" + created.checkpoint()),
                         "", options);
  EXPECT_EQ(diff.code, CURLE_OPERATION_TIMEDOUT);
  EXPECT_EQ(diff.checkpoint().substr(9), "00000028");

  ASSERT_EQ(post_json(p().admin_url("/nodes/0/clear"), "").status, 200);
  EXPECT_EQ(full(0, options).code, CURLE_OK);
}

TEST_F(Faults, StalledStreamsDoNotHoldUpOtherRequests) {
  fault(0, "{\"stall_rate\":5}");
  HttpOptions patient;
  patient.timeout_ms = 3000;
  std::vector<std::thread> pullers;
  for (int i = 0; i < 6; ++i)  // more than the node has threads
    pullers.emplace_back([&] { full(0, patient); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  HttpOptions hurried;
  hurried.timeout_ms = 1000;
  for (int i = 0; i < 5; ++i) {
    HttpResult r = http("GET", p().node_url(0, "/topology"), "", hurried);
    EXPECT_EQ(r.status, 200) << "request " << i << ": curl code " << r.code;
  }
  for (auto &t : pullers) t.join();
}

TEST_F(Faults, CloseAfterKBytesBreaksTheTransfer) {
  fault(1, "{\"close_after\":1000}");
  for (int round = 0; round < 2; ++round) {  // persistent until cleared
    HttpResult broken = full(1);
    EXPECT_NE(broken.code, CURLE_OK) << "round " << round;
    EXPECT_EQ(broken.status, 200);
    EXPECT_EQ(broken.body.size(), 1000u);
    EXPECT_GT(decode_full_state(broken.body).trailing, 0u);
  }
  fault(1, "{\"close_after\":null}");
  HttpResult whole = full(1);
  EXPECT_EQ(whole.code, CURLE_OK);
  EXPECT_GT(whole.body.size(), 1000u);
}

TEST_F(Faults, CorruptNextFullStateIsRefusedByADecoderOnce) {
  fault(0, "{\"corrupt_next_full\":2}");
  HttpResult corrupt = full(0);
  ASSERT_EQ(corrupt.code, CURLE_OK);
  FullStateResult decoded = decode_full_state(corrupt.body);
  EXPECT_NE(decoded.error.find("record type 7"), std::string::npos) << decoded.error;
  EXPECT_EQ(decoded.sets.size(), 2u);

  FullStateResult clean = decode_full_state(full(0).body);
  EXPECT_EQ(clean.error, "") << "only the next stream was corrupt";
  EXPECT_EQ(clean.sets.size(), 100u);
}

TEST_F(Faults, TruncateNextFullStateEndsCleanlyShortOnce) {
  fault(0, "{\"truncate_next_full\":100}");
  HttpResult cut = full(0);
  EXPECT_EQ(cut.code, CURLE_OK) << "a clean end: the client sees nothing wrong with HTTP";
  EXPECT_EQ(cut.status, 200);
  EXPECT_EQ(cut.body.size(), 100u);
  FullStateResult decoded = decode_full_state(cut.body);
  EXPECT_EQ(decoded.error, "");
  EXPECT_GT(decoded.trailing, 0u) << "the last record is incomplete";
  EXPECT_EQ(decode_full_state(full(0).body).sets.size(), 100u);
}

TEST_F(Faults, ForgetCheckpointsMakesTheNextDiffPull409) {
  HttpResult created = http("POST", p().node_url(0, feed("s")));
  ASSERT_EQ(created.status, 200);
  std::string diff = feed("s") + "&checkpoint=" + created.checkpoint();
  EXPECT_EQ(get(p().node_url(0, diff)).status, 200);
  fault(0, "{\"forget_checkpoints\":true}");
  EXPECT_EQ(get(p().node_url(0, diff)).status, 409);
  EXPECT_EQ(http("DELETE", p().node_url(0, feed("s"))).status, 404);
  EXPECT_EQ(http("POST", p().node_url(0, feed("s"))).status, 200);
}

TEST_F(Faults, DownStopsListeningAndUpComesBackOnTheSamePort) {
  HttpResult created = http("POST", p().node_url(1, feed("s")));
  ASSERT_EQ(created.status, 200);
  fault(1, "{\"down\":true}");
  HttpResult refused = get(p().node_url(1, "/topology"));
  EXPECT_EQ(refused.code, CURLE_COULDNT_CONNECT);
  EXPECT_EQ(get(p().node_url(0, "/topology")).status, 200);
  HttpResult nodes = get(p().admin_url("/nodes/1"));
  ASSERT_EQ(nodes.status, 200) << "the admin API stays reachable";
  EXPECT_NE(nodes.body.find("\"up\":false"), std::string::npos) << nodes.body;

  fault(1, "{\"down\":false}");
  EXPECT_EQ(get(p().node_url(1, "/topology")).status, 200);
  EXPECT_EQ(get(p().node_url(1, feed("s") + "&checkpoint=" + created.checkpoint())).status, 200)
      << "checkpoints survive a restart";

  fault(1, "{\"down\":true}");
  ASSERT_EQ(post_json(p().admin_url("/nodes/clear"), "").status, 200);
  EXPECT_EQ(get(p().node_url(1, "/topology")).status, 200) << "clearing brings the node up";
}

TEST_F(Faults, DownInTheMiddleOfAStalledStreamEndsIt) {
  fault(0, "{\"stall_rate\":10}");
  HttpResult result;
  std::thread puller([&] { result = full(0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  fault(0, "{\"down\":true}");
  puller.join();
  EXPECT_NE(result.code, CURLE_OK);
  EXPECT_LT(result.seconds, 5.0);
}

TEST_F(Faults, CountersCountRequestsPerNodeAndKind) {
  ASSERT_EQ(post_json(p().admin_url("/counters/reset"), "").status, 200);
  get(p().node_url(0, "/topology"));
  HttpResult created = http("POST", p().node_url(0, feed("c")));
  full(0);
  get(p().node_url(0, feed("c") + "&checkpoint=" + created.checkpoint()));
  get(p().node_url(0, feed("c") + "&checkpoint=" + created.checkpoint()));
  http("DELETE", p().node_url(0, feed("c")));
  get(p().node_url(0, "/what"));
  EXPECT_EQ(counter(p(), 0, "topology"), 1u);
  EXPECT_EQ(counter(p(), 0, "checkpoint_create"), 1u);
  EXPECT_EQ(counter(p(), 0, "full_state"), 1u);
  EXPECT_EQ(counter(p(), 0, "diff"), 2u);
  EXPECT_EQ(counter(p(), 0, "checkpoint_delete"), 1u);
  EXPECT_EQ(counter(p(), 0, "other"), 1u);
  EXPECT_EQ(counter(p(), 1, "diff"), 0u);
}
