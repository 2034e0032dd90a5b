/* libdrask's own types, shared by its source files. */
#ifndef DRASK_INTERNAL_H
#define DRASK_INTERNAL_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "drask/client.h"
#include "drask/topology.h"

struct drask_topo {
  std::string signature;
  std::vector<std::string> nodes; /* never changed after parsing */
  /* The client that adopted this topology (its transport settings apply),
   * or null for one parsed on its own. */
  const drask_client *client = nullptr;
};

struct drask_client {
  std::vector<std::string> hosts;
  std::vector<const char *> host_ptrs; /* point into hosts */
  std::atomic<int> connect_timeout_ms;
  std::atomic<int> timeout_ms;
  std::atomic<int> refresh_ms;

  /* One refresh at a time; also guards `kept`. */
  std::mutex refresh_lock;
  /* Every topology that was ever current, kept until the client is freed:
   * callers hold node strings and topologies across refreshes. A refetched
   * topology equal to the current one is dropped, so this grows only when
   * the cluster really changed. */
  std::vector<std::unique_ptr<drask_topo>> kept;
  std::atomic<drask_topo *> current{nullptr};
  std::atomic<uint64_t> fetched_at_us{0}; /* monotonic; last good fetch */
  std::atomic<uint64_t> failed_at_us{0};  /* monotonic; last failed fetch */
  std::atomic<bool> stale{false};
};

namespace drask {

constexpr int kDefaultConnectTimeoutMs = 3000;
constexpr int kDefaultTimeoutMs = 10000;
constexpr int kDefaultRefreshMs = 30000;
/* After a failed refresh, a cached topology is served for this long before
 * the bootstrap hosts are tried again, so that callers are not each held up
 * by connect timeouts while the bootstrap hosts are away. */
constexpr uint64_t kRetryAfterFailureUs = 1000000;

uint64_t now_mono_us();
/* Asks the bootstrap hosts in order; the first topology document wins.
 * Null when none answered with one. */
std::unique_ptr<drask_topo> fetch_topology(const drask_client &client);
bool same_topology(const drask_topo &a, const drask_topo &b);

}  // namespace drask

#endif
