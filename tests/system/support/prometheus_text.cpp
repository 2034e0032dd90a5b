#include "support/prometheus_text.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <set>
#include <string_view>
#include <vector>

namespace wendrel_test {
namespace {

bool name_ok(std::string_view n, bool colon_ok) {
  if (n.empty()) return false;
  for (size_t i = 0; i < n.size(); i++) {
    char c = n[i];
    bool ok = std::isalpha(static_cast<unsigned char>(c)) || c == '_' ||
              (colon_ok && c == ':') || (i > 0 && std::isdigit(static_cast<unsigned char>(c)));
    if (!ok) return false;
  }
  return true;
}

bool value_ok(const std::string &t, double *v) {
  if (t == "NaN") return *v = NAN, true;
  if (t == "+Inf" || t == "Inf") return *v = INFINITY, true;
  if (t == "-Inf") return *v = -INFINITY, true;
  if (t.empty()) return false;
  char *end = nullptr;
  *v = std::strtod(t.c_str(), &end);
  return end == t.c_str() + t.size() && !std::isnan(*v) && !std::isinf(*v);
}

// The family a sample name belongs to under its TYPE.
bool belongs(const std::string &sample, const std::string &family) {
  return sample == family;
}

}  // namespace

std::string parse_exposition(const std::string &text, Exposition *out) {
  if (!text.empty() && text.back() != '\n') return "text does not end in a newline";
  std::set<std::string> helped, typed, finished, sampled, series;
  std::string current;  // the family whose samples are being read
  size_t line_no = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    std::string line = text.substr(pos, nl - pos);
    pos = nl + 1;
    line_no++;
    auto err = [&](const std::string &what) {
      return "line " + std::to_string(line_no) + ": " + what + ": " + line;
    };
    if (line.empty()) continue;
    if (line[0] == '#') {
      bool help = line.rfind("# HELP ", 0) == 0;
      bool type = line.rfind("# TYPE ", 0) == 0;
      if (!help && !type) continue;  // a comment
      std::string rest = line.substr(7);
      size_t sp = rest.find(' ');
      std::string name = rest.substr(0, sp);
      if (!name_ok(name, true)) return err("bad metric name");
      if (sampled.count(name)) return err("HELP or TYPE after the family's samples");
      if (finished.count(name)) return err("family split in two");
      if (help) {
        if (!helped.insert(name).second) return err("second HELP");
        std::string h = sp == std::string::npos ? "" : rest.substr(sp + 1);
        for (size_t i = 0; i < h.size(); i++)
          if (h[i] == '\\' && (i + 1 >= h.size() || (h[i + 1] != '\\' && h[i + 1] != 'n')))
            return err("bad escape in HELP");
          else if (h[i] == '\\')
            i++;
      } else {
        if (!typed.insert(name).second) return err("second TYPE");
        std::string t = sp == std::string::npos ? "" : rest.substr(sp + 1);
        if (t != "counter" && t != "gauge" && t != "untyped" && t != "summary" &&
            t != "histogram")
          return err("bad type");
        out->types[name] = t;
      }
      if (name != current) {
        if (!current.empty()) finished.insert(current);
        current = name;
      }
      continue;
    }
    // name{labels} value [timestamp]
    size_t i = 0;
    while (i < line.size() && line[i] != '{' && line[i] != ' ') i++;
    std::string name = line.substr(0, i);
    if (!name_ok(name, true)) return err("bad sample name");
    if (!belongs(name, current)) {
      if (finished.count(name) || typed.count(name))
        return err("samples of a family are not contiguous");
      if (!current.empty()) finished.insert(current);
      current = name;
    }
    sampled.insert(name);
    std::vector<std::pair<std::string, std::string>> labels;
    if (i < line.size() && line[i] == '{') {
      i++;
      std::set<std::string> seen;
      while (i < line.size() && line[i] != '}') {
        size_t eq = line.find('=', i);
        if (eq == std::string::npos) return err("label without '='");
        std::string lname = line.substr(i, eq - i);
        if (!name_ok(lname, false)) return err("bad label name");
        if (!seen.insert(lname).second) return err("label twice");
        if (eq + 1 >= line.size() || line[eq + 1] != '"') return err("label value not quoted");
        std::string value;
        size_t j = eq + 2;
        for (; j < line.size() && line[j] != '"'; j++) {
          if (line[j] == '\\') {
            if (j + 1 >= line.size()) return err("escape at end");
            char e = line[++j];
            if (e == 'n') value += '\n';
            else if (e == '\\' || e == '"') value += e;
            else return err("bad escape in label value");
          } else {
            value += line[j];
          }
        }
        if (j >= line.size()) return err("unterminated label value");
        labels.emplace_back(lname, value);
        i = j + 1;
        if (i < line.size() && line[i] == ',') i++;
        else if (i < line.size() && line[i] != '}') return err("expected ',' or '}'");
      }
      if (i >= line.size()) return err("unterminated label set");
      i++;
    }
    if (i >= line.size() || line[i] != ' ') return err("no blank before the value");
    std::string rest = line.substr(i + 1);
    size_t sp = rest.find(' ');
    std::string vtext = rest.substr(0, sp);
    if (sp != std::string::npos) {
      std::string ts = rest.substr(sp + 1);
      char *end = nullptr;
      std::strtoll(ts.c_str(), &end, 10);
      if (ts.empty() || *end != '\0') return err("bad timestamp");
    }
    double v;
    if (!value_ok(vtext, &v)) return err("bad value");
    if (out->types[current] == "counter" && v < 0) return err("negative counter");
    std::sort(labels.begin(), labels.end());
    std::string key = name;
    if (!labels.empty()) {
      key += '{';
      for (size_t k = 0; k < labels.size(); k++) {
        if (k) key += ',';
        key += labels[k].first + "=\"" + labels[k].second + "\"";
      }
      key += '}';
    }
    if (!series.insert(key).second) return err("series twice");
    out->samples[key] = v;
  }
  return "";
}

}  // namespace wendrel_test
