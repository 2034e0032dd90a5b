/* Lock-free readers beside merging writers (run under ThreadSanitizer):
 * drask_check_tags_each_dyn, drask_check_tags_generation_dyn and the tagset
 * completer on several threads while two writers merge into the same
 * checks. Tag texts handed out must stay valid and unchanged. */
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "modules/ostrel/internal.h"
#include "store_put.h"
#include "zorv/memory.h"

namespace {

constexpr int kChecks = 40;
constexpr int kTagsPerCheck = 24;
constexpr int kRounds = 30;

std::string check_uuid(int i) {
  char buf[40];
  snprintf(buf, sizeof(buf), "00000000-0000-4000-8000-%012d", i);
  return buf;
}
std::string tag_text(int check, int tag) {
  return "t" + std::to_string(tag) + ":check" + std::to_string(check);
}

/* The element's state after round r: live on even rounds. Both writers
 * send every element of every round, so the final state is known. */
bool tombstone_in_round(int round) { return round % 2 == 1; }

struct Seen {
  const char *ptr;
  std::string text;
};

TEST(StoreConcurrency, ReadersBesideMergingWriters) {
  ostrel_store_setup();
  std::vector<std::string> uuids;
  for (int c = 0; c < kChecks; c++) uuids.push_back(check_uuid(c));

  std::atomic<bool> done{false};
  // Writer 1 goes through the decoders' batch, whose early stages read
  // containers and tag tables outside the write lock.
  auto writer = [&](int id) {
    zorv_memory_init_thread();
    store_batch batch{};
    std::vector<std::string> texts(kChecks * kTagsPerCheck);
    for (int r = 0; r < kRounds; r++) {
      for (int c = 0; c < kChecks; c++) {
        int cc = (id == 0) ? c : kChecks - 1 - c;  // opposite orders
        for (int t = 0; t < kTagsPerCheck; t++) {
          if (id == 0) {
            put(uuids[cc], tag_text(cc, t), static_cast<uint64_t>(r) + 1,
                tombstone_in_round(r));
            continue;
          }
          std::string &text = texts[static_cast<size_t>(c * kTagsPerCheck + t)];
          text = tag_text(cc, t);
          setcrdt_alter_entry_t in{};
          in.value = text.data();
          in.info.seq = static_cast<uint64_t>(r) + 1;
          in.info.tombstone = tombstone_in_round(r) ? 1 : 0;
          in.info.len = static_cast<uint32_t>(text.size());
          store_batch_push(&batch, uuids[cc].data(),
                           static_cast<uint32_t>(uuids[cc].size()), &in);
        }
      }
      store_batch_flush(&batch);
    }
    zorv_memory_fini_thread();
  };

  std::atomic<long> reads{0};
  std::atomic<int> bad{0};
  auto reader = [&](int id) {
    zorv_memory_init_thread();
    std::vector<Seen> kept;  // texts handed out, checked again at the end
    std::map<int, uint64_t> last_gen;
    quib_metric_tag_t tags[QUIB_METRIC_MAX_TAGS];
    unsigned n = static_cast<unsigned>(id) * 7919u;
    while (!done.load(std::memory_order_acquire) || reads.load() < 200) {
      n = n * 1103515245u + 12345u;
      int c = static_cast<int>((n >> 8) % kChecks);
      uint64_t g = drask_check_tags_generation_dyn(uuids[c].c_str());
      if (g < last_gen[c]) bad++;  // generations only grow (no wrap here)
      last_gen[c] = g;

      // The tagset completer, as the metric path runs it.
      std::string uuid_tag = "__check_uuid:" + uuids[c];
      quib_metric_tagset_t ts{tags, 1, 0};
      tags[0].tag = uuid_tag.data();
      tags[0].total_size = static_cast<uint16_t>(uuid_tag.size());
      tags[0].category_size = 13;
      check_tag_tagset_completer(nullptr, QUIB_METRIC_TAGSET_CHECK, &ts);
      if (ts.tag_count > 1 + kTagsPerCheck) bad++;
      std::string suffix = ":check" + std::to_string(c);
      for (int i = 1; i < ts.tag_count; i++) {
        std::string t(ts.tags[i].tag, ts.tags[i].total_size);
        if (t[0] != 't' || t.size() < suffix.size() ||
            t.compare(t.size() - suffix.size(), suffix.size(), suffix) != 0) {
          bad++;
        }
        if (kept.size() < 2000 && (n & 15) == 0) {
          kept.push_back({ts.tags[i].tag, t});
        }
      }
      reads++;
    }
    for (auto &s : kept) {
      if (s.text != s.ptr) bad++;
    }
    zorv_memory_fini_thread();
  };

  std::vector<std::thread> readers;
  for (int i = 0; i < 3; i++) readers.emplace_back(reader, i + 1);
  std::thread w0(writer, 0), w1(writer, 1);
  w0.join();
  w1.join();
  done = true;
  for (auto &t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(reads.load(), 0);

  // The last round left every element as tombstone_in_round(kRounds - 1)
  // says; both writers sent the same elements, so each change counted once.
  bool live = !tombstone_in_round(kRounds - 1);
  for (int c = 0; c < kChecks; c++) {
    std::set<std::string> got;
    drask_check_tags_each_dyn(
        uuids[c].c_str(),
        [](void *cl, const char *t) {
          static_cast<std::set<std::string> *>(cl)->insert(t);
        },
        &got);
    EXPECT_EQ(got.size(), live ? size_t{kTagsPerCheck} : size_t{0}) << c;
    // Each element changed once per round; a round's second copy is a
    // no-op, so the generation counts exactly rounds x tags.
    EXPECT_EQ(drask_check_tags_generation_dyn(uuids[c].c_str()),
              static_cast<uint64_t>(kRounds) * kTagsPerCheck)
        << c;
  }
}

}  // namespace
