// Safe memory under AddressSanitizer: a deferred free that ran too early
// shows up as a heap-use-after-free in the reader; one that never ran shows
// up as a leak at exit.

#include "zorv/memory.h"

#include "zorv/arena.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "platform/zorv/memory_internal.h"
#include "platform/safe_memory_scenarios.h"

namespace {

using namespace std::chrono_literals;

// A thread that opens brackets on request and reads a block inside them.
class BracketHolder {
 public:
  BracketHolder() : thread_([this] { run(); }) {}
  ~BracketHolder() {
    command(Cmd::kQuit);
    thread_.join();
  }
  void open() { command(Cmd::kOpen); }
  void close() { command(Cmd::kClose); }
  // Reads the block inside the open bracket: under ASan this fails loudly
  // if the block has already been freed.
  int read(const int *block) {
    block_ = block;
    command(Cmd::kRead);
    return value_;
  }

 private:
  enum class Cmd { kNone, kOpen, kClose, kRead, kQuit };
  void command(Cmd c) {
    cmd_.store(c, std::memory_order_release);
    while (cmd_.load(std::memory_order_acquire) != Cmd::kNone)
      std::this_thread::yield();
  }
  void run() {
    for (;;) {
      Cmd c = cmd_.load(std::memory_order_acquire);
      if (c == Cmd::kNone) {
        std::this_thread::yield();
        continue;
      }
      if (c == Cmd::kOpen) zorv_memory_begin();
      if (c == Cmd::kClose) zorv_memory_end();
      if (c == Cmd::kRead) value_ = *block_;
      cmd_.store(Cmd::kNone, std::memory_order_release);
      if (c == Cmd::kQuit) return;
    }
  }
  std::atomic<Cmd> cmd_{Cmd::kNone};
  const int *block_ = nullptr;
  int value_ = 0;
  std::thread thread_;
};

int *new_block(int v) {
  int *p = static_cast<int *>(zorv_memory_safe_malloc(sizeof(int)));
  *p = v;
  return p;
}

TEST(SafeMemory, FreeWaitsForEveryOpenBracketIncludingNested) {
  BracketHolder reader;
  int *block = new_block(41);
  reader.open();
  reader.open();
  zorv_memory_safe_free(block);
  auto drained = std::async(std::launch::async, [] { zorv_memory_drain(); });

  EXPECT_EQ(drained.wait_for(150ms), std::future_status::timeout);
  EXPECT_EQ(reader.read(block), 41);
  reader.close();  // the outer bracket is still open
  EXPECT_EQ(drained.wait_for(150ms), std::future_status::timeout);
  EXPECT_EQ(reader.read(block), 41);
  reader.close();
  EXPECT_EQ(drained.wait_for(10s), std::future_status::ready);
}

TEST(SafeMemory, WithoutANodeTheFreeWaitsForAGracePeriodItself) {
  BracketHolder reader;
  int *block = new_block(7);
  reader.open();
  zorv::memory::fail_next_node_allocations(1);
  auto freed = std::async(std::launch::async, [block] {
    zorv_memory_safe_free(block);
  });
  EXPECT_EQ(freed.wait_for(150ms), std::future_status::timeout);
  EXPECT_EQ(reader.read(block), 7);
  reader.close();
  EXPECT_EQ(freed.wait_for(10s), std::future_status::ready);
  zorv::memory::fail_next_node_allocations(0);
}

TEST(SafeMemory, WithoutANodeInsideABracketTheFreeIsParkedNotLost) {
  BracketHolder reader;
  int *block = new_block(9);
  reader.open();
  zorv_memory_begin();
  zorv::memory::fail_next_node_allocations(1);
  zorv_memory_safe_free(block);  // must return: waiting here would deadlock
  zorv::memory::fail_next_node_allocations(0);
  EXPECT_EQ(*block, 9);
  zorv_memory_end();
  auto drained = std::async(std::launch::async, [] { zorv_memory_drain(); });
  EXPECT_EQ(drained.wait_for(150ms), std::future_status::timeout);
  EXPECT_EQ(reader.read(block), 9);
  reader.close();
  EXPECT_EQ(drained.wait_for(10s), std::future_status::ready);
  // A parked block that drain did not free would be reported as a leak.
}

TEST(SafeMemory, ThreadsRegisterThemselvesAndUnregisterAtExit) {
  // Threads that were never registered explicitly come and go; if one left
  // a stale registration behind, the grace period below would wait on a
  // dead thread's counter, or read freed thread memory.
  for (int i = 0; i < 40; ++i) {
    std::thread([] {
      zorv_memory_begin();
      zorv_memory_end();
    }).join();
  }
  std::thread([] {
    zorv_memory_init_thread();
    zorv_memory_init_thread();  // idempotent
    zorv_memory_begin();
    zorv_memory_end();
    zorv_memory_fini_thread();
    zorv_memory_fini_thread();  // idempotent
  }).join();
  zorv_memory_safe_free(new_block(3));
  auto drained = std::async(std::launch::async, [] { zorv_memory_drain(); });
  EXPECT_EQ(drained.wait_for(10s), std::future_status::ready);
}

// Arena blocks lie back to back at their alignment, read as zero, never
// overlap, and a block larger than a chunk gets a chunk of its own; the same
// when the fast path stops at every 2 MiB stretch to populate ahead.
class Arena : public ::testing::TestWithParam<size_t> {};
INSTANTIATE_TEST_SUITE_P(PopulatingAhead, Arena, ::testing::Values(0, 1));

TEST_P(Arena, BlocksAreAlignedDisjointAndZeroed) {
  zorv_arena arena = ZORV_ARENA_ZERO;
  // One huge page per chunk (or stretches within four): crossings come soon.
  arena._chunk_size = GetParam() != 0 ? size_t{8} << 20 : 1;
  zorv_arena_populate_ahead(&arena, GetParam());
  std::vector<std::pair<char *, size_t>> blocks;
  for (size_t i = 0; i < 20000; ++i) {
    const size_t size = 1 + (i * 37) % 300, align = size_t{1} << (i % 4);
    auto *p = static_cast<char *>(zorv_arena_alloc(&arena, size, align));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % align, 0u);
    EXPECT_EQ(p[0] | p[size - 1], 0);
    std::memset(p, 0xab, size);
    blocks.emplace_back(p, size);
  }
  auto *big = static_cast<char *>(zorv_arena_alloc(&arena, size_t{5} << 20, 64));
  ASSERT_NE(big, nullptr);
  big[(size_t{5} << 20) - 1] = 1;
  blocks.emplace_back(big, size_t{5} << 20);
  std::sort(blocks.begin(), blocks.end());
  for (size_t i = 1; i < blocks.size(); ++i)
    EXPECT_LE(blocks[i - 1].first + blocks[i - 1].second, blocks[i].first);
  EXPECT_GE(zorv_arena_mapped(&arena), size_t{5} << 20);
  // Released, the arena is empty and serves blocks again.
  zorv_arena_release(&arena);
  EXPECT_EQ(zorv_arena_mapped(&arena), 0u);
  auto *again = static_cast<char *>(zorv_arena_alloc(&arena, 100, 8));
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again[99], 0);
  // Reset, a one-chunk arena keeps its mapping and serves zeroed blocks.
  std::memset(again, 0xcd, 100);
  const size_t mapped = zorv_arena_mapped(&arena);
  zorv_arena_reset(&arena);
  EXPECT_EQ(zorv_arena_mapped(&arena), mapped);
  auto *reused = static_cast<char *>(zorv_arena_alloc(&arena, 100, 8));
  EXPECT_EQ(reused, again);
  EXPECT_EQ(reused[0] | reused[99], 0);
  zorv_arena_release(&arena);
}

