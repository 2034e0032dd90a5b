/* ostrel.so as the daemon loads it: kavalin.so first, then ostrel.so, both
 * through the host's module loader, then the post-initialisation hooks.
 * Registration, replacement and removal go through kavalin's real
 * cluster-changed hook (removal through kavalin's cluster update route);
 * the shared library's dynamic symbols are checked too. */
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <set>
#include <string>

#include "https_client.h"
#include "log_capture.h"
#include "quib/tag_search.h"
#include "zorv/conf.h"
#include "zorv/dso.h"
#include "zorv/hash.h"
#include "zorv/host.h"
#include "zorv/log.h"

namespace {

std::string lib_dir() {
  const char *b = getenv("ZORV_BUILD_DIR");
  return std::string(b ? b : ".") + "/lib";
}

std::set<std::string> defined_dynamic_symbols(const std::string &path) {
  std::set<std::string> out;
  FILE *p = popen(("nm -D --defined-only " + path + " 2>/dev/null").c_str(), "r");
  if (!p) return out;
  char line[512];
  while (fgets(line, sizeof(line), p)) {
    char addr[64], type[8], name[400];
    if (sscanf(line, "%63s %7s %399s", addr, type, name) == 3) out.insert(name);
  }
  pclose(p);
  return out;
}

TEST(OstrelSharedLibrary, ExportsExactlyItsThreeSymbols) {
  std::string so = lib_dir() + "/ostrel.so";
  auto syms = defined_dynamic_symbols(so);
  EXPECT_EQ(syms, (std::set<std::string>{"ostrel", "drask_check_tags_each_dyn",
                                         "drask_check_tags_generation_dyn"}));
  // The hook registration is left for the loader to bind to kavalin.so.
  FILE *p = popen(("nm -D --undefined-only " + so + " 2>/dev/null").c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string undefined;
  char line[512];
  while (fgets(line, sizeof(line), p)) undefined += line;
  pclose(p);
  EXPECT_NE(undefined.find("kavalin_cluster_changed_hook_register"),
            std::string::npos);
  EXPECT_EQ(undefined.find("kavalin_client_for_cluster_dyn_function"),
            std::string::npos);  // resolved by name at run time instead
}

class WithKavalin : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/ostrel-kavalin-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_TRUE(https_test::make_certs(dir_));
    conf_ = dir_ + "/wendrel.conf";
    std::ofstream(conf_) << "<wendrel>\n"
                            "  <drask timeout=\"2000\" connecttimeout=\"500\">\n"
                            "    <swimlane>\n"
                            "      <bootstrap cluster=\"1\" host=\"127.0.0.1:1\"/>\n"
                            "      <bootstrap cluster=\"2\" host=\"127.0.0.1:2\"/>\n"
                            "    </swimlane>\n"
                            "  </drask>\n"
                            "</wendrel>\n";
    char *err = nullptr;
    ASSERT_EQ(zorv_conf_load(conf_.c_str(), &err), 0) << (err ? err : "");
    port_ = zorv_http_listen("127.0.0.1", 0, (dir_ + "/server.pem").c_str(),
                             (dir_ + "/server.key").c_str(),
                             (dir_ + "/ca.pem").c_str(), &err);
    ASSERT_GT(port_, 0) << (err ? err : "");
  }
  static void TearDownTestSuite() {
    zorv_http_stop_listeners();
    https_test::run("rm -rf " + dir_);
  }
  static std::string dir_, conf_;
  static int port_;
};
std::string WithKavalin::dir_, WithKavalin::conf_;
int WithKavalin::port_ = -1;

TEST_F(WithKavalin, RecordsFollowKavalinsClusters) {
  LogCapture logs;
  // The host keeps a loaded module's options for good.
  static zorv_hash_table kav_opts, ost_opts;
  zorv_hash_init(&kav_opts);
  zorv_hash_init(&ost_opts);
  zorv_hash_store(&ost_opts, "subscriber", 10, const_cast<char *>("replica-a"));
  zorv_hash_store(&ost_opts, "update_interval", 15, const_cast<char *>("3"));

  // kavalin takes the metric library from the process, as in the daemon;
  // only a real call keeps it linked in where unused libraries are dropped.
  quib_metric_tag_search_ast_t *filter = quib_metric_tag_search_parse("a:b", nullptr);
  ASSERT_NE(filter, nullptr);
  quib_metric_tag_search_free(filter);

  char *err = nullptr;
  ASSERT_EQ(zorv_dso_load((lib_dir() + "/kavalin.so").c_str(), "kavalin",
                          &kav_opts, &err),
            0)
      << (err ? err : "");
  ASSERT_EQ(zorv_dso_load((lib_dir() + "/ostrel.so").c_str(), "ostrel",
                          &ost_opts, &err),
            0)
      << (err ? err : "");
  EXPECT_EQ(logs.count("notice/ostrel",
                       "Starting ostrel with update_interval=3\n"),
            1);

  zorv_dso_run_post_init();
  const std::string reg =
      "] registered new cluster for check tag replication with 0 nodes\n";
  EXPECT_EQ(logs.count("notice/ostrel", "[1" + reg), 1);
  EXPECT_EQ(logs.count("notice/ostrel", "[2" + reg), 1);

  // Replacement: kavalin announces cluster 1 again (as after a bootstrap
  // update); the old worker stops and hands over to the new record's.
  auto invoke = reinterpret_cast<zorv_hook_return_t (*)(int)>(
      dlsym(RTLD_DEFAULT, "kavalin_cluster_changed_hook_invoke"));
  ASSERT_NE(invoke, nullptr);
  invoke(1);
  EXPECT_EQ(logs.count("notice/ostrel",
                       "[1] Updated cluster for check tag replication with 0 "
                       "nodes\n"),
            1);
  EXPECT_TRUE(logs.wait_for("notice/ostrel",
                            "[1] ostrelate stopping against 1\n", 1));
  // The replacement gets a worker of its own once the old one has gone.
  // Replacing it again stops that worker; a replacement that comes before
  // the worker started finds a waiting record, which goes silently, so try
  // a few times.
  bool stopped_again = false;
  for (int i = 0; i < 20 && !stopped_again; i++) {
    invoke(1);
    stopped_again = logs.wait_for("notice/ostrel",
                                  "[1] ostrelate stopping against 1\n", 2,
                                  std::chrono::milliseconds(250));
  }
  EXPECT_TRUE(stopped_again);

  // Removal: every bootstrap host of cluster 2 taken away through
  // kavalin's cluster update route.
  std::string body = "<drask></drask>";
  auto r = https_test::request(dir_, port_, "/module/kavalin/cluster/2", true,
                               &body);
  EXPECT_EQ(r.error, "");
  EXPECT_LT(r.status, 300) << r.body;
  EXPECT_EQ(logs.count("error/ostrel",
                       "[2] unregistering cluster for check tag "
                       "replication.\n"),
            1);
  EXPECT_TRUE(logs.wait_for("notice/ostrel",
                            "[2] ostrelate stopping against 2\n", 1));

  // ostrel's show route answers on the same listener.
  r = https_test::request(
      dir_, port_, "/module/ostrel/show/00000000-0000-4000-8000-000000000000.json");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "{\"tags\":[]}\n");

  // The exported readers are reachable by name.
  auto gen = reinterpret_cast<uint64_t (*)(const char *)>(
      dlsym(RTLD_DEFAULT, "drask_check_tags_generation_dyn"));
  ASSERT_NE(gen, nullptr);
  EXPECT_EQ(gen("00000000-0000-4000-8000-000000000000"), 0u);
}

}  // namespace
