/* What the account map keeps of a discard-data filter is its parsed tree;
 * the operator wrote text. The text of every live tree is kept here so the
 * read-back can show it, and the texts that failed to parse are kept so
 * that each is reported once, not again at every later map update (which
 * re-parses every configured filter). */
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "internal.h"

namespace {

/* Only the start-up thread and the update handlers parse and free filters,
 * and only the read-back reads the texts: none of it is on a hot path. */
std::mutex texts_lock;
auto *texts =
    new std::unordered_map<const quib_metric_tag_search_ast_t *, std::string>();

/* Bounded so that a stream of distinct bad texts cannot grow it for ever;
 * past the bound every bad text is reported again, as before. */
constexpr size_t kMaxReportedBadTexts = 4096;
auto *reported_bad = new std::unordered_set<std::string>();

}  // namespace

void remember_filter_text(const quib_metric_tag_search_ast_t *filter,
                          const char *text) {
  if (filter == nullptr || text == nullptr) return;
  std::lock_guard<std::mutex> guard(texts_lock);
  (*texts)[filter] = text;
}

void free_discard_data_filter(quib_metric_tag_search_ast_t *filter) {
  if (filter == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(texts_lock);
    texts->erase(filter);
  }
  quib_metric_tag_search_free(filter);
}

std::string discard_data_filter_text(
    const quib_metric_tag_search_ast_t *filter) {
  if (filter == nullptr) return {};
  std::lock_guard<std::mutex> guard(texts_lock);
  auto it = texts->find(filter);
  return it == texts->end() ? std::string() : it->second;
}

bool first_report_of_bad_filter(const char *text) {
  std::lock_guard<std::mutex> guard(texts_lock);
  if (reported_bad->count(text) != 0) return false;
  if (reported_bad->size() < kMaxReportedBadTexts) reported_bad->insert(text);
  return true;
}
