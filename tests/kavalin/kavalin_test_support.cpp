#include "kavalin_test_support.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <mutex>

#include "zorv/conf.h"
#include "zorv/memory.h"

namespace kavtest {

namespace {

std::mutex capture_lock;
std::vector<log_line> captured;

void observe(void *, const char *stream, const char *text) {
  std::lock_guard<std::mutex> guard(capture_lock);
  captured.push_back({stream ? stream : "", text ? text : ""});
}

void destroy_override_set(void *p) {
  auto *set = static_cast<zorv_hash_table *>(p);
  zorv_hash_destroy(set, free, nullptr);
  free(set);
}

void free_map_entry(void *p) {
  auto *entry = static_cast<account_cluster_map_t *>(p);
  if (entry->discard_data_filter) {
    quib_metric_tag_search_free(entry->discard_data_filter);
  }
  free(entry);
}

}  // namespace

log_capture::log_capture() {
  clear();
  zorv_log_set_observer(observe, nullptr);
}

log_capture::~log_capture() { zorv_log_set_observer(nullptr, nullptr); }

std::vector<log_line> log_capture::lines() const {
  std::lock_guard<std::mutex> guard(capture_lock);
  return captured;
}

std::vector<std::string> log_capture::on(const std::string &stream) const {
  std::vector<std::string> out;
  for (const auto &l : lines()) {
    if (l.stream == stream) out.push_back(l.text);
  }
  return out;
}

bool log_capture::has(const std::string &stream,
                      const std::string &text) const {
  for (const auto &l : lines()) {
    if (l.stream == stream && l.text == text) return true;
  }
  return false;
}

void log_capture::clear() {
  std::lock_guard<std::mutex> guard(capture_lock);
  captured.clear();
}

void load_conf(const std::string &xml) {
  char *err = nullptr;
  int rc = zorv_conf_load_string(xml.c_str(), "/tmp/kavalin-unit.conf", &err);
  ASSERT_EQ(rc, 0) << (err ? err : "");
  free(err);
}

void fresh_module() {
  static bool initialised = false;
  if (!initialised) {
    kav_init(&kavalin);
    initialised = true;
  }
  zorv_hash_destroy(&global_clusters, nullptr, drask_cluster_deref);
  zorv_hash_destroy(&account_map, nullptr, free_map_entry);
  zorv_hash_destroy(&manual_cluster_override, free, destroy_override_set);
  reap_discard_data_filters();
  account_map_initialized.store(false);
  store_timeout(TOTAL_TIMEOUT, 8000);
  store_timeout(CONNECT_TIMEOUT, 1000);
}

void start_with(const std::string &xml) {
  fresh_module();
  load_conf(xml);
  kavalin_post_init(&kavalin);
}

std::string conf_doc(const std::string &body) {
  return "<wendrel>" + body + "</wendrel>";
}

}  // namespace kavtest
