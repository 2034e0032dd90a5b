// JSON: strict parsing with json-c's error codes and texts, building
// values, compact output, and ownership of added values.

#include "zorv/json.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <string>

namespace {

struct Parsed {
  zorv_json_object *obj;
  zorv_json_tokener_error err;
};

Parsed parse(const char *text) {
  Parsed p{nullptr, -1};
  p.obj = zorv_json_tokener_parse(text, &p.err);
  return p;
}

TEST(JsonParse, AcceptsOneCompleteValueWithSurroundingWhiteSpace) {
  for (const char *text : {"{\"a\":[1,2.5,\"x\",true,null]}", "  [1,2]\n", "42", "\"s\"\t\r\n"}) {
    Parsed p = parse(text);
    ASSERT_NE(p.obj, nullptr) << text;
    EXPECT_EQ(p.err, zorv_json_tokener_success) << text;
    zorv_json_object_put(p.obj);
  }
  // The JSON value null is json-c's NULL object, with success.
  Parsed p = parse(" null ");
  EXPECT_EQ(p.obj, nullptr);
  EXPECT_EQ(p.err, zorv_json_tokener_success);
}

TEST(JsonParse, RejectsTrailingDataInsteadOfIgnoringIt) {
  for (const char *text : {"{\"a\":1}x", "{} {}", "[1] ,", "12a", "null x", "true false"}) {
    Parsed p = parse(text);
    EXPECT_EQ(p.obj, nullptr) << text;
    EXPECT_EQ(p.err, json_tokener_error_parse_unexpected) << text;
  }
}

TEST(JsonParse, IncompleteTextIsAnEndOfDataError) {
  for (const char *text : {"", "   ", "{\"a\":", "[1,2", "\"open", "tru"}) {
    Parsed p = parse(text);
    EXPECT_EQ(p.obj, nullptr) << text;
    EXPECT_EQ(p.err, json_tokener_error_parse_eof) << text;
  }
  Parsed p{nullptr, -1};
  EXPECT_EQ(zorv_json_tokener_parse(nullptr, &p.err), nullptr);
  EXPECT_EQ(p.err, json_tokener_error_parse_eof);
}

TEST(JsonParse, TrailingCommasAndSingleQuotesAreNotJson) {
  for (const char *text : {"[1,]", "{\"a\":1,}", "'x'"}) {
    Parsed p = parse(text);
    EXPECT_EQ(p.obj, nullptr) << text;
    EXPECT_NE(p.err, zorv_json_tokener_success) << text;
  }
}

TEST(JsonParse, ErrorTextsAreJsonCsOwnForEveryCode) {
  ASSERT_EQ(zorv_json_tokener_error_count, json_tokener_error_size + 1);
  for (int code = 0; code < zorv_json_tokener_error_count; ++code)
    EXPECT_STREQ(zorv_json_tokener_errors[code],
                 json_tokener_error_desc(static_cast<json_tokener_error>(code)));
  Parsed p = parse("[1,2");
  EXPECT_STREQ(zorv_json_tokener_errors[p.err], "unexpected end of data");
  // The error pointer is optional.
  EXPECT_EQ(zorv_json_tokener_parse("{", nullptr), nullptr);
}

TEST(JsonParse, DepthBeyondTheTokenizersLimitIsReported) {
  std::string deep(200, '[');
  deep += std::string(200, ']');
  Parsed p = parse(deep.c_str());
  EXPECT_EQ(p.obj, nullptr);
  EXPECT_EQ(p.err, json_tokener_error_depth);
}

TEST(JsonBuild, ObjectsArraysAndScalarsRoundTripCompactly) {
  zorv_json_object *root = zorv_json_object_new_object();
  zorv_json_object *tags = zorv_json_object_new_array();
  EXPECT_EQ(zorv_json_object_array_add(tags, zorv_json_object_new_string("env:prod")), 0);
  EXPECT_EQ(zorv_json_object_array_add(tags, zorv_json_object_new_string_len("dc:eu-west", 5)), 0);
  zorv_json_object_object_add(root, "tags", tags);
  zorv_json_object_object_add(root, "url", zorv_json_object_new_string("http://h:1/a"));
  zorv_json_object_object_add(root, "gen", zorv_json_object_new_uint64(18446744073709551615ull));
  zorv_json_object_object_add(root, "n", zorv_json_object_new_int64(-7));
  zorv_json_object_object_add(root, "ok", zorv_json_object_new_boolean(true));
  zorv_json_object_object_add(root, "x", zorv_json_object_new_double(0.5));

  std::string text = zorv_json_object_to_json_string(root);
  EXPECT_EQ(text,
            "{\"tags\":[\"env:prod\",\"dc:eu\"],\"url\":\"http://h:1/a\","
            "\"gen\":18446744073709551615,\"n\":-7,\"ok\":true,\"x\":0.5}");

  Parsed p = parse(text.c_str());
  ASSERT_NE(p.obj, nullptr);
  zorv_json_object *v = nullptr;
  ASSERT_TRUE(zorv_json_object_object_get_ex(p.obj, "tags", &v));
  EXPECT_EQ(zorv_json_object_get_type(v), zorv_json_type_array);
  ASSERT_EQ(zorv_json_object_array_length(v), 2u);
  EXPECT_STREQ(zorv_json_object_get_string(zorv_json_object_array_get_idx(v, 1)), "dc:eu");
  EXPECT_EQ(zorv_json_object_array_get_idx(v, 2), nullptr);
  ASSERT_TRUE(zorv_json_object_object_get_ex(p.obj, "n", &v));
  EXPECT_EQ(zorv_json_object_get_type(v), zorv_json_type_int);
  EXPECT_EQ(zorv_json_object_get_int64(v), -7);
  ASSERT_TRUE(zorv_json_object_object_get_ex(p.obj, "ok", &v));
  EXPECT_TRUE(zorv_json_object_get_boolean(v));
  ASSERT_TRUE(zorv_json_object_object_get_ex(p.obj, "x", &v));
  EXPECT_EQ(zorv_json_object_get_type(v), zorv_json_type_double);
  EXPECT_FALSE(zorv_json_object_object_get_ex(p.obj, "missing", &v));
  zorv_json_object_put(p.obj);
  zorv_json_object_put(root);
}

TEST(JsonBuild, FixedDecimalsAreWrittenAsGiven) {
  zorv_json_object *arr = zorv_json_object_new_array();
  zorv_json_object_array_add(arr, zorv_json_object_new_double_fixed(0.812196, 3));
  zorv_json_object_array_add(arr, zorv_json_object_new_double_fixed(2.0, 0));
  zorv_json_object_array_add(arr, zorv_json_object_new_double_fixed(1.5, 42));
  EXPECT_STREQ("[0.812,2,1.500000000]", zorv_json_object_to_json_string(arr));
  zorv_json_object_put(arr);
}

TEST(JsonBuild, AddingToANonObjectReleasesTheValue) {
  // The caller gave the value away; nothing may leak (LeakSanitizer checks).
  zorv_json_object *arr = zorv_json_object_new_array();
  zorv_json_object_object_add(arr, "k", zorv_json_object_new_string("lost?"));
  zorv_json_object_object_add(nullptr, "k", zorv_json_object_new_string("lost?"));
  EXPECT_EQ(zorv_json_object_array_length(arr), 0u);
  zorv_json_object *obj = zorv_json_object_new_object();
  EXPECT_EQ(zorv_json_object_array_add(obj, zorv_json_object_new_string("lost?")), -1);
  zorv_json_object *v = nullptr;
  EXPECT_FALSE(zorv_json_object_object_get_ex(arr, "k", &v));
  zorv_json_object_put(obj);
  zorv_json_object_put(arr);
}

TEST(JsonBuild, ReferenceCountsKeepSharedValuesAlive) {
  zorv_json_object *shared = zorv_json_object_new_string("s");
  zorv_json_object *a = zorv_json_object_new_array();
  zorv_json_object_array_add(a, zorv_json_object_get(shared));
  zorv_json_object_put(a);  // drops the array's reference only
  EXPECT_STREQ(zorv_json_object_get_string(shared), "s");
  zorv_json_object_put(shared);
}

}  // namespace
