// Module loading: the call sequence and options of good modules, the
// post-initialisation order, and a clear refusal for every bad image.
// Modules cannot be unloaded, so each test uses its own fixture modules.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "zorv/conf.h"
#include "zorv/dso.h"
#include "zorv/host.h"
#include "zorv/log.h"

namespace {

const std::string kDir = ZORV_FIXTURE_DIR;

// Collects the fixture modules' reports ("<module> <step>").
class DsoTest : public ::testing::Test {
 protected:
  void SetUp() override { zorv_log_set_observer(&DsoTest::record, this); }
  void TearDown() override { zorv_log_set_observer(nullptr, nullptr); }
  static void record(void *self, const char *stream, const char *text) {
    if (std::string(stream) == "notice/fixture")
      static_cast<DsoTest *>(self)->seen.push_back(text);
  }

  // Loads image and returns the error text ("" on success).
  std::string load_error(const char *image, const char *name = nullptr) {
    char *err = nullptr;
    int rc = zorv_dso_load(image, name, nullptr, &err);
    std::string out = err ? err : "";
    free(err);
    if (rc == 0) EXPECT_EQ(out, "");
    else EXPECT_NE(out, "") << "a failure must explain itself";
    return out;
  }

  std::vector<std::string> seen;
};

bool contains(const std::string &s, const std::string &part) {
  return s.find(part) != std::string::npos;
}

TEST_F(DsoTest, BadImagesAreRefusedNamingFileAndReason) {
  zorv_dso_set_directory(kDir.c_str());

  std::string e = load_error("fx_absent");
  EXPECT_TRUE(contains(e, kDir + "/fx_absent.so")) << e;
  EXPECT_TRUE(contains(e, "cannot open shared object file")) << e;  // dlerror's text

  e = load_error("fx_badmagic");
  EXPECT_TRUE(contains(e, kDir + "/fx_badmagic.so")) << e;
  EXPECT_TRUE(contains(e, "bad magic 0x12345678")) << e;

  e = load_error("fx_badversion.so");  // ".so" may be written out
  EXPECT_TRUE(contains(e, "fx_badversion.so: unsupported descriptor version 1 (expected 2)")) << e;

  e = load_error("fx_nodesc");
  EXPECT_TRUE(contains(e, "no module descriptor named 'fx_nodesc'")) << e;

  e = load_error("");
  EXPECT_TRUE(contains(e, "no image")) << e;

  // None of them ran any code or was registered.
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(zorv_dso_find("fx_badmagic"), nullptr);
}

TEST_F(DsoTest, FailingInitStopsWithItsResultAfterOnloadAndConfig) {
  zorv_dso_set_directory(kDir.c_str());
  std::string e = load_error("fx_initfail");
  EXPECT_TRUE(contains(e, "fx_initfail.so: init returned 3")) << e;
  EXPECT_EQ(seen, (std::vector<std::string>{"fx_initfail onload", "fx_initfail config ",
                                            "fx_initfail init"}));
  EXPECT_EQ(zorv_dso_find("fx_initfail"), nullptr);
}

TEST_F(DsoTest, ImageWithSlashIsUsedAsGivenAndNamesMayDiffer) {
  zorv_dso_set_directory("/nonexistent");
  std::string path = kDir + "/fx_bypath.so";
  // The descriptor is looked up under the module name, not the file name.
  std::string e = load_error(path.c_str(), "fx_wrongname");
  EXPECT_TRUE(contains(e, "no module descriptor named 'fx_wrongname'")) << e;
  EXPECT_EQ(load_error(path.c_str()), "");
  zorv_dso_generic_t *d = zorv_dso_find("fx_bypath");
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(d->name, "fx_bypath");
  e = load_error(path.c_str());
  EXPECT_TRUE(contains(e, "already loaded")) << e;
}

// The whole start-up: modules of the configuration in document order with
// their options, then the post-initialisation hooks in registration order.
TEST_F(DsoTest, LoadAllFromConfigurationThenPostInit) {
  zorv_dso_set_directory("/nonexistent");  // the configuration's directory wins
  std::string xml =
      "<wendrel><modules directory=\"" + kDir + "\">"
      "<module image=\"fx_first\" name=\"fx_first\">"
      "  <config><alpha>1</alpha><beta>two words</beta><alpha>3</alpha><empty/></config>"
      "</module>"
      "<module image=\"fx_second.so\" name=\"fx_second\"/>"
      "</modules></wendrel>";
  ASSERT_EQ(zorv_conf_load_string(xml.c_str(), nullptr, nullptr), 0);
  char *err = nullptr;
  ASSERT_EQ(zorv_dso_load_all(&err), 0) << (err ? err : "");
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "fx_first onload", "fx_first config alpha=3;beta=two words;empty=",
                      "fx_first init", "fx_second onload", "fx_second config ",
                      "fx_second init"}));
  ASSERT_NE(zorv_dso_find("fx_first"), nullptr);
  EXPECT_EQ(zorv_dso_find("fx_first")->magic, ZORV_DSO_MAGIC);

  seen.clear();
  zorv_dso_run_post_init();
  // fx_bypath (loaded by the test before) registered first; each hook adds a
  // "late" hook, which runs in the same pass after the earlier ones.
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "fx_bypath post-init", "fx_first post-init", "fx_second post-init",
                      "fx_bypath late post-init", "fx_first late post-init",
                      "fx_second late post-init"}));
  seen.clear();
  zorv_dso_run_post_init();  // nothing runs twice
  EXPECT_TRUE(seen.empty());
}

