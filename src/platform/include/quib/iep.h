/* The event-processing layer's routing-key update hook: before a message is
 * routed, each callback may write a replacement routing key. */
#ifndef QUIB_IEP_H
#define QUIB_IEP_H

#include "zorv/defs.h"
#include "zorv/hooks.h"

ZORV_EXTERN_C_BEGIN

/* payload: payload_len bytes, not NUL-terminated in general. routingkey: a
 * buffer of rlen bytes for the new key (terminator included). A callback that
 * wrote a new key returns ZORV_HOOK_DONE. */
typedef zorv_hook_return_t (*iep_routingkey_update_func)(
    void *closure, const char *payload, size_t payload_len,
    const char *routingprefix, char *routingkey, size_t rlen);

void iep_routingkey_update_hook_register(const char *name,
                                         iep_routingkey_update_func fn,
                                         void *closure);
/* Runs the callbacks in registration order until one aborts; DONE when any
 * wrote a key (the last key written stands), ABORT when one aborted (keys
 * written before it stay in the buffer), else CONTINUE. */
zorv_hook_return_t iep_routingkey_update_hook_invoke(
    const char *payload, size_t payload_len, const char *routingprefix,
    char *routingkey, size_t rlen);

ZORV_EXTERN_C_END

#endif
