// The stand-in as a process, over real HTTP through libcurl: the topology,
// the checkpoint requests and header, both streams byte for byte (decoded
// by the tests' own decoders), diffs after changes, batch bounds and the
// 409 answers for unknown checkpoints.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <signal.h>
#include <sys/wait.h>

#include <memory>
#include <string>

#include "standin/support/feed_decoders.h"
#include "standin/support/http_client.h"
#include "standin/support/standin_process.h"

using namespace standin_test;

namespace {

constexpr const char *kCheckA = "0f0f0f0f-1111-4222-8333-444444444444";
constexpr const char *kCheckB = "1e1e1e1e-5555-4666-8777-888888888888";

using JsonPtr = std::unique_ptr<json_object, decltype(&json_object_put)>;

JsonPtr parse(const std::string &text) { return JsonPtr(json_tokener_parse(text.c_str()), &json_object_put); }

std::string member_string(json_object *object, const char *name) {
  json_object *value = nullptr;
  if (!object || !json_object_object_get_ex(object, name, &value) ||
      !json_object_is_type(value, json_type_string))
    return "<missing>";
  return json_object_get_string(value);
}

std::string feed(const std::string &subscriber) { return "/metafeed/check/tag?subscriber=" + subscriber; }

std::string diff_path(const std::string &subscriber, const std::string &token) {
  return feed(subscriber) + "&checkpoint=" + token;
}

class Feed : public ::testing::Test {
 protected:
  void start(std::vector<std::string> args) {
    process_ = std::make_unique<StandinProcess>(std::move(args));
    ASSERT_TRUE(process_->ok()) << "no ready line: " << process_->ready_line();
  }
  StandinProcess &p() { return *process_; }

  void change(const char *op, const std::string &check, const std::string &tag) {
    HttpResult r = post_json(p().admin_url(std::string("/tag/") + op),
                             "{\"check\":\"" + check + "\",\"tag\":\"" + tag + "\"}");
    ASSERT_EQ(r.status, 200) << r.body;
  }
  std::string create(int node, const std::string &subscriber) {
    HttpResult r = http("POST", p().node_url(node, feed(subscriber)));
    EXPECT_EQ(r.status, 200) << r.body;
    return r.checkpoint();
  }

  std::unique_ptr<StandinProcess> process_;
};

}  // namespace

TEST_F(Feed, TopologyListsEveryNodeUnderTheSignature) {
  start({"--nodes", "3", "--signature", "cluster-under-test"});
  ASSERT_EQ(p().node_ports().size(), 3u);
  for (int node = 0; node < 3; ++node) {
    HttpResult r = get(p().node_url(node, "/topology"));
    ASSERT_EQ(r.status, 200);
    JsonPtr doc = parse(r.body);
    ASSERT_TRUE(doc);
    EXPECT_EQ(member_string(doc.get(), "signature"), "cluster-under-test");
    json_object *nodes = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(doc.get(), "nodes", &nodes));
    ASSERT_EQ(json_object_array_length(nodes), 3u);
    for (size_t i = 0; i < 3; ++i)
      EXPECT_EQ(std::string(json_object_get_string(json_object_array_get_idx(nodes, i))),
                "http://127.0.0.1:" + std::to_string(p().node_ports()[i]));
  }
}

