/* The check tag store's merge rules, generations and metric-director
 * notification, seen through the two exported readers. */
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "log_capture.h"
#include "modules/ostrel/internal.h"
#include "store_put.h"
#include "quib/metric_director.h"
#include "zorv/uuid.h"

namespace {

void collect(void *closure, const char *tag) {
  static_cast<std::vector<std::string> *>(closure)->push_back(tag);
}

std::vector<std::string> live_tags(const char *uuid) {
  std::vector<std::string> out;
  drask_check_tags_each_dyn(uuid, collect, &out);
  std::sort(out.begin(), out.end());
  return out;
}

using Tags = std::vector<std::string>;

class StoreTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ostrel_store_setup(); }
};

TEST(ElementInfo, TombstoneIsTheLowestBitOfTheWord) {
  setcrdt_element_info_t info{};
  info.tombstone = 1;
  EXPECT_EQ(info.word, 1u);
  info.tombstone = 0;
  info.len = 5;
  EXPECT_EQ(info.word, 5u << 1);
}

TEST_F(StoreTest, FirstElementEvenATombstoneAddsTheCheck) {
  const char *u = "00000000-0000-4000-8000-000000000001";
  EXPECT_EQ(drask_check_tags_generation_dyn(u), 0u);
  put(u, "env:prod", 7, true);
  EXPECT_EQ(drask_check_tags_generation_dyn(u), 1u);
  EXPECT_EQ(live_tags(u), Tags{});
  // The tombstone keeps an older addition from bringing the tag back.
  put(u, "env:prod", 6, false);
  EXPECT_EQ(live_tags(u), Tags{});
  EXPECT_EQ(drask_check_tags_generation_dyn(u), 1u);
}

TEST_F(StoreTest, SequenceNumbersDecide) {
  const char *u = "00000000-0000-4000-8000-000000000002";
  put(u, "env:prod", 10, false);
  put(u, "team:ops", 3, false);
  EXPECT_EQ(drask_check_tags_generation_dyn(u), 2u);
  EXPECT_EQ(live_tags(u), (Tags{"env:prod", "team:ops"}));

  put(u, "env:prod", 10, false);  // same element again
  put(u, "env:prod", 9, true);    // older removal
  put(u, "env:prod", 10, true);   // equal removal: the live one stays
  EXPECT_EQ(drask_check_tags_generation_dyn(u), 2u);
  EXPECT_EQ(live_tags(u), (Tags{"env:prod", "team:ops"}));

  // A newer removal hides the tag; its text handed out earlier stays.
  const char *handed_out = nullptr;
  drask_check_tags_each_dyn(
      u,
      [](void *c, const char *t) {
        if (strcmp(t, "env:prod") == 0) *static_cast<const char **>(c) = t;
      },
      &handed_out);
  ASSERT_NE(handed_out, nullptr);
  put(u, "env:prod", 11, true);
  EXPECT_EQ(drask_check_tags_generation_dyn(u), 3u);
  EXPECT_EQ(live_tags(u), Tags{"team:ops"});
  EXPECT_STREQ(handed_out, "env:prod");

  // At equal sequence numbers an addition beats the stored removal.
  put(u, "env:prod", 11, false);
  EXPECT_EQ(drask_check_tags_generation_dyn(u), 4u);
  EXPECT_EQ(live_tags(u), (Tags{"env:prod", "team:ops"}));

  // Sequence numbers compare as unsigned 64-bit numbers.
  put(u, "team:ops", UINT64_MAX, true);
  put(u, "team:ops", uint64_t{1} << 63, false);
  EXPECT_EQ(live_tags(u), Tags{"env:prod"});
  EXPECT_EQ(drask_check_tags_generation_dyn(u), 5u);
}

TEST_F(StoreTest, KeysAreCaseSensitive) {
  const char *lower = "abcdef00-0000-4000-8000-00000000000a";
  const char *upper = "ABCDEF00-0000-4000-8000-00000000000A";
  put(lower, "a:b", 1, false);
  EXPECT_EQ(drask_check_tags_generation_dyn(upper), 0u);
  EXPECT_EQ(live_tags(upper), Tags{});
  put(upper, "c:d", 1, false);
  EXPECT_EQ(live_tags(lower), Tags{"a:b"});
  EXPECT_EQ(live_tags(upper), Tags{"c:d"});
  // Tags are case-sensitive too.
  put(lower, "A:B", 1, false);
  EXPECT_EQ(live_tags(lower), (Tags{"A:B", "a:b"}));
}

