// A cluster in this process, changed by writers while a follower pulls the
// full state and then diffs over HTTP, and while another node streams, goes
// down and comes back. The follower's merged view must end equal to the
// cluster's snapshot: nothing lost, nothing corrupted, under concurrency.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "standin/cluster.h"
#include "standin/generator.h"
#include "standin/snapshot.h"
#include "standin/support/feed_decoders.h"
#include "standin/support/http_client.h"

using namespace standin;
using namespace standin_test;

namespace {

std::string snapshot_of(Cluster &cluster) {
  SnapshotSource source(cluster.database().current());
  std::string out;
  char buf[8192];
  for (ssize_t n; (n = source.read(buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  return out;
}

std::string check_name(int i) {
  char buf[37];
  std::snprintf(buf, sizeof buf, "%08x-0000-4000-8000-%012x", 0xc0ffee00u + static_cast<unsigned>(i % 60),
                static_cast<unsigned>(i % 60));
  return buf;
}

}  // namespace

TEST(Replication, AFollowerConvergesWhileTheClusterChangesAndChurns) {
  ClusterOptions options;
  options.nodes = 2;
  options.batch = 16;
  Cluster cluster(options);
  cluster.install(generate_dataset(150, 5, 11));
  ASSERT_TRUE(cluster.start());
  const std::string node0 = cluster.node(0).url();
  const std::string node1 = cluster.node(1).url();

  std::atomic<bool> writing{true};
  std::thread writer([&] {
    std::mt19937 rng(3);
    for (int i = 0; i < 600; ++i) {
      std::string check = check_name(static_cast<int>(rng() % 1000));
      std::string tag = "w:" + std::to_string(rng() % 8);
      if (rng() % 3 == 0) cluster.database().remove_tag(check, tag);
      else cluster.database().add_tag(check, tag);
      if (i % 10 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    writing.store(false);
  });

  std::thread churn([&] {
    for (int round = 0; writing.load() && round < 200; ++round) {
      HttpResult full = get(node1 + "/meta/check/tag");
      if (full.status == 200) {
        EXPECT_EQ(decode_full_state(full.body).error, "");
      }
      FaultSettings faults;
      faults.close_after = 500;
      cluster.node(1).faults().set(faults);
      get(node1 + "/meta/check/tag");
      cluster.node(1).faults().clear();
      cluster.node(1).stop();
      cluster.node(1).start_again();
    }
  });

  // The follower: checkpoint, full state, then diffs until the writer is
  // done and a pull brings nothing new.
  HttpResult created = http("POST", node0 + "/metafeed/check/tag?subscriber=follower");
  ASSERT_EQ(created.status, 200);
  std::string token = created.checkpoint();
  HttpResult full = get(node0 + "/meta/check/tag");
  ASSERT_EQ(full.status, 200);
  FullStateResult state = decode_full_state(full.body);
  ASSERT_EQ(state.error, "");
  std::vector<DecodedElement> merged = state.elements;

  bool settled = false;
  for (int pull = 0; pull < 5000 && !settled; ++pull) {
    bool writer_done = !writing.load();
    HttpResult diff = get(node0 + "/metafeed/check/tag?subscriber=follower&checkpoint=" + token);
    ASSERT_EQ(diff.status, 200) << diff.body;
    DiffResult decoded = decode_diff(diff.body);
    ASSERT_EQ(decoded.error, "");
    ASSERT_LE(decoded.messages.size(), 16u);
    merged.insert(merged.end(), decoded.messages.begin(), decoded.messages.end());
    std::string next = diff.checkpoint();
    settled = writer_done && next == token;
    token = next;
  }
  writer.join();
  churn.join();
  cluster.stop();
  ASSERT_TRUE(settled);
  EXPECT_EQ(canonical_from_elements(merged), snapshot_of(cluster));
}
