/* Growable byte buffers. The bytes in use start at data(); after init,
 * reset, add and add_printf the byte just past them is NUL, so a buffer of
 * text always reads as a C string (empty right after init). */
#ifndef ZORV_BUFFER_H
#define ZORV_BUFFER_H

#include "zorv/defs.h"

ZORV_EXTERN_C_BEGIN

#define ZORV_DYN_BUFFER_INLINE 64

typedef struct zorv_dyn_buffer {
  char *data;   /* inline storage until it outgrows it, then heap */
  size_t size;  /* capacity of data */
  size_t used;  /* bytes in use */
  char inline_storage[ZORV_DYN_BUFFER_INLINE];
} zorv_dyn_buffer_t;

void zorv_dyn_buffer_init(zorv_dyn_buffer_t *buf);
/* Appends len bytes. */
void zorv_dyn_buffer_add(zorv_dyn_buffer_t *buf, const void *bytes,
                         size_t len);
void zorv_dyn_buffer_add_printf(zorv_dyn_buffer_t *buf, const char *format,
                                ...) ZORV_PRINTF_LIKE(2, 3);
/* Makes room for at least len more bytes after those in use. */
void zorv_dyn_buffer_ensure(zorv_dyn_buffer_t *buf, size_t len);
char *zorv_dyn_buffer_data(zorv_dyn_buffer_t *buf);
size_t zorv_dyn_buffer_used(const zorv_dyn_buffer_t *buf);
/* Where the next byte goes; with ensure and advance, a caller can fill the
 * buffer in place. */
char *zorv_dyn_buffer_write_pointer(zorv_dyn_buffer_t *buf);
void zorv_dyn_buffer_advance(zorv_dyn_buffer_t *buf, size_t len);
/* Empties the buffer; its capacity stays. */
void zorv_dyn_buffer_reset(zorv_dyn_buffer_t *buf);
/* Frees heap storage; the buffer is then as after init. */
void zorv_dyn_buffer_destroy(zorv_dyn_buffer_t *buf);

ZORV_EXTERN_C_END

#endif
