/* The two stream decoders, fed as libcurl would feed them: whole bodies,
 * one byte per call, and chunks split inside records. Streams are built
 * here byte by byte from the formats, independently of the decoders. */
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "log_capture.h"
#include "modules/ostrel/internal.h"

namespace {

const char *kError = "error/ostrel";

std::string be32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; i++) s[i] = static_cast<char>(v >> (24 - 8 * i));
  return s;
}
std::string le(uint64_t v, int bytes) {
  std::string s(static_cast<size_t>(bytes), '\0');
  for (int i = 0; i < bytes; i++) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}
std::string info(uint64_t seq, uint32_t len, bool tombstone) {
  return le(seq, 8) + le((len << 1) | (tombstone ? 1u : 0u), 4) +
         std::string("\xAA\xBB\xCC\xDD", 4);  // padding, never read
}

/* Full-state records. */
std::string rec(uint8_t type, const std::string &payload) {
  return std::string(1, static_cast<char>(type)) +
         be32(static_cast<uint32_t>(payload.size())) + payload;
}
std::string element(const std::string &tag, uint64_t seq, bool tomb = false) {
  return rec(4, info(seq, static_cast<uint32_t>(tag.size()), tomb)) +
         rec(3, tag);
}
std::string head() { return rec(0, "check") + rec(1, "tag"); }

/* One diff message. */
std::string diff(const std::string &uuid, const std::string &tag, uint64_t seq,
                 bool tomb = false) {
  std::string body = be32(static_cast<uint32_t>(uuid.size())) + uuid +
                     info(seq, static_cast<uint32_t>(tag.size()), tomb) + tag;
  return be32(static_cast<uint32_t>(body.size())) + body;
}

std::vector<std::string> live(const std::string &uuid) {
  std::vector<std::string> out;
  drask_check_tags_each_dyn(
      uuid.c_str(),
      [](void *c, const char *t) {
        static_cast<std::vector<std::string> *>(c)->push_back(t);
      },
      &out);
  std::sort(out.begin(), out.end());
  return out;
}
using Tags = std::vector<std::string>;

/* A record as the worker prepares it for a full-state pull. */
struct Record {
  cluster c{};
  Record() {
    c.cluster_id = 7;
    c.full_state = 255;
    zorv_dyn_buffer_init(&c.buffer);
  }
  ~Record() {
    zorv_dyn_buffer_destroy(&c.buffer);
    free(c.last_set_name);
  }
  /* Feeds the stream in chunks of `chunk` bytes (0: all at once); false
   * when the decoder refused a chunk. */
  bool feed(size_t (*decoder)(char *, size_t, size_t, void *),
            const std::string &stream, size_t chunk = 0) {
    if (chunk == 0) chunk = std::max<size_t>(stream.size(), 1);
    for (size_t off = 0; off < stream.size(); off += chunk) {
      std::string piece = stream.substr(off, chunk);
      if (decoder(piece.data(), 1, piece.size(), &c) != piece.size()) {
        return false;
      }
    }
    return true;
  }
  size_t buffered() { return zorv_dyn_buffer_used(&c.buffer); }
};

std::string uuid_n(int n) {
  char buf[40];
  snprintf(buf, sizeof(buf), "d1ff0000-0000-4000-8000-%012d", n);
  return buf;
}

class DecoderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ostrel_store_setup();
    errorls = zorv_log_stream_find(kError);
  }
  LogCapture logs;
};

TEST(FullStateTransitions, Table) {
  const bool expected[6][5] = {
      {true, false, false, false, false},  // 255
      {true, true, false, false, false},   // 0
      {true, true, true, false, false},    // 1
      {false, true, true, false, true},    // 2
      {false, false, true, false, true},   // 3
      {false, false, false, true, false},  // 4
  };
  const uint8_t from[6] = {255, 0, 1, 2, 3, 4};
  for (int f = 0; f < 6; f++) {
    for (uint8_t to = 0; to < 5; to++) {
      EXPECT_EQ(full_state_transition_allowed(from[f], to), expected[f][to])
          << int(from[f]) << "->" << int(to);
    }
    EXPECT_FALSE(full_state_transition_allowed(from[f], 5));
    EXPECT_FALSE(full_state_transition_allowed(from[f], 255));
  }
  for (uint8_t to = 0; to < 5; to++) {
    EXPECT_FALSE(full_state_transition_allowed(254, to));
  }
}

