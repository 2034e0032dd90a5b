// The event-processing layer's routing-key update hook.
#include "quib/iep.h"

#include "hook_list.h"

namespace {

quib::HookList<iep_routingkey_update_func> &updates() {
  static auto *list = new quib::HookList<iep_routingkey_update_func>;
  return *list;
}

}  // namespace

extern "C" {

void iep_routingkey_update_hook_register(const char *name,
                                         iep_routingkey_update_func fn,
                                         void *closure) {
  if (fn) updates().add(name, fn, closure);
}

zorv_hook_return_t iep_routingkey_update_hook_invoke(
    const char *payload, size_t payload_len, const char *routingprefix,
    char *routingkey, size_t rlen) {
  zorv_hook_return_t result = ZORV_HOOK_CONTINUE;
  updates().walk([&](const auto &e) {
    zorv_hook_return_t r =
        e.fn(e.closure, payload, payload_len, routingprefix, routingkey, rlen);
    if (r == ZORV_HOOK_ABORT) {
      result = ZORV_HOOK_ABORT;
      return false;
    }
    if (r == ZORV_HOOK_DONE) result = ZORV_HOOK_DONE;
    return true;
  });
  return result;
}

}  // extern "C"