TEST_F(Feed, CheckpointCreateConflictDeleteAndMissing) {
  start({"--nodes", "2"});
  HttpResult created = http("POST", p().node_url(0, feed("sub-1")));
  ASSERT_EQ(created.status, 200);
  // The header exactly as clients match it: name, colon, a space, 17 characters.
  bool header_seen = false;
  for (const auto &line : created.header_lines) {
    if (line.rfind("X-Drask-Feed-Checkpoint:", 0) != 0) continue;
    header_seen = true;
    EXPECT_EQ(line.size(), std::string("X-Drask-Feed-Checkpoint: ").size() + 17 + 2) << line;
    EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
  }
  EXPECT_TRUE(header_seen);
  std::string token = created.checkpoint();
  ASSERT_EQ(token.size(), 17u);
  EXPECT_EQ(token.substr(9), "00000000") << "an empty change log: position 0";

  HttpResult conflict = http("POST", p().node_url(0, feed("sub-1")));
  EXPECT_EQ(conflict.status, 409);
  EXPECT_NE(member_string(parse(conflict.body).get(), "error"), "<missing>") << conflict.body;
  EXPECT_EQ(conflict.checkpoint(), "") << "no token with a refusal";

  std::string other = create(1, "sub-1");
  EXPECT_NE(other.substr(0, 8), token.substr(0, 8)) << "each node has its own epoch";

  EXPECT_EQ(http("DELETE", p().node_url(0, feed("sub-1"))).status, 200);
  HttpResult missing = http("DELETE", p().node_url(0, feed("sub-1")));
  EXPECT_EQ(missing.status, 404);
  EXPECT_NE(member_string(parse(missing.body).get(), "error"), "<missing>");
  EXPECT_EQ(http("POST", p().node_url(0, feed("sub-1"))).status, 200) << "created again";
  EXPECT_EQ(http("POST", p().node_url(0, "/metafeed/check/tag")).status, 400) << "no subscriber";
  EXPECT_EQ(http("PUT", p().node_url(0, feed("x"))).status, 405);
  EXPECT_EQ(get(p().node_url(0, "/nothing")).status, 404);
}

TEST_F(Feed, FullStateStreamMatchesTheDatabase) {
  start({"--nodes", "1"});
  change("add", kCheckA, "env:prod");
  change("add", kCheckA, "host:web0042");
  change("add", kCheckB, "team:sre");
  change("remove", kCheckA, "host:web0042");

  HttpResult full = get(p().node_url(0, "/meta/check/tag"));
  ASSERT_EQ(full.code, CURLE_OK);
  ASSERT_EQ(full.status, 200);
  const std::string head("\x00\x00\x00\x00\x05" "check" "\x01\x00\x00\x00\x03" "tag"
                         "\x02\x00\x00\x00\x24", 23);
  ASSERT_GT(full.body.size(), head.size() + 36);
  EXPECT_EQ(full.body.substr(0, head.size()), head);
  EXPECT_EQ(full.body.substr(head.size(), 36), kCheckA);
  // First element info: seq 1 little-endian, len 8 << 1, padding zero.
  EXPECT_EQ(full.body.substr(head.size() + 36, 21),
            std::string("\x04\x00\x00\x00\x10" "\x01\0\0\0\0\0\0\0" "\x10\0\0\0" "\0\0\0\0", 21));

  FullStateResult decoded = decode_full_state(full.body);
  ASSERT_EQ(decoded.error, "");
  EXPECT_EQ(decoded.trailing, 0u);
  ASSERT_EQ(decoded.elements.size(), 3u);
  EXPECT_EQ(decoded.elements[1].tag, "host:web0042");
  EXPECT_TRUE(decoded.elements[1].tombstone) << "tombstones are part of the full state";
  EXPECT_EQ(decoded.elements[1].seq, 2u);

  HttpResult snapshot = get(p().admin_url("/snapshot"));
  ASSERT_EQ(snapshot.status, 200);
  EXPECT_EQ(snapshot.body, std::string(kCheckA) + "\tenv:prod\n" + kCheckB + "\tteam:sre\n");
  EXPECT_EQ(canonical_from_elements(decoded.elements), snapshot.body);
}

TEST_F(Feed, GeneratedDatasetStreamsWholeAndDeterministically) {
  start({"--nodes", "2", "--checks", "400", "--tags-per-check", "10", "--seed", "5"});
  HttpResult full = get(p().node_url(1, "/meta/check/tag"));
  ASSERT_EQ(full.status, 200);
  FullStateResult decoded = decode_full_state(full.body);
  ASSERT_EQ(decoded.error, "");
  EXPECT_EQ(decoded.sets.size(), 400u);
  EXPECT_EQ(decoded.elements.size(), 4000u);
  HttpResult snapshot = get(p().admin_url("/snapshot"));
  EXPECT_EQ(canonical_from_elements(decoded.elements), snapshot.body);

  // The admin generator with the same parameters gives the same database.
  HttpResult regenerated = post_json(p().admin_url("/generate"),
                                     "{\"checks\":400,\"tags_per_check\":10,\"seed\":5}");
  ASSERT_EQ(regenerated.status, 200) << regenerated.body;
  EXPECT_EQ(get(p().admin_url("/snapshot")).body, snapshot.body);
  post_json(p().admin_url("/generate"), "{\"checks\":400,\"tags_per_check\":10,\"seed\":6}");
  EXPECT_NE(get(p().admin_url("/snapshot")).body, snapshot.body);
}

