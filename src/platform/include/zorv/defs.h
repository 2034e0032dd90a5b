/* Common definitions of the zorv host framework: C linkage, export marks and
 * the few scalar types every other header uses. */
#ifndef ZORV_DEFS_H
#define ZORV_DEFS_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define ZORV_EXTERN_C_BEGIN extern "C" {
#define ZORV_EXTERN_C_END }
#else
#define ZORV_EXTERN_C_BEGIN
#define ZORV_EXTERN_C_END
#endif

/* Modules are built with hidden visibility; the few symbols a module offers
 * to the host or to other modules carry this mark. */
#define ZORV_EXPORT __attribute__((visibility("default")))

#define ZORV_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))

typedef bool zorv_boolean;

#endif
