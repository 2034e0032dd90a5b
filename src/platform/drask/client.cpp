/* The cluster client: bootstrap hosts, timeouts and the cached topology. */
#include <curl/curl.h>

#include <mutex>

#include "internal.h"

namespace {

/* The current topology, refreshed when stale; null when none could ever
 * be fetched. Readers of a fresh topology take no lock. */
drask_topo *active_topology(drask_client *c) {
  uint64_t now = drask::now_mono_us();
  auto fresh = [&](drask_topo *t) {
    return t && !c->stale.load() &&
           now - c->fetched_at_us.load() <
               static_cast<uint64_t>(c->refresh_ms.load()) * 1000u;
  };
  drask_topo *cur = c->current.load(std::memory_order_acquire);
  if (fresh(cur)) return cur;
  /* The bootstrap hosts failed a moment ago: the cached topology is still
   * the best knowledge of the cluster. */
  if (cur && now - c->failed_at_us.load() < drask::kRetryAfterFailureUs)
    return cur;

  std::lock_guard guard(c->refresh_lock);
  cur = c->current.load(std::memory_order_acquire);
  now = drask::now_mono_us();
  if (fresh(cur)) return cur; /* another thread refreshed meanwhile */
  std::unique_ptr<drask_topo> fetched = drask::fetch_topology(*c);
  now = drask::now_mono_us();
  if (!fetched) {
    c->failed_at_us.store(now);
    return cur;
  }
  if (!cur || !drask::same_topology(*cur, *fetched)) {
    fetched->client = c;
    cur = fetched.get();
    c->kept.push_back(std::move(fetched));
    c->current.store(cur, std::memory_order_release);
  }
  c->fetched_at_us.store(now);
  c->stale.store(false);
  return cur;
}

}  // namespace

extern "C" {

void libdrask_init(void) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

drask_client_t *drask_client_alloc(int count, char **hosts) {
  if (count < 1 || !hosts) return nullptr;
  auto *c = new drask_client;
  c->connect_timeout_ms = drask::kDefaultConnectTimeoutMs;
  c->timeout_ms = drask::kDefaultTimeoutMs;
  c->refresh_ms = drask::kDefaultRefreshMs;
  c->hosts.reserve(count);
  for (int i = 0; i < count; ++i) c->hosts.emplace_back(hosts[i] ? hosts[i] : "");
  for (const auto &h : c->hosts) c->host_ptrs.push_back(h.c_str());
  return c;
}

void drask_client_set_connecttimeout(drask_client_t *client, int ms) {
  if (client && ms >= 0) client->connect_timeout_ms = ms;
}

void drask_client_set_timeout(drask_client_t *client, int ms) {
  if (client && ms >= 0) client->timeout_ms = ms;
}

void drask_client_set_refresh_interval(drask_client_t *client, int ms) {
  if (client && ms >= 0) client->refresh_ms = ms;
}

int drask_client_get_connecttimeout(const drask_client_t *client) {
  return client ? client->connect_timeout_ms.load() : -1;
}

int drask_client_get_timeout(const drask_client_t *client) {
  return client ? client->timeout_ms.load() : -1;
}

int drask_client_get_bootstrap(const drask_client_t *client,
                               const char *const **hosts) {
  if (!client) return 0;
  if (hosts) *hosts = client->host_ptrs.data();
  return static_cast<int>(client->host_ptrs.size());
}

void drask_client_free(drask_client_t *client) { delete client; }

int drask_client_get_all_nodes(drask_client_t *client, const char **nodes) {
  if (!client || !nodes) return -1;
  drask_topo *topo = active_topology(client);
  if (!topo) return -1;
  int n = static_cast<int>(topo->nodes.size());
  for (int i = 0; i < n; ++i) nodes[i] = topo->nodes[i].c_str();
  return n;
}

void drask_client_topology_stale(drask_client_t *client) {
  if (client) client->stale.store(true);
}

drask_topo_t *drask_client_get_active_topo(drask_client_t *client) {
  return client ? active_topology(client) : nullptr;
}

drask_topo_t *drask_client_get_cached_topo(drask_client_t *client) {
  return client ? client->current.load(std::memory_order_acquire) : nullptr;
}

}  // extern "C"
