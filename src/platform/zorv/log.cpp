// Named log streams and the line writer.
//
// A stream's effective state (enabled, output) is recomputed for the whole
// tree whenever a setting changes, and published in atomics, so the hot test
// zorv_log_stream_is_on is a single relaxed load and a disabled line costs
// nothing beyond it. Streams and sinks are never freed: modules keep stream
// handles in statics for the life of the process.
//
// Writes are synchronous: each line is formatted on the caller's stack and
// handed to the kernel with write() under one mutex before zorv_log returns,
// so lines never interleave and nothing is lost when the process aborts.
// zorv_log_go_synch therefore only has to let lines in progress finish.
//
// When a line goes to the systemd journal's stream (standard error of a
// service), it starts with the journal's "<N>" priority instead of the
// timestamp, which the journal keeps itself; the stream name stays in the
// text, so a line reads the same in journalctl as in a file.
#include <fcntl.h>
#include <sys/stat.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "log_internal.h"
#include "zorv/log.h"

using zorv::log::Sink;

struct zorv_log_stream {
  const char *name;
  zorv_log_stream *parent;
  std::atomic<bool> on;          // effective state; the hot-path test
  std::atomic<Sink *> out;       // effective output; nullptr = default sink
  int8_t configured;             // -1 inherit, 0 off, 1 on (registry mutex)
  Sink *own_sink;                // explicit output or nullptr (registry mutex)
};

namespace {

// Constant-initialised so that the host streams work before any static
// constructor has run (a module or another translation unit may log early).
Sink stderr_sink{2, "stderr"};
Sink stdout_sink{1, "stdout"};

zorv_log_stream error_stream{"error", nullptr, true, nullptr, -1, nullptr};
zorv_log_stream notice_stream{"notice", nullptr, true, nullptr, -1, nullptr};
zorv_log_stream stderr_stream{"stderr", nullptr, true, &stderr_sink, -1,
                              &stderr_sink};
zorv_log_stream debug_stream{"debug", nullptr, false, nullptr, -1, nullptr};

// Output of top-level streams without one of their own.
std::atomic<Sink *> default_sink{&stderr_sink};

std::mutex write_mutex;  // one line at a time

std::mutex observer_mutex;  // held while the observer runs, so removing it
                            // waits for calls in progress
zorv_log_observer_func observer_fn = nullptr;
void *observer_closure = nullptr;
std::atomic<bool> observer_set{false};
thread_local bool in_observer = false;  // an observer that logs is not re-entered

struct Registry {
  std::mutex mu;
  // Sorted by name, so a parent ("a") always precedes its children ("a/b"):
  // one pass in order recomputes the whole tree.
  std::map<std::string, zorv_log_stream *, std::less<>> streams;
  std::map<std::string, Sink *, std::less<>> files;

  Registry() {
    for (zorv_log_stream *s :
         {&error_stream, &notice_stream, &stderr_stream, &debug_stream})
      streams.emplace(s->name, s);
  }

  void recompute() {
    for (auto &[name, s] : streams) {
      bool on;
      if (s->configured >= 0)
        on = s->configured == 1;
      else if (s->parent)
        on = s->parent->on.load(std::memory_order_relaxed);
      else
        on = name != "debug";
      s->on.store(on, std::memory_order_relaxed);
      Sink *out = s->own_sink;
      if (!out && s->parent) out = s->parent->out.load(std::memory_order_relaxed);
      s->out.store(out, std::memory_order_release);
    }
  }

