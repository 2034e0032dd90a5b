// The metric library pieces: tags and tagsets, the fixup and routing-key
// hooks, tag-search parsing (with error offsets) and evaluation, and the
// metric director's generation record.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <string.h>
#include <uuid/uuid.h>

#include <array>
#include <random>
#include <string>
#include <vector>

#include "quib/iep.h"
#include "quib/metric_director.h"
#include "quib/tag_search.h"
#include "quib/tagset.h"

namespace {

TEST(Tag, CategoryRunsToTheFirstColon) {
  quib_metric_tag_t tag;
  const char *text = "__check_uuid:6f1b7c2e:x";
  ASSERT_EQ(quib_metric_tag_set(&tag, text, strlen(text)), 0);
  EXPECT_EQ(tag.total_size, strlen(text));
  EXPECT_EQ(tag.category_size, 13);  // "__check_uuid:", colon included
  EXPECT_EQ(tag.tag, text);
  ASSERT_EQ(quib_metric_tag_set(&tag, "bare", 4), 0);
  EXPECT_EQ(tag.category_size, 4);
  ASSERT_EQ(quib_metric_tag_set(&tag, ":v", 2), 0);
  EXPECT_EQ(tag.category_size, 1);
}

TEST(Tag, SizesThatDoNotFitAreRefused) {
  quib_metric_tag_t tag{};
  std::string long_category(255, 'c');  // with its colon: 256 bytes
  std::string text = long_category + ":v";
  EXPECT_EQ(quib_metric_tag_set(&tag, text.c_str(), text.size()), -1);
  text = std::string(254, 'c') + ":v";
  EXPECT_EQ(quib_metric_tag_set(&tag, text.c_str(), text.size()), 0);
  EXPECT_EQ(tag.category_size, 255);
  std::string huge = "c:" + std::string(65534, 'v');  // 65536 bytes
  EXPECT_EQ(quib_metric_tag_set(&tag, huge.c_str(), huge.size()), -1);
  EXPECT_EQ(quib_metric_tag_set(&tag, huge.c_str(), huge.size() - 1), 0);
  EXPECT_EQ(quib_metric_tag_set(nullptr, "a:b", 3), -1);
}

struct TagsetHolder {
  std::vector<std::string> texts;
  quib_metric_tag_t tags[QUIB_METRIC_MAX_TAGS];
  quib_metric_tagset_t set{tags, 0, 0};
  explicit TagsetHolder(std::vector<std::string> t) : texts(std::move(t)) {
    for (auto &s : texts) quib_metric_tag_set(&tags[set.tag_count++], s.data(), s.size());
    quib_metric_tagset_canonicalize(&set);
  }
};

TEST(Tagset, CanonicalSizeJoinsTagsWithCommas) {
  TagsetHolder h({"a:1", "bb:22", "c"});
  EXPECT_EQ(h.set.canonical_size, 3 + 1 + 5 + 1 + 1);
  TagsetHolder empty({});
  EXPECT_EQ(empty.set.canonical_size, 0);
}

// Three fixup callbacks registered once; each test sets their answers.
struct FixupProbe {
  std::string name;
  zorv_hook_return_t answer = ZORV_HOOK_CONTINUE;
  static std::vector<std::string> calls;
  static zorv_hook_return_t fn(void *closure, quib_metric_tagset_class_t cls,
                               quib_metric_tagset_t *ts) {
    auto *p = static_cast<FixupProbe *>(closure);
    calls.push_back(p->name + "/" + std::to_string(cls) + "/" + std::to_string(ts->tag_count));
    return p->answer;
  }
};
std::vector<std::string> FixupProbe::calls;
FixupProbe probes[3] = {{"one"}, {"two"}, {"three"}};

void register_probes_once() {
  static bool done = false;
  if (done) return;
  for (auto &p : probes) quib_metric_tagset_fixup_hook_register(p.name.c_str(), FixupProbe::fn, &p);
  quib_metric_tagset_fixup_hook_register("null", nullptr, nullptr);  // ignored
  done = true;
}

zorv_hook_return_t run_fixups(zorv_hook_return_t a, zorv_hook_return_t b,
                              zorv_hook_return_t c) {
  register_probes_once();
  probes[0].answer = a, probes[1].answer = b, probes[2].answer = c;
  FixupProbe::calls.clear();
  TagsetHolder h({"__check_uuid:x"});
  return quib_metric_tagset_fixup_hook_invoke(QUIB_METRIC_TAGSET_CHECK, &h.set);
}

TEST(TagsetFixup, RunsInRegistrationOrderDoneSticksAbortStops) {
  EXPECT_EQ(run_fixups(ZORV_HOOK_CONTINUE, ZORV_HOOK_CONTINUE, ZORV_HOOK_CONTINUE),
            ZORV_HOOK_CONTINUE);
  EXPECT_EQ(FixupProbe::calls, (std::vector<std::string>{"one/1/1", "two/1/1", "three/1/1"}));
  EXPECT_EQ(run_fixups(ZORV_HOOK_DONE, ZORV_HOOK_CONTINUE, ZORV_HOOK_CONTINUE), ZORV_HOOK_DONE);
  EXPECT_EQ(FixupProbe::calls.size(), 3u);
  EXPECT_EQ(run_fixups(ZORV_HOOK_CONTINUE, ZORV_HOOK_ABORT, ZORV_HOOK_DONE), ZORV_HOOK_ABORT);
  EXPECT_EQ(FixupProbe::calls, (std::vector<std::string>{"one/1/1", "two/1/1"}));
  EXPECT_EQ(run_fixups(ZORV_HOOK_DONE, ZORV_HOOK_ABORT, ZORV_HOOK_DONE), ZORV_HOOK_ABORT);
}

// A callback that appends a tag, as a module completing check tagsets does.
TEST(TagsetFixup, CallbackCanAppendTags) {
  static const char extra[] = "env:prod";
  auto append = [](void *, quib_metric_tagset_class_t cls,
                   quib_metric_tagset_t *ts) -> zorv_hook_return_t {
    if (cls != QUIB_METRIC_TAGSET_CHECK || ts->tag_count >= QUIB_METRIC_MAX_TAGS)
      return ZORV_HOOK_CONTINUE;
    quib_metric_tag_set(&ts->tags[ts->tag_count++], extra, strlen(extra));
    quib_metric_tagset_canonicalize(ts);
    return ZORV_HOOK_DONE;
  };
  quib_metric_tagset_fixup_hook_register("append", append, nullptr);
  register_probes_once();
  for (auto &p : probes) p.answer = ZORV_HOOK_CONTINUE;
  TagsetHolder h({"__check_uuid:x"});
  EXPECT_EQ(quib_metric_tagset_fixup_hook_invoke(QUIB_METRIC_TAGSET_CHECK, &h.set),
            ZORV_HOOK_DONE);
  ASSERT_EQ(h.set.tag_count, 2);
  EXPECT_EQ(std::string(h.set.tags[1].tag, h.set.tags[1].total_size), "env:prod");
  EXPECT_EQ(h.set.canonical_size, 14 + 1 + 8);
}

TEST(RoutingKeyHook, CallbacksRewriteTheKeyInOrder) {
  char key[64] = "original";
  EXPECT_EQ(iep_routingkey_update_hook_invoke("m", 1, "p", key, sizeof key),
            ZORV_HOOK_CONTINUE);  // none registered yet
  EXPECT_STREQ(key, "original");

  auto prefix_len = [](void *, const char *payload, size_t len, const char *prefix,
                       char *rk, size_t rlen) -> zorv_hook_return_t {
    if (len == 0) return ZORV_HOOK_CONTINUE;
    snprintf(rk, rlen, "%s.%zu.%c", prefix, len, payload[0]);
    return ZORV_HOOK_DONE;
  };
  auto upper_if_abort = [](void *, const char *payload, size_t len, const char *,
                           char *rk, size_t) -> zorv_hook_return_t {
    if (len > 0 && payload[0] == '!') return ZORV_HOOK_ABORT;
    for (char *c = rk; *c; ++c) *c = static_cast<char>(toupper(*c));
    return ZORV_HOOK_CONTINUE;
  };
  iep_routingkey_update_hook_register("first", prefix_len, nullptr);
  iep_routingkey_update_hook_register("second", upper_if_abort, nullptr);

  // payload is not NUL-terminated: only its length counts.
  const char payload[] = {'x', 'y', 'z'};
  EXPECT_EQ(iep_routingkey_update_hook_invoke(payload, 3, "check", key, sizeof key),
            ZORV_HOOK_DONE);
  EXPECT_STREQ(key, "CHECK.3.X");
  strcpy(key, "kept");
  EXPECT_EQ(iep_routingkey_update_hook_invoke("", 0, "check", key, sizeof key),
            ZORV_HOOK_CONTINUE);
  EXPECT_STREQ(key, "KEPT");
  EXPECT_EQ(iep_routingkey_update_hook_invoke("!", 1, "p", key, sizeof key), ZORV_HOOK_ABORT);
  EXPECT_STREQ(key, "p.1.!");  // the first callback ran, the second stopped the walk
}

// Parses text, expecting failure at offset.
void expect_error_at(const char *text, int offset) {
  int at = -1;
  quib_metric_tag_search_ast_t *ast = quib_metric_tag_search_parse(text, &at);
  EXPECT_EQ(ast, nullptr) << text;
  EXPECT_EQ(at, offset) << text;
  quib_metric_tag_search_free(ast);
}

TEST(TagSearch, ErrorsReportTheOffsetOfTheFirstFault) {
  expect_error_at("", 0);
  expect_error_at("   ", 3);
  expect_error_at("env", 3);           // ':' expected
  expect_error_at("env:", 4);          // value expected
  expect_error_at(":prod", 0);         // category expected
  expect_error_at("env:prod host:a", 9);  // one expression only
  expect_error_at("and(", 4);
  expect_error_at("and()", 4);
  expect_error_at("and(a:b", 7);
  expect_error_at("and(a:b,)", 8);
  expect_error_at("or(a:b c:d)", 7);
  expect_error_at("not(a:b,c:d)", 7);  // not takes one expression
  expect_error_at("and(a:b))", 8);
  expect_error_at("nand(a:b)", 4);     // not an operator: a term missing ':'
  expect_error_at("a:b(", 3);
  int at = 42;
  EXPECT_EQ(quib_metric_tag_search_parse(nullptr, &at), nullptr);
  EXPECT_EQ(at, 0);
}

TEST(TagSearch, DeepNestingIsRefusedNotOverflowed) {
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "not(";
  deep += "a:b";
  int at = -1;
  EXPECT_EQ(quib_metric_tag_search_parse(deep.c_str(), &at), nullptr);
  EXPECT_EQ(at, 4 * 65);
  std::string ok;
  for (int i = 0; i < 64; ++i) ok += "not(";
  ok += "a:b" + std::string(64, ')');
  quib_metric_tag_search_ast_t *ast = quib_metric_tag_search_parse(ok.c_str(), &at);
  EXPECT_NE(ast, nullptr);
  quib_metric_tag_search_free(ast);
}

bool matches(const char *expr, const TagsetHolder &h) {
  int at = -1;
  quib_metric_tag_search_ast_t *ast = quib_metric_tag_search_parse(expr, &at);
  EXPECT_NE(ast, nullptr) << expr << " fails at " << at;
  bool r = quib_metric_tag_search_evaluate(ast, &h.set);
  quib_metric_tag_search_free(ast);
  return r;
}

TEST(TagSearch, EvaluatesTermsGlobsAndOperators) {
  TagsetHolder h({"env:prod", "host:web-01", "url:http://x/y", "flag"});
  EXPECT_TRUE(matches("env:prod", h));
  EXPECT_FALSE(matches("env:pro", h));
  EXPECT_FALSE(matches("envx:prod", h));
  EXPECT_TRUE(matches("env:p*", h));
  EXPECT_TRUE(matches("env:?rod", h));
  EXPECT_TRUE(matches("env:*", h));
  EXPECT_TRUE(matches("host:*-*1", h));
  EXPECT_FALSE(matches("host:w*b*-0*2", h));
  EXPECT_TRUE(matches("url:http://*", h));  // values may hold colons
  EXPECT_TRUE(matches("flag:*", h));        // a tag without a value
  EXPECT_FALSE(matches("flag:?*", h));
  EXPECT_TRUE(matches(" and( env:prod , not(host:db*) ) ", h));
  EXPECT_FALSE(matches("and(env:prod,host:db*)", h));
  EXPECT_TRUE(matches("or(env:dev,host:*01)", h));
  EXPECT_FALSE(matches("or(env:dev,not(flag:*))", h));
  EXPECT_TRUE(matches("and:x", TagsetHolder({"and:x"})));  // "and" as a category
  TagsetHolder none({});
  EXPECT_FALSE(matches("env:*", none));
  EXPECT_TRUE(matches("not(env:*)", none));
  EXPECT_FALSE(quib_metric_tag_search_evaluate(nullptr, &h.set));
}

// The plain recursive definition of the glob, slow but plainly right.
bool reference_glob(std::string_view p, std::string_view t) {
  if (p.empty()) return t.empty();
  if (p[0] == '*')
    return reference_glob(p.substr(1), t) ||
           (!t.empty() && reference_glob(p, t.substr(1)));
  return !t.empty() && (p[0] == '?' || p[0] == t[0]) &&
         reference_glob(p.substr(1), t.substr(1));
}

TEST(TagSearch, GlobAgreesWithTheReferenceOnGeneratedCases) {
  EXPECT_TRUE(matches("a:*", TagsetHolder({"a:*b"})));  // '*' in the text too
  // Short patterns and values over a small alphabet that holds the
  // wildcards themselves, so that every way they meet comes up.
  std::mt19937 gen(20240611);
  const std::string alphabet = "ab*?";
  auto word = [&](size_t max) {
    std::string w(std::uniform_int_distribution<size_t>(0, max)(gen), 'a');
    for (char &c : w) c = alphabet[gen() % alphabet.size()];
    return w;
  };
  int mismatches = 0;
  for (int i = 0; i < 20000 && mismatches < 5; ++i) {
    std::string pattern = word(6);
    if (pattern.empty()) pattern = "?";  // a term needs a value
    std::string value = word(8);
    std::string tag = "k:" + value, expr = "k:" + pattern;
    bool want = reference_glob(pattern, value);
    if (matches(expr.c_str(), TagsetHolder({tag})) != want) {
      ADD_FAILURE() << "pattern '" << pattern << "' value '" << value
                    << "' should " << (want ? "" : "not ") << "match";
      ++mismatches;
    }
  }
}

TEST(TagSearch, GlobBacktrackingStaysLinearEnough) {
  // A pattern that makes naive recursive globbing exponential.
  std::string value(2000, 'a');
  std::string tag = "k:" + value;
  TagsetHolder h({tag});
  std::string expr = "k:";
  for (int i = 0; i < 30; ++i) expr += "*a";
  expr += "b";
  EXPECT_FALSE(matches(expr.c_str(), h));
}

TEST(MetricDirector, RecordsTheLastGenerationPerCheck) {
  void *lib = dlopen(QUIB_DIRECTOR_PATH, RTLD_NOW | RTLD_GLOBAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  // Modules find it by name in the process's global scope.
  auto set = reinterpret_cast<metric_director_set_check_generation_func>(
      dlsym(RTLD_DEFAULT, METRIC_DIRECTOR_SET_CHECK_GENERATION_SYMBOL));
  auto get = reinterpret_cast<uint64_t (*)(const unsigned char *)>(
      dlsym(RTLD_DEFAULT, "metric_director_get_check_generation"));
  ASSERT_NE(set, nullptr);
  ASSERT_NE(get, nullptr);
  uuid_t a, b, c;
  uuid_generate(a);
  uuid_generate(b);
  uuid_generate(c);
  set(a, 5);
  set(b, 7);
  set(a, 9);
  EXPECT_EQ(get(a), 9u);
  EXPECT_EQ(get(b), 7u);
  EXPECT_EQ(get(c), 0u);

  // Enough checks to make the record grow several times, keys that differ
  // in one word only among them; every one keeps its own last generation.
  std::vector<std::array<unsigned char, 16>> many(5000);
  for (size_t i = 0; i < many.size(); ++i) {
    many[i] = {};
    memcpy(many[i].data() + (i % 2 ? 8 : 0), &i, sizeof i);
    set(many[i].data(), i + 1);
  }
  set(many[0].data(), 77);
  EXPECT_EQ(get(many[0].data()), 77u);
  for (size_t i = 1; i < many.size(); ++i) ASSERT_EQ(get(many[i].data()), i + 1) << i;
  EXPECT_EQ(get(a), 9u);
}

}  // namespace
