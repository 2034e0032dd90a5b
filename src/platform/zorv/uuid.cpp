// UUIDs on libuuid, and the local node's identity from the configuration.
#include "zorv/uuid.h"

#include <stdlib.h>
#include <string.h>

#include "zorv/conf.h"

namespace {

// Each byte's value as a hex digit, or 0x10 for any other byte: a table
// rather than range tests, because the digits of random UUIDs switch
// between numbers and letters unpredictably and every mispredicted branch
// cost more than the lookup.
constexpr struct HexTable {
  unsigned char v[256];
  constexpr HexTable() : v() {
    for (int c = 0; c < 256; ++c)
      v[c] = c >= '0' && c <= '9'   ? c - '0'
             : c >= 'a' && c <= 'f' ? c - 'a' + 10
             : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                    : 0x10;
  }
} kHex;

inline unsigned hex_value(char c) { return kHex.v[static_cast<unsigned char>(c)]; }

}  // namespace

extern "C" {

int zorv_uuid_parse(const char *in, uuid_t uu) {
  // Either letter case, the 8-4-4-4-12 shape and nothing after it. Parsed
  // here rather than by libuuid, whose strtoul per group made this a
  // noticeable share of storing a check.
  if (!in) return -1;
  // Bytes are read in order and the parse stops at the first that fails,
  // so a shorter NUL-terminated text is never read past its NUL (which is
  // neither a digit nor a '-').
  unsigned char out[16];
  const char *p = in;
  for (int n = 0; n < 16; ++n) {
    const unsigned hi = hex_value(p[0]);
    if (hi > 0xf) return -1;
    const unsigned lo = hex_value(p[1]);
    if (lo > 0xf) return -1;
    out[n] = static_cast<unsigned char>(hi << 4 | lo);
    p += 2;
    if (n == 3 || n == 5 || n == 7 || n == 9) {
      if (*p != '-') return -1;
      ++p;
    }
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
