#include "settings.h"

#include <stdlib.h>

#include <charconv>
#include <fstream>
#include <string_view>

#ifndef WENDRELCTL_DEFAULT_CONFIG
#define WENDRELCTL_DEFAULT_CONFIG "/etc/wendrel/wendrelctl.conf"
#endif

namespace wendrelctl {
namespace {

std::string env(const char *name) {
  const char *v = getenv(name);
  return v ? v : "";
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

/* Relative paths in the client file are taken from the file's folder, so
 * the file can sit beside its certificates wherever they are. */
std::string beside(const std::string &file, std::string_view path) {
  if (path.empty() || path.front() == '/') return std::string(path);
  size_t slash = file.rfind('/');
  if (slash == std::string::npos) return std::string(path);
  return file.substr(0, slash + 1) + std::string(path);
}

/* "name = value" lines; '#' starts a comment line. A line longer than
 * 4 KiB, an unknown name or a bad value is an error. */
std::string read_client_file(const std::string &path, Settings &from_file,
                             bool &found) {
  std::ifstream in(path);
  found = static_cast<bool>(in);
  if (!found) return "";
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    number++;
    std::string where = path + ":" + std::to_string(number) + ": ";
    if (line.size() > 4096) return where + "line too long";
    std::string_view text = trim(line);
    if (text.empty() || text.front() == '#') continue;
    size_t eq = text.find('=');
    if (eq == std::string_view::npos) return where + "expected NAME = VALUE";
    std::string_view name = trim(text.substr(0, eq));
    std::string_view value = trim(text.substr(eq + 1));
    if (name == "url") {
      from_file.url = value;
    } else if (name == "cert") {
      from_file.cert = beside(path, value);
    } else if (name == "key") {
      from_file.key = beside(path, value);
    } else if (name == "cacert") {
      from_file.cacert = beside(path, value);
    } else if (name == "timeout") {
      if (!parse_timeout(value, from_file.timeout_s))
        return where + "timeout must be 1 to 3600 seconds";
    } else {
      return where + "unknown setting '" + std::string(name) + "'";
    }
  }
  return "";
}

void fill(std::string &field, const std::string &from_env,
          const std::string &from_file) {
  if (!field.empty()) return;
  field = !from_env.empty() ? from_env : from_file;
}

}  // namespace

bool parse_timeout(std::string_view text, long &out) {
  long v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < 1 || v > 3600)
    return false;
  out = v;
  return true;
}

std::string complete_settings(Settings &s, bool config_given) {
  bool explicit_file = config_given;
  if (s.config.empty()) {
    s.config = env("WENDRELCTL_CONFIG");
    explicit_file = !s.config.empty();
  }
  if (s.config.empty()) s.config = WENDRELCTL_DEFAULT_CONFIG;

  Settings file;
  bool found = false;
  std::string why = read_client_file(s.config, file, found);
  if (!why.empty()) return why;
  if (!found) {
    if (explicit_file) return "cannot read the client file '" + s.config + "'";
    s.config.clear();  // the default file is optional
  }
  fill(s.url, env("WENDRELCTL_URL"), file.url);
  fill(s.cert, env("WENDRELCTL_CERT"), file.cert);
  fill(s.key, env("WENDRELCTL_KEY"), file.key);
  fill(s.cacert, env("WENDRELCTL_CACERT"), file.cacert);
  if (s.url.empty()) s.url = "https://127.0.0.1:8443";
  while (!s.url.empty() && s.url.back() == '/') s.url.pop_back();
  if (s.timeout_s == 0) {
    std::string t = env("WENDRELCTL_TIMEOUT");
    if (!t.empty() && !parse_timeout(t, s.timeout_s))
      return "WENDRELCTL_TIMEOUT must be 1 to 3600 seconds";
    if (s.timeout_s == 0) s.timeout_s = file.timeout_s;
    if (s.timeout_s == 0) s.timeout_s = 10;
  }
  if (!s.cert.empty() && s.key.empty()) s.key = s.cert;  // a PEM with both
  return "";
}

}  // namespace wendrelctl