TEST_F(DsoTest, LoadAllStopsAtTheFirstBadModule) {
  std::string xml =
      "<wendrel><modules directory=\"" + kDir + "\">"
      "<module image=\"fx_badmagic\" name=\"fx_badmagic\"><config><x>1</x></config></module>"
      "<module image=\"fx_never\" name=\"fx_never\"/>"
      "<module name=\"fx_noimage\"/>"
      "</modules></wendrel>";
  ASSERT_EQ(zorv_conf_load_string(xml.c_str(), nullptr, nullptr), 0);
  char *err = nullptr;
  EXPECT_EQ(zorv_dso_load_all(&err), -1);
  ASSERT_NE(err, nullptr);
  EXPECT_TRUE(contains(err, kDir + "/fx_badmagic.so: bad magic")) << err;
  free(err);

  xml = "<wendrel><modules><module name=\"fx_noimage\"/></modules></wendrel>";
  ASSERT_EQ(zorv_conf_load_string(xml.c_str(), nullptr, nullptr), 0);
  err = nullptr;
  EXPECT_EQ(zorv_dso_load_all(&err), -1);
  ASSERT_NE(err, nullptr);
  EXPECT_TRUE(contains(err, "no image attribute")) << err;
  free(err);
  EXPECT_TRUE(seen.empty());

  // A module that fails in init has seen its options; the next never loads.
  xml = "<wendrel><modules directory=\"" + kDir + "\">"
        "<module image=\"fx_initfail\"><config><y>2</y></config></module>"
        "<module image=\"fx_second_never\"/>"
        "</modules></wendrel>";
  ASSERT_EQ(zorv_conf_load_string(xml.c_str(), nullptr, nullptr), 0);
  err = nullptr;
  EXPECT_EQ(zorv_dso_load_all(&err), -1);
  ASSERT_NE(err, nullptr);
  EXPECT_TRUE(contains(err, "fx_initfail.so: init returned 3")) << err;
  free(err);
  EXPECT_EQ(seen, (std::vector<std::string>{"fx_initfail onload", "fx_initfail config y=2",
                                            "fx_initfail init"}));
}

TEST(DsoBare, NothingConfiguredLoadsNothing) {
  ASSERT_EQ(zorv_conf_load_string("<wendrel/>", nullptr, nullptr), 0);
  EXPECT_EQ(zorv_dso_load_all(nullptr), 0);
  EXPECT_EQ(zorv_dso_find(nullptr), nullptr);
  dso_post_init_hook_register("null", nullptr, nullptr);  // ignored
  zorv_dso_run_post_init();
}

}  // namespace
