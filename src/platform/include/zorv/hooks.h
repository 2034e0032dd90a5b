/* Hook results shared by every hook family of the host and of the modules. */
#ifndef ZORV_HOOKS_H
#define ZORV_HOOKS_H

#include "zorv/defs.h"

typedef enum {
  ZORV_HOOK_CONTINUE = 0, /* not handled here; go on with the next callback */
  ZORV_HOOK_DONE = 1,     /* handled; the remaining callbacks still run */
  ZORV_HOOK_ABORT = 2     /* stop the walk at once */
} zorv_hook_return_t;

#endif