  zorv_log_stream *find_locked(std::string_view name) {
    auto it = streams.find(name);
    if (it != streams.end()) return it->second;
    zorv_log_stream *parent = nullptr;
    size_t slash = name.rfind('/');
    if (slash != std::string_view::npos && slash > 0)
      parent = find_locked(name.substr(0, slash));
    auto *s = new zorv_log_stream{strdup(std::string(name).c_str()), parent,
                                  true, nullptr, -1, nullptr};
    // A new stream inherits from its parent, or takes the top-level default.
    s->on.store(parent ? parent->on.load() : name != "debug");
    s->out.store(parent ? parent->out.load() : nullptr);
    streams.emplace(std::string(name), s);
    return s;
  }
};

Registry &registry() {
  static Registry *r = new Registry;  // never destroyed: streams outlive exit
  return *r;
}

// "[2026-12-07 20:03:58.123456] " into buf (at least 32 bytes); returns length.
// The date and time part changes once a second: each thread keeps the last
// one it formatted rather than breaking the time down for every line.
size_t format_timestamp(const struct timeval *tv, char *buf) {
  thread_local time_t cached_secs = -1;
  thread_local char cached[24];
  thread_local size_t cached_len = 0;
  if (tv->tv_sec != cached_secs) {
    struct tm tm;
    time_t secs = tv->tv_sec;
    gmtime_r(&secs, &tm);
    cached_len = strftime(cached, sizeof cached, "[%Y-%m-%d %H:%M:%S", &tm);
    cached_secs = tv->tv_sec;
  }
  memcpy(buf, cached, cached_len);
  size_t n = cached_len;
  n += snprintf(buf + n, 32 - n, ".%06ld] ", static_cast<long>(tv->tv_usec));
  return n;
}

int write_all(int fd, const char *data, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t w = ::write(fd, data + done, len - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    done += static_cast<size_t>(w);
  }
  return 0;
}

// The journal tells a service which stream is its own through
// JOURNAL_STREAM="<device>:<inode>"; a descriptor that has those is it
// (a redirect to a file or pipe in between has another).
bool is_journal_stream(int fd) {
  const char *env = getenv("JOURNAL_STREAM");
  if (!env) return false;
  unsigned long long dev = 0, ino = 0;
  if (sscanf(env, "%llu:%llu", &dev, &ino) != 2) return false;
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == dev &&
         static_cast<unsigned long long>(st.st_ino) == ino;
}

bool writes_to_journal(Sink *sink) {
  signed char j = sink->journal.load(std::memory_order_relaxed);
  if (j < 0) {
    j = is_journal_stream(sink->fd) ? 1 : 0;
    sink->journal.store(j, std::memory_order_relaxed);
  }
  return j == 1;
}

// The journal's priority for a stream, by its top-level name: "error/x" is
// an error line like "error".
char journal_priority(std::string_view name) {
  std::string_view top = name.substr(0, name.find('/'));
  if (top == "error") return '3';
  if (top == "warning") return '4';
  if (top == "notice") return '5';
  if (top == "debug") return '7';
  return '6';  // info
}

}  // namespace

