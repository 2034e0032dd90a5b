#include "standin/log.h"

#include <cstdio>
#include <mutex>

namespace standin {
namespace {

std::atomic<int> g_level{static_cast<int>(LogLevel::info)};
std::mutex g_log_mutex;

void write_line(const char *prefix, const char *format, va_list args) {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  std::fputs(prefix, stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
}

}  // namespace

void set_log_level(LogLevel level) { g_level.store(static_cast<int>(level)); }

bool debug_enabled() {
  return g_level.load(std::memory_order_relaxed) >= static_cast<int>(LogLevel::debug);
}

void log_info(const char *format, ...) {
  va_list args;
  va_start(args, format);
  write_line("drask-standin: ", format, args);
  va_end(args);
}

void log_debug(const char *format, ...) {
  if (!debug_enabled()) return;
  va_list args;
  va_start(args, format);
  write_line("drask-standin debug: ", format, args);
  va_end(args);
}

}  // namespace standin
