/* The client lookup of the kavalin stand-in, exported from the test
 * executable so that ostrel's run-time binding finds it by name. */
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "fake_kavalin.h"

namespace {
std::mutex g_mu;
std::set<int> g_present;
std::map<int, int> g_lookups;
std::map<int, int> g_fail_at;  // lookup number that answers null once

/* One real client per id, never freed (as kavalin never frees one), for a
 * cluster that cannot be reached: workers find no nodes and keep retrying
 * until they are told to stop. */
drask_client_t *client_for(int cluster_id) {
  // Never destroyed, so the clients stay reachable also while the process
  // exits (a death test's child runs static destructors).
  static auto *clients = new std::map<int, drask_client_t *>();
  auto it = clients->find(cluster_id);
  if (it != clients->end()) return it->second;
  char host[] = "127.0.0.1:9";
  char *hosts[] = {host};
  drask_client_t *c = drask_client_alloc(1, hosts);
  drask_client_set_connecttimeout(c, 200);
  drask_client_set_timeout(c, 500);
  (*clients)[cluster_id] = c;
  return c;
}
}  // namespace

extern "C" __attribute__((visibility("default"))) drask_client_t *
kavalin_client_for_cluster_dyn_function(int cluster_id) {
  std::lock_guard<std::mutex> lock(g_mu);
  int n = ++g_lookups[cluster_id];
  if (g_present.count(cluster_id) == 0) return nullptr;
  auto f = g_fail_at.find(cluster_id);
  if (f != g_fail_at.end() && f->second == n) return nullptr;
  return client_for(cluster_id);
}

namespace fake_kavalin {
int lookups(int cluster_id) {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_lookups[cluster_id];
}
bool wait_lookups(int cluster_id, int n) {
  for (int i = 0; i < 500; i++) {
    if (lookups(cluster_id) >= n) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}
void fail_lookup_number(int cluster_id, int n) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_fail_at[cluster_id] = n;
}
void set_client(int cluster_id, bool present) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (present) {
    g_present.insert(cluster_id);
  } else {
    g_present.erase(cluster_id);
  }
}
}  // namespace fake_kavalin