extern "C" {

zorv_log_stream_t zorv_error = &error_stream;
zorv_log_stream_t zorv_notice = &notice_stream;
zorv_log_stream_t zorv_stderr = &stderr_stream;
zorv_log_stream_t zorv_debug = &debug_stream;

zorv_log_stream_t zorv_log_stream_find(const char *name) {
  if (!name || !*name) return nullptr;
  Registry &r = registry();
  std::lock_guard lock(r.mu);
  return r.find_locked(name);
}

const char *zorv_log_stream_name(zorv_log_stream_t ls) {
  return ls ? ls->name : nullptr;
}

zorv_boolean zorv_log_stream_is_on(zorv_log_stream_t ls) {
  return ls && ls->on.load(std::memory_order_relaxed);
}

void zorv_log_stream_enable(zorv_log_stream_t ls, zorv_boolean on) {
  if (!ls) return;
  Registry &r = registry();
  std::lock_guard lock(r.mu);
  ls->configured = on ? 1 : 0;
  r.recompute();
}

int zorv_log(zorv_log_stream_t ls, const struct timeval *now, const char *file,
             int line, const char *format, ...) {
  (void)file;
  (void)line;
  if (!ls || !ls->on.load(std::memory_order_relaxed) || !format) return 0;

  struct timeval tv;
  if (now) {
    tv = *now;
  } else {
    gettimeofday(&tv, nullptr);
  }

  Sink *sink = ls->out.load(std::memory_order_acquire);
  if (!sink) sink = default_sink.load(std::memory_order_acquire);

  // Prefix and text on the stack; only an unusually long line takes the heap.
  char stack_buf[2048];
  char *buf = stack_buf;
  size_t cap = sizeof(stack_buf);
  size_t prefix;
  if (writes_to_journal(sink)) {
    buf[0] = '<';
    buf[1] = journal_priority(ls->name);
    buf[2] = '>';
    prefix = 3;
  } else {
    prefix = format_timestamp(&tv, buf);
  }
  prefix += snprintf(buf + prefix, cap - prefix, "[%s] ", ls->name);
  if (prefix >= cap - 2) prefix = cap - 2;  // absurdly long stream name

  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(buf + prefix, cap - prefix, format, ap);
  va_end(ap);
  if (n < 0) return 0;
  size_t text_len = static_cast<size_t>(n);
  if (prefix + text_len + 2 > cap) {
    cap = prefix + text_len + 2;
    buf = static_cast<char *>(malloc(cap));
    if (!buf) return 0;
    memcpy(buf, stack_buf, prefix);
    va_start(ap, format);
    vsnprintf(buf + prefix, cap - prefix, format, ap);
    va_end(ap);
  }
  size_t len = prefix + text_len;
  bool added_newline = false;
  if (text_len == 0 || buf[len - 1] != '\n') {
    buf[len++] = '\n';
    buf[len] = '\0';
    added_newline = true;
  }

  int rc;
  {
    std::lock_guard lock(write_mutex);
    rc = write_all(sink->fd, buf, len);
  }

  if (observer_set.load(std::memory_order_acquire) && !in_observer) {
    std::lock_guard lock(observer_mutex);
    if (observer_fn) {
      // The observer sees the text as the caller formatted it.
      if (added_newline) buf[len - 1] = '\0';
      in_observer = true;
      observer_fn(observer_closure, ls->name, buf + prefix);
      in_observer = false;
    }
  }

  if (buf != stack_buf) free(buf);
  return rc == 0 ? static_cast<int>(len) : 0;
}

void zorv_log_go_synch(void) {
  // Lines are always written before zorv_log returns; waiting for the line
  // another thread may be writing right now is all that is left to do.
  zorv_log_flush();
}

void zorv_log_flush(void) {
  std::lock_guard lock(write_mutex);
}

int zorv_log_set_output_file(const char *path) {
  if (!path) {
    zorv::log::set_default_sink(&stderr_sink);
    return 0;
  }
  std::string why;
  Sink *s = zorv::log::sink_for(std::string("file:") + path, &why);
  if (!s) return -1;
  zorv::log::set_default_sink(s);
  return 0;
}

int zorv_log_reopen(char **err) {
  Registry &r = registry();
  std::lock_guard lock(r.mu);
  int reopened = 0;
  std::string failures;
  for (auto &[path, sink] : r.files) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
      failures += (failures.empty() ? "" : "; ") + std::string("cannot open '") +
                  path + "': " + strerror(errno);
      continue;  // this one keeps writing where it wrote
    }
    {
      // The sink keeps its descriptor number, so nothing that holds the
      // sink has to change; under the write mutex no line is cut in two.
      std::lock_guard write_lock(write_mutex);
      dup2(fd, sink->fd);
    }
    ::close(fd);
    ++reopened;
  }
  if (!failures.empty()) {
    if (err) *err = strdup(failures.c_str());
    return -1;
  }
  return reopened;
}

void zorv_log_set_observer(zorv_log_observer_func fn, void *closure) {
  std::lock_guard lock(observer_mutex);
  observer_fn = fn;
  observer_closure = closure;
  observer_set.store(fn != nullptr, std::memory_order_release);
}

}  // extern "C"

namespace zorv::log {

Sink *sink_for(const std::string &destination, std::string *why) {
  if (destination == "stderr") return &stderr_sink;
  if (destination == "stdout") return &stdout_sink;
  constexpr std::string_view file_prefix = "file:";
  if (destination.compare(0, file_prefix.size(), file_prefix) != 0 ||
      destination.size() == file_prefix.size()) {
    if (why) *why = "unknown output '" + destination +
                    "' (expected stderr, stdout or file:<path>)";
    return nullptr;
  }
  std::string path = destination.substr(file_prefix.size());
  Registry &r = registry();
  std::lock_guard lock(r.mu);
  auto it = r.files.find(path);
  if (it != r.files.end()) return it->second;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (why) *why = "cannot open log file '" + path + "': " + strerror(errno);
    return nullptr;
  }
  auto *s = new Sink{fd, strdup(path.c_str())};
  r.files.emplace(path, s);
  return s;
}

void set_stream_sink(zorv_log_stream_t ls, Sink *sink) {
  if (!ls) return;
  Registry &r = registry();
  std::lock_guard lock(r.mu);
  ls->own_sink = sink;
  r.recompute();
}

void set_default_sink(Sink *sink) {
  default_sink.store(sink ? sink : &stderr_sink, std::memory_order_release);
}

}  // namespace zorv::log
