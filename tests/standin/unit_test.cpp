// In-process tests of the stand-in's database, tokens, generator, encoders,
// snapshot and stream faults. Encoded bytes are checked with the tests'
// own decoders (support/feed_decoders), never with the encoders.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>

#include "standin/byte_source.h"
#include "standin/checkpoints.h"
#include "standin/database.h"
#include "standin/diff_encoder.h"
#include "standin/faults.h"
#include "standin/full_state_encoder.h"
#include "standin/generator.h"
#include "standin/options.h"
#include "standin/snapshot.h"
#include "standin/support/feed_decoders.h"

using namespace standin;
using standin_test::decode_diff;
using standin_test::decode_full_state;

namespace {

constexpr const char *kCheckA = "aaaaaaaa-0000-4000-8000-000000000001";
constexpr const char *kCheckB = "bbbbbbbb-0000-4000-8000-000000000002";

// Reads a whole source, `chunk` bytes at a time at most.
std::string drain(ByteSource &source, size_t chunk = 4096, ssize_t *last = nullptr) {
  std::string out;
  std::string buf(chunk, '\0');
  for (int guard = 0; guard < 10'000'000; ++guard) {
    ssize_t n = source.read(buf.data(), chunk);
    if (last) *last = n;
    if (n == kStreamWait) continue;
    if (n <= 0) break;
    out.append(buf.data(), static_cast<size_t>(n));
  }
  return out;
}

std::string snapshot_text(const std::shared_ptr<Dataset> &dataset) {
  SnapshotSource source(dataset);
  return drain(source);
}

}  // namespace

TEST(Database, ChangesBumpSequenceAndAppendToTheLog) {
  Database db;
  ChangeResult added = db.add_tag(kCheckA, "env:prod");
  EXPECT_EQ(added.status, ChangeStatus::changed);
  EXPECT_EQ(added.seq, 1u);
  EXPECT_EQ(added.log_end, 1u);

  ChangeResult again = db.add_tag(kCheckA, "env:prod");
  EXPECT_EQ(again.status, ChangeStatus::unchanged) << "adding a live tag changes nothing";
  EXPECT_EQ(again.log_end, 1u);

  ChangeResult removed = db.remove_tag(kCheckA, "env:prod");
  EXPECT_EQ(removed.status, ChangeStatus::changed);
  EXPECT_EQ(removed.seq, 2u);
  EXPECT_TRUE(removed.tombstone);

  EXPECT_EQ(db.remove_tag(kCheckA, "env:prod").status, ChangeStatus::not_found)
      << "a tombstone cannot be removed again";
  EXPECT_EQ(db.remove_tag(kCheckB, "env:prod").status, ChangeStatus::not_found);

  ChangeResult readded = db.add_tag(kCheckA, "env:prod");
  EXPECT_EQ(readded.seq, 3u);
  EXPECT_FALSE(readded.tombstone);

  auto dataset = db.current();
  ASSERT_EQ(dataset->log.size(), 3u);
  EXPECT_EQ(dataset->log[1].seq, 2u);
  EXPECT_EQ(dataset->log[1].tag_tomb & 1u, 1u);
  EXPECT_EQ(dataset->log[2].tag_tomb & 1u, 0u);
  auto elements = db.elements_of(kCheckA);
  ASSERT_TRUE(elements);
  ASSERT_EQ(elements->size(), 1u) << "re-adding reuses the element";
}

TEST(Database, ExplicitSequenceNumbersMustGrow) {
  Database db;
  EXPECT_EQ(db.add_tag(kCheckA, "env:prod", 0x123456789abULL).seq, 0x123456789abULL);
  EXPECT_EQ(db.add_tag(kCheckA, "env:prod", 5).status, ChangeStatus::stale_seq);
  EXPECT_EQ(db.add_tag(kCheckA, "env:prod", 0x123456789abULL).status, ChangeStatus::stale_seq);
  ChangeResult forced = db.add_tag(kCheckA, "env:prod", 0x123456789acULL);
  EXPECT_EQ(forced.status, ChangeStatus::changed) << "an explicit seq re-announces a live tag";
  EXPECT_EQ(db.remove_tag(kCheckA, "env:prod").seq, 0x123456789adULL);
  EXPECT_EQ(db.add_tag(kCheckA, "x:y", 0).status, ChangeStatus::bad_input);
}

