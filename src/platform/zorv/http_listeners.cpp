/* Listeners from the configuration:
 *
 *   <listeners>
 *     <listener address="127.0.0.1" port="8443" cert="server.crt"
 *               key="server.key" client_ca="ca.crt"/>
 *     <listener address="127.0.0.1" port="9464" metrics="open"/>
 *   </listeners>
 *
 * metrics="open" lets the metrics route answer on that listener without a
 * client certificate (for a scraper on a private address); elsewhere it
 * asks for one like every operator route.
 *
 * Relative file paths are taken from the configuration file's folder, so a
 * configuration and its certificates move together. */
#include <limits.h>
#include <stdlib.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "http_routes.h"
#include "zorv/conf.h"
#include "zorv/host.h"
#include "zorv/log.h"

namespace {

std::string conf_relative(const std::string &path) {
  if (path.empty()) return path;
  std::string full = path;
  const char *conf = zorv_conf_path();
  if (path[0] != '/' && conf) {
    std::string dir(conf);
    size_t slash = dir.rfind('/');
    if (slash != std::string::npos) full = dir.substr(0, slash + 1) + path;
  }
  /* The canonical form reads better in logs; a path that does not resolve
   * is kept as written so that the error names it. */
  if (char *real = realpath(full.c_str(), nullptr)) {
    full = real;
    free(real);
  }
  return full;
}

std::string attribute(zorv_conf_section_t section, const char *xpath) {
  char *value = nullptr;
  if (!zorv_conf_get_string(section, xpath, &value) || !value) return {};
  std::string out(value);
  free(value);
  return out;
}

}  // namespace

extern "C" int zorv_http_start_listeners(char **err) {
  int count = 0;
  zorv_conf_section_t *sections =
      zorv_conf_get_sections_read(ZORV_CONF_ROOT, "//listeners/listener", &count);
  int rc = 0;
  for (int i = 0; i < count && rc == 0; ++i) {
    std::string address = attribute(sections[i], "@address");
    std::string port_text = attribute(sections[i], "@port");
    std::string cert = conf_relative(attribute(sections[i], "@cert"));
    std::string key = conf_relative(attribute(sections[i], "@key"));
    std::string ca = conf_relative(attribute(sections[i], "@client_ca"));
    std::string where = "listener " + std::to_string(i + 1) + " (" +
                        (address.empty() ? "0.0.0.0" : address) + ":" +
                        port_text + ")";
    int32_t port = -1;
    if (!zorv_conf_get_int32(sections[i], "@port", &port) || port < 0 ||
        port > 65535) {
      if (err)
        *err = strdup((where + ": port missing or not a number 0-65535").c_str());
      rc = -1;
      break;
    }
    char *why = nullptr;
    int bound = zorv_http_listen(address.empty() ? nullptr : address.c_str(),
                                 port, cert.empty() ? nullptr : cert.c_str(),
                                 key.empty() ? nullptr : key.c_str(),
                                 ca.empty() ? nullptr : ca.c_str(), &why);
    if (bound < 0) {
      if (err)
        *err = strdup((where + ": " + (why ? why : "cannot listen")).c_str());
      free(why);
      rc = -1;
      break;
    }
    zorvL(zorv_notice, "listening on %s://%s:%d%s%s\n",
          cert.empty() ? "http" : "https",
          address.empty() ? "0.0.0.0" : address.c_str(), bound,
          ca.empty() ? "" : ", client certificates checked against ",
          ca.c_str());
    if (attribute(sections[i], "@metrics") == "open") {
      zorv::http::open_metrics_on(address.empty() ? "0.0.0.0" : address,
                                  bound);
      zorvL(zorv_notice, "metrics open without a client certificate on %s:%d\n",
            address.empty() ? "0.0.0.0" : address.c_str(), bound);
    }
  }
  zorv_conf_release_sections_read(sections, count);
  if (rc != 0) zorv_http_stop_listeners();
  return rc;
}
