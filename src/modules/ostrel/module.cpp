/* ostrel's frame: the descriptor the host loads, the options, and what the
 * module sets up at configuration, initialisation and post-initialisation.
 * The clusters themselves arrive later, through kavalin's cluster-changed
 * hook (registry.cpp). */
#include <stdlib.h>
#include <string.h>

#include <string_view>

#include "modules/kavalin/kavalin.h"
#include "modules/ostrel/internal.h"
#include "zorv/uuid.h"

const char *const ostrel_xml_description =
    "<module>\n"
    "  <name>ostrel</name>\n"
    "  <description><para>A module that will establish a replicated copy of "
    "the checks tags DB in an Talvex install.</para></description>\n"
    "  <loader>C</loader>\n"
    "  <image>ostrel.so</image>\n"
    "  <moduleconfig>\n"
    "    <parameter name=\"bootstrap\"\n"
    "               required=\"required\"\n"
    "               allowed=\".*\">A comma-separated list of hosts to "
    "bootstrap a drask client.\n"
    "    </parameter>\n"
    "  </moduleconfig>\n"
    "</module>\n";

extern "C" {
ZORV_EXPORT zorv_dso_generic_t ostrel = {
    ZORV_DSO_MAGIC,
    ZORV_DSO_GENERIC_VERSION,
    "ostrel",
    "A libzorv module that replicates the check tags DB",
    ostrel_xml_description,
    nullptr,
    ostrel_config,
    ostrel_init,
};
}

int64_t speed_limit = 100;
int64_t speed_timeout_s = 30;
int64_t connect_timeout_s = 10;
char *subscriber = nullptr;
int32_t update_interval = 1;
int64_t max_fail_us_before_next = 600000000;
uint32_t max_tag_bytes = 64 * 1024;

zorv_log_stream_t errorls = nullptr;
zorv_log_stream_t noticels = nullptr;
zorv_log_stream_t controlls = nullptr;
zorv_log_stream_t use_debug = nullptr;

int32_t ostrel_leading_int32(const char *text) {
  long long v = strtoll(text, nullptr, 10);
  // Saturate rather than wrap: "99999999999" must not turn into a small or
  // negative number that then passes the "> 0" tests below.
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

static void apply_option(std::string_view key, const char *value) {
  if (key == "speed_limit") {
    speed_limit = ostrel_leading_int32(value);
  } else if (key == "speed_timeout") {
    speed_timeout_s = ostrel_leading_int32(value);
  } else if (key == "connect_timeout") {
    connect_timeout_s = ostrel_leading_int32(value);
  } else if (key == "subscriber") {
    free(subscriber);
    subscriber = strdup(value);
  } else if (key == "update_interval") {
    int32_t v = ostrel_leading_int32(value);
    if (v > 0) update_interval = v;
  } else if (key == "failover_timeout") {
    int32_t v = ostrel_leading_int32(value);
    if (v > 0) max_fail_us_before_next = static_cast<int64_t>(v) * 1000000;
  } else if (key == "max_tag_bytes") {
    // The info word carries a length of 31 bits, so every positive 32-bit
    // value is one a stream can name.
    int32_t v = ostrel_leading_int32(value);
    if (v > 0) max_tag_bytes = static_cast<uint32_t>(v);
  }
  // Anything else is not ours to judge: the host's options table may carry
  // keys meant for the loader.
}

int ostrel_config(zorv_dso_generic_t *, zorv_hash_table *options) {
  ostrel_registry_setup();
  if (options == nullptr) return 0;
  zorv_hash_iter iter = ZORV_HASH_ITER_ZERO;
  const char *key;
  int klen;
  void *data;
  while (zorv_hash_adv(options, &iter, &key, &klen, &data)) {
    if (key == nullptr || klen < 0 || data == nullptr) continue;
    apply_option(std::string_view(key, static_cast<size_t>(klen)),
                 static_cast<const char *>(data));
  }
  return 0;
}

int ostrel_init(zorv_dso_generic_t *self) {
  ostrel_store_setup();
  dso_post_init_hook_register("ostrel", ostrel_post_init, self);
  quib_metric_tagset_fixup_hook_register("ostrel", check_tag_tagset_completer,
                                         self);
  kavalin_cluster_changed_hook_register("ostrel", ostrel_react_cluster_changed,
                                        self);

  errorls = zorv_log_stream_find("error/ostrel");
  noticels = zorv_log_stream_find("notice/ostrel");
  controlls = zorv_log_stream_find("debug/ostrel/control");
  use_debug = zorv_log_stream_find("debug/ostrel/use");

  zorvL(noticels, "Starting ostrel with update_interval=%d\n", update_interval);
  ostrel_operator_setup();

  zorvAssert(zorv_http_rest_register_auth(
                 "GET", "/module/ostrel/show/",
                 "^([0-9a-fA-F]{4}(?:[0-9a-fA-F]{4}-){4}[0-9a-fA-F]{12}).json$",
                 ostrel_rest_show, zorv_http_rest_client_cert_auth) == 0);
  // What each replication record is doing, for operators.
  zorvAssert(zorv_http_rest_register_auth("GET", "/module/ostrel/",
                                          "^status\\.json$", ostrel_rest_status,
                                          zorv_http_rest_client_cert_auth) == 0);
  return 0;
}

zorv_hook_return_t ostrel_post_init(void *) {
  pthread_mutex_lock(&clusters_lock);
  if (subscriber == nullptr) {
    uuid_t self_id;
    zorv_cluster_get_self(self_id);
    if (zorv_uuid_is_null(self_id)) {
      zorvTerminate(errorls,
                    "[TERMINATE] No <subscriber> or //clusters/@my_id "
                    "available, cannot use ostrel\n");
    }
    char text[ZORV_UUID_STR_LEN + 1];
    zorv_uuid_unparse_lower(self_id, text);
    subscriber = strdup(text);
  }
  // Workers registered before now may be waiting for the subscriber.
  pthread_cond_broadcast(&clusters_cond);
  pthread_mutex_unlock(&clusters_lock);

  spinup_threads();
  return ZORV_HOOK_CONTINUE;
}