TEST(Database, RefusesBadInputAndFoldsUuidCase) {
  Database db;
  EXPECT_EQ(db.add_tag("not-a-uuid", "env:prod").status, ChangeStatus::bad_input);
  EXPECT_EQ(db.add_tag("aaaaaaaa-0000-4000-8000-00000000000g", "env:prod").status,
            ChangeStatus::bad_input);
  EXPECT_EQ(db.add_tag("aaaaaaaa00000-4000-8000-000000000001", "env:prod").status,
            ChangeStatus::bad_input);
  EXPECT_EQ(db.add_tag(kCheckA, "").status, ChangeStatus::bad_input);
  EXPECT_EQ(db.add_tag(kCheckA, "a\tb").status, ChangeStatus::bad_input);
  EXPECT_EQ(db.add_tag(kCheckA, "a\nb").status, ChangeStatus::bad_input);
  EXPECT_EQ(db.add_tag(kCheckA, std::string(kMaxTagLength + 1, 'x')).status,
            ChangeStatus::bad_input);
  EXPECT_EQ(db.current()->log.size(), 0u);

  db.add_tag("AAAAAAAA-0000-4000-8000-000000000001", "env:prod");
  EXPECT_EQ(db.add_tag(kCheckA, "env:prod").status, ChangeStatus::unchanged)
      << "upper-case input names the same check";
  EXPECT_EQ(db.current()->checks.size(), 1u);
}

TEST(Database, ReplacingGivesANewEpochAndKeepsOldReadersWhole) {
  Database db;
  db.add_tag(kCheckA, "env:prod");
  auto old = db.current();
  uint32_t old_epoch = old->base_epoch;
  db.replace(generate_dataset(5, 2, 9));
  EXPECT_NE(db.current()->base_epoch, old_epoch);
  EXPECT_EQ(db.current()->log.size(), 0u);
  EXPECT_EQ(old->log.size(), 1u) << "a stream still reading the old dataset keeps it";
}

TEST(CheckIndex, FindsEveryCheckAcrossRehashes) {
  Dataset dataset;
  for (uint32_t i = 0; i < 5000; ++i) {
    Uuid uuid{};
    uuid[0] = static_cast<uint8_t>(i >> 8);
    uuid[15] = static_cast<uint8_t>(i);
    uuid[7] = 0x5a;  // identical bytes elsewhere: the hash must still spread
    dataset.add_check(uuid, 0);
  }
  for (uint32_t i = 0; i < 5000; ++i) {
    Uuid uuid{};
    uuid[0] = static_cast<uint8_t>(i >> 8);
    uuid[15] = static_cast<uint8_t>(i);
    uuid[7] = 0x5a;
    auto found = dataset.find_check(uuid);
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, i);
  }
  Uuid absent{};
  absent[3] = 1;
  EXPECT_FALSE(dataset.find_check(absent));
}

TEST(Tokens, FormatAndParse) {
  EXPECT_EQ(format_token({0x0123abcd, 0x89abcdef}), "0123abcd:89abcdef");
  EXPECT_EQ(format_token({0, 7}), "00000000:00000007");
  auto token = parse_token("0123abcd:89abcdef");
  ASSERT_TRUE(token);
  EXPECT_EQ(token->epoch, 0x0123abcdu);
  EXPECT_EQ(token->position, 0x89abcdefu);
  EXPECT_FALSE(parse_token("0123ABCD:89abcdef")) << "upper-case hex is not ours";
  EXPECT_FALSE(parse_token("0123abcd-89abcdef"));
  EXPECT_FALSE(parse_token("0123abcd:89abcde"));
  EXPECT_FALSE(parse_token("0123abcd:89abcdef0"));
  EXPECT_FALSE(parse_token("0123abcd:89abcdeg"));
}