TEST_F(DecoderTest, FullStateStoresElementsWholeAndByteByByte) {
  for (size_t chunk : {size_t{0}, size_t{1}, size_t{7}}) {
    std::string u = uuid_n(static_cast<int>(100 + chunk));
    std::string stream = head() + rec(2, u) + element("env:prod", 1) +
                         element("team:ops", 2) + element("gone:yes", 3, true);
    Record r;
    ASSERT_TRUE(r.feed(read_full, stream, chunk)) << chunk;
    EXPECT_EQ(live(u), (Tags{"env:prod", "team:ops"})) << chunk;
    EXPECT_EQ(r.c.full_state, 3);
    EXPECT_EQ(r.buffered(), 0u);
  }
  EXPECT_TRUE(logs.lines().empty());
}

TEST_F(DecoderTest, FullStateEmptyNamesManySetsAndSkippedSets) {
  std::string a = uuid_n(1), b = uuid_n(2);
  std::string stream = rec(0, "") + rec(1, "") + rec(2, a) +
                       element("x:1", 1) + rec(2, a.substr(0, 35)) +
                       element("skipped:1", 1) + rec(2, b) + element("y:1", 1);
  Record r;
  ASSERT_TRUE(r.feed(read_full, stream));
  EXPECT_EQ(live(a), Tags{"x:1"});
  EXPECT_EQ(live(b), Tags{"y:1"});
  EXPECT_TRUE(logs.lines().empty());

  Record empty;
  EXPECT_TRUE(empty.feed(read_full, ""));
  EXPECT_EQ(empty.c.full_state, 255);
}

TEST_F(DecoderTest, FullStateRefusals) {
  struct Case {
    std::string stream;
    std::string prefix;   // message up to the payload
    std::string payload;  // shown when the whole record had arrived
    bool header_tells;    // refused as soon as the 5-byte header is in
  };
  std::string u = uuid_n(3);
  const std::string msg = "[7] error in setcrdt stream in state ";
  const std::vector<Case> cases = {
      {rec(0, "CHECK"), msg + "255->0", "CHECK", false},
      {rec(1, "tag"), msg + "255->1", "tag", true},
      {rec(0, "check") + rec(1, "tags"), msg + "0->1", "tags", true},
      {head() + rec(2, u) + rec(4, info(1, 3, false)) + rec(4, info(1, 3, false)),
       msg + "4->4", info(1, 3, false), true},
      {head() + rec(2, u) + rec(4, info(1, 9, false)) + rec(3, "env:prod"),
       msg + "4->3", "env:prod", true},
      {head() + rec(7, "x"), msg + "1->7", "x", true},
      {head() + rec(2, u) + rec(4, "short"), msg + "2->4", "short", true},
  };
  for (const auto &tc : cases) {
    for (size_t chunk : {size_t{0}, size_t{1}}) {
      logs.clear();
      Record r;
      EXPECT_FALSE(r.feed(read_full, tc.stream, chunk)) << tc.prefix;
      EXPECT_EQ(r.c.full_state, 254);
      // The payload is printed as text: it ends at its first NUL.
      std::string shown = (chunk == 1 && tc.header_tells)
                              ? ""
                              : tc.payload.substr(0, tc.payload.find('\0'));
      EXPECT_EQ(logs.count(kError, tc.prefix + " '" + shown + "'\n"), 1)
          << tc.prefix << " chunk " << chunk;
    }
  }
  EXPECT_EQ(live(u), Tags{});
}

