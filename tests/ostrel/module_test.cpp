/* The module frame: descriptor and documentation, option parsing, init's
 * registrations, the subscriber at post-initialisation, and the paths that
 * end the process. This executable has no kavalin client lookup at all. */
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "fake_kavalin.h"
#include "log_capture.h"
#include "modules/ostrel/internal.h"
#include "zorv/conf.h"
#include "zorv/dso.h"

namespace {

void reset_options() {
  speed_limit = 100;
  speed_timeout_s = 30;
  connect_timeout_s = 10;
  free(subscriber);
  subscriber = nullptr;
  update_interval = 1;
  max_fail_us_before_next = 600000000;
}

/* Runs ostrel_config over the given (key, value) options. */
void configure(const std::vector<std::pair<const char *, const char *>> &kv) {
  zorv_hash_table options;
  zorv_hash_init(&options);
  for (auto &[k, v] : kv) {
    zorv_hash_store(&options, k, static_cast<int>(strlen(k)),
                    const_cast<char *>(v));
  }
  ASSERT_EQ(ostrel_config(&ostrel, &options), 0);
  zorv_hash_destroy(&options, nullptr, nullptr);
}

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    reset_options();
  }
};

TEST_F(ModuleTest, DescriptorAndDocumentation) {
  EXPECT_EQ(ostrel.magic, 0x3FD892A0u);
  EXPECT_EQ(ostrel.version, 2u);
  EXPECT_STREQ(ostrel.name, "ostrel");
  EXPECT_STREQ(ostrel.description,
               "A libzorv module that replicates the check tags DB");
  EXPECT_EQ(ostrel.onload, nullptr);
  EXPECT_EQ(ostrel.config, &ostrel_config);
  EXPECT_EQ(ostrel.init, &ostrel_init);

  // The documentation, line by line with its indentation.
  const std::vector<std::pair<int, std::string>> doc = {
      {0, "<module>"},
      {2, "<name>ostrel</name>"},
      {2,
       "<description><para>A module that will establish a replicated copy of "
       "the checks tags DB in an Talvex install.</para></description>"},
      {2, "<loader>C</loader>"},
      {2, "<image>ostrel.so</image>"},
      {2, "<moduleconfig>"},
      {4, "<parameter name=\"bootstrap\""},
      {15, "required=\"required\""},
      {15,
       "allowed=\".*\">A comma-separated list of hosts to bootstrap a drask "
       "client."},
      {4, "</parameter>"},
      {2, "</moduleconfig>"},
      {0, "</module>"},
  };
  std::string expected;
  for (auto &[indent, text] : doc) {
    expected += std::string(static_cast<size_t>(indent), ' ') + text + "\n";
  }
  EXPECT_EQ(std::string(ostrel.xml_description), expected);
}

TEST_F(ModuleTest, NumericOptions) {
  configure({{"speed_limit", "abc"}, {"speed_timeout", "2x"},
             {"connect_timeout", "  7"}});
  EXPECT_EQ(speed_limit, 0);  // no leading number
  EXPECT_EQ(speed_timeout_s, 2);
  EXPECT_EQ(connect_timeout_s, 7);

  configure({{"update_interval", "5"}});
  EXPECT_EQ(update_interval, 5);
  for (const char *ignored : {"0", "-3", "soon"}) {
    configure({{"update_interval", ignored}});
    EXPECT_EQ(update_interval, 5) << ignored;
  }

  configure({{"failover_timeout", "30"}});
  EXPECT_EQ(max_fail_us_before_next, 30000000);
  configure({{"failover_timeout", "0"}});
  EXPECT_EQ(max_fail_us_before_next, 30000000);
  configure({{"failover_timeout", "-1"}});
  EXPECT_EQ(max_fail_us_before_next, 30000000);
}

TEST_F(ModuleTest, LongFailoverTimeoutDoesNotWrap) {
  configure({{"failover_timeout", "3600"}});
  EXPECT_EQ(max_fail_us_before_next, int64_t{3600} * 1000000);
  // A number beyond 32 bits saturates instead of wrapping to a negative
  // value that would be ignored (or worse, a tiny one).
  configure({{"failover_timeout", "99999999999"}});
  EXPECT_EQ(max_fail_us_before_next, int64_t{INT32_MAX} * 1000000);
  EXPECT_EQ(ostrel_leading_int32("-99999999999"), INT32_MIN);
}

