// JSON values on json-c. The zorv_json_object type is json-c's own object,
// so values pass between the two without conversion.
//
// Parsing is strict: one complete JSON value, optionally surrounded by white
// space. json-c's default mode is lenient (trailing commas, and anything
// after the first value is silently ignored), which would let a truncated
// or concatenated document through as if it were whole.

#include "zorv/json.h"

#include <json-c/json.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

// json-c's own texts, indexed by its error codes (0.16's full list).
const char *const zorv_json_tokener_errors[] = {
    json_tokener_error_desc(json_tokener_success),
    json_tokener_error_desc(json_tokener_continue),
    json_tokener_error_desc(json_tokener_error_depth),
    json_tokener_error_desc(json_tokener_error_parse_eof),
    json_tokener_error_desc(json_tokener_error_parse_unexpected),
    json_tokener_error_desc(json_tokener_error_parse_null),
    json_tokener_error_desc(json_tokener_error_parse_boolean),
    json_tokener_error_desc(json_tokener_error_parse_number),
    json_tokener_error_desc(json_tokener_error_parse_array),
    json_tokener_error_desc(json_tokener_error_parse_object_key_name),
    json_tokener_error_desc(json_tokener_error_parse_object_key_sep),
    json_tokener_error_desc(json_tokener_error_parse_object_value_sep),
    json_tokener_error_desc(json_tokener_error_parse_string),
    json_tokener_error_desc(json_tokener_error_parse_comment),
    json_tokener_error_desc(json_tokener_error_parse_utf8_string),
    json_tokener_error_desc(json_tokener_error_size),
};
const int zorv_json_tokener_error_count =
    static_cast<int>(sizeof zorv_json_tokener_errors / sizeof zorv_json_tokener_errors[0]);
static_assert(json_tokener_error_size == 15, "json-c's error list changed");

namespace {

struct TokenerDeleter {
  void operator()(json_tokener *tok) const { json_tokener_free(tok); }
};

bool only_white_space(const char *p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != ' ' && p[i] != '\t' && p[i] != '\n' && p[i] != '\r') return false;
  }
  return true;
}

zorv_json_object *parse_failed(zorv_json_tokener_error *err, int code) {
  if (err != nullptr) *err = code;
  return nullptr;
}

}  // namespace

