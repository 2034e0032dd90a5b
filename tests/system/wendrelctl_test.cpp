// wendrelctl against a running daemon with kavalin and ostrel replicating a
// stand-in cluster: every command, with the settings from the client file
// that make-certs.sh writes and the environment; a refused update (exit 1,
// the daemon's text shown), usage errors (2) and a daemon that is not
// there (3).
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/kavalin_support.h"  // elements()
#include "support/process.h"
#include "support/standin_process.h"
#include "support/system_support.h"

namespace wt = wendrel_test;

namespace {

class WendrelctlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(wt::make_certs(dir_.file("certs"), &why)) << why;
    ASSERT_TRUE(standin_.start({"--nodes", "2", "--base-port", "0", "--checks",
                                "20", "--tags-per-check", "3", "--seed", "6"},
                               dir_.file("standin.log")));
    const std::string node0 = "127.0.0.1:" + std::to_string(standin_.node(0));
    wt::ConfigOptions opt = wt::replica_options(
        dir_.file("certs"),
        "<bootstrap cluster=\"1\" host=\"" + node0 + "\"/>"
        "<account_map><map account=\"42\" cluster=\"1\"/></account_map>");
    // Cluster 3 sits directly under drask, where updates may not change it.
    opt.extra_xml += "  <drask><bootstrap cluster=\"3\" host=\"" + node0 +
                     "\"/></drask>\n";
    ASSERT_TRUE(wt::write_file(conf(), wt::make_config(opt)));
    ASSERT_TRUE(daemon_.start(conf(), dir_.file("wendrel.log"))) << daemon_.log();
    ASSERT_TRUE(daemon_.wait_for_log("ostrelate full sync complete", 30000))
        << daemon_.log();
  }

  std::string conf() const { return dir_.file("wendrel.conf"); }

  // wendrelctl ARGS with the client file beside the certificates and the
  // test daemon's URL from the environment (the file names 8443).
  wt::RunResult ctl(std::vector<std::string> args,
                    std::map<std::string, std::string> env = {}) {
    args.insert(args.begin(), wt::build_dir() + "/bin/wendrelctl");
    env.emplace("WENDRELCTL_CONFIG", dir_.file("wendrelctl.conf"));
    env.emplace("WENDRELCTL_URL",
                "https://127.0.0.1:" + std::to_string(daemon_.https_port()));
    return wt::run(args, env);
  }

  wt::TempDir dir_{"wendrelctl"};
  wt::Standin standin_;
  wt::Daemon daemon_;
};

#define EXPECT_EXIT_STATUS(expected, r) \
  EXPECT_EQ(expected, (r).status) << "out: " << (r).out << "\nerr: " << (r).err

TEST_F(WendrelctlTest, ReadsStatusHealthTagsAndMetrics) {
  auto r = ctl({"status"});
  EXPECT_EXIT_STATUS(0, r);
  EXPECT_EQ(0u, r.out.find("CLUSTER  PHASE")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("diff sync")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("  yes  ")) << r.out;  // current
  EXPECT_NE(std::string::npos, r.out.find("  60  ")) << r.out;  // 20 x 3 elements

  r = ctl({"status", "--json"});
  EXPECT_EXIT_STATUS(0, r);
  EXPECT_EQ(0u, r.out.find("{\"clusters\":[")) << r.out;

  r = ctl({"health"});
  EXPECT_EXIT_STATUS(0, r);
  EXPECT_EQ(0u, r.out.find("ok (up ")) << r.out;

  // The tags of a check, as the stand-in holds them; the UUID in capitals
  // is taken in lower case.
  auto [uuid, tags] = *standin_.snapshot().begin();
  std::string upper = uuid;
  for (char &c : upper) c = static_cast<char>(toupper(c));
  r = ctl({"show", upper});
  EXPECT_EXIT_STATUS(0, r);
  std::multiset<std::string> shown;
  for (size_t p = 0, e; (e = r.out.find('\n', p)) != std::string::npos; p = e + 1)
    shown.insert(r.out.substr(p, e - p));
  EXPECT_EQ(tags, shown);
  EXPECT_EXIT_STATUS(2, ctl({"show", "../../metrics"}));

  r = ctl({"metrics", "ostrel_store_checks"});
  EXPECT_EXIT_STATUS(0, r);
  EXPECT_NE(std::string::npos, r.out.find("\nostrel_store_checks 20\n")) << r.out;
  EXPECT_EQ(std::string::npos, r.out.find("kavalin_")) << r.out;

  r = ctl({"clusters"});
  EXPECT_EXIT_STATUS(0, r);
  EXPECT_NE(std::string::npos,
            r.out.find("1        127.0.0.1:" + std::to_string(standin_.node(0))))
      << r.out;
}

