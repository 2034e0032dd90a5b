// UUIDs on libuuid, and the local node's identity from the configuration.
#include "zorv/uuid.h"

#include <stdlib.h>
#include <string.h>

#include "zorv/conf.h"

namespace {

inline int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

extern "C" {

int zorv_uuid_parse(const char *in, uuid_t uu) {
  // Either letter case, the 8-4-4-4-12 shape and nothing after it. Parsed
  // here rather than by libuuid, whose strtoul per group made this a
  // noticeable share of storing a check.
  if (!in) return -1;
  unsigned char out[16];
  int n = 0;
  for (int i = 0; i < ZORV_UUID_STR_LEN; i += 2) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (in[i] != '-') return -1;
      ++i;
    }
    const int hi = hex_value(in[i]);
    if (hi < 0) return -1;
    const int lo = hex_value(in[i + 1]);  // in[i] was no NUL: in[i + 1] exists
    if (lo < 0) return -1;
    out[n++] = static_cast<unsigned char>(hi << 4 | lo);
  }
  if (in[ZORV_UUID_STR_LEN] != '\0') return -1;
  memcpy(uu, out, sizeof out);
  return 0;
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
