/* The module frame: descriptor, documentation, init and the
 * post-initialisation sequence. */
#include "internal.h"
#include "metrics.h"
#include "quib/iep.h"
#include "zorv/conf.h"

/* Each line ends in a newline, and one empty line closes the text. */
const char kavalin_xml_description[] =
    "<module>\n"
    "  <name>kavalin</name>\n"
    "  <description><para>The kavalin module maps accounts to clusters.</para></description>\n"
    "  <loader>C</loader>\n"
    "  <image>kavalin.so</image>\n"
    "  <moduleconfig>\n"
    "  </moduleconfig>\n"
    "  <checkconfig />\n"
    "  <examples>\n"
    "    <example>\n"
    "      <title>Loading the kavalin.</title>\n"
    "      <para>This example loads the kavalin and configures it.</para>\n"
    "      <programlisting><![CDATA[\n"
    "      <wendrel>\n"
    "        <modules>\n"
    "          <module image=\"kavalin\" name=\"kavalin\" />\n"
    "        </modules>\n"
    "      </wendrel>\n"
    "    ]]></programlisting>\n"
    "    </example>\n"
    "  </examples>\n"
    "</module>\n"
    "\n";

zorv_log_stream_t kav_error = nullptr;
zorv_log_stream_t kav_notice = nullptr;
zorv_log_stream_t kav_debug = nullptr;

int32_t TOTAL_TIMEOUT = 8000;
int32_t CONNECT_TIMEOUT = 1000;

int kav_onload(zorv_image_t *) { return 0; }

int kav_config(zorv_dso_generic_t *, zorv_hash_table *) { return 0; }

int kav_init(zorv_dso_generic_t *self) {
  zorv_hash_init(&global_clusters);
  zorv_hash_init(&account_map);
  zorv_hash_init(&manual_cluster_override);

  libdrask_init();

  kav_error = zorv_log_stream_find("error/kavalin");
  kav_notice = zorv_log_stream_find("notice/kavalin");
  kav_debug = zorv_log_stream_find("debug/kavalin");

  dso_post_init_hook_register("kavalin", kavalin_post_init, self);
  iep_routingkey_update_hook_register("kavalin", kavalin_alter_route_counted,
                                      self);
  kavalin_metrics_setup();
  return 0;
}

/* The order matters: the account map checks its cluster ids against the
 * cluster table, and the REST endpoints may only appear once both tables
 * are loaded. */
zorv_hook_return_t kavalin_post_init(void *) {
  int32_t value = 0;
  if (zorv_conf_get_int32(ZORV_CONF_ROOT, "//drask/@timeout", &value)) {
    store_timeout(TOTAL_TIMEOUT, value);
  }
  zorv_conf_register_global_param("drask.timeout_ms", "//drask/@timeout",
                                  ZORV_PARAM_INT32, &TOTAL_TIMEOUT, nullptr,
                                  nullptr);
  if (zorv_conf_get_int32(ZORV_CONF_ROOT, "//drask/@connecttimeout", &value)) {
    store_timeout(CONNECT_TIMEOUT, value);
  }
  zorv_conf_register_global_param("drask.connect_timeout_ms",
                                  "//drask/@connecttimeout", ZORV_PARAM_INT32,
                                  &CONNECT_TIMEOUT, nullptr, nullptr);

  initialize_drask_cluster(0);

  kavalin_load_account_map();
  kavalin_report_account_map();
  kavalin_load_overrides();
  account_map_initialized.store(true, std::memory_order_release);

  kav_load_update_clients();
  zorvAssert(zorv_http_rest_register_auth("POST", "/module/kavalin/cluster/", "^(\\d+)$", kav_cluster_update, kav_update_auth) == 0);
  zorvAssert(zorv_http_rest_register_auth("POST", "/module/kavalin/", "^map$", kav_map_update, kav_update_auth) == 0);
  zorvAssert(zorv_http_rest_register_auth("GET", "/module/kavalin/", "^map$", kav_map_readback, zorv_http_rest_client_cert_auth) == 0);
  zorvAssert(zorv_http_rest_register_auth("GET", "/module/kavalin/", "^clusters$", kav_clusters_readback, zorv_http_rest_client_cert_auth) == 0);
  return ZORV_HOOK_CONTINUE;
}

extern "C" {
ZORV_EXPORT zorv_dso_generic_t kavalin = {
    ZORV_DSO_MAGIC,
    ZORV_DSO_GENERIC_VERSION,
    "kavalin",
    "module to manage swimlane context",
    kavalin_xml_description,
    kav_onload,
    kav_config,
    kav_init,
};
}
