// Hash tables: result codes, what is released and when, growth and
// shrinking, iteration, and (under AddressSanitizer) readers beside a
// writer whose frees are deferred.

#include "zorv/hash.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/hash_scenarios.h"
#include "zorv/memory.h"

namespace {

// Records every pointer a release function is given.
std::vector<void *> g_released_keys, g_released_values;
void record_key(void *p) { g_released_keys.push_back(p); }
void record_value(void *p) { g_released_values.push_back(p); }

class HashTable : public ::testing::Test {
 protected:
  void SetUp() override {
    g_released_keys.clear();
    g_released_values.clear();
    zorv_hash_init(&table_);
  }
  void TearDown() override { zorv_hash_destroy(&table_, nullptr, nullptr); }
  void *get(const std::string &k) {
    void *v = nullptr;
    return zorv_hash_retrieve(&table_, k.data(), static_cast<int>(k.size()), &v) ? v : nullptr;
  }
  zorv_hash_table table_;
  // Keys live as long as the fixture; the table only points at them.
  std::vector<std::string> keys_{"alpha", "beta", "gamma", "delta", ""};
  int v1_ = 1, v2_ = 2, v3_ = 3;
};

TEST_F(HashTable, StoreInsertsOnlyWhenAbsent) {
  EXPECT_EQ(zorv_hash_store(&table_, "alpha", 5, &v1_), 1);
  EXPECT_EQ(zorv_hash_store(&table_, "alpha", 5, &v2_), 0);
  EXPECT_EQ(get("alpha"), &v1_);
  EXPECT_EQ(zorv_hash_size(&table_), 1);
}

TEST_F(HashTable, KeysAreBytesWithTheirLength) {
  const char text[] = "abc\0def";
  EXPECT_EQ(zorv_hash_store(&table_, text, 7, &v1_), 1);
  EXPECT_EQ(zorv_hash_store(&table_, text, 3, &v2_), 1);  // "abc"
  EXPECT_EQ(zorv_hash_store(&table_, "", 0, &v3_), 1);    // the empty key
  EXPECT_EQ(get(std::string(text, 7)), &v1_);
  EXPECT_EQ(get("abc"), &v2_);
  EXPECT_EQ(get(""), &v3_);
  EXPECT_EQ(get("ABC"), nullptr);  // case matters
  EXPECT_EQ(zorv_hash_size(&table_), 3);

  // Short keys (up to 8 bytes) are compared inside the slot; the same bytes
  // at another length, or as the head of a longer key, are other keys, and
  // iteration and release still hand out the caller's pointer and length.
  const int64_t id = 0x0102030405060708;
  const char *id_key = reinterpret_cast<const char *>(&id);
  EXPECT_EQ(zorv_hash_store(&table_, id_key, 8, &v1_), 1);
  EXPECT_EQ(zorv_hash_store(&table_, id_key, 4, &v2_), 1);
  EXPECT_EQ(get(std::string(id_key, 8)), &v1_);
  EXPECT_EQ(get(std::string(id_key, 4)), &v2_);
  EXPECT_EQ(get(std::string(id_key, 7)), nullptr);
  auto peek = [&](const char *key, int len) {
    return zorv_hash_peek(&table_, key, len, zorv_hash_key_hash(key, len));
  };
  EXPECT_EQ(peek(id_key, 8), &v1_);
  EXPECT_EQ(peek(id_key, 7), nullptr);
  EXPECT_EQ(peek(text, 3), &v2_);
  std::map<int, const char *> seen;  // length -> key pointer
  zorv_hash_iter it = ZORV_HASH_ITER_ZERO;
  const char *k;
  int kl;
  while (zorv_hash_adv(&table_, &it, &k, &kl, nullptr)) seen[kl] = k;
  EXPECT_EQ(seen[8], id_key);
  EXPECT_EQ(seen[4], id_key);
  EXPECT_EQ(seen[3], text);
  EXPECT_EQ(zorv_hash_delete(&table_, id_key, 8, record_key, nullptr), 1);
  EXPECT_EQ(g_released_keys, std::vector<void *>{const_cast<char *>(id_key)});
  EXPECT_EQ(get(std::string(id_key, 4)), &v2_);
}

TEST_F(HashTable, RetrieveCopyReadsAFieldOfTheValueFound) {
  struct Record {
    int64_t id;
    int32_t small;
    void *ptr;
    char text[3];
  } rec{0x0102030405060708, -7, &v2_, {'x', 'y', 'z'}}, other{9, 11, nullptr, {}};
  ASSERT_EQ(zorv_hash_store(&table_, &rec.id, 8, &rec), 1);
  ASSERT_EQ(zorv_hash_store(&table_, "a long key, not short", 21, &other), 1);
  int32_t small = 0;
  void *ptr = nullptr;
  char text[3] = {};
  EXPECT_EQ(zorv_hash_retrieve_copy(&table_, &rec.id, 8, offsetof(Record, small), &small, 4), 1);
  EXPECT_EQ(zorv_hash_retrieve_copy(&table_, &rec.id, 8, offsetof(Record, ptr), &ptr, sizeof ptr), 1);
  EXPECT_EQ(zorv_hash_retrieve_copy(&table_, &rec.id, 8, offsetof(Record, text), text, 3), 1);
  EXPECT_EQ(small, -7);
  EXPECT_EQ(ptr, &v2_);
  EXPECT_EQ(std::string(text, 3), "xyz");
  EXPECT_EQ(zorv_hash_retrieve_copy(&table_, "a long key, not short", 21, offsetof(Record, small), &small, 4), 1);
  EXPECT_EQ(small, 11);
  // Absent keys, the same bytes at another length, and bad keys leave out alone.
  const int64_t missing = 0x0102030405060709;
  EXPECT_EQ(zorv_hash_retrieve_copy(&table_, &missing, 8, 0, &small, 4), 0);
  EXPECT_EQ(zorv_hash_retrieve_copy(&table_, &rec.id, 4, 0, &small, 4), 0);
  EXPECT_EQ(zorv_hash_retrieve_copy(&table_, nullptr, 8, 0, &small, 4), 0);
  EXPECT_EQ(small, 11);
}

TEST_F(HashTable, BadKeysAreRefused) {
  EXPECT_EQ(zorv_hash_store(&table_, nullptr, 0, &v1_), 0);
  EXPECT_EQ(zorv_hash_store(&table_, "x", -1, &v1_), 0);
  EXPECT_EQ(zorv_hash_replace(&table_, nullptr, 3, &v1_, nullptr, nullptr), 0);
  EXPECT_EQ(zorv_hash_set(&table_, "x", -5, &v1_, nullptr, nullptr), 0);
  void *v;
  EXPECT_EQ(zorv_hash_retrieve(&table_, nullptr, 1, &v), 0);
  EXPECT_EQ(zorv_hash_delete(&table_, "x", -1, nullptr, nullptr), 0);
  EXPECT_EQ(zorv_hash_size(&table_), 0);
}

TEST_F(HashTable, ReplaceReturnsOneThenTwoAndReleasesTheOldPairOnly) {
  std::string k1 = "gamma", k2 = "gamma";  // equal texts, distinct pointers
  EXPECT_EQ(zorv_hash_replace(&table_, k1.data(), 5, &v1_, record_key, record_value), 1);
  EXPECT_TRUE(g_released_keys.empty());
  EXPECT_TRUE(g_released_values.empty());

  EXPECT_EQ(zorv_hash_replace(&table_, k2.data(), 5, &v2_, record_key, record_value), 2);
  ASSERT_EQ(g_released_keys.size(), 1u);
  ASSERT_EQ(g_released_values.size(), 1u);
  EXPECT_EQ(g_released_keys[0], k1.data());
  EXPECT_EQ(g_released_values[0], &v1_);
  EXPECT_EQ(get("gamma"), &v2_);

  // The stored key is now k2's pointer: a walk hands it out.
  zorv_hash_iter it = ZORV_HASH_ITER_ZERO;
  const char *k;
  int kl;
  void *d;
  ASSERT_EQ(zorv_hash_adv(&table_, &it, &k, &kl, &d), 1);
  EXPECT_EQ(k, k2.data());
  EXPECT_EQ(zorv_hash_size(&table_), 1);
}

TEST_F(HashTable, ReplacingAPairWithItselfReleasesNothing) {
  EXPECT_EQ(zorv_hash_replace(&table_, keys_[0].data(), 5, &v1_, record_key, record_value), 1);
  // Same key pointer, same value: releasing either would free what the
  // table still holds.
  EXPECT_EQ(zorv_hash_replace(&table_, keys_[0].data(), 5, &v1_, record_key, record_value), 2);
  EXPECT_TRUE(g_released_keys.empty());
  EXPECT_TRUE(g_released_values.empty());
  // Same key pointer, new value: only the value goes.
  EXPECT_EQ(zorv_hash_replace(&table_, keys_[0].data(), 5, &v2_, record_key, record_value), 2);
  EXPECT_TRUE(g_released_keys.empty());
  ASSERT_EQ(g_released_values.size(), 1u);
  EXPECT_EQ(g_released_values[0], &v1_);
}

TEST_F(HashTable, SetHandsTheOldPairBack) {
  void *old_key = nullptr, *old_value = nullptr;
  EXPECT_EQ(zorv_hash_set(&table_, keys_[1].data(), 4, &v1_, &old_key, &old_value), 1);
  EXPECT_EQ(old_key, nullptr);
  EXPECT_EQ(old_value, nullptr);
  std::string again = "beta";
  EXPECT_EQ(zorv_hash_set(&table_, again.data(), 4, &v2_, &old_key, &old_value), 2);
  EXPECT_EQ(old_key, keys_[1].data());
  EXPECT_EQ(old_value, &v1_);
  EXPECT_EQ(get("beta"), &v2_);
  EXPECT_EQ(zorv_hash_set(&table_, again.data(), 4, &v3_, nullptr, nullptr), 2);
  EXPECT_EQ(get("beta"), &v3_);
}

TEST_F(HashTable, DeleteReleasesSynchronouslyAndOnlyWhenPresent) {
  EXPECT_EQ(zorv_hash_delete(&table_, "delta", 5, record_key, record_value), 0);
  EXPECT_TRUE(g_released_keys.empty());
  zorv_hash_store(&table_, keys_[3].data(), 5, &v3_);
  zorv_hash_store(&table_, keys_[0].data(), 5, &v1_);
  EXPECT_EQ(zorv_hash_delete(&table_, "delta", 5, record_key, record_value), 1);
  ASSERT_EQ(g_released_keys.size(), 1u);
  EXPECT_EQ(g_released_keys[0], keys_[3].data());
  ASSERT_EQ(g_released_values.size(), 1u);
  EXPECT_EQ(g_released_values[0], &v3_);
  EXPECT_EQ(get("delta"), nullptr);
  EXPECT_EQ(get("alpha"), &v1_);
  EXPECT_EQ(zorv_hash_delete(&table_, "delta", 5, record_key, record_value), 0);
  EXPECT_EQ(zorv_hash_size(&table_), 1);
  // A deleted key can come back.
  EXPECT_EQ(zorv_hash_store(&table_, keys_[3].data(), 5, &v2_), 1);
  EXPECT_EQ(get("delta"), &v2_);
}

TEST_F(HashTable, DestroyReleasesEveryPairAndLeavesAReusableTable) {
  for (int i = 0; i < 3; ++i) zorv_hash_store(&table_, keys_[i].data(), static_cast<int>(keys_[i].size()), &v1_);
  zorv_hash_destroy(&table_, record_key, nullptr);
  EXPECT_EQ(std::set<void *>(g_released_keys.begin(), g_released_keys.end()),
            (std::set<void *>{keys_[0].data(), keys_[1].data(), keys_[2].data()}));
  EXPECT_EQ(zorv_hash_size(&table_), 0);
  EXPECT_EQ(get("alpha"), nullptr);
  EXPECT_EQ(zorv_hash_store(&table_, "again", 5, &v2_), 1);
  EXPECT_EQ(get("again"), &v2_);
}

TEST(HashTableEmpty, ZeroFilledTableIsAValidEmptyTable) {
  zorv_hash_table table;
  std::memset(&table, 0, sizeof table);
  void *v = &table;
  EXPECT_EQ(zorv_hash_retrieve(&table, "k", 1, &v), 0);
  EXPECT_EQ(zorv_hash_size(&table), 0);
  EXPECT_EQ(zorv_hash_delete(&table, "k", 1, nullptr, nullptr), 0);
  zorv_hash_iter it = ZORV_HASH_ITER_ZERO;
  EXPECT_EQ(zorv_hash_adv(&table, &it, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(zorv_hash_adv(&table, &it, nullptr, nullptr, nullptr), 0);
  zorv_hash_destroy(&table, nullptr, nullptr);
  EXPECT_EQ(zorv_hash_store(&table, "k", 1, v), 1);
  EXPECT_EQ(zorv_hash_size(&table), 1);
  zorv_hash_destroy(&table, nullptr, nullptr);
}

// Many keys through growth, churn of deletes (tombstones and shrinking)
// and re-inserts, checked against std::map after every phase.
TEST(HashTableLarge, MatchesAReferenceMapThroughGrowthChurnAndShrink) {
  zorv_hash_table table{};
  std::vector<std::string> keys;
  for (int i = 0; i < 20000; ++i) keys.push_back("uuid-" + std::to_string(i * 7919));
  std::map<std::string, void *> ref;
  auto check = [&] {
    ASSERT_EQ(zorv_hash_size(&table), static_cast<int>(ref.size()));
    for (size_t i = 0; i < keys.size(); i += 7) {
      void *v = nullptr;
      int found = zorv_hash_retrieve(&table, keys[i].data(), static_cast<int>(keys[i].size()), &v);
      auto it = ref.find(keys[i]);
      ASSERT_EQ(found, it != ref.end() ? 1 : 0) << keys[i];
      // The same lookup with the hash taken beforehand.
      const int kl = static_cast<int>(keys[i].size());
      void *hv = nullptr;
      ASSERT_EQ(zorv_hash_retrieve_hashed(&table, keys[i].data(), kl,
                                          zorv_hash_key_hash(keys[i].data(), kl), &hv),
                found);
      ASSERT_EQ(hv, found ? v : nullptr);
      if (found) {
        ASSERT_EQ(v, it->second);
      }
    }
    std::map<std::string, void *> walked;
    zorv_hash_iter iter = ZORV_HASH_ITER_ZERO;
    const char *k;
    int kl;
    void *d;
    while (zorv_hash_adv(&table, &iter, &k, &kl, &d))
      ASSERT_TRUE(walked.emplace(std::string(k, kl), d).second) << "yielded twice";
    ASSERT_EQ(walked, ref);
  };
  auto value_of = [](size_t i, int round) {
    return reinterpret_cast<void *>(static_cast<uintptr_t>(i * 16 + round + 1));
  };
  for (size_t i = 0; i < keys.size(); ++i) {
    ASSERT_EQ(zorv_hash_store(&table, keys[i].data(), static_cast<int>(keys[i].size()), value_of(i, 0)), 1);
    ref[keys[i]] = value_of(i, 0);
  }
  check();
  for (int round = 1; round <= 3; ++round) {
    for (size_t i = round; i < keys.size(); i += 2) {
      ASSERT_EQ(zorv_hash_delete(&table, keys[i].data(), static_cast<int>(keys[i].size()), nullptr, nullptr),
                ref.erase(keys[i]) ? 1 : 0);
    }
    check();
    for (size_t i = 0; i < keys.size(); i += 3) {
      bool existed = ref.count(keys[i]) != 0;
      ASSERT_EQ(zorv_hash_replace(&table, keys[i].data(), static_cast<int>(keys[i].size()), value_of(i, round), nullptr, nullptr),
                existed ? 2 : 1);
      ref[keys[i]] = value_of(i, round);
    }
    check();
  }
  // Delete everything: the table ends empty and still works.
  for (auto &k : keys) zorv_hash_delete(&table, k.data(), static_cast<int>(k.size()), nullptr, nullptr);
  ref.clear();
  check();
  zorv_hash_destroy(&table, nullptr, nullptr);
}

TEST(HashTableIteration, AWalkThatReachedTheEndStaysThere) {
  zorv_hash_table table{};
  std::string a = "a", b = "b";
  zorv_hash_store(&table, a.data(), 1, &a);
  zorv_hash_store(&table, b.data(), 1, &b);
  zorv_hash_iter it = ZORV_HASH_ITER_ZERO;
  int n = 0;
  while (zorv_hash_adv(&table, &it, nullptr, nullptr, nullptr)) ++n;
  EXPECT_EQ(n, 2);
  EXPECT_EQ(zorv_hash_adv(&table, &it, nullptr, nullptr, nullptr), 0);
  zorv_hash_destroy(&table, nullptr, nullptr);
}

TEST(HashTableLocks, LockModesAdmitSeveralWriters) {
  zorv_test::run_locked_writers(ZORV_HASH_LOCK_MODE_MUTEX, 3, 500);
  zorv_test::run_locked_writers(ZORV_HASH_LOCK_MODE_SPIN, 3, 500);
}

TEST(HashTableReaders, ReadersBesideAWriterNeverTouchFreedMemory) {
  zorv_test::run_readers_beside_writer(2, 6, 3000, 200);
}

}  // namespace
