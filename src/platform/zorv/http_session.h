/* The HTTP server's per-request state, shared by the server, the routing
 * and the response code. Not part of the module-facing interface. */
#ifndef ZORV_HTTP_SESSION_H
#define ZORV_HTTP_SESSION_H

#include <microhttpd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "zorv/rest.h"

namespace zorv::http {

struct Route;

/* One running libmicrohttpd daemon. Its PEM texts are kept for as long as
 * the daemon runs because libmicrohttpd does not promise to copy them. */
struct Listener {
  MHD_Daemon *daemon = nullptr;
  std::string address;
  int port = 0;
  bool tls = false;
  bool client_ca = false; /* a trust list was given: certificates are asked */
  std::atomic<bool> stopping{false}; /* being stopped: its connections are cut */
  std::string key_pem;
  std::string cert_pem;
  std::string ca_pem;
};

/* Threads serving each listener's connections; a connection stays on the
 * thread that accepted it. */
constexpr unsigned kThreadPoolSize = 4;
/* A connection without activity for this long is closed. */
constexpr unsigned kIdleTimeoutSeconds = 120;

/* Largest request body the server accepts. A larger announced length gets
 * 413 before the body is read; a body that grows past it (chunked) is read
 * on and dropped so that the 413 can be sent when it ends. */
constexpr size_t kMaxBodyBytes = 64u << 20;
/* How much a request may send in all once it has been answered early;
 * past this the connection is cut without an answer. */
constexpr uint64_t kMaxDiscardedBytes = 2 * uint64_t{kMaxBodyBytes};

}  // namespace zorv::http

/* Lives in *req_cls from the first call of the access handler until
 * libmicrohttpd reports the request completed; only the thread that serves
 * the connection touches it. */
struct zorv_http_session_ctx {
  MHD_Connection *connection = nullptr;
  const zorv::http::Listener *listener = nullptr;
  std::string method;
  std::string path;
  bool http10 = false;
  std::string remote_addr;

  zorv_http_rest_closure_t restc{};
  const zorv::http::Route *route = nullptr;
  std::vector<std::string> captures;
  std::vector<char *> capture_ptrs; /* point into captures */

  std::string body;
  uint64_t received = 0; /* body bytes read, kept or dropped */
  bool body_complete = false;
  bool upload_parsed = false;
  xmlDocPtr upload_doc = nullptr; /* owned; freed when the request ends */

  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  uint32_t options = 0;
  std::string response;
  bool ended = false;  /* the handler completed its response */
  bool queued = false; /* a response went to libmicrohttpd */
};

namespace zorv::http {

/* The connection's peer address as text ("" when unknown). */
std::string peer_address(MHD_Connection *conn);

/* libmicrohttpd's connection notification for a listener (cls): logs a TLS
 * connection that closes without having completed its handshake, naming
 * that connection's peer. */
void tls_connection_notified(void *cls, MHD_Connection *conn,
                             void **socket_context,
                             MHD_ConnectionNotificationCode code);

/* Hands the session's finished response to libmicrohttpd (once). */
MHD_Result queue_session_response(zorv_http_session_ctx *ctx);
/* Replaces whatever the handler built with a short text answer and ends
 * the response. */
void answer_text(zorv_http_session_ctx *ctx, int status, const char *text);

}  // namespace zorv::http

#endif
