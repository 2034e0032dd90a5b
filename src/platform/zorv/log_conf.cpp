// Applies the configuration's logs section:
//
//   <logs output="file:/var/log/wendrel.log">
//     <log name="debug/ostrel" disabled="false"/>
//     <log name="error" output="stderr"/>
//   </logs>
//
// logs/@output is where top-level streams write; each log element sets one
// stream (and so, by inheritance, its descendants). Outputs are "stderr",
// "stdout" or "file:<path>". A bad entry is reported on the error stream
// and skipped; the others still apply.
#include <stdlib.h>

#include <string>

#include "log_internal.h"
#include "zorv/conf.h"
#include "zorv/host.h"
#include "zorv/log.h"

namespace {

std::string take_string(zorv_conf_section_t section, const char *xpath) {
  char *text = nullptr;
  if (!zorv_conf_get_string(section, xpath, &text)) return {};
  std::string out(text);
  free(text);
  return out;
}

void apply_log_element(zorv_conf_section_t section) {
  std::string name = take_string(section, "@name");
  if (name.empty()) {
    zorvL(zorv_error, "logs: a log element without a name is ignored\n");
    return;
  }
  zorv_log_stream_t ls = zorv_log_stream_find(name.c_str());

  zorv_boolean disabled;
  if (zorv_conf_get_boolean(section, "@disabled", &disabled)) {
    zorv_log_stream_enable(ls, !disabled);
  } else if (!take_string(section, "@disabled").empty()) {
    zorvL(zorv_error, "logs: log '%s': disabled must be true or false\n",
          name.c_str());
  }

  std::string output = take_string(section, "@output");
  if (!output.empty()) {
    std::string why;
    zorv::log::Sink *sink = zorv::log::sink_for(output, &why);
    if (sink)
      zorv::log::set_stream_sink(ls, sink);
    else
      zorvL(zorv_error, "logs: log '%s': %s\n", name.c_str(), why.c_str());
  }
}

}  // namespace

extern "C" void zorv_log_configure_from_conf(void) {
  std::string output = take_string(ZORV_CONF_ROOT, "//logs/@output");
  if (!output.empty()) {
    std::string why;
    if (zorv::log::Sink *sink = zorv::log::sink_for(output, &why))
      zorv::log::set_default_sink(sink);
    else
      zorvL(zorv_error, "logs: %s\n", why.c_str());
  }

  int count = 0;
  zorv_conf_section_t *logs =
      zorv_conf_get_sections_read(ZORV_CONF_ROOT, "//logs/log", &count);
  for (int i = 0; i < count; ++i) apply_log_element(logs[i]);
  zorv_conf_release_sections_read(logs, count);
}
