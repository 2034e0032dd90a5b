/* The client lookup of the kavalin stand-in, exported from the test
 * executable so that ostrel's run-time binding finds it by name. */
#include <mutex>
#include <set>

#include "fake_kavalin.h"

namespace {
std::mutex g_mu;
std::set<int> g_present;
// Clients are only tested for presence; hand out distinct non-null values.
char g_dummy_clients[64];
}  // namespace

extern "C" __attribute__((visibility("default"))) drask_client_t *
kavalin_client_for_cluster_dyn_function(int cluster_id) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_present.count(cluster_id) == 0) return nullptr;
  return reinterpret_cast<drask_client_t *>(
      &g_dummy_clients[static_cast<unsigned>(cluster_id) % 64]);
}

namespace fake_kavalin {
void set_client(int cluster_id, bool present) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (present) {
    g_present.insert(cluster_id);
  } else {
    g_present.erase(cluster_id);
  }
}
}  // namespace fake_kavalin
