// Log internals shared by log.cpp (streams and line writing) and
// log_conf.cpp (applying the configuration's logs section).
#ifndef ZORV_LOG_INTERNAL_H
#define ZORV_LOG_INTERNAL_H

#include <atomic>
#include <string>

#include "zorv/log.h"

namespace zorv::log {

// Where lines go. Sinks are created on first use per destination and never
// freed, so a stream may keep a plain pointer to one.
struct Sink {
  int fd;                   // a reopened file takes the same number (dup2)
  const char *description;  // "stderr", "stdout" or the file path
  // Whether fd is the systemd journal's stream: -1 not known yet, 0 or 1.
  // Worked out on first write, because the sinks are set up before main.
  std::atomic<signed char> journal{-1};
};

// The sink for "stderr", "stdout" or "file:<path>" (the file opened for
// appending, created when missing). nullptr with *why set when the
// destination is malformed or the file cannot be opened.
Sink *sink_for(const std::string &destination, std::string *why);

// Routes ls (and every descendant without an output of its own) to sink;
// nullptr makes ls inherit its parent's output again.
void set_stream_sink(zorv_log_stream_t ls, Sink *sink);

// Makes sink the output of every top-level stream without one of its own.
void set_default_sink(Sink *sink);

}  // namespace zorv::log

#endif
