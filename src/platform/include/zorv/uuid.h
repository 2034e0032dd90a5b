/* UUIDs (libuuid underneath): 16 raw bytes, 36-character text. */
#ifndef ZORV_UUID_H
#define ZORV_UUID_H

#include <uuid/uuid.h>

#include "zorv/defs.h"

ZORV_EXTERN_C_BEGIN

#define ZORV_UUID_STR_LEN 36

/* 0 on success (either letter case), -1 when in is not a UUID text. */
int zorv_uuid_parse(const char *in, uuid_t uu);
/* Writes 36 lower-case characters and a NUL (37 bytes). */
void zorv_uuid_unparse_lower(const uuid_t uu, char *out);
void zorv_uuid_generate(uuid_t uu);
zorv_boolean zorv_uuid_is_null(const uuid_t uu);

/* The local node's identity: //clusters/@my_id of the configuration, all
 * zero when absent or not a UUID. */
void zorv_cluster_get_self(uuid_t out);

ZORV_EXTERN_C_END

#endif
