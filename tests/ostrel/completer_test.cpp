/* Tagset completion: which tagsets are completed, with what, and where the
 * 256-tag limit and the skipped tags leave them. */
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "log_capture.h"
#include "modules/ostrel/internal.h"
#include "store_put.h"

namespace {

const char *kUse = "debug/ostrel/use";
const char *kCheck = "c0ffee00-1111-4222-8333-444455556666";
const char *kOther = "c0ffee00-1111-4222-8333-777788889999";

/* A tagset whose texts live in this object. */
struct Tagset {
  std::vector<std::string> texts;
  quib_metric_tag_t tags[QUIB_METRIC_MAX_TAGS] = {};
  quib_metric_tagset_t ts{tags, 0, 77};

  explicit Tagset(std::vector<std::string> t) : texts(std::move(t)) {
    texts.reserve(QUIB_METRIC_MAX_TAGS);
    for (size_t i = 0; i < texts.size(); i++) {
      quib_metric_tag_set(&tags[i], texts[i].data(), texts[i].size());
    }
    ts.tag_count = static_cast<int>(texts.size());
  }
  std::string text(int i) const {
    return std::string(tags[i].tag, tags[i].total_size);
  }
  zorv_hook_return_t complete(quib_metric_tagset_class_t cls =
                                  QUIB_METRIC_TAGSET_CHECK) {
    return check_tag_tagset_completer(&ostrel, cls, &ts);
  }
};

std::string uuid_tag(const char *uuid) {
  return std::string("__check_uuid:") + uuid;
}

class CompleterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ostrel_store_setup();
    use_debug = zorv_log_stream_find(kUse);
    zorv_log_stream_enable(use_debug, true);
    put(kCheck, "env:prod", 1);
    put(kCheck, "team:ops", 1);
    put(kCheck, "gone:yes", 2, true);
    put(kOther, "role:db", 1);
  }
  LogCapture logs;
};

TEST_F(CompleterTest, AppendsLiveTagsAfterExistingOnes) {
  Tagset t({"host:a", uuid_tag(kCheck), "zone:eu"});
  EXPECT_EQ(t.complete(), ZORV_HOOK_CONTINUE);
  ASSERT_EQ(t.ts.tag_count, 5);
  EXPECT_EQ(t.text(0), "host:a");
  EXPECT_EQ(t.text(2), "zone:eu");
  std::vector<std::string> added = {t.text(3), t.text(4)};
  std::sort(added.begin(), added.end());
  EXPECT_EQ(added, (std::vector<std::string>{"env:prod", "team:ops"}));
  for (int i = 3; i < 5; i++) {
    EXPECT_EQ(t.tags[i].total_size, strlen(t.tags[i].tag));
    EXPECT_EQ(t.tags[i].category_size,
              static_cast<size_t>(strchr(t.tags[i].tag, ':') - t.tags[i].tag) +
                  1);
  }
  EXPECT_EQ(t.ts.canonical_size, 77);  // left to the library
  EXPECT_EQ(logs.count(kUse, std::string("check_tag_tagset_completer(") +
                                 kCheck + ") [3 -> 5]\n"),
            1);

  // The appended pointers are the store's own texts, not copies.
  std::vector<const char *> stored;
  drask_check_tags_each_dyn(
      kCheck,
      [](void *c, const char *tag) {
        static_cast<std::vector<const char *> *>(c)->push_back(tag);
      },
      &stored);
  EXPECT_NE(std::find(stored.begin(), stored.end(), t.tags[3].tag),
            stored.end());
}

TEST_F(CompleterTest, OtherClassesAreUntouched) {
  for (auto cls : {QUIB_METRIC_TAGSET_STREAM, QUIB_METRIC_TAGSET_MEASUREMENT}) {
    Tagset t({uuid_tag(kCheck)});
    EXPECT_EQ(t.complete(cls), ZORV_HOOK_CONTINUE);
    EXPECT_EQ(t.ts.tag_count, 1);
  }
  Tagset empty({});
  empty.complete(QUIB_METRIC_TAGSET_STREAM);
  EXPECT_TRUE(logs.lines().empty());
}

