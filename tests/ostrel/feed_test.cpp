/* The pieces of the feed requests that judge what a node sent: the
 * checkpoint header, the error text of a failed checkpoint request, and the
 * body buffer that holds it. */
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "log_capture.h"
#include "modules/ostrel/internal.h"

namespace {

const char *kError = "error/ostrel";

struct Record {
  cluster c{};
  Record() { zorv_dyn_buffer_init(&c.buffer); }
  ~Record() {
    zorv_dyn_buffer_destroy(&c.buffer);
    free(c.checkpoint);
  }
  /* One header line as libcurl hands it over (not NUL-terminated). */
  size_t header(const std::string &line) {
    std::string copy = line + "GARBAGE";
    return capture_checkpoint(copy.data(), 1, line.size(), &c);
  }
  std::string checkpoint() const { return c.checkpoint ? c.checkpoint : "<none>"; }
};

class FeedTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { errorls = zorv_log_stream_find(kError); }
  LogCapture logs;
};

TEST_F(FeedTest, CheckpointHeaderIsTaken) {
  Record r;
  const std::string line = "x-drask-feed-checkpoint:   0123abcd:89abcdef\r\n";
  EXPECT_EQ(r.header(line), line.size());  // always takes the whole line
  EXPECT_EQ(r.checkpoint(), "0123abcd:89abcdef");
  EXPECT_TRUE(r.c.checkpoint_changed);

  r.header("X-DRASK-FEED-CHECKPOINT:0123abcd:89abcdef\r\n");  // same token
  EXPECT_FALSE(r.c.checkpoint_changed);
  r.header("X-Drask-Feed-Checkpoint:0123abcd:89abcdf0XYZ\r\n");  // trailing
  EXPECT_EQ(r.checkpoint(), "0123abcd:89abcdf0");
  EXPECT_TRUE(r.c.checkpoint_changed);

  // Other headers are not looked at.
  r.header("Content-Type: application/json\r\n");
  r.header("X-Drask-Feed-Checkpoints: 00000000:00000000\r\n");
  EXPECT_EQ(r.checkpoint(), "0123abcd:89abcdf0");
  EXPECT_TRUE(logs.lines().empty());
}

TEST_F(FeedTest, BadTokensAreRefused) {
  struct Case {
    std::string value;
    int position;  // reported when the record has no checkpoint
  };
  for (const Case &tc : {Case{"0123ABCD:89abcdef", 4}, Case{"0123abcd-89abcdef", 8},
                         Case{"0123abcd:89abcde\r\n", 16}}) {
    logs.clear();
    Record fresh;
    fresh.header("X-Drask-Feed-Checkpoint: " + tc.value + "\r\n");
    EXPECT_EQ(fresh.checkpoint(), "<none>") << tc.value;
    std::string token = (tc.value + "\r\n").substr(0, 17);
    EXPECT_EQ(logs.count(kError, "Invalid checkpoint header @ " +
                                     std::to_string(tc.position) + ": " + token +
                                     "\n"),
              1)
        << tc.value;

    // With a checkpoint already held: silent, and the old one stays.
    logs.clear();
    Record held;
    held.header("X-Drask-Feed-Checkpoint: 00000000:00000001\r\n");
    held.c.checkpoint_changed = false;
    held.header("X-Drask-Feed-Checkpoint: " + tc.value + "\r\n");
    EXPECT_EQ(held.checkpoint(), "00000000:00000001");
    EXPECT_FALSE(held.c.checkpoint_changed);
    EXPECT_TRUE(logs.lines().empty());
  }
}

TEST_F(FeedTest, ShortAndLongHeaderLines) {
  Record r;
  // 16 characters or fewer after the white space: ignored, no message.
  r.header("X-Drask-Feed-Checkpoint: 0123abcd:89ab\r\n");
  r.header("X-Drask-Feed-Checkpoint:");
  EXPECT_EQ(r.checkpoint(), "<none>");
  EXPECT_TRUE(logs.lines().empty());
  // Only the first 127 bytes count: a token pushed past them by white space
  // is too short to be read.
  std::string pad(110, ' ');
  r.header("X-Drask-Feed-Checkpoint:" + pad + "0123abcd:89abcdef\r\n");
  EXPECT_EQ(r.checkpoint(), "<none>");
  std::string pad_ok(86, ' ');
  r.header("X-Drask-Feed-Checkpoint:" + pad_ok + "0123abcd:89abcdef\r\n");
  EXPECT_EQ(r.checkpoint(), "0123abcd:89abcdef");
}

std::string error_of(const std::string &body) {
  zorv_dyn_buffer_t b;
  zorv_dyn_buffer_init(&b);
  std::string copy = body;
  EXPECT_EQ(populate_dyn_buff(copy.data(), 1, copy.size(), &b), copy.size());
  EXPECT_EQ(strlen(zorv_dyn_buffer_data(&b)), body.size());
  char *e = get_json_error_from_dyn_buffer(&b);
  std::string out = e ? e : "<null>";
  free(e);
  zorv_dyn_buffer_destroy(&b);
  return out;
}

TEST(FeedErrors, JsonErrorText) {
  EXPECT_EQ(error_of("{\"error\":\"busy\"}"), "busy");
  EXPECT_EQ(error_of("{\"checkpoint\":\"0123abcd:89abcdef\"}"), "<null>");
  EXPECT_EQ(error_of("{\"error\":42}"), "<null>");
  EXPECT_EQ(error_of("[\"error\"]"), "<null>");
  // Not JSON: the parser's own complaint, whatever its wording.
  std::string html = error_of("<html><body>Internal error</body></html>");
  EXPECT_NE(html, "<null>");
  EXPECT_FALSE(html.empty());
  // No body at all still reads as (empty) text.
  EXPECT_NE(error_of(""), "<null>");
}

TEST_F(FeedTest, RequestsWithoutAClientMakeNoTransfer) {
  // This executable has no kavalin client lookup registered by the test
  // for cluster 77, so no node can be chosen.
  Record r;
  r.c.cluster_id = 77;
  r.c.checkpoint = strdup("0123abcd:89abcdef");
  EXPECT_FALSE(establish_checkpoint(&r.c));
  EXPECT_EQ(pull_it(&r.c, "/meta/check/tag", read_full), 0);
  drop_checkpoint(&r.c);
  EXPECT_EQ(r.checkpoint(), "<none>");  // forgotten even so
  EXPECT_TRUE(logs.lines().empty());
}

}  // namespace
