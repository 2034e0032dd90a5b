// Dynamic buffers: growth from inline to heap storage, and the NUL that
// follows the bytes in use after every operation that promises it.

#include "zorv/buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class DynBuffer : public ::testing::Test {
 protected:
  void SetUp() override { zorv_dyn_buffer_init(&buf_); }
  void TearDown() override { zorv_dyn_buffer_destroy(&buf_); }
  std::string contents() {
    return std::string(zorv_dyn_buffer_data(&buf_), zorv_dyn_buffer_used(&buf_));
  }
  // The byte after the used ones is NUL, so the data reads as a C string.
  void expect_terminated() {
    EXPECT_EQ(zorv_dyn_buffer_data(&buf_)[zorv_dyn_buffer_used(&buf_)], '\0');
  }
  zorv_dyn_buffer_t buf_;
};

TEST_F(DynBuffer, StartsEmptyAndTerminated) {
  EXPECT_EQ(zorv_dyn_buffer_used(&buf_), 0u);
  EXPECT_STREQ(zorv_dyn_buffer_data(&buf_), "");
}

TEST_F(DynBuffer, AddGrowsPastInlineStorageKeepingEveryByte) {
  std::string expected;
  for (int i = 0; i < 500; ++i) {
    std::string piece = std::to_string(i) + ",";
    zorv_dyn_buffer_add(&buf_, piece.data(), piece.size());
    expected += piece;
    expect_terminated();
  }
  EXPECT_EQ(contents(), expected);
  EXPECT_STREQ(zorv_dyn_buffer_data(&buf_), expected.c_str());
}

TEST_F(DynBuffer, AddExactlyFillingInlineStorageStillTerminates) {
  std::string s(ZORV_DYN_BUFFER_INLINE, 'x');
  zorv_dyn_buffer_add(&buf_, s.data(), s.size());
  expect_terminated();
  EXPECT_EQ(contents(), s);
  zorv_dyn_buffer_add(&buf_, "", 0);
  EXPECT_EQ(contents(), s);
}

TEST_F(DynBuffer, AppendingAPartOfItselfAcrossGrowth) {
  std::string s(ZORV_DYN_BUFFER_INLINE - 8, 'a');
  s += "bcdefgh";
  zorv_dyn_buffer_add(&buf_, s.data(), s.size());
  // The source lies inside the buffer and the append forces a move to heap.
  zorv_dyn_buffer_add(&buf_, zorv_dyn_buffer_data(&buf_), zorv_dyn_buffer_used(&buf_));
  EXPECT_EQ(contents(), s + s);
  expect_terminated();
}

TEST_F(DynBuffer, PrintfFormatsShortAndLongText) {
  zorv_dyn_buffer_add_printf(&buf_, "%s=%d", "n", 5);
  EXPECT_EQ(contents(), "n=5");
  std::string big(1000, 'z');
  zorv_dyn_buffer_add_printf(&buf_, "[%s]%llu", big.c_str(), 18446744073709551615ull);
  EXPECT_EQ(contents(), "n=5[" + big + "]18446744073709551615");
  expect_terminated();
}

TEST_F(DynBuffer, EnsureWritePointerAdvanceFillInPlace) {
  zorv_dyn_buffer_add(&buf_, "head:", 5);
  zorv_dyn_buffer_ensure(&buf_, 300);
  char *w = zorv_dyn_buffer_write_pointer(&buf_);
  for (int i = 0; i < 300; ++i) w[i] = static_cast<char>('a' + i % 26);
  zorv_dyn_buffer_advance(&buf_, 300);
  expect_terminated();
  ASSERT_EQ(zorv_dyn_buffer_used(&buf_), 305u);
  EXPECT_EQ(contents().substr(0, 8), "head:abc");
  EXPECT_EQ(contents().back(), static_cast<char>('a' + 299 % 26));
}

TEST_F(DynBuffer, ResetKeepsCapacityAndDestroyReturnsToInitialState) {
  std::string s(4096, 'q');
  zorv_dyn_buffer_add(&buf_, s.data(), s.size());
  char *heap = zorv_dyn_buffer_data(&buf_);
  zorv_dyn_buffer_reset(&buf_);
  EXPECT_EQ(zorv_dyn_buffer_used(&buf_), 0u);
  EXPECT_STREQ(zorv_dyn_buffer_data(&buf_), "");
  zorv_dyn_buffer_add(&buf_, s.data(), s.size());
  EXPECT_EQ(zorv_dyn_buffer_data(&buf_), heap);  // no reallocation
  zorv_dyn_buffer_destroy(&buf_);
  EXPECT_EQ(zorv_dyn_buffer_used(&buf_), 0u);
  EXPECT_EQ(zorv_dyn_buffer_data(&buf_), buf_.inline_storage);
  zorv_dyn_buffer_add(&buf_, "again", 5);
  EXPECT_EQ(contents(), "again");
}

TEST(DynBufferDeathTest, AdvancePastEnsuredRoomAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        zorv_dyn_buffer_t b;
        zorv_dyn_buffer_init(&b);
        zorv_dyn_buffer_advance(&b, ZORV_DYN_BUFFER_INLINE);
      },
      "advance past the ensured room");
}

}  // namespace
