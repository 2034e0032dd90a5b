/* Threads. */
#ifndef ZORV_THREAD_H
#define ZORV_THREAD_H

#include "zorv/defs.h"

ZORV_EXTERN_C_BEGIN

/* Names the calling thread (visible in ps, gdb and /proc); names longer than
 * the system allows (15 bytes) are cut. */
void zorv_thread_setname(const char *name);
/* The calling thread's name as last set through zorv_thread_setname
 * (empty when never set). */
const char *zorv_thread_getname(void);

ZORV_EXTERN_C_END

#endif