TEST(Tokens, CheckpointTableAdvancesOnlyForward) {
  CheckpointTable table;
  const uint32_t epoch = 0xfeed0001;
  ASSERT_TRUE(table.create("s", {epoch, 5}));
  EXPECT_FALSE(table.create("s", {epoch, 6})) << "one checkpoint per subscriber";
  Token accepted;
  EXPECT_EQ(table.advance("t", format_token({epoch, 5}), epoch, 10, &accepted),
            AdvanceStatus::no_checkpoint);
  EXPECT_EQ(table.advance("s", "garbage", epoch, 10, &accepted), AdvanceStatus::malformed);
  EXPECT_EQ(table.advance("s", format_token({epoch + 1, 5}), epoch, 10, &accepted),
            AdvanceStatus::foreign);
  EXPECT_EQ(table.advance("s", format_token({epoch, 4}), epoch, 10, &accepted),
            AdvanceStatus::behind);
  EXPECT_EQ(table.advance("s", format_token({epoch, 11}), epoch, 10, &accepted),
            AdvanceStatus::ahead);
  EXPECT_EQ(table.advance("s", format_token({epoch, 8}), epoch, 10, &accepted), AdvanceStatus::ok);
  EXPECT_EQ(accepted.position, 8u);
  EXPECT_EQ(table.advance("s", format_token({epoch, 5}), epoch, 10, &accepted),
            AdvanceStatus::behind)
      << "presenting a token acknowledges everything before it";
  EXPECT_TRUE(table.remove("s"));
  EXPECT_FALSE(table.remove("s"));
}

TEST(Generator, IsDeterministicPerSeedAndRealistic) {
  std::shared_ptr<Dataset> a = generate_dataset(300, 10, 42);
  std::shared_ptr<Dataset> b = generate_dataset(300, 10, 42);
  std::shared_ptr<Dataset> c = generate_dataset(300, 10, 43);
  std::string text_a = snapshot_text(a);
  EXPECT_EQ(text_a, snapshot_text(b));
  EXPECT_NE(text_a, snapshot_text(c));
  ASSERT_EQ(a->checks.size(), 300u);
  EXPECT_EQ(a->element_count, 3000u);

  size_t tag_bytes = 0;
  bool high_seq = false;
  for (const Check &check : a->checks) {
    std::string uuid = uuid_text(check.uuid);
    EXPECT_EQ(uuid[14], '4') << uuid;
    std::set<uint32_t> distinct;
    ASSERT_EQ(check.count, 10u);
    for (uint32_t i = 0; i < check.count; ++i) {
      const Element &e = check.elements[i];
      distinct.insert(e.tag());
      tag_bytes += a->tags.text(e.tag()).size();
      EXPECT_GE(e.seq(), 1u);
      EXPECT_LE(e.seq(), 1ULL << 40);
      EXPECT_FALSE(e.tombstone());
      high_seq = high_seq || e.seq() > UINT32_MAX;
    }
    EXPECT_EQ(distinct.size(), 10u) << "tags of one check are distinct";
  }
  EXPECT_TRUE(high_seq) << "sequence numbers use more than the low 32 bits";
  double average = static_cast<double>(tag_bytes) / 3000.0;
  EXPECT_GT(average, 8.0);
  EXPECT_LT(average, 20.0);
  EXPECT_TRUE(generator_problem(60'000'000, 1));
  EXPECT_TRUE(generator_problem(1000, 1001));
  EXPECT_FALSE(generator_problem(1'000'000, 10));
}

TEST(Encoders, FullStateCarriesEveryElementTombstonesIncluded) {
  Database db;
  db.add_tag(kCheckB, "env:prod");
  db.add_tag(kCheckA, "host:web0042", 0x0102030405060708ULL);
  db.add_tag(kCheckA, "region:eu-west-1");
  db.remove_tag(kCheckA, "region:eu-west-1");

  FullStateSource source(db.current());
  std::string bytes = drain(source);
  // The names come first, byte for byte.
  ASSERT_GE(bytes.size(), 18u);
  EXPECT_EQ(bytes.substr(0, 18), std::string("\x00\x00\x00\x00\x05" "check" "\x01\x00\x00\x00\x03" "tag", 18));

  auto decoded = decode_full_state(bytes);
  ASSERT_EQ(decoded.error, "");
  EXPECT_EQ(decoded.trailing, 0u);
  ASSERT_EQ(decoded.sets.size(), 2u);
  EXPECT_EQ(decoded.sets[0], kCheckB) << "checks in the order they were made";
  ASSERT_EQ(decoded.elements.size(), 3u);
  EXPECT_EQ(decoded.elements[1].tag, "host:web0042");
  EXPECT_EQ(decoded.elements[1].seq, 0x0102030405060708ULL);
  EXPECT_EQ(decoded.elements[1].padding, 0u);
  EXPECT_EQ(decoded.elements[2].tag, "region:eu-west-1");
  EXPECT_TRUE(decoded.elements[2].tombstone);
  EXPECT_EQ(decoded.elements[2].seq, 2u);
  EXPECT_EQ(standin_test::canonical_from_elements(decoded.elements), snapshot_text(db.current()));

  FullStateSource bytewise(db.current());
  EXPECT_EQ(drain(bytewise, 1), bytes) << "the stream does not depend on the reader's chunk size";
}