// Populating ahead makes the next stretch resident before anything is
// written there, and no further than asked.
TEST(ArenaPopulate, TheStretchAheadBecomesResidentBeforeItIsWritten) {
  zorv_arena arena = ZORV_ARENA_ZERO;
  arena._chunk_size = size_t{16} << 20;
  zorv_arena_populate_ahead(&arena, size_t{4} << 20);
  auto *first = static_cast<char *>(zorv_arena_alloc(&arena, 64, 64));
  ASSERT_NE(first, nullptr);
  const long page = sysconf(_SC_PAGESIZE);
  char *const stretch = first - reinterpret_cast<uintptr_t>(first) % (size_t{2} << 20);
  auto resident = [&](char *from, size_t bytes) {
    std::vector<unsigned char> in(bytes / page);
    EXPECT_EQ(mincore(from, bytes, in.data()), 0);
    return static_cast<size_t>(std::count_if(in.begin(), in.end(),
                                             [](unsigned char c) { return c & 1; }));
  };
  const size_t ahead = (size_t{4} << 20) / page;
  size_t seen = 0;
  for (int i = 0; i < 500 && (seen = resident(stretch + (size_t{2} << 20), size_t{4} << 20)) < ahead; ++i)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(seen, ahead);
  EXPECT_EQ(resident(stretch + (size_t{6} << 20), size_t{2} << 20), 0u);
  zorv_arena_release(&arena);
}

TEST(SafeMemory, NullIsIgnored) {
  zorv_memory_safe_free(nullptr);
  zorv_memory_drain();
}

TEST(SafeMemoryDeathTest, UnbalancedEndAndDrainInsideABracketAbortWithAReason) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(zorv_memory_end(), "without a matching zorv_memory_begin");
  EXPECT_DEATH(
      {
        zorv_memory_begin();
        zorv_memory_drain();
      },
      "drain inside a zorv_memory_begin/end bracket");
}

TEST(SafeMemory, ReadersNeverSeeAFreedRecord) {
  zorv_test::run_republish_scenario(3, 20000);
}

}  // namespace
