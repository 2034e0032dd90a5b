/* Metric tagsets and the fixup hook through which modules complete them. */
#ifndef QUIB_TAGSET_H
#define QUIB_TAGSET_H

#include "zorv/defs.h"
#include "zorv/hooks.h"

ZORV_EXTERN_C_BEGIN

#define QUIB_METRIC_MAX_TAGS 256

typedef enum {
  QUIB_METRIC_TAGSET_CHECK = 1,
  QUIB_METRIC_TAGSET_STREAM = 2,
  QUIB_METRIC_TAGSET_MEASUREMENT = 3
} quib_metric_tagset_class_t;

typedef struct {
  uint16_t total_size;   /* bytes of the whole tag text */
  uint8_t category_size; /* bytes of the category, colon included */
  const char *tag;       /* "category:value"; not NUL-terminated in general */
} quib_metric_tag_t;

typedef struct {
  quib_metric_tag_t *tags; /* room for QUIB_METRIC_MAX_TAGS entries */
  int tag_count;
  int canonical_size;
} quib_metric_tagset_t;

typedef zorv_hook_return_t (*quib_metric_tagset_fixup_func)(
    void *closure, quib_metric_tagset_class_t cls,
    quib_metric_tagset_t *tagset);

/* Registers fn; callbacks run in registration order. */
void quib_metric_tagset_fixup_hook_register(const char *name,
                                            quib_metric_tagset_fixup_func fn,
                                            void *closure);
/* Runs every fixup callback, in registration order, until one aborts; ABORT
 * when one aborted (tags appended before it stay), else DONE when any
 * answered DONE, else CONTINUE. Takes no lock: callbacks registered while it
 * runs may or may not be called by that run. */
zorv_hook_return_t quib_metric_tagset_fixup_hook_invoke(
    quib_metric_tagset_class_t cls, quib_metric_tagset_t *tagset);

/* Fills tag from a "category:value" text of len bytes (the category ends at
 * the first colon; no colon makes the whole text the category). 0 on
 * success, -1 when len does not fit 16 bits or the category 8 bits. */
int quib_metric_tag_set(quib_metric_tag_t *tag, const char *text, size_t len);
/* Recomputes canonical_size: the bytes of the tags joined by commas. */
void quib_metric_tagset_canonicalize(quib_metric_tagset_t *tagset);

ZORV_EXTERN_C_END

#endif
