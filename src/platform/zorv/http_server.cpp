/* The HTTP(S) server: libmicrohttpd daemons (internal polling thread, epoll,
 * a small thread pool), the access handler that routes, authorises and
 * drives handlers as the body arrives, and the listener registry. */
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

#include "http_routes.h"
#include "http_session.h"
#include "zorv/host.h"
#include "zorv/log.h"
#include "zorv/memory.h"
#include "zorv/thread.h"

namespace zorv::http {
namespace {

/* libmicrohttpd starts its own threads; they are registered with safe
 * memory on their first request and unregistered when they end. */
struct ServerThread {
  ServerThread() {
    zorv_memory_init_thread();
    zorv_thread_setname("http");
  }
  ~ServerThread() { zorv_memory_fini_thread(); }
};

void ensure_thread_registered() {
  thread_local ServerThread registration;
  (void)registration;
}

/* The last libmicrohttpd complaint made on this thread, so that a failed
 * start can say why. */
thread_local std::string last_server_error;

/* A TLS handshake failure is reported by libmicrohttpd without its
 * connection, and with a pool of threads no later call says which one it
 * was; the connection's own line comes at its close instead (see
 * tls_connection_notified). The complaint itself goes to the debug stream. */
bool is_handshake_complaint(const char *line) {
  return std::strstr(line, "handshake") != nullptr;
}

zorv_log_stream_t debug_stream() {
  static zorv_log_stream_t ls = zorv_log_stream_find("debug/http");
  return ls;
}

void log_server_error(void *, const char *fmt, va_list ap) {
  char line[512];
  vsnprintf(line, sizeof line, fmt, ap);
  size_t n = std::strlen(line);
  while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = 0;
  last_server_error = line;
  if (is_handshake_complaint(line)) {
    zorvL(debug_stream(), "http: %s\n", line);
    return;
  }
  zorvL(zorv_error, "http: %s\n", line);
}

struct Registry {
  std::mutex lock;
  std::vector<std::unique_ptr<Listener>> listeners;
};

Registry &registry() {
  static Registry *r = new Registry;
  return *r;
}

/* Calls the route's handler once and decides what its result means. */
void run_handler(zorv_http_session_ctx *ctx) {
  int npats = static_cast<int>(ctx->capture_ptrs.size());
  int rc = ctx->route->handler(&ctx->restc, npats,
                               npats ? ctx->capture_ptrs.data() : nullptr);
  if (ctx->ended) return;
  if (rc != 0 && !ctx->body_complete) return; /* waits for more body */
  zorvL(zorv_error, "http: %s %s: handler returned without answering\n",
        ctx->method.c_str(), ctx->path.c_str());
  answer_text(ctx, MHD_HTTP_INTERNAL_SERVER_ERROR, "handler did not answer\n");
}

/* First call of a request: route and authorise before any body is read.
 * The handler itself is first called with the first piece of body, or at
 * the final call when there is none. */
void route_request(zorv_http_session_ctx *ctx) {
  RouteMatch m = find_route(ctx->method, ctx->path, &ctx->route, ctx->captures);
  if (m == RouteMatch::none) {
    answer_text(ctx, MHD_HTTP_NOT_FOUND, "no such route\n");
    return;
  }
  if (m == RouteMatch::wrong_method) {
    answer_text(ctx, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n");
    return;
  }
  for (auto &c : ctx->captures) ctx->capture_ptrs.push_back(c.data());
  int npats = static_cast<int>(ctx->capture_ptrs.size());
  if (ctx->route->auth &&
      !ctx->route->auth(&ctx->restc, npats,
                        npats ? ctx->capture_ptrs.data() : nullptr))
    answer_text(ctx, MHD_HTTP_FORBIDDEN, "forbidden\n");
}

/* Whether the request announced a body. A response queued before the
 * request has been read whole makes libmicrohttpd close the connection, so
 * answers to body-less requests wait for the final call. */
uint64_t announced_length(MHD_Connection *conn) {
  const char *len =
      MHD_lookup_connection_value(conn, MHD_HEADER_KIND, "Content-Length");
  return len ? std::strtoull(len, nullptr, 10) : 0;
}

bool expects_body(MHD_Connection *conn) {
  if (announced_length(conn) > 0) return true;
  return MHD_lookup_connection_value(conn, MHD_HEADER_KIND,
                                     "Transfer-Encoding") != nullptr;
}

MHD_Result access_handler(void *cls, MHD_Connection *conn, const char *url,
                          const char *method, const char *version,
                          const char *upload_data, size_t *upload_data_size,
                          void **req_cls) {
  ensure_thread_registered();
  auto *ctx = static_cast<zorv_http_session_ctx *>(*req_cls);
  if (!ctx) {
    ctx = new zorv_http_session_ctx;
    *req_cls = ctx;
    ctx->connection = conn;
    ctx->listener = static_cast<const Listener *>(cls);
    ctx->method = method ? method : "";
    ctx->path = url ? url : "";
    ctx->http10 = version && std::strcmp(version, MHD_HTTP_VERSION_1_0) == 0;
    ctx->remote_addr = peer_address(conn);
    ctx->restc.http_ctx = ctx;
    ctx->restc.method = ctx->method.c_str();
    ctx->restc.path = ctx->path.c_str();
    ctx->restc.remote_addr = ctx->remote_addr.c_str();
    ctx->restc.tls = ctx->listener->tls;
    ctx->restc._host = ctx;
    route_request(ctx);
    if (!ctx->ended && announced_length(conn) > kMaxBodyBytes)
      answer_text(ctx, 413 /* content too large */, "request body too large\n");
    /* A refused upload is answered at once, before its body is read. */
    if (ctx->ended && expects_body(conn)) return queue_session_response(ctx);
    return MHD_YES;
  }
  if (*upload_data_size > 0) {
    ctx->received += *upload_data_size;
    if (!ctx->ended) {
      if (ctx->body.size() + *upload_data_size > kMaxBodyBytes) {
        answer_text(ctx, 413 /* content too large */, "request body too large\n");
        ctx->options |= ZORV_HTTP_CLOSE;
      } else {
        ctx->body.append(upload_data, *upload_data_size);
        run_handler(ctx);
      }
    }
    /* libmicrohttpd takes no response while a body is still arriving: a
     * response queued now fails and the connection is cut without an
     * answer. So what arrives after an early answer is read and dropped,
     * and the answer goes out at the final call; a client that keeps
     * sending far past the limit is cut off all the same. */
    *upload_data_size = 0;
    if (ctx->ended && ctx->received > kMaxDiscardedBytes) return MHD_NO;
    return MHD_YES;
  }
  /* Final call: the request has been read whole. */
  if (!ctx->ended) {
    ctx->body_complete = true;
    run_handler(ctx);
  }
  if (!ctx->queued) return queue_session_response(ctx);
  return MHD_YES;
}

void request_completed(void *, MHD_Connection *, void **req_cls,
                       enum MHD_RequestTerminationCode) {
  ensure_thread_registered();
  auto *ctx = static_cast<zorv_http_session_ctx *>(*req_cls);
  if (!ctx) return;
  *req_cls = nullptr;
  if (ctx->restc.call_closure_free && ctx->restc.call_closure)
    ctx->restc.call_closure_free(ctx->restc.call_closure);
  if (ctx->upload_doc) xmlFreeDoc(ctx->upload_doc);
  delete ctx;
}

bool read_file(const char *path, std::string &out, std::string &why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why = std::string("cannot read '") + path + "': " + std::strerror(errno);
    return false;
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  out = ss.str();
  if (out.empty()) {
    why = std::string("'") + path + "' is empty";
    return false;
  }
  return true;
}

void set_err(char **err, const std::string &text) {
  if (err) *err = strdup(text.c_str());
}

}  // namespace
}  // namespace zorv::http

using namespace zorv::http;

extern "C" int zorv_http_listen(const char *addr, int port,
                                const char *cert_file, const char *key_file,
                                const char *client_ca_file, char **err) {
  if (!addr || !*addr) addr = "0.0.0.0";
  if (port < 0 || port > 65535) {
    set_err(err, "port out of range: " + std::to_string(port));
    return -1;
  }
  if ((cert_file && *cert_file) != (key_file && *key_file)) {
    set_err(err, "a TLS listener needs both a certificate and a key");
    return -1;
  }
  auto l = std::make_unique<Listener>();
  l->address = addr;
  l->tls = cert_file && *cert_file;
  std::string why;
  if (l->tls) {
    if (!read_file(cert_file, l->cert_pem, why) ||
        !read_file(key_file, l->key_pem, why)) {
      set_err(err, why);
      return -1;
    }
    if (client_ca_file && *client_ca_file) {
      if (!read_file(client_ca_file, l->ca_pem, why)) {
        set_err(err, why);
        return -1;
      }
      l->client_ca = true;
    }
  } else if (client_ca_file && *client_ca_file) {
    set_err(err, "a client CA needs a TLS listener (certificate and key)");
    return -1;
  }

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo *ai = nullptr;
  int gai = getaddrinfo(addr, nullptr, &hints, &ai);
  if (gai != 0 || !ai) {
    set_err(err, std::string("cannot resolve listener address '") + addr +
                     "': " + gai_strerror(gai));
    return -1;
  }
  sockaddr_storage sa{};
  std::memcpy(&sa, ai->ai_addr, ai->ai_addrlen);
  bool v6 = ai->ai_family == AF_INET6;
  freeaddrinfo(ai);
  if (v6)
    reinterpret_cast<sockaddr_in6 *>(&sa)->sin6_port = htons(port);
  else
    reinterpret_cast<sockaddr_in *>(&sa)->sin_port = htons(port);

  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL |
                   MHD_USE_ERROR_LOG;
  if (v6) flags |= MHD_USE_IPv6;
  if (l->tls) flags |= MHD_USE_TLS;

  /* The logger goes first so that it sees every complaint. */
  std::vector<MHD_OptionItem> opts = {
      {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&log_server_error),
       nullptr},
      {MHD_OPTION_SOCK_ADDR, 0, &sa},
      {MHD_OPTION_THREAD_POOL_SIZE, kThreadPoolSize, nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeoutSeconds, nullptr},
      {MHD_OPTION_NOTIFY_COMPLETED,
       reinterpret_cast<intptr_t>(&request_completed), nullptr},
      {MHD_OPTION_NOTIFY_CONNECTION,
       reinterpret_cast<intptr_t>(&tls_connection_notified), l.get()},
  };
  if (l->tls) {
    opts.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, l->key_pem.data()});
    opts.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, l->cert_pem.data()});
    /* A trust list makes the server ask for a client certificate without
     * requiring one: routes decide for themselves. */
    if (l->client_ca)
      opts.push_back({MHD_OPTION_HTTPS_MEM_TRUST, 0, l->ca_pem.data()});
  }
  opts.push_back({MHD_OPTION_END, 0, nullptr});

  last_server_error.clear();
  errno = 0;
  l->daemon = MHD_start_daemon(flags, static_cast<uint16_t>(port), nullptr, nullptr, &access_handler,
                               l.get(), MHD_OPTION_ARRAY, opts.data(),
                               MHD_OPTION_END);
  if (!l->daemon) {
    std::string reason = !last_server_error.empty() ? last_server_error
                         : errno                    ? std::strerror(errno)
                                                    : "unknown error";
    set_err(err, std::string("cannot listen on ") + addr + ":" +
                     std::to_string(port) + ": " + reason);
    return -1;
  }
  const MHD_DaemonInfo *info =
      MHD_get_daemon_info(l->daemon, MHD_DAEMON_INFO_BIND_PORT);
  l->port = info ? info->port : port;
  int bound = l->port;
  Registry &r = registry();
  std::lock_guard guard(r.lock);
  r.listeners.push_back(std::move(l));
  return bound;
}

extern "C" void zorv_http_stop_listeners(void) {
  std::vector<std::unique_ptr<Listener>> stopping;
  {
    Registry &r = registry();
    std::lock_guard guard(r.lock);
    stopping.swap(r.listeners);
  }
  /* Outside the lock: stopping waits for the server's threads, whose
   * handlers may themselves start or query listeners. Connections cut
   * here are no handshake failures of their clients. */
  for (auto &l : stopping) {
    l->stopping.store(true, std::memory_order_relaxed);
    MHD_stop_daemon(l->daemon);
  }
}
