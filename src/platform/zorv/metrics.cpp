/* The metrics registry and the exposition writer. */
#include "zorv/metrics.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "http_routes.h"
#include "zorv/log.h"

struct zorv_metrics_writer {
  std::string out;
  std::set<std::string> families; /* written in this scrape */
  bool in_family = false;         /* the current family was accepted */
  std::string family;
};

namespace {

struct Collector {
  std::string owner;
  zorv_metrics_collector_t fn;
  void *closure;
};

std::mutex registry_lock;
/* Function-local and never destroyed: collectors may register from other
 * files' static initialisers, and a scrape may run while the process
 * exits. */
std::vector<Collector> &collectors_list() {
  static auto *list = new std::vector<Collector>();
  return *list;
}
std::set<std::string> &complained_set() {
  static auto *set = new std::set<std::string>();
  return *set;
}

void complain_once(const std::string &what) {
  std::lock_guard<std::mutex> guard(registry_lock);
  if (!complained_set().insert(what).second) return;
  zorvL(zorv_error, "metrics: %s\n", what.c_str());
}

bool name_char(char c, bool first, bool colon_ok) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_') return true;
  if (colon_ok && c == ':') return true;
  return !first && c >= '0' && c <= '9';
}

bool valid_name(const char *name, bool colon_ok) {
  if (name == nullptr || *name == '\0') return false;
  for (const char *p = name; *p; ++p)
    if (!name_char(*p, p == name, colon_ok)) return false;
  return true;
}

void append_help(std::string &out, const char *help) {
  for (const char *p = help ? help : ""; *p; ++p) {
    if (*p == '\\')
      out += "\\\\";
    else if (*p == '\n')
      out += "\\n";
    else
      out += *p;
  }
}

void append_label_value(std::string &out, const char *value) {
  for (const char *p = value ? value : ""; *p; ++p) {
    if (*p == '\\')
      out += "\\\\";
    else if (*p == '"')
      out += "\\\"";
    else if (*p == '\n')
      out += "\\n";
    else
      out += *p;
  }
}

/* The sample line up to and including the blank before the value; false
 * when it cannot be written well-formed. */
bool begin_sample(zorv_metrics_writer *w, const char *const *labels) {
  if (!w->in_family) return false;
  std::string line = w->family;
  if (labels != nullptr && labels[0] != nullptr) {
    line += '{';
    std::set<std::string_view> seen;
    for (size_t i = 0; labels[i] != nullptr; i += 2) {
      const char *name = labels[i];
      const char *value = labels[i + 1];
      if (value == nullptr || !valid_name(name, false) ||
          std::strncmp(name, "__", 2) == 0 || !seen.insert(name).second) {
        complain_once("bad label '" + std::string(name) + "' on " + w->family +
                      ": sample dropped");
        return false;
      }
      if (i > 0) line += ',';
      line += name;
      line += "=\"";
      append_label_value(line, value);
      line += '"';
    }
    line += '}';
  }
  line += ' ';
  w->out += line;
  return true;
}

}  // namespace

extern "C" {

int zorv_metrics_register(const char *owner, zorv_metrics_collector_t fn,
                          void *closure) {
  if (fn == nullptr) return -1;
  std::lock_guard<std::mutex> guard(registry_lock);
  collectors_list().push_back({owner ? owner : "", fn, closure});
  return 0;
}

void zorv_metrics_family(zorv_metrics_writer *w, const char *name,
                         const char *type, const char *help) {
  w->in_family = false;
  std::string t = type ? type : "";
  if (!valid_name(name, true)) {
    complain_once(std::string("bad metric name '") + (name ? name : "") + "'");
    return;
  }
  if (t != "counter" && t != "gauge" && t != "untyped") {
    complain_once(std::string("bad type '") + t + "' of " + name);
    return;
  }
  if (!w->families.insert(name).second) {
    complain_once(std::string("metric ") + name + " written twice");
    return;
  }
  w->family = name;
  w->in_family = true;
  w->out += "# HELP ";
  w->out += name;
  w->out += ' ';
  append_help(w->out, help);
  w->out += "\n# TYPE ";
  w->out += name;
  w->out += ' ';
  w->out += t;
  w->out += '\n';
}

void zorv_metrics_sample(zorv_metrics_writer *w, const char *const *labels,
                         double value) {
  if (!begin_sample(w, labels)) return;
  if (std::isnan(value)) {
    w->out += "NaN\n";
  } else if (std::isinf(value)) {
    w->out += value > 0 ? "+Inf\n" : "-Inf\n";
  } else {
    char text[32];
    auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    w->out.append(text, ec == std::errc() ? end : text);
    w->out += '\n';
  }
}

void zorv_metrics_sample_u64(zorv_metrics_writer *w, const char *const *labels,
                             uint64_t value) {
  if (!begin_sample(w, labels)) return;
  w->out += std::to_string(value);
  w->out += '\n';
}

char *zorv_metrics_render(size_t *len) {
  std::vector<Collector> snapshot;
  {
    std::lock_guard<std::mutex> guard(registry_lock);
    snapshot = collectors_list();
  }
  zorv_metrics_writer w;
  zorv::http::write_request_metrics(&w);
  w.in_family = false;
  for (const Collector &c : snapshot) {
    c.fn(c.closure, &w);
    w.in_family = false; /* a family never spans two collectors */
  }
  char *text = static_cast<char *>(std::malloc(w.out.size() + 1));
  if (text == nullptr) return nullptr;
  std::memcpy(text, w.out.data(), w.out.size());
  text[w.out.size()] = '\0';
  if (len) *len = w.out.size();
  return text;
}

}  // extern "C"
