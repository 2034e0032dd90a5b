/* The one kavalin symbol ostrel's code imports; the decoders never use it,
 * but the module's registration code (linked in beside them) names it. */
#include "modules/kavalin/kavalin.h"

extern "C" void kavalin_cluster_changed_hook_register(
    const char *, kavalin_cluster_changed_hook_func_t, void *) {}