extern "C" {

zorv_json_object *zorv_json_object_new_object(void) { return json_object_new_object(); }
zorv_json_object *zorv_json_object_new_array(void) { return json_object_new_array(); }
zorv_json_object *zorv_json_object_new_string(const char *s) {
  return json_object_new_string(s != nullptr ? s : "");
}
zorv_json_object *zorv_json_object_new_string_len(const char *s, int len) {
  if (s == nullptr || len < 0) return nullptr;
  return json_object_new_string_len(s, len);
}
zorv_json_object *zorv_json_object_new_int64(int64_t v) { return json_object_new_int64(v); }
zorv_json_object *zorv_json_object_new_uint64(uint64_t v) { return json_object_new_uint64(v); }
zorv_json_object *zorv_json_object_new_double(double v) { return json_object_new_double(v); }

zorv_json_object *zorv_json_object_new_double_fixed(double v, int decimals) {
  if (decimals < 0) decimals = 0;
  if (decimals > 9) decimals = 9;
  // json-c writes the text given beside the value as it stands; a value
  // without a finite text (NaN, infinity) keeps json-c's own rendering.
  if (!std::isfinite(v)) return json_object_new_double(v);
  char text[64];
  snprintf(text, sizeof text, "%.*f", decimals, v);
  return json_object_new_double_s(v, text);
}
zorv_json_object *zorv_json_object_new_boolean(zorv_boolean v) {
  return json_object_new_boolean(v ? 1 : 0);
}

void zorv_json_object_object_add(zorv_json_object *obj, const char *key,
                                 zorv_json_object *value) {
  // json-c asserts on a non-object; refuse it here instead, and release the
  // value we were given ownership of so that it does not leak.
  if (!json_object_is_type(obj, json_type_object) || key == nullptr ||
      json_object_object_add(obj, key, value) != 0)
    json_object_put(value);
}

zorv_boolean zorv_json_object_object_get_ex(zorv_json_object *obj,
                                            const char *key,
                                            zorv_json_object **value) {
  if (!json_object_is_type(obj, json_type_object) || key == nullptr) return false;
  return json_object_object_get_ex(obj, key, value) != 0;
}

int zorv_json_object_array_add(zorv_json_object *arr, zorv_json_object *value) {
  if (!json_object_is_type(arr, json_type_array)) {
    json_object_put(value);
    return -1;
  }
  return json_object_array_add(arr, value);
}

size_t zorv_json_object_array_length(zorv_json_object *arr) {
  return json_object_is_type(arr, json_type_array) ? json_object_array_length(arr) : 0;
}

zorv_json_object *zorv_json_object_array_get_idx(zorv_json_object *arr, size_t idx) {
  if (!json_object_is_type(arr, json_type_array)) return nullptr;
  return json_object_array_get_idx(arr, idx);
}

zorv_json_type zorv_json_object_get_type(zorv_json_object *obj) {
  switch (json_object_get_type(obj)) {
    case json_type_null: return zorv_json_type_null;
    case json_type_boolean: return zorv_json_type_boolean;
    case json_type_double: return zorv_json_type_double;
    case json_type_int: return zorv_json_type_int;
    case json_type_object: return zorv_json_type_object;
    case json_type_array: return zorv_json_type_array;
    case json_type_string: return zorv_json_type_string;
  }
  return zorv_json_type_null;
}

const char *zorv_json_object_get_string(zorv_json_object *obj) {
  return json_object_get_string(obj);
}
int64_t zorv_json_object_get_int64(zorv_json_object *obj) { return json_object_get_int64(obj); }
zorv_boolean zorv_json_object_get_boolean(zorv_json_object *obj) {
  return json_object_get_boolean(obj) != 0;
}

const char *zorv_json_object_to_json_string(zorv_json_object *obj) {
  // Compact, and "/" left alone (json-c escapes it by default, which is
  // legal but makes every URL in a document harder to read).
  return json_object_to_json_string_ext(
      obj, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

zorv_json_object *zorv_json_object_get(zorv_json_object *obj) { return json_object_get(obj); }
void zorv_json_object_put(zorv_json_object *obj) { json_object_put(obj); }

zorv_json_object *zorv_json_tokener_parse(const char *text,
                                          zorv_json_tokener_error *err) {
  if (text == nullptr) return parse_failed(err, json_tokener_error_parse_eof);
  const size_t len = std::strlen(text);
  if (len >= static_cast<size_t>(INT_MAX)) return parse_failed(err, json_tokener_error_size);
  std::unique_ptr<json_tokener, TokenerDeleter> tok(json_tokener_new());
  if (!tok) return parse_failed(err, json_tokener_error_size);
  json_tokener_set_flags(tok.get(), JSON_TOKENER_STRICT);
  // The terminating NUL goes in too: it ends a number or literal at the end
  // of the text, which json-c would otherwise wait on as incomplete.
  json_object *obj = json_tokener_parse_ex(tok.get(), text, static_cast<int>(len) + 1);
  enum json_tokener_error code = json_tokener_get_error(tok.get());
  // A NULL object with success is the JSON value null itself.
  if (code != json_tokener_success) {
    // Still waiting for more text means the text ended too early.
    if (code == json_tokener_continue) code = json_tokener_error_parse_eof;
    json_object_put(obj);
    return parse_failed(err, code);
  }
  size_t end = json_tokener_get_parse_end(tok.get());
  if (end < len && !only_white_space(text + end, len - end)) {
    json_object_put(obj);
    return parse_failed(err, json_tokener_error_parse_unexpected);
  }
  if (err != nullptr) *err = json_tokener_success;
  return obj;
}

}  // extern "C"
