// Shared code for the whole-system tests: certificates, configurations,
// the daemon as a child process, and HTTP(S) requests with libcurl.
//
// Typical use:
//   wendrel_test::TempDir dir;
//   ASSERT_TRUE(wendrel_test::make_certs(dir.file("certs")));
//   wendrel_test::ConfigOptions opt;
//   opt.certs_dir = dir.file("certs");
//   std::string conf = dir.file("wendrel.conf");
//   ASSERT_TRUE(wendrel_test::write_file(conf, wendrel_test::make_config(opt)));
//   wendrel_test::Daemon d;
//   ASSERT_TRUE(d.start(conf, dir.file("wendrel.log"))) << d.log();
//   auto r = wendrel_test::https_request(opt.certs_dir, d.https_port(), "/health");
//   EXPECT_EQ(0, d.stop());
#ifndef WENDREL_TEST_SYSTEM_SUPPORT_H
#define WENDREL_TEST_SYSTEM_SUPPORT_H

#include <signal.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace wendrel_test {

// $ZORV_BUILD_DIR and $ZORV_SOURCE_DIR as CTest sets them (empty if unset).
std::string build_dir();
std::string source_dir();

// A fresh folder under /tmp, removed with its contents at scope end.
class TempDir {
 public:
  explicit TempDir(const char *prefix = "wendrel-test");
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

bool write_file(const std::string &path, const std::string &text);
// The whole file, or "" when it cannot be read.
std::string read_file(const std::string &path);

// Runs scripts/make-certs.sh DIR. The folder then holds ca, server, client,
// server-only, other-ca and other-client as NAME.crt / NAME.key.
bool make_certs(const std::string &dir, std::string *why = nullptr);

struct ConfigOptions {
  std::string certs_dir;          // HTTPS listener with client CA when set
  bool plain_listener = false;    // also an HTTP listener
  bool open_metrics = false;      // ... serving /metrics without a certificate
  bool metric_director = true;    // //metric_director/@enabled
  std::string modules_directory;  // default: $ZORV_BUILD_DIR/lib
  std::string modules_xml;        // <module .../> elements inside <modules>
  std::string extra_xml;          // more sections inside the root element
};
// A configuration document: logs to standard error with every stream the
// default enables, listeners on 127.0.0.1 with port 0 (the daemon logs the
// port it got; Daemon reads it from there).
std::string make_config(const ConfigOptions &opt);

// The daemon ($ZORV_BUILD_DIR/bin/wendrel) as a child process. Its
// standard output and error go to the log file. Killed at destruction if
// still running.
class Daemon {
 public:
  Daemon() = default;
  ~Daemon();
  Daemon(const Daemon &) = delete;
  Daemon &operator=(const Daemon &) = delete;

  // Starts `wendrel -c config` and waits up to timeout_ms for its readiness
  // line. False when it exited or did not get ready in time (see log()).
  bool start(const std::string &config, const std::string &log_path,
             int timeout_ms = 30000);
  pid_t pid() const { return pid_; }
  int https_port() const { return https_port_; }
  int http_port() const { return http_port_; }
  bool running();
  // Sends sig and waits up to timeout_ms: the exit status, 128 + signal
  // number when a signal ended it, or -1 when it had to be killed.
  int stop(int sig = SIGTERM, int timeout_ms = 15000);
  // Waits for the process to end by itself: its exit status as above, or
  // -1 when it still runs after timeout_ms.
  int wait_exit(int timeout_ms);
  std::string log() const { return read_file(log_path_); }
  // Waits up to timeout_ms for text to appear in the log.
  bool wait_for_log(const std::string &text, int timeout_ms);

 private:
  bool reap(int *status);
  void read_ports(const std::string &text);
  pid_t pid_ = -1;
  int exit_status_ = -1;
  std::string log_path_;
  int https_port_ = 0;
  int http_port_ = 0;
};

struct HttpResult {
  long status = 0;  // 0 when no answer came
  std::string body;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string error;                            // libcurl's, when it failed
};

struct RequestOptions {
  std::string method = "GET";
  std::string body;
  bool with_body = false;
  // Client certificate to present (NAME.crt/NAME.key in the certificate
  // folder); empty for none.
  std::string identity = "client";
  std::vector<std::string> headers;
  long timeout_ms = 20000;
};

// https://127.0.0.1:port/path trusting the certificate folder's CA.
HttpResult https_request(const std::string &certs_dir, int port,
                         const std::string &path,
                         const RequestOptions &opt = {});
// http://127.0.0.1:port/path (identity is ignored).
HttpResult http_request(int port, const std::string &path,
                        const RequestOptions &opt = {});

}  // namespace wendrel_test

#endif