TEST_F(Feed, DiffsFollowAdditionRemovalAndReaddition) {
  start({"--nodes", "1"});
  change("add", kCheckA, "env:prod");  // before the checkpoint: not in any diff
  std::string token = create(0, "replica");
  ASSERT_EQ(token.substr(9), "00000001");

  HttpResult empty = get(p().node_url(0, diff_path("replica", token)));
  ASSERT_EQ(empty.status, 200);
  EXPECT_EQ(empty.body, "");
  EXPECT_EQ(empty.checkpoint(), token) << "nothing new: the same token";

  change("add", kCheckA, "host:db0001");
  change("remove", kCheckA, "host:db0001");
  change("add", kCheckA, "host:db0001");
  HttpResult diff = get(p().node_url(0, diff_path("replica", token)));
  ASSERT_EQ(diff.status, 200);
  DiffResult decoded = decode_diff(diff.body);
  ASSERT_EQ(decoded.error, "");
  ASSERT_EQ(decoded.messages.size(), 3u);
  for (const auto &m : decoded.messages) {
    EXPECT_EQ(m.check, kCheckA);
    EXPECT_EQ(m.tag, "host:db0001");
    EXPECT_EQ(m.padding, 0u);
  }
  EXPECT_EQ(decoded.messages[0].seq, 1u);
  EXPECT_FALSE(decoded.messages[0].tombstone);
  EXPECT_EQ(decoded.messages[1].seq, 2u);
  EXPECT_TRUE(decoded.messages[1].tombstone);
  EXPECT_EQ(decoded.messages[2].seq, 3u);
  EXPECT_FALSE(decoded.messages[2].tombstone);
  std::string next = diff.checkpoint();
  EXPECT_EQ(next.substr(0, 9), token.substr(0, 9));
  EXPECT_EQ(next.substr(9), "00000004");

  HttpResult after = get(p().node_url(0, diff_path("replica", next)));
  EXPECT_EQ(after.status, 200);
  EXPECT_EQ(after.body, "");
  EXPECT_EQ(after.checkpoint(), next);

  // A retry with the same token (an answer lost on the way) is served again.
  EXPECT_EQ(get(p().node_url(0, diff_path("replica", next))).status, 200);
  // An older one is not: the newer token acknowledged it.
  EXPECT_EQ(get(p().node_url(0, diff_path("replica", token))).status, 409);
}

TEST_F(Feed, DiffPullsAreBoundedByTheBatch) {
  start({"--nodes", "1", "--batch", "3"});
  std::string token = create(0, "b");
  for (int i = 0; i < 7; ++i) change("add", kCheckB, "n:" + std::to_string(i));
  std::vector<size_t> sizes;
  std::string tags;
  for (int pull = 0; pull < 5; ++pull) {
    HttpResult r = get(p().node_url(0, diff_path("b", token)));
    ASSERT_EQ(r.status, 200);
    DiffResult decoded = decode_diff(r.body);
    ASSERT_EQ(decoded.error, "");
    sizes.push_back(decoded.messages.size());
    for (const auto &m : decoded.messages) tags += m.tag + " ";
    token = r.checkpoint();
  }
  EXPECT_EQ(sizes, (std::vector<size_t>{3, 3, 1, 0, 0}));
  EXPECT_EQ(tags, "n:0 n:1 n:2 n:3 n:4 n:5 n:6 ");
  EXPECT_EQ(token.substr(9), "00000007");
}