TEST_F(DecoderTest, FullStateRefusesAHopelessHeaderAtOnce) {
  // A type-0 record announcing 4 GiB fails as soon as its header is in,
  // showing the payload bytes received so far.
  std::string stream = std::string(1, '\0') + be32(0xFFFFFFF0u) + "chec";
  Record r;
  EXPECT_FALSE(r.feed(read_full, stream));
  EXPECT_EQ(logs.count(kError, "[7] error in setcrdt stream in state 255->0 "
                               "'chec'\n"),
            1);
  // Likewise an element value longer than its info says.
  logs.clear();
  Record r2;
  std::string u = uuid_n(4);
  stream = head() + rec(2, u) + rec(4, info(1, 3, false)) + std::string(1, 3) +
           be32(1u << 30) + "ab";
  EXPECT_FALSE(r2.feed(read_full, stream));
  EXPECT_EQ(logs.count(kError, "[7] error in setcrdt stream in state 4->3 "
                               "'ab'\n"),
            1);
}

TEST_F(DecoderTest, WhatANodeSendsCostsAtMostOneRecordOfBuffer) {
  // A set name that is no UUID, announcing 200000 bytes: passed over as it
  // arrives, in 16 KiB writes, never held; the set after it is stored.
  std::string u = uuid_n(6);
  const std::string junk(200000, 'j');
  Record r;
  ASSERT_TRUE(r.feed(read_full, head() + rec(2, junk) + element("lost:1", 1)
                                    + rec(2, u) + element("kept:1", 1),
                     16384));
  EXPECT_EQ(live(u), Tags{"kept:1"});
  EXPECT_EQ(r.c.skip_pending, 0u);
  Record partial;  // cut inside the junk: left to pass over, not buffered
  ASSERT_TRUE(partial.feed(read_full, head() + rec(2, junk).substr(0, 70000),
                           16384));
  EXPECT_EQ(partial.buffered(), 0u);
  EXPECT_EQ(undecoded_bytes(&partial.c), 200000u + 5u - 70000u);

  // A tag longer than max_tag_bytes (64 KiB) is passed over as it streams,
  // logged once for its check and counted; the rest of the stream is
  // stored. 64 KiB itself is a tag. Every header arrives cut in two here,
  // which must not make the decoder hold the payload behind it.
  const std::string huge(65537, 'h');
  const std::string big_stream = head() + rec(2, u) + element(huge, 1) +
                                 element(huge + "i", 2) + element("kept:2", 1) +
                                 element(std::string(65536, 'e'), 1);
  Record big;
  const size_t value_at = head().size() + 41 + 21;  // the first huge value
  ASSERT_TRUE(big.feed(read_full, big_stream.substr(0, value_at + 3), 1));
  ASSERT_TRUE(big.feed(read_full, big_stream.substr(value_at + 3, 1002), 7));
  EXPECT_EQ(big.buffered(), 0u);
  EXPECT_EQ(undecoded_bytes(&big.c), 65537u - 1000u);
  ASSERT_TRUE(big.feed(read_full, big_stream.substr(value_at + 1005), 16384));
  EXPECT_EQ(live(u), (Tags{std::string(65536, 'e'), "kept:1", "kept:2"}));
  EXPECT_FALSE(stream_cut_short(&big.c));
  EXPECT_EQ(big.c.stats.oversized_skipped, 2u);
  EXPECT_EQ(logs.count(kError, "[7] passed over an element of check " + u +
                                   ": its tag of 65537 bytes is longer than "
                                   "max_tag_bytes (65536)\n"),
            1);
  EXPECT_EQ(logs.lines().size(), 1u);
  logs.clear();

  // Diff: a message of another kind (N 37) announcing 200000 bytes is
  // passed over; so is a check's element with a tag over the limit, decided
  // from the message's fixed part, logged and counted; a message shorter
  // than its own name length field is skipped without reading past it.
  std::string v = uuid_n(7);
  Record d;
  ASSERT_TRUE(d.feed(read_diff, be32(200000) + be32(37) + junk.substr(0, 199996)
                                    + be32(2) + "xy" + diff(v, "after:1", 1),
                     16384));
  EXPECT_EQ(live(v), Tags{"after:1"});
  EXPECT_EQ(undecoded_bytes(&d.c), 0u);
  Record tiny;
  ASSERT_TRUE(tiny.feed(read_diff, be32(2) + "xy" + diff(v, "tiny:1", 1), 1));
  EXPECT_EQ(live(v), (Tags{"after:1", "tiny:1"}));
  EXPECT_TRUE(logs.lines().empty());
  Record giant;
  const std::string giant_msg = diff(v, huge, 3);
  ASSERT_TRUE(giant.feed(read_diff, giant_msg.substr(0, 1000), 1));
  EXPECT_EQ(giant.buffered(), 0u);
  ASSERT_TRUE(giant.feed(read_diff, giant_msg.substr(1000) + diff(v, "behind:1", 1)));
  EXPECT_EQ(live(v), (Tags{"after:1", "behind:1", "tiny:1"}));
  EXPECT_EQ(giant.c.stats.oversized_skipped, 1u);
  EXPECT_EQ(logs.count(kError, "[7] passed over an element of check " + v +
                                   ": its tag of 65537 bytes is longer than "
                                   "max_tag_bytes (65536)\n"),
            1);
}

