#include "startup.h"

#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "zorv/conf.h"
#include "zorv/log.h"

namespace wendrel {

namespace {

std::string conf_string(const char *xpath) {
  char *text = nullptr;
  if (!zorv_conf_get_string(ZORV_CONF_ROOT, xpath, &text) || !text) return {};
  std::string out(text);
  free(text);
  return out;
}

std::string parent_dir(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

bool conf_equals(const char *xpath, const char *value) {
  return conf_string(xpath) == value;
}

std::string module_directory() {
  std::string configured = conf_string("//modules/@directory");
  if (!configured.empty()) return configured;
  char exe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "lib";
  exe[n] = 0;
  std::string prefix = parent_dir(parent_dir(exe));
  /* An installed daemon keeps its modules in a folder of their own beside
   * the system's libraries; the build tree has them in lib/ itself. */
  std::string installed = prefix + "/" WENDREL_MODULE_SUBDIR;
  struct stat st;
  if (stat(installed.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return installed;
  return prefix + "/lib";
}

bool load_metric_director(const std::string &dir, std::string &why) {
  if (conf_equals("//metric_director/@enabled", "false")) {
    zorvL(zorv_notice, "metric director disabled by configuration\n");
    return true;
  }
  std::string path = dir + "/quib_director.so";
  /* Never closed: its export is bound by name from modules for the life of
   * the process. */
  if (!dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL)) {
    const char *e = dlerror();
    why = "cannot load metric director '" + path + "': " + (e ? e : "unknown");
    return false;
  }
  zorvL(zorv_notice, "metric director loaded from %s\n", path.c_str());
  return true;
}

}  // namespace wendrel
