/* TLS connections that close without completing their handshake: one line
 * each, naming that connection's own peer.
 *
 * libmicrohttpd reports a failed handshake through its logger, which is
 * given no connection; with a pool of threads, and several connections
 * failing in one pass of a thread's loop, nothing ties that complaint to
 * its connection. The connection's close notification does name its
 * connection, so the line is made there, from what the connection's own TLS
 * session saw: a handshake hook on each session marks it once the client's
 * Finished message has arrived (libmicrohttpd sets no hook of its own).
 * (gnutls_session_get_desc, which would say the same, crashes on sessions
 * closed after a client certificate was presented.)
 *
 * libmicrohttpd closes a connection whose handshake has not completed for
 * three reasons only: the handshake failed (a plain-text client, a client
 * that gave up on our certificate or hung up), the connection sat idle past
 * the timeout, or the listener is being stopped. The last is known here;
 * the idle timeout counts from the last activity, so a connection younger
 * than the timeout did not end by it. Whatever is left failed its
 * handshake. A client that completes the handshake and closes without a
 * request (a probe) is not reported. */
#include <gnutls/gnutls.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "http_session.h"
#include "zorv/log.h"

namespace {

using Clock = std::chrono::steady_clock;

/* Kept in libmicrohttpd's socket context from the start of a TLS
 * connection to its close; only the thread serving it touches it. */
struct ConnectionNote {
  Clock::time_point started;
};

/* Sessions of open connections whose client's Finished has arrived. A
 * session's address is reused for later connections, so each leaves the set
 * when its connection closes. */
std::mutex finished_lock;
std::unordered_set<gnutls_session_t> *finished = new std::unordered_set<gnutls_session_t>;

gnutls_session_t session_of(MHD_Connection *conn) {
  const MHD_ConnectionInfo *ci =
      MHD_get_connection_info(conn, MHD_CONNECTION_INFO_GNUTLS_SESSION);
  return ci ? static_cast<gnutls_session_t>(ci->tls_session) : nullptr;
}

int note_finished(gnutls_session_t session, unsigned int, unsigned int,
                  unsigned int incoming, const gnutls_datum_t *) {
  if (incoming) {
    std::lock_guard<std::mutex> guard(finished_lock);
    finished->insert(session);
  }
  return 0;
}

/* Whether the session's handshake completed; forgets the session. */
bool take_finished(gnutls_session_t session) {
  std::lock_guard<std::mutex> guard(finished_lock);
  return finished->erase(session) > 0;
}

}  // namespace

void zorv::http::tls_connection_notified(void *cls, MHD_Connection *conn,
                                         void **socket_context,
                                         MHD_ConnectionNotificationCode code) {
  const auto *listener = static_cast<const Listener *>(cls);
  if (!listener || !listener->tls || !socket_context) return;
  gnutls_session_t session = session_of(conn);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    if (!session) return;
    *socket_context = new ConnectionNote{Clock::now()};
    gnutls_handshake_set_hook_function(session, GNUTLS_HANDSHAKE_FINISHED,
                                       GNUTLS_HOOK_POST, note_finished);
    return;
  }
  if (code != MHD_CONNECTION_NOTIFY_CLOSED) return;
  std::unique_ptr<ConnectionNote> note(static_cast<ConnectionNote *>(*socket_context));
  *socket_context = nullptr;
  bool completed = session && take_finished(session);
  if (!note || completed || listener->stopping.load(std::memory_order_relaxed))
    return;
  std::string peer = peer_address(conn);
  if (peer.empty()) peer = "unknown";
  if (Clock::now() - note->started < std::chrono::seconds(kIdleTimeoutSeconds))
    zorvL(zorv_error, "http: TLS handshake failed (peer %s)\n", peer.c_str());
  else
    zorvL(zorv_error, "http: TLS handshake not completed within %u s (peer %s)\n",
          kIdleTimeoutSeconds, peer.c_str());
}
