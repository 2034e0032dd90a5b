/* A cluster node on loopback for the tests that make real feed requests:
 * its topology names itself as the only node (signature "feed-test"), and
 * it answers the four feed requests as a test scripts them, recording each
 * request with the time it came. One thread per connection, so that an
 * answer held back (a stalled transfer) does not hold up the others. */
#ifndef OSTREL_TESTS_FEED_NODE_H
#define OSTREL_TESTS_FEED_NODE_H

#include <microhttpd.h>
#include <netinet/in.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct Answer {
  int status = 200;
  std::string body;
  std::string checkpoint;  // sent as X-Drask-Feed-Checkpoint when not empty
  bool cut = false;        // the connection breaks after the body
  bool hold = false;       // the body waits until release()
  bool echo = false;       // the checkpoint is the one the request named
};

class FeedNode {
 public:
  using Clock = std::chrono::steady_clock;
  struct Seen {
    std::string kind;  // "POST", "DELETE", "FULL" or "DIFF"
    std::string line;  // "METHOD path?subscriber=S"
    std::string checkpoint;
    Clock::time_point at;
  };

  FeedNode() {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    daemon_ = MHD_start_daemon(
        MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD, 0,
        nullptr, nullptr, &FeedNode::answer, this, MHD_OPTION_SOCK_ADDR, &sa,
        MHD_OPTION_END);
    if (daemon_ != nullptr) {
      port_ = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT)->port;
    }
  }
  ~FeedNode() {
    release();
    if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
  }
  bool up() const { return daemon_ != nullptr; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string base() const { return "http://" + host(); }

  /* The answer to every request of a kind, once its queue is empty. */
  void on(const std::string &kind, Answer a) {
    std::lock_guard<std::mutex> g(mu_);
    defaults_[kind] = std::move(a);
  }
  /* Answers for the next requests of a kind, in order. */
  void then(const std::string &kind, Answer a) {
    std::lock_guard<std::mutex> g(mu_);
    queued_[kind].push_back(std::move(a));
  }
  std::vector<Seen> seen() {
    std::lock_guard<std::mutex> g(mu_);
    return seen_;
  }
  std::vector<std::string> requests() {
    std::vector<std::string> out;
    for (auto &s : seen()) out.push_back(s.line);
    return out;
  }
  int count(const std::string &kind) {
    int n = 0;
    for (auto &s : seen()) n += s.kind == kind;
    return n;
  }
  /* Waits (bounded) until n requests of the kind came. */
  bool wait_count(const std::string &kind, int n,
                  std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> g(mu_);
    return cv_.wait_for(g, limit, [&] {
      int c = 0;
      for (auto &s : seen_) c += s.kind == kind;
      return c >= n;
    });
  }
  void forget() {
    std::lock_guard<std::mutex> g(mu_);
    seen_.clear();
    queued_.clear();
    released_ = false;
  }
  void release() {
    std::lock_guard<std::mutex> g(mu_);
    released_ = true;
    cv_.notify_all();
  }

 private:
  struct Body {
    FeedNode *node;
    std::string text;
    size_t at = 0;
    bool cut, hold;
  };

  static ssize_t read_body(void *cls, uint64_t pos, char *buf, size_t max) {
    auto *b = static_cast<Body *>(cls);
    if (b->hold && pos == 0) {
      std::unique_lock<std::mutex> g(b->node->mu_);
      b->node->cv_.wait_for(g, std::chrono::seconds(30),
                            [&] { return b->node->released_; });
    }
    if (b->at >= b->text.size()) {
      return b->cut ? MHD_CONTENT_READER_END_WITH_ERROR
                    : MHD_CONTENT_READER_END_OF_STREAM;
    }
    size_t n = std::min(max, b->text.size() - b->at);
    memcpy(buf, b->text.data() + b->at, n);
    b->at += n;
    return static_cast<ssize_t>(n);
  }
  static void free_body(void *cls) { delete static_cast<Body *>(cls); }

  static MHD_Result answer(void *cls, MHD_Connection *conn, const char *url,
                           const char *method, const char *, const char *,
                           size_t *upload_size, void **) {
    auto *self = static_cast<FeedNode *>(cls);
    *upload_size = 0;
    Answer a;
    if (strcmp(url, "/topology") == 0) {
      a.body = "{\"signature\":\"feed-test\",\"nodes\":[\"" + self->base() +
               "\"]}";
    } else {
      auto arg = [&](const char *name) {
        const char *v =
            MHD_lookup_connection_value(conn, MHD_GET_ARGUMENT_KIND, name);
        return std::string(v ? v : "");
      };
      std::string kind = method;
      if (kind == "GET") {
        kind = strcmp(url, "/meta/check/tag") == 0 ? "FULL" : "DIFF";
      }
      std::string sub = arg("subscriber");
      std::lock_guard<std::mutex> g(self->mu_);
      self->seen_.push_back(
          {kind, std::string(method) + " " + url + "?subscriber=" +
                     (sub.empty() ? "<none>" : sub),
           arg("checkpoint"), Clock::now()});
      self->cv_.notify_all();
      auto &q = self->queued_[kind];
      if (!q.empty()) {
        a = q.front();
        q.pop_front();
      } else if (self->defaults_.count(kind)) {
        a = self->defaults_[kind];
      } else {
        a.status = 405;
      }
      if (a.echo) a.checkpoint = arg("checkpoint");
    }
    MHD_Response *r;
    if (a.cut || a.hold) {
      r = MHD_create_response_from_callback(
          MHD_SIZE_UNKNOWN, 4096, &FeedNode::read_body,
          new Body{self, a.body, 0, a.cut, a.hold}, &FeedNode::free_body);
    } else {
      r = MHD_create_response_from_buffer(a.body.size(), a.body.data(),
                                          MHD_RESPMEM_MUST_COPY);
    }
    if (!a.checkpoint.empty()) {
      MHD_add_response_header(r, "X-Drask-Feed-Checkpoint", a.checkpoint.c_str());
    }
    MHD_Result rc = MHD_queue_response(conn, static_cast<unsigned>(a.status), r);
    MHD_destroy_response(r);
    return rc;
  }

  MHD_Daemon *daemon_ = nullptr;
  int port_ = 0;
  std::mutex mu_;
  std::condition_variable cv_;
  bool released_ = false;
  std::map<std::string, Answer> defaults_;
  std::map<std::string, std::deque<Answer>> queued_;
  std::vector<Seen> seen_;
};

#endif
