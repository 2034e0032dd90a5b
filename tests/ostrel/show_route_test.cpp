/* The show route over the host's HTTPS listener, in this process: the route
 * that ostrel_init registers, client-certificate authorisation, and the
 * JSON answers for stored, unknown and upper-case checks. */
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <string>

#include "https_client.h"
#include "modules/ostrel/internal.h"
#include "store_put.h"
#include "zorv/host.h"
#include "zorv/json.h"

namespace {

std::string g_dir;
int g_port = -1;

using https_test::Reply;
using https_test::run;

Reply get(const std::string &path, bool with_cert = true) {
  Reply r = https_test::request(g_dir, g_port, path, with_cert);
  EXPECT_EQ(r.error, "");
  return r;
}

/* The "tags" array of a show answer, as a set (the order is the store's). */
std::multiset<std::string> tags_of(const std::string &body) {
  std::multiset<std::string> out;
  zorv_json_object *doc = zorv_json_tokener_parse(body.c_str(), nullptr);
  EXPECT_NE(doc, nullptr) << body;
  if (!doc) return out;
  zorv_json_object *arr = nullptr;
  EXPECT_TRUE(zorv_json_object_object_get_ex(doc, "tags", &arr));
  if (arr) {
    for (size_t i = 0; i < zorv_json_object_array_length(arr); i++) {
      out.insert(zorv_json_object_get_string(
          zorv_json_object_array_get_idx(arr, i)));
    }
  }
  zorv_json_object_put(doc);
  return out;
}

class ShowRouteTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/ostrel-show-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    g_dir = tmpl;
    ASSERT_TRUE(https_test::make_certs(g_dir)) << "openssl failed in " << g_dir;
    ostrel_config(&ostrel, nullptr);
    ostrel_init(&ostrel);
    char *err = nullptr;
    g_port = zorv_http_listen("127.0.0.1", 0, (g_dir + "/server.pem").c_str(),
                              (g_dir + "/server.key").c_str(),
                              (g_dir + "/ca.pem").c_str(), &err);
    ASSERT_GT(g_port, 0) << (err ? err : "");
  }
  static void TearDownTestSuite() {
    zorv_http_stop_listeners();
    run("rm -rf " + g_dir);
  }
};

TEST_F(ShowRouteTest, StoredUnknownAndUpperCaseChecks) {
  const char *lower = "a1b2c3d4-0000-4000-8000-00000000abcd";
  const char *upper = "A1B2C3D4-0000-4000-8000-00000000ABCD";
  put(lower, "env:prod", 1);
  put(lower, "team:ops", 1);
  put(lower, "gone:yes", 1, true);
  put(lower, "quote:\"x\"\\y", 1);

  Reply r = get(std::string("/module/ostrel/show/") + lower + ".json");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.content_type, "application/json");
  ASSERT_FALSE(r.body.empty());
  EXPECT_EQ(r.body.back(), '\n');
  EXPECT_EQ(tags_of(r.body), (std::multiset<std::string>{
                                 "env:prod", "team:ops", "quote:\"x\"\\y"}));

  r = get("/module/ostrel/show/a1b2c3d4-0000-4000-8000-0000000fffff.json");
  EXPECT_EQ(r.status, 200);
  EXPECT_TRUE(tags_of(r.body).empty());
  EXPECT_NE(r.body.find("\"tags\""), std::string::npos);

  // Upper case matches the route but the store keys on the text as stored.
  r = get(std::string("/module/ostrel/show/") + upper + ".json");
  EXPECT_EQ(r.status, 200);
  EXPECT_TRUE(tags_of(r.body).empty());
  put(upper, "case:upper", 1);
  r = get(std::string("/module/ostrel/show/") + upper + ".json");
  EXPECT_EQ(tags_of(r.body), std::multiset<std::string>{"case:upper"});
}

TEST_F(ShowRouteTest, RouteNeedsClientCertificateAndAUuid) {
  const std::string path =
      "/module/ostrel/show/a1b2c3d4-0000-4000-8000-00000000abcd.json";
  EXPECT_EQ(get(path, false).status, 403);
  EXPECT_NE(get("/module/ostrel/show/a1b2c3d4-0000-4000-8000.json").status,
            200);
  EXPECT_NE(get("/module/ostrel/show/a1b2c3d4-0000-4000-8000-00000000abcd.js")
                .status,
            200);
}

}  // namespace
