/* Shared pieces of the kavalin unit tests: a log capture, configuration
 * loading and a way back to a freshly initialised module between cases. */
#ifndef KAVALIN_TEST_SUPPORT_H
#define KAVALIN_TEST_SUPPORT_H

#include <string>
#include <vector>

#include "modules/kavalin/internal.h"
#include "zorv/memory.h"

namespace kavtest {

struct log_line {
  std::string stream;
  std::string text;
};

/* Captures every line that goes out while it lives. */
class log_capture {
 public:
  log_capture();
  ~log_capture();
  std::vector<log_line> lines() const;
  /* Lines of one stream, texts only. */
  std::vector<std::string> on(const std::string &stream) const;
  bool has(const std::string &stream, const std::string &text) const;
  void clear();
};

/* A safe-memory bracket for the scope: a filter from the lookup may be
 * used only inside one. */
struct memory_bracket {
  memory_bracket() { zorv_memory_begin(); }
  ~memory_bracket() { zorv_memory_end(); }
  memory_bracket(const memory_bracket &) = delete;
  memory_bracket &operator=(const memory_bracket &) = delete;
};

/* Loads xml as the configuration (aborting the test on a parse error). */
void load_conf(const std::string &xml);

/* Calls kav_init once per process, then empties the three tables and the
 * loaded flag, as a module fresh out of its init. */
void fresh_module();

/* fresh_module, load xml, run the post-initialisation. */
void start_with(const std::string &xml);

/* A configuration document with the given body inside its root. */
std::string conf_doc(const std::string &body);

}  // namespace kavtest

#endif