TEST_F(DecoderTest, FullStateKeepsAnIncompleteRecord) {
  std::string u = uuid_n(5);
  std::string stream = head() + rec(2, u) + element("a:b", 1);
  Record r;
  ASSERT_TRUE(r.feed(read_full, stream.substr(0, stream.size() - 2)));
  EXPECT_EQ(live(u), Tags{});
  EXPECT_EQ(r.buffered(), 5u + 3u - 2u);
  ASSERT_TRUE(r.feed(read_full, stream.substr(stream.size() - 2)));
  EXPECT_EQ(live(u), Tags{"a:b"});
  EXPECT_EQ(r.buffered(), 0u);
  EXPECT_FALSE(stream_cut_short(&r.c));
  // Ending between an element's info and its value loses that element:
  // cut short, though no byte is left over.
  Record info_only;
  ASSERT_TRUE(info_only.feed(read_full, head() + rec(2, u) + rec(4, info(2, 3, false))));
  EXPECT_EQ(undecoded_bytes(&info_only.c), 0u);
  EXPECT_TRUE(stream_cut_short(&info_only.c));
}

TEST_F(DecoderTest, DiffMessages) {
  std::string a = uuid_n(10), b = uuid_n(11), c = uuid_n(12);
  // L = 64 for an 8-byte tag.
  std::string m = diff(a, "env:prod", 1);
  ASSERT_EQ(m.size(), 68u);
  ASSERT_EQ(m.substr(0, 4), be32(64));

  Record r;
  // Split inside the info: stored once the second part arrives.
  ASSERT_TRUE(r.feed(read_diff, m.substr(0, 50)));
  EXPECT_EQ(live(a), Tags{});
  ASSERT_TRUE(r.feed(read_diff, m.substr(50)));
  EXPECT_EQ(live(a), Tags{"env:prod"});

  // Three in one chunk, in their order (a later removal wins).
  Record r2;
  ASSERT_TRUE(r2.feed(read_diff, diff(b, "x:1", 1) + diff(b, "y:1", 1) +
                                     diff(b, "x:1", 2, true)));
  EXPECT_EQ(live(b), Tags{"y:1"});

  // One byte at a time.
  Record r3;
  ASSERT_TRUE(r3.feed(read_diff, diff(c, "one:1", 1) + diff(c, "two:2", 1), 1));
  EXPECT_EQ(live(c), (Tags{"one:1", "two:2"}));
  EXPECT_EQ(r3.buffered(), 0u);
  EXPECT_TRUE(logs.lines().empty());
}

