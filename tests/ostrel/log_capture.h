/* Collects the lines the host's log writes, for tests that check messages. */
#ifndef OSTREL_TESTS_LOG_CAPTURE_H
#define OSTREL_TESTS_LOG_CAPTURE_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "zorv/log.h"

class LogCapture {
 public:
  LogCapture() { zorv_log_set_observer(&LogCapture::observe, this); }
  ~LogCapture() { zorv_log_set_observer(nullptr, nullptr); }
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  std::vector<std::pair<std::string, std::string>> lines() {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.clear();
  }
  /* How many lines went to stream with exactly this text. */
  int count(const std::string &stream, const std::string &text) {
    std::lock_guard<std::mutex> lock(mu_);
    int n = 0;
    for (auto &l : lines_) n += (l.first == stream && l.second == text);
    return n;
  }
  /* Waits (bounded) until count(stream, text) reaches n. */
  bool wait_for(const std::string &stream, const std::string &text, int n = 1,
                std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, limit, [&] {
      int c = 0;
      for (auto &l : lines_) c += (l.first == stream && l.second == text);
      return c >= n;
    });
  }

 private:
  static void observe(void *closure, const char *stream, const char *text) {
    auto *self = static_cast<LogCapture *>(closure);
    {
      std::lock_guard<std::mutex> lock(self->mu_);
      self->lines_.emplace_back(stream ? stream : "", text ? text : "");
    }
    self->cv_.notify_all();
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::pair<std::string, std::string>> lines_;
};

#endif
