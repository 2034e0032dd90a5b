// Tag-search expressions: a recursive-descent parser for the grammar in
// quib/tag_search.h, and evaluation against a tagset.
//
// Expressions come from operators (account filters), so the parser reports
// the offset of the first error and refuses nesting deeper than kMaxDepth
// rather than letting a hostile text exhaust the stack. Evaluation is on the
// metric path: it allocates nothing, and the glob matcher backtracks at most
// to the last '*', so it runs in time proportional to pattern × text.
#include "quib/tag_search.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct quib_metric_tag_search_ast {
  enum Kind { kAnd, kOr, kNot, kTerm } kind;
  std::vector<std::unique_ptr<quib_metric_tag_search_ast>> children;
  std::string category;  // kTerm: without the colon
  std::string value;     // kTerm: a glob
};

namespace {

using Ast = quib_metric_tag_search_ast;
using AstPtr = std::unique_ptr<Ast>;

constexpr int kMaxDepth = 64;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool ends_value(char c) { return is_space(c) || c == ',' || c == '(' || c == ')'; }
bool ends_category(char c) { return ends_value(c) || c == ':'; }

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  AstPtr parse_all() {
    AstPtr ast = parse_expr(0);
    if (!ast) return nullptr;
    skip_space();
    if (pos_ != text_.size()) return fail(pos_);
    return ast;
  }

  size_t error_offset() const { return error_; }

 private:
  AstPtr fail(size_t at) {
    error_ = at;
    return nullptr;
  }

  void skip_space() {
    while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
  }

  size_t scan(size_t from, bool (*stop)(char)) const {
    while (from < text_.size() && !stop(text_[from])) ++from;
    return from;
  }

  AstPtr parse_expr(int depth) {
    skip_space();
    if (depth > kMaxDepth) return fail(pos_);
    size_t start = pos_;
    size_t word_end = scan(start, ends_category);
    std::string_view word = text_.substr(start, word_end - start);

    // "and", "or" and "not" are operators only when an opening parenthesis
    // follows; "and:x" is a term of category "and".
    size_t after = word_end;
    while (after < text_.size() && is_space(text_[after])) ++after;
    if (after < text_.size() && text_[after] == '(' &&
        (word == "and" || word == "or" || word == "not")) {
      auto node = std::make_unique<Ast>();
      node->kind = word == "and" ? Ast::kAnd : word == "or" ? Ast::kOr : Ast::kNot;
      pos_ = after + 1;
      for (;;) {
        AstPtr child = parse_expr(depth + 1);
        if (!child) return nullptr;
        node->children.push_back(std::move(child));
        skip_space();
        if (pos_ < text_.size() && text_[pos_] == ')') {
          ++pos_;
          return node;
        }
        // not(...) takes exactly one expression.
        if (node->kind == Ast::kNot || pos_ >= text_.size() || text_[pos_] != ',')
          return fail(pos_);
        ++pos_;
      }
    }

    if (word.empty()) return fail(start);
    if (word_end >= text_.size() || text_[word_end] != ':') return fail(word_end);
    size_t value_start = word_end + 1;
    size_t value_end = scan(value_start, ends_value);
    if (value_end == value_start) return fail(value_start);
    auto term = std::make_unique<Ast>();
    term->kind = Ast::kTerm;
    term->category = std::string(word);
    term->value = std::string(text_.substr(value_start, value_end - value_start));
    pos_ = value_end;
    return term;
  }

  std::string_view text_;
  size_t pos_ = 0;
  size_t error_ = 0;
};

// '*' matches any run of bytes, '?' any one byte, everything else itself.
// A '*' in the pattern is always the wildcard, even where the text holds a
// '*' too: taken as a literal there, it would match one byte only.
bool glob_match(std::string_view pattern, std::string_view text) {
  size_t p = 0, t = 0;
  size_t star = std::string_view::npos, star_t = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      star_t = t;
    } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
      ++p, ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++star_t;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool term_matches(const Ast &term, const quib_metric_tagset_t *tagset) {
  if (!tagset || !tagset->tags) return false;
  for (int i = 0; i < tagset->tag_count; ++i) {
    const quib_metric_tag_t &tag = tagset->tags[i];
    if (!tag.tag) continue;
    std::string_view whole(tag.tag, tag.total_size);
    // A tag without a colon is all category, with an empty value.
    size_t cat = tag.category_size <= tag.total_size ? tag.category_size : tag.total_size;
    bool has_colon = cat > 0 && whole[cat - 1] == ':';
    std::string_view category = whole.substr(0, has_colon ? cat - 1 : cat);
    std::string_view value = has_colon ? whole.substr(cat) : std::string_view();
    if (category == term.category && glob_match(term.value, value)) return true;
  }
  return false;
}

bool evaluate(const Ast &ast, const quib_metric_tagset_t *tagset) {
  switch (ast.kind) {
    case Ast::kTerm:
      return term_matches(ast, tagset);
    case Ast::kNot:
      return !evaluate(*ast.children.front(), tagset);
    case Ast::kAnd:
      for (const auto &c : ast.children)
        if (!evaluate(*c, tagset)) return false;
      return true;
    case Ast::kOr:
      for (const auto &c : ast.children)
        if (evaluate(*c, tagset)) return true;
      return false;
  }
  return false;
}

}  // namespace

extern "C" {

quib_metric_tag_search_ast_t *quib_metric_tag_search_parse(const char *text,
                                                           int *error_offset) {
  if (!text) {
    if (error_offset) *error_offset = 0;
    return nullptr;
  }
  Parser parser(text);
  AstPtr ast = parser.parse_all();
  if (!ast) {
    if (error_offset) *error_offset = static_cast<int>(parser.error_offset());
    return nullptr;
  }
  return ast.release();
}

zorv_boolean quib_metric_tag_search_evaluate(const quib_metric_tag_search_ast_t *ast,
                                             const quib_metric_tagset_t *tagset) {
  return ast && evaluate(*ast, tagset);
}

void quib_metric_tag_search_free(quib_metric_tag_search_ast_t *ast) { delete ast; }

}  // extern "C"
