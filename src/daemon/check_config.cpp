#include "check_config.h"

#include <unistd.h>

#include <cstdlib>

#include "zorv/conf.h"

namespace wendrel {

namespace {

std::string attribute(zorv_conf_section_t section, const char *xpath) {
  char *value = nullptr;
  if (!zorv_conf_get_string(section, xpath, &value) || !value) return {};
  std::string out(value);
  free(value);
  return out;
}

std::string from_conf_dir(const std::string &path) {
  const char *conf = zorv_conf_path();
  if (path.empty() || path[0] == '/' || !conf) return path;
  std::string dir(conf);
  size_t slash = dir.rfind('/');
  return slash == std::string::npos ? path : dir.substr(0, slash + 1) + path;
}

}  // namespace

bool check_listeners(std::string &why) {
  int count = 0;
  zorv_conf_section_t *sections =
      zorv_conf_get_sections_read(ZORV_CONF_ROOT, "//listeners/listener", &count);
  bool ok = true;
  for (int i = 0; i < count && ok; ++i) {
    std::string where = "listener " + std::to_string(i + 1);
    int32_t port = -1;
    if (!zorv_conf_get_int32(sections[i], "@port", &port) || port < 0 ||
        port > 65535) {
      why = where + ": port missing or not a number 0-65535";
      ok = false;
      break;
    }
    std::string cert = attribute(sections[i], "@cert");
    std::string key = attribute(sections[i], "@key");
    if (cert.empty() != key.empty()) {
      why = where + ": cert and key go together";
      ok = false;
      break;
    }
    for (const char *file : {"@cert", "@key", "@client_ca"}) {
      std::string path = from_conf_dir(attribute(sections[i], file));
      if (!path.empty() && access(path.c_str(), R_OK) != 0) {
        why = where + ": cannot read " + (file + 1) + " file '" + path + "'";
        ok = false;
        break;
      }
    }
  }
  zorv_conf_release_sections_read(sections, count);
  return ok;
}

}  // namespace wendrel
