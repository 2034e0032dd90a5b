// The configuration lock across threads: readers beside a writer, nested
// holds that must not deadlock behind a waiting writer, empty results that
// hold nothing, and the refused second upgrade. Runs under ThreadSanitizer.
#include <gtest/gtest.h>
#include <libxml/tree.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "zorv/conf.h"

namespace {

using namespace std::chrono_literals;

const char *kConfig =
    "<wendrel><drask a=\"0\" b=\"0\"><swimlane>"
    "<bootstrap cluster=\"1\" host=\"h1\"/><bootstrap cluster=\"2\" host=\"h2\"/>"
    "</swimlane></drask></wendrel>";

// Waits until flag is true, at most `limit`.
bool wait_for(const std::atomic<bool> &flag, std::chrono::milliseconds limit = 5000ms) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!flag.load()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

std::string attr(zorv_conf_section_t s, const char *xpath) {
  char *v = nullptr;
  if (!zorv_conf_get_string(s, xpath, &v)) return "";
  std::string out(v);
  free(v);
  return out;
}

class ConfLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(zorv_conf_load_string(kConfig, nullptr, nullptr), 0);
  }
};

// The writer changes two attributes together; a reader holding the section
// must always see them equal.
TEST_F(ConfLockTest, ReadersNeverSeeHalfAWrite) {
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0}, reads{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        int cnt = 0;
        zorv_conf_section_t *list =
            zorv_conf_get_sections_read(ZORV_CONF_ROOT, "//drask", &cnt);
        if (cnt == 1) {
          if (attr(list[0], "@a") != attr(list[0], "@b")) ++torn;
          // A nested read on the same thread, also while a writer waits.
          zorv_conf_section_t sw = zorv_conf_get_section_read(list[0], "swimlane");
          if (attr(sw, "bootstrap[@cluster=\"2\"]/@host") != "h2") ++torn;
          zorv_conf_release_section_read(sw);
          ++reads;
        }
        zorv_conf_release_sections_read(list, cnt);
      }
    });
  }
  std::thread writer([&] {
    for (int i = 1; i <= 300; ++i) {
      zorv_conf_section_t d = zorv_conf_get_section_write(ZORV_CONF_ROOT, "//drask");
      ASSERT_FALSE(zorv_conf_section_is_empty(d));
      xmlNodePtr n = zorv_conf_section_to_xmlnodeptr(d);
      std::string v = std::to_string(i);
      xmlSetProp(n, BAD_CAST "a", BAD_CAST v.c_str());
      std::this_thread::yield();
      xmlSetProp(n, BAD_CAST "b", BAD_CAST v.c_str());
      zorv_conf_release_section_write(d);
    }
  });
  writer.join();
  stop = true;
  for (auto &t : readers) t.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(attr(ZORV_CONF_ROOT, "//drask/@a"), "300");
}

TEST_F(ConfLockTest, NestedReadDoesNotWaitBehindWaitingWriter) {
  zorv_conf_section_t outer = zorv_conf_get_section_read(ZORV_CONF_ROOT, "//drask");
  ASSERT_FALSE(zorv_conf_section_is_empty(outer));
  std::atomic<bool> writer_started{false}, writer_in{false};
  std::thread writer([&] {
    writer_started = true;
    zorv_conf_section_t w = zorv_conf_get_section_write(ZORV_CONF_ROOT, "//drask");
    writer_in = true;
    zorv_conf_release_section_write(w);
  });
  ASSERT_TRUE(wait_for(writer_started));
  std::this_thread::sleep_for(50ms);  // the writer is now queued behind us
  EXPECT_FALSE(writer_in.load());
  // With a writer waiting, a fresh reader would yield; a nested one must not.
  int cnt = 0;
  zorv_conf_section_t *list =
      zorv_conf_get_sections_read(ZORV_CONF_ROOT, "//bootstrap", &cnt);
  EXPECT_EQ(cnt, 2);
  int32_t c = 0;
  EXPECT_EQ(zorv_conf_get_int32(list[1], "@cluster", &c), 1);
  zorv_conf_release_sections_read(list, cnt);
  EXPECT_FALSE(writer_in.load());
  zorv_conf_release_section_read(outer);
  EXPECT_TRUE(wait_for(writer_in));
  writer.join();
}

TEST_F(ConfLockTest, EmptyResultsHoldNothing) {
  EXPECT_TRUE(zorv_conf_section_is_empty(
      zorv_conf_get_section_write(ZORV_CONF_ROOT, "//absent")));
  int cnt = -1;
  zorv_conf_section_t *list = zorv_conf_get_sections_write(ZORV_CONF_ROOT, "//absent", &cnt);
  EXPECT_EQ(cnt, 0);
  zorv_conf_release_sections_write(list, cnt);  // only frees the list
  EXPECT_TRUE(zorv_conf_section_is_empty(
      zorv_conf_get_section_read(ZORV_CONF_ROOT, "//absent")));
  // Nothing is held by this thread, so another can write at once.
  std::atomic<bool> got{false};
  std::thread other([&] {
    zorv_conf_section_t w = zorv_conf_get_section_write(ZORV_CONF_ROOT, "//drask");
    got = !zorv_conf_section_is_empty(w);
    zorv_conf_release_section_write(w);
  });
  EXPECT_TRUE(wait_for(got, 2000ms));
  other.join();
}