TEST_F(WendrelctlTest, ChangesTheMapAndClustersAndReportsRefusals) {
  // A filter with every character XML must escape reaches the file intact.
  const std::string filter = "and(env:\"a&b\",region:<eu>'x'\tz)";
  auto r = ctl({"map", "set", "43", "1", "--filter", filter});
  EXPECT_EXIT_STATUS(0, r);
  EXPECT_EQ("account 43 -> cluster 1 (filter " + filter + ")\n", r.out);
  std::string file = wt::read_file(conf());
  EXPECT_NE(std::string::npos,
            kavalin_test::elements(file, "//account_map/map[@account='43']")
                .find("discard_data_filter=" + filter))
      << file;

  // A cluster that is not configured: written to the file, refused live.
  r = ctl({"map", "set", "44", "9"});
  EXPECT_EXIT_STATUS(1, r);
  EXPECT_NE(std::string::npos, r.err.find("answered 202")) << r.err;

  // Removing 42 from the file only leaves the live mapping: the map shows
  // the difference (44, in the file only, names an unconfigured cluster,
  // which loading the file would refuse too: no difference).
  EXPECT_EXIT_STATUS(0, ctl({"map", "unset", "42"}));
  r = ctl({"map", "--differs"});
  EXPECT_EXIT_STATUS(0, r);
  EXPECT_NE(std::string::npos, r.out.find("42       cluster 1  -")) << r.out;
  EXPECT_EQ(std::string::npos, r.out.find("44 ")) << r.out;
  r = ctl({"map"});
  EXPECT_EXIT_STATUS(0, r);
  EXPECT_NE(std::string::npos, r.out.find("differs for 1 account(s)")) << r.out;

  // Several changes in one update, from standard input's stand-in: a file.
  ASSERT_TRUE(wt::write_file(dir_.file("changes"),
                             "# account cluster [filter]\n42 1\n45 -1 env:test\n"));
  EXPECT_EXIT_STATUS(0, ctl({"map", "load", dir_.file("changes")}));
  r = ctl({"map", "--json"});
  EXPECT_NE(std::string::npos,
            r.out.find("{\"account\":45,\"cluster\":-1,\"discard_data_filter\":\"env:test\"}"))
      << r.out;

  // Both nodes as bootstrap hosts of cluster 1.
  const std::string node1 = "127.0.0.1:" + std::to_string(standin_.node(1));
  r = ctl({"cluster", "set", "1", "127.0.0.1:" + std::to_string(standin_.node(0)), node1});
  EXPECT_EXIT_STATUS(0, r);
  EXPECT_NE(std::string::npos, ctl({"clusters"}).out.find("," + node1)) << r.out;

  // Refused by the daemon: its own words, exit 1.
  r = ctl({"cluster", "set", "3", node1});
  EXPECT_EXIT_STATUS(1, r);
  EXPECT_NE(std::string::npos,
            r.err.find("/module/kavalin/cluster/3 answered 400: Illegal cluster "
                       "configuration found."))
      << r.err;
  r = ctl({"--cert", dir_.file("certs/other-client.crt"), "--key",
           dir_.file("certs/other-client.key"), "map", "set", "42", "1"});
  EXPECT_EXIT_STATUS(1, r);
  EXPECT_NE(std::string::npos, r.err.find("answered 403: forbidden")) << r.err;

  // Usage errors never reach the daemon.
  EXPECT_EXIT_STATUS(2, ctl({"cluster", "set", "0", node1}));
  EXPECT_EXIT_STATUS(2, ctl({"cluster", "set", "2", "bad host"}));
  EXPECT_EXIT_STATUS(2, ctl({"map", "set", "4x2", "1"}));
  EXPECT_EXIT_STATUS(2, ctl({"map", "set", "42", "1", "--filter", "a\x01"}));
  EXPECT_EXIT_STATUS(2, ctl({"frobnicate"}));
  EXPECT_EXIT_STATUS(2, ctl({"status"}, {{"WENDRELCTL_CONFIG", dir_.file("nope.conf")}}));
}

TEST_F(WendrelctlTest, UnreachableDaemonAndWhichSettingWins) {
  const std::string dead = "https://127.0.0.1:" + std::to_string(wt::free_port());
  auto r = ctl({"status"}, {{"WENDRELCTL_URL", dead}});
  EXPECT_EXIT_STATUS(3, r);
  EXPECT_NE(std::string::npos, r.err.find("cannot reach " + dead)) << r.err;
  // The option wins over the environment.
  r = ctl({"--url", "https://127.0.0.1:" + std::to_string(daemon_.https_port()),
           "health"},
          {{"WENDRELCTL_URL", dead}});
  EXPECT_EXIT_STATUS(0, r);
  // Without the client file there is no client certificate: refused.
  r = ctl({"status"}, {{"WENDRELCTL_CONFIG", "/dev/null"},
                       {"WENDRELCTL_CACERT", dir_.file("certs/ca.crt")}});
  EXPECT_EXIT_STATUS(1, r);
}

}  // namespace
