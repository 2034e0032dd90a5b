/* Generic modules: the descriptor a module exports under its own name, and
 * the post-initialisation hook list the host runs once every module's init
 * has returned. */
#ifndef ZORV_DSO_H
#define ZORV_DSO_H

#include "zorv/defs.h"
#include "zorv/hash.h"
#include "zorv/hooks.h"

ZORV_EXTERN_C_BEGIN

#define ZORV_DSO_MAGIC 0x3FD892A0u
#define ZORV_DSO_GENERIC_VERSION 2u

typedef struct zorv_dso_generic zorv_dso_generic_t;
/* A module image is its descriptor; onload receives it before config. */
typedef zorv_dso_generic_t zorv_image_t;

struct zorv_dso_generic {
  uint32_t magic;   /* ZORV_DSO_MAGIC */
  uint32_t version; /* ZORV_DSO_GENERIC_VERSION */
  const char *name;
  const char *description;
  const char *xml_description;
  int (*onload)(zorv_image_t *self);
  /* options: string keys to string values (both NUL-terminated; the key
   * length stored is strlen(key)). The table belongs to the host. */
  int (*config)(zorv_dso_generic_t *self, zorv_hash_table *options);
  int (*init)(zorv_dso_generic_t *self);
};

typedef zorv_hook_return_t (*zorv_dso_post_init_func)(void *closure);

/* Registers fn to run once after every module has been initialised. Hooks
 * run in registration order; a hook registered while the list runs (from a
 * post-init hook) still runs in the same pass. */
void dso_post_init_hook_register(const char *name, zorv_dso_post_init_func fn,
                                 void *closure);

ZORV_EXTERN_C_END

#endif
