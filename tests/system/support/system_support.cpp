#include "support/system_support.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace wendrel_test {
namespace {

std::string env(const char *name) {
  const char *v = getenv(name);
  return v ? v : "";
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
  return ::remove(path);
}

size_t collect_body(char *data, size_t size, size_t n, void *cls) {
  static_cast<std::string *>(cls)->append(data, size * n);
  return size * n;
}

size_t collect_header(char *data, size_t size, size_t n, void *cls) {
  std::string line(data, size * n);
  size_t colon = line.find(':');
  if (colon != std::string::npos) {
    std::string name = line.substr(0, colon);
    for (auto &c : name) c = static_cast<char>(tolower(c));
    std::string value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.erase(0, 1);
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n'))
      value.pop_back();
    (*static_cast<std::map<std::string, std::string> *>(cls))[name] = value;
  }
  return size * n;
}

HttpResult request(const std::string &url, const std::string &certs_dir,
                   const RequestOptions &opt) {
  static const bool curl_ready = curl_global_init(CURL_GLOBAL_DEFAULT) == 0;
  HttpResult out;
  CURL *curl = curl_ready ? curl_easy_init() : nullptr;
  if (!curl) {
    out.error = "libcurl unavailable";
    return out;
  }
  curl_slist *headers = nullptr;
  for (const auto &h : opt.headers) headers = curl_slist_append(headers, h.c_str());
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, opt.timeout_ms);
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, opt.method.c_str());
  if (opt.with_body) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, opt.body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(opt.body.size()));
  }
  if (headers) curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  std::string ca, cert, key;
  if (!certs_dir.empty()) {
    ca = certs_dir + "/ca.crt";
    curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());
    if (!opt.identity.empty()) {
      cert = certs_dir + "/" + opt.identity + ".crt";
      key = certs_dir + "/" + opt.identity + ".key";
      curl_easy_setopt(curl, CURLOPT_SSLCERT, cert.c_str());
      curl_easy_setopt(curl, CURLOPT_SSLKEY, key.c_str());
    }
  }
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect_body);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &out.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collect_header);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &out.headers);
  CURLcode rc = curl_easy_perform(curl);
  if (rc != CURLE_OK)
    out.error = curl_easy_strerror(rc);
  else
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &out.status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return out;
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

std::string build_dir() { return env("ZORV_BUILD_DIR"); }
std::string source_dir() { return env("ZORV_SOURCE_DIR"); }

TempDir::TempDir(const char *prefix) {
  std::string tmpl = std::string("/tmp/") + prefix + "-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back(0);
  if (mkdtemp(buf.data())) path_ = buf.data();
}

TempDir::~TempDir() {
  if (!path_.empty()) nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

bool write_file(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool make_certs(const std::string &dir, std::string *why) {
  std::string cmd = source_dir() + "/scripts/make-certs.sh '" + dir + "' 2>&1";
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) {
    if (why) *why = "cannot run " + cmd;
    return false;
  }
  std::string output;
  char buf[256];
  while (size_t n = fread(buf, 1, sizeof buf, p)) output.append(buf, n);
  int status = pclose(p);
  if (status != 0) {
    if (why) *why = "make-certs.sh failed: " + output;
    return false;
  }
  return true;
}

std::string make_config(const ConfigOptions &opt) {
  std::string modules = opt.modules_directory.empty() ? build_dir() + "/lib"
                                                      : opt.modules_directory;
  std::string xml = "<?xml version=\"1.0\"?>\n<wendrel>\n";
  xml += "  <logs output=\"stderr\"/>\n  <listeners>\n";
  if (!opt.certs_dir.empty())
    xml += "    <listener address=\"127.0.0.1\" port=\"0\" cert=\"" +
           opt.certs_dir + "/server.crt\" key=\"" + opt.certs_dir +
           "/server.key\" client_ca=\"" + opt.certs_dir + "/ca.crt\"/>\n";
  if (opt.plain_listener)
    xml += std::string("    <listener address=\"127.0.0.1\" port=\"0\"") +
           (opt.open_metrics ? " metrics=\"open\"" : "") + "/>\n";
  xml += "  </listeners>\n";
  xml += std::string("  <metric_director enabled=\"") +
         (opt.metric_director ? "true" : "false") + "\"/>\n";
  xml += "  <modules directory=\"" + modules + "\">\n" + opt.modules_xml +
         "  </modules>\n";
  xml += opt.extra_xml;
  xml += "</wendrel>\n";
  return xml;
}

Daemon::~Daemon() {
  if (pid_ > 0 && running()) stop(SIGKILL, 5000);
}

bool Daemon::reap(int *status) {
  if (pid_ <= 0) {
    if (status) *status = exit_status_;
    return true;
  }
  int st = 0;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == 0) return false;
  if (r == pid_) {
    exit_status_ = WIFEXITED(st)     ? WEXITSTATUS(st)
                   : WIFSIGNALED(st) ? 128 + WTERMSIG(st)
                                     : -1;
  }
  pid_ = -1;
  if (status) *status = exit_status_;
  return true;
}

