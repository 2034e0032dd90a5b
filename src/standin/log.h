// Minimal leveled logging to stderr for the stand-in cluster.
#pragma once

#include <atomic>
#include <cstdarg>

namespace standin {

enum class LogLevel { info = 0, debug = 1 };

void set_log_level(LogLevel level);
bool debug_enabled();

// printf-style; one line per call, serialised so that lines from the
// HTTP threads of several nodes never interleave.
void log_info(const char *format, ...) __attribute__((format(printf, 1, 2)));
void log_debug(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace standin