TEST_F(DecoderTest, DiffSkipsBadMessagesAndGoesOn) {
  std::string u = uuid_n(20);
  // N = 37: skipped silently.
  std::string n37 = be32(4 + 37 + 16 + 3) + be32(37) + u + "x" +
                    info(1, 3, false) + "a:b";
  // len 9 while L is 64: logged and skipped.
  std::string wrong_len = be32(64) + be32(36) + u + info(1, 9, false) + "bad:tag1";
  Record r;
  ASSERT_TRUE(r.feed(read_diff, n37 + diff(u, "ok:1", 1) + wrong_len +
                                    diff(u, "ok:2", 1)));
  EXPECT_EQ(live(u), (Tags{"ok:1", "ok:2"}));
  EXPECT_EQ(logs.count(kError, "[7] ostrel malformed diff message\n"), 1);

  // L below 56: malformed when more than 60 bytes are buffered from its
  // start, skipped silently otherwise.
  logs.clear();
  std::string short_msg = be32(40) + be32(36) + u.substr(0, 36);
  Record alone;
  ASSERT_TRUE(alone.feed(read_diff, short_msg));
  EXPECT_EQ(logs.count(kError, "[7] ostrel malformed diff message\n"), 0);
  Record followed;
  ASSERT_TRUE(followed.feed(read_diff, short_msg + diff(u, "ok:3", 1)));
  EXPECT_EQ(logs.count(kError, "[7] ostrel malformed diff message\n"), 1);
  EXPECT_EQ(live(u), (Tags{"ok:1", "ok:2", "ok:3"}));
}

// A chunk of many messages is merged through a short pipeline: order,
// generations and the malformed-message log must come out as if each
// message were stored on its own, also for a check first seen in the chunk
// and seen again right after, and for a name cut short by a NUL.
TEST_F(DecoderTest, DiffManyMessagesInOneChunkKeepTheirOrder) {
  std::vector<std::string> u;
  for (int i = 0; i < 3; i++) u.push_back(uuid_n(50 + i));
  std::string stream;
  int count = 0;
  for (int i = 0; i < 90; i++) {
    const std::string &check = u[static_cast<size_t>(i / 2 % 3)];  // pairs
    stream += diff(check, "t:" + std::to_string(i), 1);
    count++;
    if (i == 40) {
      stream += be32(64) + be32(36) + u[0] + info(1, 9, false) + "bad:tag1";
    }
  }
  // Added and removed within the chunk: the removal, later, wins.
  stream += diff(u[1], "gone:1", 1) + diff(u[1], "gone:1", 2, true);
  std::string cut = "cut" + std::string(1, '\0') + uuid_n(53).substr(4);
  stream += diff(cut, "c:1", 1);

  Record r;
  ASSERT_TRUE(r.feed(read_diff, stream));
  EXPECT_EQ(r.c.elements_merged, static_cast<uint64_t>(count + 3));
  EXPECT_EQ(logs.count(kError, "[7] ostrel malformed diff message\n"), 1);
  for (size_t k = 0; k < 3; k++) {
    Tags want;
    for (int i = 0; i < 90; i++)
      if (static_cast<size_t>(i / 2 % 3) == k) want.push_back("t:" + std::to_string(i));
    std::sort(want.begin(), want.end());
    EXPECT_EQ(live(u[k]), want);
    // One change per message: 30 additions (and the tag added and removed).
    EXPECT_EQ(drask_check_tags_generation_dyn(u[k].c_str()), k == 1 ? 32u : 30u);
  }
  EXPECT_EQ(live("cut"), Tags{"c:1"});
}

TEST_F(DecoderTest, DiffEmptyTagAtTheEndOfTheBufferIsTaken) {
  std::string u = uuid_n(30), v = uuid_n(31);
  Record r;
  ASSERT_TRUE(r.feed(read_diff, diff(u, "", 1)));  // 60 bytes, nothing after
  EXPECT_EQ(drask_check_tags_generation_dyn(u.c_str()), 1u);
  EXPECT_EQ(live(u), Tags{""});
  Record r2;
  ASSERT_TRUE(r2.feed(read_diff, diff(v, "", 1) + diff(v, "k:v", 1)));
  EXPECT_EQ(live(v), (Tags{"", "k:v"}));
  EXPECT_TRUE(logs.lines().empty());
}

TEST_F(DecoderTest, DiffTombstoneAndEmptyBody) {
  std::string u = uuid_n(40);
  Record r;
  ASSERT_TRUE(r.feed(read_diff, diff(u, "a:1", 5) + diff(u, "a:1", 6, true)));
  EXPECT_EQ(live(u), Tags{});
  EXPECT_EQ(drask_check_tags_generation_dyn(u.c_str()), 2u);
  Record empty;
  EXPECT_TRUE(empty.feed(read_diff, ""));
}

}  // namespace