TEST(Encoders, FullStateOfAGeneratedDatasetSpansManyPieces) {
  std::shared_ptr<Dataset> dataset = generate_dataset(3000, 10, 7);
  FullStateSource source(dataset);
  std::string bytes = drain(source, 1000);
  EXPECT_GT(bytes.size(), 3 * StagedSource::kPieceSize);
  auto decoded = decode_full_state(bytes);
  ASSERT_EQ(decoded.error, "");
  EXPECT_EQ(decoded.sets.size(), 3000u);
  EXPECT_EQ(decoded.elements.size(), 30000u);
  EXPECT_EQ(standin_test::canonical_from_elements(decoded.elements), snapshot_text(dataset));
}

TEST(Encoders, CorruptionLandsBeforeTheChosenCheck) {
  std::shared_ptr<Dataset> dataset = generate_dataset(5, 2, 3);
  for (uint32_t before : {0u, 3u, 5u, 99u}) {
    FullStateSource source(dataset, before);
    auto decoded = decode_full_state(drain(source));
    EXPECT_NE(decoded.error.find("record type 7"), std::string::npos) << before;
    EXPECT_EQ(decoded.sets.size(), std::min(before, 5u)) << before;
  }
}

TEST(Encoders, DiffMessagesFollowTheLog) {
  Database db;
  db.add_tag(kCheckA, "env:prod");
  db.add_tag(kCheckB, std::string(300, 'x') + ":long");
  db.remove_tag(kCheckA, "env:prod");
  db.add_tag(kCheckA, "env:prod", 0xfffffffffffffff0ULL);

  DiffSource all(db.current(), 0, 4);
  std::string bytes = drain(all, 7);
  // The first message, byte for byte: L = 8 + 56, N = 36.
  std::string expected_head("\x00\x00\x00\x40\x00\x00\x00\x24", 8);
  expected_head += kCheckA;
  expected_head += std::string("\x01\0\0\0\0\0\0\0" "\x10\0\0\0" "\0\0\0\0", 16);
  expected_head += "env:prod";
  EXPECT_EQ(bytes.substr(0, expected_head.size()), expected_head);

  auto decoded = decode_diff(bytes);
  ASSERT_EQ(decoded.error, "");
  EXPECT_EQ(decoded.trailing, 0u);
  ASSERT_EQ(decoded.messages.size(), 4u);
  EXPECT_EQ(decoded.messages[1].tag.size(), 305u);
  EXPECT_TRUE(decoded.messages[2].tombstone);
  EXPECT_EQ(decoded.messages[2].seq, 2u);
  EXPECT_EQ(decoded.messages[3].seq, 0xfffffffffffffff0ULL);
  EXPECT_FALSE(decoded.messages[3].tombstone);

  DiffSource middle(db.current(), 1, 3);
  auto part = decode_diff(drain(middle));
  ASSERT_EQ(part.messages.size(), 2u);
  EXPECT_EQ(part.messages[0].check, kCheckB);

  DiffSource none(db.current(), 4, 4);
  EXPECT_EQ(drain(none), "");
}

