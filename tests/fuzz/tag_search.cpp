/* The tag-search parser and matcher on any expression and tagset, against
 * a reference: a second, plain reading of the grammar and a glob matcher
 * by dynamic programming. Both must accept the same texts and give the same
 * answer on the same tagset.
 *
 * Input: the expression up to the first line feed, then one tag per line
 * ("category:value"; without a colon all category), at most 256 tags; each
 * tag text sits in a heap block of exactly its size, as tagsets hold them. */
#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "quib/tag_search.h"

namespace {

struct node {
  enum { kAnd, kOr, kNot, kTerm } kind = kTerm;
  std::vector<node> children;
  std::string category, value;
};

/* The grammar of quib/tag_search.h, read again on its own. */
class reference_parser {
 public:
  explicit reference_parser(std::string_view t) : t_(t) {}
  bool parse(node &out) {
    if (!expr(out, 0)) return false;
    space();
    return i_ == t_.size();
  }

 private:
  static bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
  }
  static bool delimiter(char c) {
    return blank(c) || c == ',' || c == '(' || c == ')';
  }
  void space() {
    while (i_ < t_.size() && blank(t_[i_])) i_++;
  }
  bool expr(node &out, int depth) {
    space();
    if (depth > 64) return false;
    size_t start = i_;
    while (i_ < t_.size() && !delimiter(t_[i_]) && t_[i_] != ':') i_++;
    std::string_view word = t_.substr(start, i_ - start);
    size_t save = i_;
    space();
    bool open = i_ < t_.size() && t_[i_] == '(';
    if (open && (word == "and" || word == "or" || word == "not")) {
      out.kind = word == "and" ? node::kAnd : word == "or" ? node::kOr : node::kNot;
      i_++;
      do {
        out.children.emplace_back();
        if (!expr(out.children.back(), depth + 1)) return false;
        space();
        if (out.kind == node::kNot) break;
      } while (i_ < t_.size() && t_[i_] == ',' && ++i_);
      if (i_ >= t_.size() || t_[i_] != ')') return false;
      i_++;
      return true;
    }
    i_ = save;
    if (word.empty() || i_ >= t_.size() || t_[i_] != ':') return false;
    size_t v = ++i_;
    while (i_ < t_.size() && !delimiter(t_[i_])) i_++;
    if (i_ == v) return false;
    out.kind = node::kTerm;
    out.category = std::string(word);
    out.value = std::string(t_.substr(v, i_ - v));
    return true;
  }
  std::string_view t_;
  size_t i_ = 0;
};

/* match[i][j]: pattern[i..] matches text[j..]. */
bool glob(std::string_view p, std::string_view s) {
  std::vector<std::vector<char>> m(p.size() + 1,
                                   std::vector<char>(s.size() + 1, 0));
  m[p.size()][s.size()] = 1;
  for (size_t i = p.size(); i-- > 0;) {
    for (size_t j = s.size() + 1; j-- > 0;) {
      if (p[i] == '*') {
        m[i][j] = m[i + 1][j] || (j < s.size() && m[i][j + 1]);
      } else if (j < s.size() && (p[i] == '?' || p[i] == s[j])) {
        m[i][j] = m[i + 1][j + 1];
      }
    }
  }
  return m[0][0];
}

bool evaluate(const node &n, const std::vector<std::string> &tags) {
  switch (n.kind) {
    case node::kTerm:
      for (const auto &t : tags) {
        size_t colon = t.find(':');
        std::string_view cat = std::string_view(t).substr(0, colon);
        std::string_view val = colon == std::string::npos
                                   ? std::string_view()
                                   : std::string_view(t).substr(colon + 1);
        if (cat == n.category && glob(n.value, val)) return true;
      }
      return false;
    case node::kNot:
      return !evaluate(n.children.front(), tags);
    case node::kAnd:
      for (const auto &c : n.children)
        if (!evaluate(c, tags)) return false;
      return true;
    case node::kOr:
      for (const auto &c : n.children)
        if (evaluate(c, tags)) return true;
      return false;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view in(reinterpret_cast<const char *>(data), size);
  size_t nl = in.find('\n');
  // The parser takes a C string: the expression ends at a NUL.
  std::string text(in.substr(0, nl));
  text = text.c_str();

  std::vector<std::string> tags;
  std::vector<std::unique_ptr<fuzz::exact_copy>> blocks;
  std::vector<quib_metric_tag_t> slots(QUIB_METRIC_MAX_TAGS);
  quib_metric_tagset_t set{slots.data(), 0, 0};
  for (size_t at = nl; at != std::string_view::npos && tags.size() < QUIB_METRIC_MAX_TAGS;) {
    size_t next = in.find('\n', at + 1);
    std::string_view t = in.substr(at + 1, next == std::string_view::npos
                                               ? std::string_view::npos
                                               : next - at - 1);
    at = next;
    blocks.push_back(std::make_unique<fuzz::exact_copy>(t));
    if (quib_metric_tag_set(&slots[set.tag_count], blocks.back()->p, t.size()) != 0)
      continue;  // too long for a tag: a tagset could not hold it
    set.tag_count++;
    tags.emplace_back(t);
  }

  int offset = -1;
  quib_metric_tag_search_ast_t *ast =
      quib_metric_tag_search_parse(text.c_str(), &offset);
  node ref;
  bool ref_ok = reference_parser(text).parse(ref);
  FUZZ_CHECK((ast != nullptr) == ref_ok, "'%s': parser %s, reference %s",
             text.c_str(), ast ? "accepts" : "refuses",
             ref_ok ? "accepts" : "refuses");
  if (ast == nullptr) {
    FUZZ_CHECK(offset >= 0 && static_cast<size_t>(offset) <= text.size(),
               "error offset %d outside '%s'", offset, text.c_str());
    return 0;
  }
  bool got = quib_metric_tag_search_evaluate(ast, &set);
  bool want = evaluate(ref, tags);
  FUZZ_CHECK(got == want, "'%s' on %zu tags: matcher %d, reference %d",
             text.c_str(), tags.size(), got, want);
  quib_metric_tag_search_free(ast);
  return 0;
}