TEST_F(ConfLockTest, WriterExcludesReadersUntilItsLastHoldEnds) {
  zorv_conf_section_t w1 = zorv_conf_get_section_write(ZORV_CONF_ROOT, "//drask");
  zorv_conf_section_t w2 = zorv_conf_get_section_write(ZORV_CONF_ROOT, "//swimlane");
  zorv_conf_section_t r = zorv_conf_get_section_read(ZORV_CONF_ROOT, "//bootstrap");
  ASSERT_FALSE(zorv_conf_section_is_empty(r));
  std::atomic<bool> reader_in{false}, writer_in{false};
  std::thread reader([&] {
    zorv_conf_section_t s = zorv_conf_get_section_read(ZORV_CONF_ROOT, "//drask");
    reader_in = true;
    zorv_conf_release_section_read(s);
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(reader_in.load());
  zorv_conf_release_section_write(w2);
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(reader_in.load());
  // The last write hold ends while a read taken inside it remains: readers
  // may come in, writers may not.
  zorv_conf_release_section_write(w1);
  EXPECT_TRUE(wait_for(reader_in));
  reader.join();
  std::thread writer([&] {
    zorv_conf_section_t s = zorv_conf_get_section_write(ZORV_CONF_ROOT, "//drask");
    writer_in = true;
    zorv_conf_release_section_write(s);
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(writer_in.load());
  zorv_conf_release_section_read(r);
  EXPECT_TRUE(wait_for(writer_in));
  writer.join();
}

TEST_F(ConfLockTest, SecondUpgradeIsRefusedInsteadOfDeadlocking) {
  std::atomic<bool> a_reading{false}, b_reading{false}, a_wrote{false}, b_done{false};
  std::atomic<bool> b_refused{false};
  std::thread a([&] {
    zorv_conf_section_t r = zorv_conf_get_section_read(ZORV_CONF_ROOT, "//drask");
    a_reading = true;
    wait_for(b_reading);
    zorv_conf_section_t w = zorv_conf_get_section_write(ZORV_CONF_ROOT, "//drask");
    a_wrote = !zorv_conf_section_is_empty(w);
    zorv_conf_release_section_write(w);
    zorv_conf_release_section_read(r);
  });
  std::thread b([&] {
    wait_for(a_reading);
    zorv_conf_section_t r = zorv_conf_get_section_read(ZORV_CONF_ROOT, "//drask");
    b_reading = true;
    std::this_thread::sleep_for(100ms);  // a is now waiting to upgrade
    zorv_conf_section_t w = zorv_conf_get_section_write(ZORV_CONF_ROOT, "//drask");
    b_refused = zorv_conf_section_is_empty(w);
    zorv_conf_release_section_write(w);
    zorv_conf_release_section_read(r);
    b_done = true;
  });
  EXPECT_TRUE(wait_for(b_done));
  EXPECT_TRUE(wait_for(a_wrote));
  a.join();
  b.join();
  EXPECT_TRUE(b_refused.load());
}

// Two handlers editing and writing the file at once: every write succeeds
// and the file ends up whole, holding both edits.
TEST_F(ConfLockTest, ConcurrentEditAndWriteKeepTheFileWhole) {
  char tmpl[] = "/tmp/zorv-confc-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string path = std::string(tmpl) + "/wendrel.conf";
  { std::ofstream(path) << kConfig; }
  ASSERT_EQ(zorv_conf_load(path.c_str(), nullptr), 0);
  std::atomic<int> failures{0};
  auto editor = [&](const char *name) {
    for (int i = 0; i < 20; ++i) {
      zorv_conf_section_t sw = zorv_conf_get_section_write(ZORV_CONF_ROOT, "//swimlane");
      xmlSetProp(zorv_conf_section_to_xmlnodeptr(sw), BAD_CAST name,
                 BAD_CAST std::to_string(i).c_str());
      zorv_conf_mark_changed();
      if (zorv_conf_write_file(nullptr) != 0) ++failures;
      zorv_conf_release_section_write(sw);
      // Also write while holding nothing, beside the other editor.
      if (zorv_conf_write_file(nullptr) != 0) ++failures;
    }
  };
  std::thread t1(editor, "x"), t2(editor, "y");
  t1.join();
  t2.join();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_EQ(zorv_conf_load(path.c_str(), nullptr), 0);
  EXPECT_EQ(attr(ZORV_CONF_ROOT, "//swimlane/@x"), "19");
  EXPECT_EQ(attr(ZORV_CONF_ROOT, "//swimlane/@y"), "19");
  std::string cmd = std::string("rm -rf '") + tmpl + "'";
  ASSERT_EQ(system(cmd.c_str()), 0);
}

}  // namespace