TEST_F(CompleterTest, NoRecognisableUuidTag) {
  std::string short_uuid = std::string("__check_uuid:") + "c0ffee00-1111";
  std::string wrong_case = "__CHECK_UUID:" + std::string(kCheck);
  for (auto tags : std::vector<std::vector<std::string>>{
           {}, {"host:a"}, {short_uuid}, {wrong_case}}) {
    Tagset t(tags);
    t.complete();
    EXPECT_EQ(t.ts.tag_count, static_cast<int>(tags.size()));
  }
  EXPECT_EQ(logs.count(kUse, "Bad tagset. No uuid found\n"), 4);
}

TEST_F(CompleterTest, OnlyTheFirstUuidTagCounts) {
  Tagset t({uuid_tag(kOther), uuid_tag(kCheck)});
  t.complete();
  ASSERT_EQ(t.ts.tag_count, 3);
  EXPECT_EQ(t.text(2), "role:db");
}

TEST_F(CompleterTest, UnknownCheckLeavesTagsetAlone) {
  Tagset t({uuid_tag("c0ffee00-1111-4222-8333-000000000000")});
  t.complete();
  EXPECT_EQ(t.ts.tag_count, 1);
  EXPECT_TRUE(logs.lines().empty());
}

TEST_F(CompleterTest, NeverGrowsPast256Tags) {
  std::vector<std::string> base = {uuid_tag(kCheck)};
  const char *big = "b1b1b1b1-1111-4222-8333-444455556666";
  for (int i = 0; i < 10; i++) put(big, "t" + std::to_string(i) + ":x", 1);
  std::vector<std::string> tags = {uuid_tag(big)};
  for (int i = 1; i < 250; i++) tags.push_back("f" + std::to_string(i) + ":y");
  Tagset t(tags);
  t.complete();
  EXPECT_EQ(t.ts.tag_count, 256);
  EXPECT_EQ(logs.count(kUse, std::string("check_tag_tagset_completer(") + big +
                                 ") [250 -> 256]\n"),
            1);

  logs.clear();
  for (int i = 250; i < 256; i++) tags.push_back("f" + std::to_string(i) + ":y");
  Tagset full(tags);
  full.complete();
  EXPECT_EQ(full.ts.tag_count, 256);
  EXPECT_TRUE(logs.lines().empty());
}

TEST_F(CompleterTest, SkippedTags) {
  const char *u = "5e5e5e5e-1111-4222-8333-444455556666";
  put(u, "nocolon", 1);
  put(u, "__check_uuid:" + std::string(kOther), 1);
  put(u, "__check_uuid:x", 1);
  // A tag text ends at a NUL: a colon after it does not count.
  put(u, std::string("nul\0:after", 11), 1);
  Tagset t({uuid_tag(u)});
  t.complete();
  EXPECT_EQ(t.ts.tag_count, 1);
  EXPECT_TRUE(logs.lines().empty());  // no count line when nothing was added

  // Exactly the prefix is not a UUID tag, and a duplicate of a tag already
  // present is appended again.
  put(u, "__check_uuid:", 1);
  put(u, "host:a", 1);
  put(u, std::string("cut:v\0tail", 11), 1);  // described up to the NUL
  Tagset t2({uuid_tag(u), "host:a"});
  t2.complete();
  ASSERT_EQ(t2.ts.tag_count, 5);
  std::vector<std::string> added = {t2.text(2), t2.text(3), t2.text(4)};
  std::sort(added.begin(), added.end());
  EXPECT_EQ(added,
            (std::vector<std::string>{"__check_uuid:", "cut:v", "host:a"}));
}

TEST_F(CompleterTest, TagsTooLongForTheTagFieldsAreSkipped) {
  const char *u = "10101010-1111-4222-8333-444455556666";
  put(u, std::string(300, 'c') + ":v", 1);            // category > 255
  put(u, "c:" + std::string(70000, 'v'), 1);          // text > 65535
  put(u, std::string(254, 'c') + ":" + std::string(65280, 'v'), 1);  // fits
  Tagset t({uuid_tag(u)});
  t.complete();
  ASSERT_EQ(t.ts.tag_count, 2);
  EXPECT_EQ(t.tags[1].category_size, 255);
  EXPECT_EQ(t.tags[1].total_size, 65535);
}

}  // namespace
