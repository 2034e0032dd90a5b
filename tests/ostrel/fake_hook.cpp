/* The cluster-changed hook registration of the kavalin stand-in. */
#include <atomic>

#include "fake_kavalin.h"

namespace {
std::atomic<kavalin_cluster_changed_hook_func_t> g_func{nullptr};
std::atomic<void *> g_closure{nullptr};
std::atomic<int> g_registrations{0};
}  // namespace

extern "C" void kavalin_cluster_changed_hook_register(
    const char *, kavalin_cluster_changed_hook_func_t func, void *closure) {
  g_closure.store(closure);
  g_func.store(func);
  g_registrations++;
}

namespace fake_kavalin {
kavalin_cluster_changed_hook_func_t registered_func() { return g_func.load(); }
void *registered_closure() { return g_closure.load(); }
int registrations() { return g_registrations.load(); }
zorv_hook_return_t fire_cluster_changed(int cluster_id) {
  auto f = g_func.load();
  return f ? f(g_closure.load(), cluster_id) : ZORV_HOOK_CONTINUE;
}
}  // namespace fake_kavalin