TEST(Snapshot, CanonicalTextSortsChecksAndTags) {
  Database db;
  db.add_tag(kCheckB, "zeta:1");
  db.add_tag(kCheckB, "alpha:2");
  db.add_tag(kCheckA, "env:prod");
  db.add_tag(kCheckA, "Env:prod");  // upper case sorts first in byte order
  db.add_tag("cccccccc-0000-4000-8000-000000000003", "gone:yes");
  db.remove_tag("cccccccc-0000-4000-8000-000000000003", "gone:yes");
  EXPECT_EQ(snapshot_text(db.current()),
            std::string(kCheckA) + "\tEnv:prod\tenv:prod\n" + kCheckB + "\talpha:2\tzeta:1\n" +
                "cccccccc-0000-4000-8000-000000000003\n");
  Database empty;
  EXPECT_EQ(snapshot_text(empty.current()), "");
}

namespace {

// A source of n bytes 'a'..: stands in for an encoder under the fault wrapper.
class Counting : public ByteSource {
 public:
  explicit Counting(size_t n) : left_(n) {}
  ssize_t read(char *buf, size_t max) override {
    size_t n = std::min(max, left_);
    for (size_t i = 0; i < n; ++i) buf[i] = static_cast<char>('a' + (i % 26));
    left_ -= n;
    return static_cast<ssize_t>(n);
  }

 private:
  size_t left_;
};

std::shared_ptr<std::atomic<bool>> alive() { return std::make_shared<std::atomic<bool>>(true); }

}  // namespace

TEST(StreamFaults, TruncateEndsCleanlyAndCloseFailsAfterExactlyKBytes) {
  StreamFaults truncate;
  truncate.truncate_after = 1000;
  FaultedSource truncated(std::make_unique<Counting>(5000), truncate, alive());
  ssize_t last = 99;
  EXPECT_EQ(drain(truncated, 333, &last).size(), 1000u);
  EXPECT_EQ(last, 0) << "a regular end";

  StreamFaults close;
  close.close_after = 1000;
  FaultedSource closed(std::make_unique<Counting>(5000), close, alive());
  EXPECT_EQ(drain(closed, 333, &last).size(), 1000u);
  EXPECT_EQ(last, kStreamError);

  FaultedSource short_body(std::make_unique<Counting>(10), close, alive());
  EXPECT_EQ(drain(short_body, 333, &last).size(), 10u);
  EXPECT_EQ(last, 0) << "a body shorter than K ends normally";
}

TEST(StreamFaults, StallHoldsTheRateAndLetsGoWhenTheNodeStops) {
  StreamFaults stall;
  stall.stall_rate = 1000;
  FaultedSource slow(std::make_unique<Counting>(300), stall, alive());
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(drain(slow, 4096).size(), 300u);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_GT(seconds, 0.25);
  EXPECT_LT(seconds, 3.0);

  auto flag = alive();
  stall.stall_rate = 1;
  FaultedSource stuck(std::make_unique<Counting>(300), stall, flag);
  char buf[16];
  EXPECT_EQ(stuck.read(buf, sizeof buf), 1) << "the first byte goes at once";
  EXPECT_EQ(stuck.read(buf, sizeof buf), kStreamWait) << "the second is a second away";
  flag->store(false);
  EXPECT_EQ(stuck.read(buf, sizeof buf), kStreamError);
}

TEST(Options, DefaultsAndErrors) {
  std::string error;
  auto options = parse_options({"--nodes", "4", "--base-port", "9100", "--batch=50"}, &error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->nodes, 4);
  EXPECT_EQ(options->base_port, 9100);
  EXPECT_EQ(options->admin_port.value_or(0), 9104) << "the admin port follows the nodes";
  EXPECT_EQ(options->batch, 50u);
  EXPECT_EQ(options->tags_per_check, 10u);

  options = parse_options({"--nodes", "2"}, &error);
  ASSERT_TRUE(options);
  EXPECT_FALSE(options->admin_port) << "ephemeral ports: the admin port too";

  EXPECT_FALSE(parse_options({"--nodes", "0"}, &error));
  EXPECT_FALSE(parse_options({"--nodes", "x"}, &error));
  EXPECT_FALSE(parse_options({"--base-port", "65535", "--nodes", "3"}, &error));
  EXPECT_FALSE(parse_options({"--batch", "0"}, &error));
  EXPECT_FALSE(parse_options({"--log-level", "loud"}, &error));
  EXPECT_FALSE(parse_options({"--frobnicate", "1"}, &error));
  EXPECT_NE(error.find("frobnicate"), std::string::npos);
  EXPECT_FALSE(parse_options({"--checks"}, &error));
}
