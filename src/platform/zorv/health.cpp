/* The health check registry. */
#include "zorv/health.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "zorv/json.h"

struct zorv_health_report {
  std::string owner;
  zorv_json_object *problems;
  int count = 0;
};

namespace {

struct Check {
  std::string owner;
  zorv_health_check_t fn;
  void *closure;
};

std::mutex checks_lock;
std::vector<Check> &checks() {
  static auto *list = new std::vector<Check>();  // never destroyed
  return *list;
}

}  // namespace

extern "C" {

int zorv_health_register(const char *owner, zorv_health_check_t fn,
                         void *closure) {
  if (fn == nullptr) return -1;
  std::lock_guard<std::mutex> guard(checks_lock);
  checks().push_back({owner ? owner : "", fn, closure});
  return 0;
}

void zorv_health_problem(zorv_health_report *r, const char *subject,
                         const char *reason) {
  zorv_json_object *p = zorv_json_object_new_object();
  zorv_json_object_object_add(p, "owner",
                              zorv_json_object_new_string(r->owner.c_str()));
  zorv_json_object_object_add(p, "subject",
                              zorv_json_object_new_string(subject ? subject : ""));
  zorv_json_object_object_add(p, "reason",
                              zorv_json_object_new_string(reason ? reason : ""));
  zorv_json_object_array_add(r->problems, p);
  r->count++;
}

int zorv_health_evaluate(char **problems) {
  std::vector<Check> snapshot;
  {
    std::lock_guard<std::mutex> guard(checks_lock);
    snapshot = checks();
  }
  zorv_health_report report;
  report.problems = zorv_json_object_new_array();
  for (const Check &c : snapshot) {
    report.owner = c.owner;
    c.fn(c.closure, &report);
  }
  if (problems) *problems = strdup(zorv_json_object_to_json_string(report.problems));
  zorv_json_object_put(report.problems);
  return report.count;
}

}  // extern "C"
