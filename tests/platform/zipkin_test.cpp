// Tracing headers appended to libcurl header lists.

#include "zorv/zipkin.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "zorv/conf.h"

namespace {

std::vector<std::string> lines(const curl_slist *list) {
  std::vector<std::string> out;
  for (; list != nullptr; list = list->next) out.emplace_back(list->data);
  return out;
}

// "Name: value" -> value, checking the name.
std::string value_of(const std::string &line, const std::string &name) {
  EXPECT_EQ(line.rfind(name + ": ", 0), 0u) << line;
  return line.substr(name.size() + 2);
}

bool is_hex(const std::string &s) {
  return !s.empty() && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

class Zipkin : public ::testing::Test {
 protected:
  void TearDown() override {
    zorv_zipkin_set_enabled(false);
    zorv_zipkin_set_thread_span(nullptr, nullptr);
  }
};

TEST_F(Zipkin, OffLeavesTheListAsGiven) {
  zorv_zipkin_set_enabled(false);
  EXPECT_EQ(zorv_zipkin_inst_curl_headers(nullptr), nullptr);
  curl_slist *list = curl_slist_append(nullptr, "Accept: */*");
  EXPECT_EQ(zorv_zipkin_inst_curl_headers(list), list);
  EXPECT_EQ(lines(list), std::vector<std::string>{"Accept: */*"});
  curl_slist_free_all(list);
}

TEST_F(Zipkin, WithoutAParentSpanANewTraceInOrderAfterTheCallersHeaders) {
  zorv_zipkin_set_enabled(true);
  curl_slist *list = curl_slist_append(nullptr, "Accept: */*");
  list = zorv_zipkin_inst_curl_headers(list);
  auto got = lines(list);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0], "Accept: */*");
  std::string trace = value_of(got[1], "X-B3-TraceId");
  std::string span = value_of(got[2], "X-B3-SpanId");
  EXPECT_EQ(value_of(got[3], "X-B3-Sampled"), "1");
  EXPECT_EQ(trace.size(), 32u);
  EXPECT_TRUE(is_hex(trace));
  EXPECT_EQ(span.size(), 16u);
  EXPECT_TRUE(is_hex(span));
  curl_slist_free_all(list);

  // Every call is a fresh span in a fresh trace.
  curl_slist *again = zorv_zipkin_inst_curl_headers(nullptr);
  auto got2 = lines(again);
  ASSERT_EQ(got2.size(), 3u);
  EXPECT_NE(value_of(got2[0], "X-B3-TraceId"), trace);
  EXPECT_NE(value_of(got2[1], "X-B3-SpanId"), span);
  curl_slist_free_all(again);
}

TEST_F(Zipkin, UnderAThreadSpanTheClientSpanIsItsChild) {
  zorv_zipkin_set_enabled(true);
  ASSERT_EQ(zorv_zipkin_set_thread_span("463ac35c9f6413ad48485a3953bb6124", "a2fb4a1d1a96d312"), 0);
  curl_slist *list = zorv_zipkin_inst_curl_headers(nullptr);
  auto got = lines(list);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0], "X-B3-TraceId: 463ac35c9f6413ad48485a3953bb6124");
  EXPECT_EQ(got[1], "X-B3-ParentSpanId: a2fb4a1d1a96d312");
  std::string span = value_of(got[2], "X-B3-SpanId");
  EXPECT_NE(span, "a2fb4a1d1a96d312");
  EXPECT_EQ(got[3], "X-B3-Sampled: 1");
  curl_slist_free_all(list);

  // The span belongs to this thread only.
  std::thread([] {
    curl_slist *other = zorv_zipkin_inst_curl_headers(nullptr);
    EXPECT_EQ(lines(other).size(), 3u);
    curl_slist_free_all(other);
  }).join();
}

TEST_F(Zipkin, MalformedThreadSpansAreRefusedAndClearTheSpan) {
  zorv_zipkin_set_enabled(true);
  ASSERT_EQ(zorv_zipkin_set_thread_span("463ac35c9f6413ad", "a2fb4a1d1a96d312"), 0);
  EXPECT_EQ(zorv_zipkin_set_thread_span("463ac35c9f6413a", "a2fb4a1d1a96d312"), -1);
  EXPECT_EQ(zorv_zipkin_set_thread_span("463ac35c9f6413ad", "a2fb4a1d1a96d31g"), -1);
  EXPECT_EQ(zorv_zipkin_set_thread_span("0000000000000000", "a2fb4a1d1a96d312"), -1);
  EXPECT_EQ(zorv_zipkin_set_thread_span("463ac35c9f6413ad", nullptr), -1);
  curl_slist *list = zorv_zipkin_inst_curl_headers(nullptr);
  EXPECT_EQ(lines(list).size(), 3u);  // no parent any more
  curl_slist_free_all(list);
}

TEST_F(Zipkin, ConfigurationSwitchesTracing) {
  char *err = nullptr;
  ASSERT_EQ(zorv_conf_load_string("<wendrel><zipkin enabled=\"true\"/></wendrel>",
                                  nullptr, &err), 0) << (err ? err : "");
  zorv_zipkin_configure_from_conf();
  EXPECT_TRUE(zorv_zipkin_is_enabled());
  ASSERT_EQ(zorv_conf_load_string("<wendrel/>", nullptr, &err), 0) << (err ? err : "");
  zorv_zipkin_configure_from_conf();
  EXPECT_FALSE(zorv_zipkin_is_enabled());
}

}  // namespace
