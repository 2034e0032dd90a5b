/* The account-mapped and cluster-changed hook families.
 *
 * Each list is a lock-free stack: a node is filled completely before the
 * compare-and-swap that publishes it, and nodes are never removed, so an
 * invocation that read the head can follow next pointers without a lock.
 * The newest registration runs first. */
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "internal.h"

std::atomic<zorv_hook_kavalin_account_mapped_list *>
    nh_kavalin_account_mapped_list{nullptr};
std::atomic<zorv_hook_kavalin_cluster_changed_list *>
    nh_kavalin_cluster_changed_list{nullptr};

namespace {

const char account_mapped_proto[] =
    "(void *closure, int64_t account_id, int cluster_id)";
const char cluster_changed_proto[] = "(void *closure, int cluster_id)";

template <typename Node, typename Func>
void hook_push(std::atomic<Node *> &head, const char *proto, const char *name,
               Func func, void *closure) {
  Node *node = static_cast<Node *>(calloc(1, sizeof(Node)));
  if (node == nullptr) return; /* nothing registered; nothing half-made */
  node->optional_name = name ? strdup(name) : nullptr;
  node->proto = proto;
  node->func = func;
  node->closure = closure;
  Node *old = head.load(std::memory_order_relaxed);
  do {
    node->next = old;
  } while (!head.compare_exchange_weak(old, node, std::memory_order_release,
                                       std::memory_order_relaxed));
}

/* ABORT stops the walk at once; DONE sticks but the walk goes on; any other
 * value counts as CONTINUE. */
template <typename Node, typename... Args>
zorv_hook_return_t hook_walk(std::atomic<Node *> &head, Args... args) {
  zorv_hook_return_t result = ZORV_HOOK_CONTINUE;
  for (Node *n = head.load(std::memory_order_acquire); n != nullptr;
       n = n->next) {
    if (n->func == nullptr) continue;
    zorv_hook_return_t r = n->func(n->closure, args...);
    if (r == ZORV_HOOK_ABORT) return ZORV_HOOK_ABORT;
    if (r == ZORV_HOOK_DONE) result = ZORV_HOOK_DONE;
  }
  return result;
}

}  // namespace

extern "C" {

ZORV_EXPORT void kavalin_account_mapped_hook_register(
    const char *name, kavalin_account_mapped_hook_func_t func, void *closure) {
  hook_push(nh_kavalin_account_mapped_list, account_mapped_proto, name, func,
            closure);
}

ZORV_EXPORT zorv_hook_return_t kavalin_account_mapped_hook_invoke(
    int64_t account_id, int cluster_id) {
  return hook_walk(nh_kavalin_account_mapped_list, account_id, cluster_id);
}

ZORV_EXPORT zorv_boolean kavalin_account_mapped_hook_exists(void) {
  return nh_kavalin_account_mapped_list.load(std::memory_order_acquire) !=
         nullptr;
}

ZORV_EXPORT const char *kavalin_account_mapped_hook_proto(void) {
  return account_mapped_proto;
}

ZORV_EXPORT void kavalin_cluster_changed_hook_register(
    const char *name, kavalin_cluster_changed_hook_func_t func,
    void *closure) {
  hook_push(nh_kavalin_cluster_changed_list, cluster_changed_proto, name, func,
            closure);
}

ZORV_EXPORT zorv_hook_return_t kavalin_cluster_changed_hook_invoke(
    int cluster_id) {
  return hook_walk(nh_kavalin_cluster_changed_list, cluster_id);
}

ZORV_EXPORT zorv_boolean kavalin_cluster_changed_hook_exists(void) {
  return nh_kavalin_cluster_changed_list.load(std::memory_order_acquire) !=
         nullptr;
}

ZORV_EXPORT const char *kavalin_cluster_changed_hook_proto(void) {
  return cluster_changed_proto;
}

}  // extern "C"