TEST_F(ModuleTest, SubscriberAndUnknownKeys) {
  LogCapture logs;
  configure({{"subscriber", "replica-7"}, {"Update_Interval", "9"},
             {"bootstrap", "a:1,b:2"}, {"speed_limitx", "3"}});
  ASSERT_NE(subscriber, nullptr);
  EXPECT_STREQ(subscriber, "replica-7");
  // Keys compare exactly: none of the others matched.
  EXPECT_EQ(update_interval, 1);
  EXPECT_EQ(speed_limit, 100);
  EXPECT_TRUE(logs.lines().empty());
}

TEST_F(ModuleTest, InitRegistersHooksAndAnnouncesInterval) {
  LogCapture logs;
  configure({{"update_interval", "4"}});
  ASSERT_EQ(ostrel_init(&ostrel), 0);
  EXPECT_EQ(logs.count("notice/ostrel",
                       "Starting ostrel with update_interval=4\n"),
            1);
  EXPECT_EQ(fake_kavalin::registrations(), 1);
  EXPECT_EQ(fake_kavalin::registered_func(), &ostrel_react_cluster_changed);
  EXPECT_EQ(fake_kavalin::registered_closure(), &ostrel);

  // The fixup hook is in place: a check tagset without a UUID tag is
  // reported on the use debug stream.
  zorv_log_stream_enable(use_debug, true);
  quib_metric_tag_t tags[QUIB_METRIC_MAX_TAGS];
  quib_metric_tagset_t ts{tags, 0, 0};
  quib_metric_tagset_fixup_hook_invoke(QUIB_METRIC_TAGSET_CHECK, &ts);
  EXPECT_EQ(logs.count("debug/ostrel/use", "Bad tagset. No uuid found\n"), 1);
  zorv_log_stream_enable(use_debug, false);
}

TEST_F(ModuleTest, SubscriberDefaultsToNodeIdentity) {
  char *err = nullptr;
  ASSERT_EQ(zorv_conf_load_string(
                "<wendrel><clusters my_id=\"6F1C2A4E-0B7D-4C3A-9E2F-"
                "1A2B3C4D5E6F\"/></wendrel>",
                "/tmp/ostrel-module-test.conf", &err),
            0)
      << (err ? err : "");
  configure({});
  EXPECT_EQ(ostrel_post_init(&ostrel), ZORV_HOOK_CONTINUE);
  ASSERT_NE(subscriber, nullptr);
  EXPECT_STREQ(subscriber, "6f1c2a4e-0b7d-4c3a-9e2f-1a2b3c4d5e6f");
}

TEST_F(ModuleTest, ConfiguredSubscriberIgnoresNodeIdentity) {
  char *err = nullptr;
  ASSERT_EQ(zorv_conf_load_string("<wendrel/>", "/tmp/ostrel-module-test.conf",
                                  &err),
            0);
  configure({{"subscriber", "mine"}});
  EXPECT_EQ(ostrel_post_init(&ostrel), ZORV_HOOK_CONTINUE);
  EXPECT_STREQ(subscriber, "mine");
}

TEST_F(ModuleTest, NoSubscriberAndNoIdentityTerminates) {
  char *err = nullptr;
  ASSERT_EQ(zorv_conf_load_string("<wendrel><clusters my_id=\"not-a-uuid\"/>"
                                  "</wendrel>",
                                  "/tmp/ostrel-module-test.conf", &err),
            0);
  configure({});
  errorls = zorv_log_stream_find("error/ostrel");
  EXPECT_EXIT(ostrel_post_init(&ostrel), ::testing::ExitedWithCode(2),
              "\\[TERMINATE\\] No <subscriber> or //clusters/@my_id "
              "available, cannot use ostrel");
}

TEST_F(ModuleTest, MissingKavalinIsFatal) {
  configure({{"subscriber", "s"}});
  // kavalin's lookup is not in this process: registration cannot tell
  // whether the cluster exists.
  EXPECT_DEATH(register_cluster(3), "\\[FATAL\\] kavalin module must be loaded");
  EXPECT_DEATH(
      kavalin_client_for_cluster_dyn(3),
      "runtime resolution of 'drask_client_t \\* "
      "kavalin_client_for_cluster_dyn\\(int cluster_id\\)' failed\\."
      "(.|\n)*\\[FATAL\\] assertion \\(f != nullptr\\) at .*:[0-9]+ failed");
}

}  // namespace
