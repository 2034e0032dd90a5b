/* JSON values (json-c underneath). Values are reference counted: an object
 * added to an array or object is owned by it, and zorv_json_object_put
 * releases a value with everything it owns. */
#ifndef ZORV_JSON_H
#define ZORV_JSON_H

#include "zorv/defs.h"

ZORV_EXTERN_C_BEGIN

typedef struct json_object zorv_json_object;

typedef enum {
  zorv_json_type_null = 0,
  zorv_json_type_boolean,
  zorv_json_type_double,
  zorv_json_type_int,
  zorv_json_type_object,
  zorv_json_type_array,
  zorv_json_type_string
} zorv_json_type;

/* The tokenizer's error codes; zorv_json_tokener_errors[code] describes each.
 * zorv_json_tokener_success is 0. */
typedef int zorv_json_tokener_error;
#define zorv_json_tokener_success 0
extern const char *const zorv_json_tokener_errors[];
extern const int zorv_json_tokener_error_count;

zorv_json_object *zorv_json_object_new_object(void);
zorv_json_object *zorv_json_object_new_array(void);
zorv_json_object *zorv_json_object_new_string(const char *s);
zorv_json_object *zorv_json_object_new_string_len(const char *s, int len);
zorv_json_object *zorv_json_object_new_int64(int64_t v);
zorv_json_object *zorv_json_object_new_uint64(uint64_t v);
zorv_json_object *zorv_json_object_new_double(double v);
/* A number written with exactly `decimals` digits after the point (0 to 9),
 * for values people read: 0.812 rather than 0.81219600000000003. */
zorv_json_object *zorv_json_object_new_double_fixed(double v, int decimals);
zorv_json_object *zorv_json_object_new_boolean(zorv_boolean v);

/* Takes ownership of value. */
void zorv_json_object_object_add(zorv_json_object *obj, const char *key,
                                 zorv_json_object *value);
zorv_boolean zorv_json_object_object_get_ex(zorv_json_object *obj,
                                            const char *key,
                                            zorv_json_object **value);
int zorv_json_object_array_add(zorv_json_object *arr,
                               zorv_json_object *value);
size_t zorv_json_object_array_length(zorv_json_object *arr);
zorv_json_object *zorv_json_object_array_get_idx(zorv_json_object *arr,
                                                 size_t idx);

zorv_json_type zorv_json_object_get_type(zorv_json_object *obj);
const char *zorv_json_object_get_string(zorv_json_object *obj);
int64_t zorv_json_object_get_int64(zorv_json_object *obj);
zorv_boolean zorv_json_object_get_boolean(zorv_json_object *obj);

/* Compact text; owned by obj, valid until obj changes or is released. */
const char *zorv_json_object_to_json_string(zorv_json_object *obj);

zorv_json_object *zorv_json_object_get(zorv_json_object *obj);
void zorv_json_object_put(zorv_json_object *obj);

/* Parses one complete JSON value (trailing bytes other than white space are
 * an error). On failure NULL, and *err (when given) receives the code. */
zorv_json_object *zorv_json_tokener_parse(const char *text,
                                          zorv_json_tokener_error *err);

ZORV_EXTERN_C_END

#endif
