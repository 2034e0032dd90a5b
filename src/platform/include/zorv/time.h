/* Clocks. */
#ifndef ZORV_TIME_H
#define ZORV_TIME_H

#include "zorv/defs.h"

ZORV_EXTERN_C_BEGIN

/* Microseconds of the wall clock since the epoch. */
uint64_t zorv_now_us(void);
/* Microseconds of a monotonic clock (for measuring intervals). */
uint64_t zorv_now_mono_us(void);

ZORV_EXTERN_C_END

#endif
