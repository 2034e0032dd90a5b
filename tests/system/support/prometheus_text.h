// A strict reader of the Prometheus text exposition format (0.0.4), so that
// tests check /metrics the way a scraper reads it.
#ifndef WENDREL_TEST_PROMETHEUS_TEXT_H
#define WENDREL_TEST_PROMETHEUS_TEXT_H

#include <map>
#include <string>

namespace wendrel_test {

struct Exposition {
  // Series "name{a="x",b="y"}" (labels sorted by name, values unescaped)
  // -> value; "name" alone for a series without labels.
  std::map<std::string, double> samples;
  std::map<std::string, std::string> types;  // family -> type
};

// Empty string when text is well-formed (and fills out), else what is wrong
// and on which line. Checks: every line ends in a newline; HELP and TYPE
// come at most once per family and before its samples; samples of a family
// are contiguous and named after it; names, label names, escapes and
// values follow the format; no series appears twice; counters are never
// negative.
std::string parse_exposition(const std::string &text, Exposition *out);

}  // namespace wendrel_test

#endif
