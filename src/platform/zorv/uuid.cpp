// UUIDs on libuuid, and the local node's identity from the configuration.
#include "zorv/uuid.h"

#include <stdlib.h>
#include <string.h>

#include "zorv/conf.h"

extern "C" {

int zorv_uuid_parse(const char *in, uuid_t uu) {
  // libuuid takes either letter case and insists on the 8-4-4-4-12 shape;
  // the length check keeps a longer text from passing on its first 36 bytes.
  if (!in || strlen(in) != ZORV_UUID_STR_LEN) return -1;
  return uuid_parse(in, uu) == 0 ? 0 : -1;
}

void zorv_uuid_unparse_lower(const uuid_t uu, char *out) { uuid_unparse_lower(uu, out); }

void zorv_uuid_generate(uuid_t uu) { uuid_generate(uu); }

zorv_boolean zorv_uuid_is_null(const uuid_t uu) { return uuid_is_null(uu) != 0; }

void zorv_cluster_get_self(uuid_t out) {
  uuid_clear(out);
  char *text = nullptr;
  if (!zorv_conf_get_string(ZORV_CONF_ROOT, "//clusters/@my_id", &text)) return;
  uuid_t parsed;
  if (zorv_uuid_parse(text, parsed) == 0) uuid_copy(out, parsed);
  free(text);
}

}  // extern "C"
