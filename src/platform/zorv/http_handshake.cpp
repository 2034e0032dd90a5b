/* TLS connections that close without completing their handshake: one line
 * each, naming that connection's own peer.
 *
 * libmicrohttpd reports a failed handshake through its logger, which is
 * given no connection; with a pool of threads, and several connections
 * failing in one pass of a thread's loop, nothing ties that complaint to
 * its connection. The connection's close notification does name its
 * connection, and whether the handshake ever completed can be asked of the
 * connection's own TLS session then. libmicrohttpd closes a connection
 * whose handshake has not completed for three reasons only: the handshake
 * failed (a plain-text client, a client that gave up on our certificate or
 * hung up), the connection sat idle past the timeout, or the listener is
 * being stopped. The last is known here; the idle timeout counts from the
 * last activity, so a connection younger than the timeout did not end by
 * it. Whatever is left failed its handshake. */
#include <gnutls/gnutls.h>

#include <chrono>
#include <memory>

#include "http_session.h"
#include "zorv/log.h"

namespace {

using Clock = std::chrono::steady_clock;

/* Kept in libmicrohttpd's socket context from the start of a TLS
 * connection to its close; only the thread serving it touches it. */
struct ConnectionNote {
  Clock::time_point started;
};

bool handshake_completed(MHD_Connection *conn) {
  const MHD_ConnectionInfo *ci =
      MHD_get_connection_info(conn, MHD_CONNECTION_INFO_GNUTLS_SESSION);
  if (!ci || !ci->tls_session) return false;
  /* NULL while the initial negotiation has not completed. */
  char *desc =
      gnutls_session_get_desc(static_cast<gnutls_session_t>(ci->tls_session));
  if (!desc) return false;
  gnutls_free(desc);
  return true;
}

}  // namespace

void zorv::http::tls_connection_notified(void *cls, MHD_Connection *conn,
                                         void **socket_context,
                                         MHD_ConnectionNotificationCode code) {
  const auto *listener = static_cast<const Listener *>(cls);
  if (!listener || !listener->tls || !socket_context) return;
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    *socket_context = new ConnectionNote{Clock::now()};
    return;
  }
  if (code != MHD_CONNECTION_NOTIFY_CLOSED) return;
  std::unique_ptr<ConnectionNote> note(static_cast<ConnectionNote *>(*socket_context));
  *socket_context = nullptr;
  if (!note || listener->stopping.load(std::memory_order_relaxed) ||
      handshake_completed(conn))
    return;
  std::string peer = peer_address(conn);
  if (peer.empty()) peer = "unknown";
  if (Clock::now() - note->started < std::chrono::seconds(kIdleTimeoutSeconds))
    zorvL(zorv_error, "http: TLS handshake failed (peer %s)\n", peer.c_str());
  else
    zorvL(zorv_error, "http: TLS handshake not completed within %u s (peer %s)\n",
          kIdleTimeoutSeconds, peer.c_str());
}