bool Daemon::running() { return !reap(nullptr); }

// The listeners log "listening on http[s]://ADDRESS:PORT"; the first port of
// each kind is the one tests use.
void Daemon::read_ports(const std::string &text) {
  const std::string marker = "listening on http";
  for (size_t at = text.find(marker); at != std::string::npos;
       at = text.find(marker, at + 1)) {
    size_t scheme_end = text.find("://", at);
    size_t line_end = text.find('\n', at);
    if (scheme_end == std::string::npos || scheme_end > line_end) continue;
    bool tls = text.compare(scheme_end - 1, 1, "s") == 0;
    size_t colon = text.find(':', scheme_end + 3);
    if (colon == std::string::npos || colon > line_end) continue;
    int port = atoi(text.c_str() + colon + 1);
    int &slot = tls ? https_port_ : http_port_;
    if (!slot) slot = port;
  }
}

bool Daemon::start(const std::string &config, const std::string &log_path,
                   int timeout_ms) {
  log_path_ = log_path;
  std::string exe = build_dir() + "/bin/wendrel";
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // The daemon must not outlive a test that crashed.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    execl(exe.c_str(), "wendrel", "-c", config.c_str(), static_cast<char *>(nullptr));
    perror("exec wendrel");
    _exit(127);
  }
  pid_ = pid;
  exit_status_ = -1;
  for (int waited = 0; waited < timeout_ms; waited += 20) {
    std::string text = log();
    if (text.find("wendrel ready") != std::string::npos) {
      read_ports(text);
      return true;
    }
    if (!running()) return false;
    sleep_ms(20);
  }
  return false;
}

int Daemon::wait_exit(int timeout_ms) {
  for (int waited = 0;; waited += 20) {
    int status;
    if (reap(&status)) return status;
    if (waited >= timeout_ms) return -1;
    sleep_ms(20);
  }
}

int Daemon::stop(int sig, int timeout_ms) {
  if (pid_ <= 0) return exit_status_;
  kill(pid_, sig);
  int status = wait_exit(timeout_ms);
  if (status == -1 && pid_ > 0) {
    kill(pid_, SIGKILL);
    wait_exit(5000);
    return -1;
  }
  return status;
}

bool Daemon::wait_for_log(const std::string &text, int timeout_ms) {
  for (int waited = 0; waited <= timeout_ms; waited += 20) {
    if (log().find(text) != std::string::npos) return true;
    sleep_ms(20);
  }
  return false;
}

HttpResult https_request(const std::string &certs_dir, int port,
                         const std::string &path, const RequestOptions &opt) {
  return request("https://127.0.0.1:" + std::to_string(port) + path, certs_dir,
                 opt);
}

HttpResult http_request(int port, const std::string &path,
                        const RequestOptions &opt) {
  return request("http://127.0.0.1:" + std::to_string(port) + path, "", opt);
}

}  // namespace wendrel_test