TEST_F(Feed, UnknownCheckpointsAreRefusedWith409) {
  start({"--nodes", "2"});
  change("add", kCheckA, "env:prod");
  std::string on_zero = create(0, "s");
  std::string on_one = create(1, "s");

  auto refused = [&](int node, const std::string &path) {
    HttpResult r = get(p().node_url(node, path));
    EXPECT_EQ(r.status, 409) << path;
    EXPECT_NE(member_string(parse(r.body).get(), "error"), "<missing>") << r.body;
    EXPECT_EQ(r.body.find('\0'), std::string::npos);
  };
  refused(0, diff_path("s", on_one));            // another node's token
  refused(0, diff_path("nobody", on_zero));      // no checkpoint for that subscriber
  refused(0, diff_path("s", "zzzzzzzz:00000000"));
  refused(0, diff_path("s", on_zero.substr(0, 9) + "00000009"));  // past the log end
  EXPECT_EQ(get(p().node_url(0, feed("s"))).status, 400) << "no checkpoint argument";

  ASSERT_EQ(post_json(p().admin_url("/generate"), "{\"checks\":3}").status, 200);
  refused(0, diff_path("s", on_zero));  // a replaced dataset: older epoch
  std::string fresh = create(0, "s");
  EXPECT_NE(fresh.substr(0, 8), on_zero.substr(0, 8));
  EXPECT_EQ(get(p().node_url(0, diff_path("s", fresh))).status, 200);
}

TEST_F(Feed, AdminRefusesBadRequestsClearly) {
  start({"--nodes", "1"});
  EXPECT_EQ(post_json(p().admin_url("/tag/add"), "{\"check\":\"nope\",\"tag\":\"a:b\"}").status, 400);
  EXPECT_EQ(post_json(p().admin_url("/tag/add"), "not json").status, 400);
  EXPECT_EQ(post_json(p().admin_url("/tag/add"), "{\"check\":\"x\",}").status, 400);
  EXPECT_EQ(post_json(p().admin_url("/tag/add"),
                      std::string("{\"check\":\"") + kCheckA + "\",\"tag\":\"a:b\",\"sq\":3}").status,
            400);
  EXPECT_EQ(post_json(p().admin_url("/tag/remove"),
                      std::string("{\"check\":\"") + kCheckA + "\",\"tag\":\"a:b\"}").status,
            404);
  HttpResult seq = post_json(p().admin_url("/tag/add"),
                             std::string("{\"check\":\"") + kCheckA + "\",\"tag\":\"a:b\",\"seq\":9}");
  EXPECT_EQ(seq.status, 200) << seq.body;
  EXPECT_EQ(post_json(p().admin_url("/tag/add"),
                      std::string("{\"check\":\"") + kCheckA + "\",\"tag\":\"a:b\",\"seq\":9}").status,
            409);
  HttpResult check = get(p().admin_url(std::string("/check/") + kCheckA));
  EXPECT_EQ(check.status, 200);
  EXPECT_NE(check.body.find("\"seq\":9"), std::string::npos) << check.body;
  EXPECT_EQ(get(p().admin_url("/check/0f0f0f0f-1111-4222-8333-000000000000")).status, 404);
  EXPECT_EQ(post_json(p().admin_url("/generate"), "{\"checks\":100000000}").status, 400);
  EXPECT_EQ(get(p().admin_url("/nodes/7")).status, 404);
  EXPECT_EQ(get(p().admin_url("/elsewhere")).status, 404);
}

TEST(Command, HelpBadOptionsAndCleanStop) {
  RunResult help = run_standin({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.output.find("--tags-per-check"), std::string::npos);
  RunResult bad = run_standin({"--nodes", "0"});
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_NE(bad.output.find("--nodes"), std::string::npos);

  for (int signal : {SIGINT, SIGTERM}) {
    StandinProcess process({"--nodes", "2", "--checks", "10"});
    ASSERT_TRUE(process.ok());
    int status = process.stop(signal);
    ASSERT_NE(status, -1) << "did not stop in time";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
}