TEST_F(StoreTest, GenerationWrapsToOneNeverZero) {
  const char *u = "00000000-0000-4000-8000-000000000003";
  put(u, "x:1", 1, false);
  void *data = nullptr;
  ASSERT_TRUE(zorv_hash_retrieve(&check_tags, u, static_cast<int>(strlen(u)),
                                 &data));
  static_cast<tag_container *>(data)->gen = UINT64_MAX;
  EXPECT_EQ(drask_check_tags_generation_dyn(u), UINT64_MAX);
  put(u, "x:2", 1, false);
  EXPECT_EQ(drask_check_tags_generation_dyn(u), 1u);
}

TEST_F(StoreTest, ManyTagsOfOneCheckAndEmptyText) {
  const char *u = "00000000-0000-4000-8000-000000000004";
  std::set<std::string> expected;
  for (int i = 0; i < 300; i++) {
    std::string t = "k" + std::to_string(i) + ":v" + std::to_string(i * 7);
    put(u, t, static_cast<uint64_t>(i) + 1, false);
    expected.insert(t);
  }
  put(u, "", 1, false);
  expected.insert("");
  Tags got = live_tags(u);
  EXPECT_EQ(std::set<std::string>(got.begin(), got.end()), expected);
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_EQ(drask_check_tags_generation_dyn(u), 301u);
}

TEST_F(StoreTest, ReadersIgnoreNullArguments) {
  EXPECT_EQ(drask_check_tags_generation_dyn(nullptr), 0u);
  drask_check_tags_each_dyn(nullptr, collect, nullptr);
  drask_check_tags_each_dyn("00000000-0000-4000-8000-000000000002", nullptr,
                            nullptr);
}

/* Runs before the director is loaded (the suite below loads it for good). */
TEST_F(StoreTest, WithoutDirectorStoresSilently) {
  ASSERT_EQ(dlsym(RTLD_DEFAULT, METRIC_DIRECTOR_SET_CHECK_GENERATION_SYMBOL),
            nullptr);
  LogCapture logs;
  const char *u = "00000000-0000-4000-8000-000000000005";
  put(u, "a:1", 1, false);
  put(u, "a:1", 2, true);
  EXPECT_EQ(drask_check_tags_generation_dyn(u), 2u);
  EXPECT_TRUE(logs.lines().empty());
}

TEST_F(StoreTest, DirectorLoadedLaterIsToldEveryChange) {
  const char *dir = getenv("ZORV_BUILD_DIR");
  ASSERT_NE(dir, nullptr);
  void *handle = nullptr;
  for (const char *name : {"/lib/libquib_director.so", "/lib/quib_director.so"}) {
    handle = dlopen((std::string(dir) + name).c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (handle) break;
  }
  ASSERT_NE(handle, nullptr) << dlerror();
  auto get = reinterpret_cast<uint64_t (*)(const uuid_t)>(
      dlsym(handle, "metric_director_get_check_generation"));
  ASSERT_NE(get, nullptr);

  const char *u = "0f0e0d0c-0000-4000-8000-000000000006";
  uuid_t uu;
  ASSERT_EQ(zorv_uuid_parse(u, uu), 0);
  put(u, "a:1", 1, false);
  EXPECT_EQ(get(uu), 1u);
  put(u, "a:1", 1, false);  // no change: no notice
  put(u, "b:1", 1, false);
  EXPECT_EQ(get(uu), 2u);
  EXPECT_EQ(drask_check_tags_generation_dyn(u), 2u);

  // A check stored before the director appeared is told from its next
  // change on.
  const char *early = "00000000-0000-4000-8000-000000000005";
  ASSERT_EQ(zorv_uuid_parse(early, uu), 0);
  EXPECT_EQ(get(uu), 0u);
  put(early, "a:1", 3, false);
  EXPECT_EQ(get(uu), 3u);

  // A key that is no UUID text is stored but has nothing to be announced
  // as; a debug line says so once per check.
  LogCapture logs;
  controlls = zorv_log_stream_find("debug/ostrel/control");
  zorv_log_stream_enable(controlls, true);
  put("d1ff0000-0000-4000-8000-00000000000", "a:1", 1);  // 35 characters
  put("d1ff0000-0000-4000-8000-00000000000", "b:1", 1);
  EXPECT_EQ(drask_check_tags_generation_dyn("d1ff0000-0000-4000-8000-00000000000"),
            2u);
  EXPECT_EQ(logs.count("debug/ostrel/control",
                       "check 'd1ff0000-0000-4000-8000-00000000000' is not a "
                       "UUID: its tag changes are not announced\n"),
            1);
}

}  // namespace
