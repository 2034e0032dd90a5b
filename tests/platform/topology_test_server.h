// A small topology server for the database client tests: libmicrohttpd on
// loopback serving GET /topology with whatever document the test sets.
#ifndef TESTS_PLATFORM_TOPOLOGY_TEST_SERVER_H
#define TESTS_PLATFORM_TOPOLOGY_TEST_SERVER_H

#include <microhttpd.h>
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "drask/topology.h"

namespace drask_test {

// Serves GET /topology with whatever document the test puts in it, and
// counts the requests.
class TopologyServer {
 public:
  TopologyServer() {
    daemon_ = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL, 0, nullptr, nullptr,
        &TopologyServer::answer, this, MHD_OPTION_SOCK_ADDR, loopback(),
        MHD_OPTION_END);
    if (daemon_)
      port_ = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT)->port;
  }
  ~TopologyServer() { stop(); }
  void stop() {
    if (daemon_) MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
  }
  int port() const { return port_; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  void set(const std::string &doc, int status = 200) {
    std::lock_guard g(lock_);
    doc_ = doc;
    status_ = status;
  }
  int requests() const { return requests_.load(); }
  void set_delay_ms(int ms) { delay_ms_ = ms; }

 private:
  static sockaddr *loopback() {
    static sockaddr_in sa = [] {
      sockaddr_in s{};
      s.sin_family = AF_INET;
      s.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      return s;
    }();
    return reinterpret_cast<sockaddr *>(&sa);
  }
  static MHD_Result answer(void *cls, MHD_Connection *conn, const char *url,
                           const char *, const char *, const char *,
                           size_t *, void **) {
    auto *self = static_cast<TopologyServer *>(cls);
    self->requests_.fetch_add(1);
    if (int ms = self->delay_ms_.load())
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    std::string body;
    int status;
    {
      std::lock_guard g(self->lock_);
      body = self->doc_;
      status = self->status_;
    }
    if (std::strcmp(url, DRASK_TOPOLOGY_PATH) != 0) {
      body = "not here";
      status = 404;
    }
    MHD_Response *r = MHD_create_response_from_buffer(
        body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
    MHD_Result rc = MHD_queue_response(conn, status, r);
    MHD_destroy_response(r);
    return rc;
  }

  MHD_Daemon *daemon_ = nullptr;
  int port_ = 0;
  std::mutex lock_;
  std::string doc_;
  int status_ = 200;
  std::atomic<int> requests_{0};
  std::atomic<int> delay_ms_{0};
};

// A port on which nothing listens: bind, note the port, close.
inline std::string dead_host() {
  TopologyServer s;
  std::string h = s.host();
  s.stop();
  return h;
}

}  // namespace drask_test

#endif
