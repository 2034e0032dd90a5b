/* Safe memory: deferred reclamation for lock-free readers (built on RCU).
 *
 * A reader brackets its use of shared pointers with zorv_memory_begin/end;
 * brackets nest. Memory given to zorv_memory_safe_free is freed only once
 * every bracket that was open at the time of the call has closed. Threads
 * are registered on their first bracket automatically and unregistered when
 * they end; zorv_memory_init_thread/fini_thread do it explicitly (every thread
 * the host starts calls them). */
#ifndef ZORV_MEMORY_H
#define ZORV_MEMORY_H

#include "zorv/defs.h"

ZORV_EXTERN_C_BEGIN

void zorv_memory_init_thread(void);
void zorv_memory_fini_thread(void);

void zorv_memory_begin(void);
void zorv_memory_end(void);

/* Plain heap memory that may later be handed to zorv_memory_safe_free. */
void *zorv_memory_safe_malloc(size_t size);
/* Frees p after every bracket open now has closed. NULL is ignored. */
void zorv_memory_safe_free(void *p);

/* Waits until every deferred free requested so far has run (shutdown and
 * tests). Must not be called inside a bracket. */
void zorv_memory_drain(void);

ZORV_EXTERN_C_END

#endif
