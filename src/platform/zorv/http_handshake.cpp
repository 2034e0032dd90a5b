/* TLS connections that close without completing their handshake: one line
 * each, naming that connection's own peer.
 *
 * libmicrohttpd reports a failed handshake through its logger, which is
 * given no connection; with a pool of threads, and several connections
 * failing in one pass of a thread's loop, nothing ties that complaint to
 * its connection. The connection's close notification does name its
 * connection, but its TLS session is gone by then (libmicrohttpd frees it
 * first), so the session is asked at the start instead to tell us when its
 * handshake finishes. libmicrohttpd closes a connection
 * whose handshake has not completed for three reasons only: the handshake
 * failed (a plain-text client, a client that gave up on our certificate or
 * hung up), the connection sat idle past the timeout, or the listener is
 * being stopped. The last is known here; the idle timeout counts from the
 * last activity, so a connection younger than the timeout did not end by
 * it. Whatever is left failed its handshake. */
#include <gnutls/gnutls.h>

#include <chrono>
#include <memory>
#include <unordered_map>

#include "http_session.h"
#include "zorv/log.h"

namespace {

using Clock = std::chrono::steady_clock;

/* Kept in libmicrohttpd's socket context from the start of a TLS
 * connection to its close; only the thread serving it touches it. */
struct ConnectionNote {
  Clock::time_point started;
  gnutls_session_t session = nullptr; /* a key only: never used at close */
  bool handshake_done = false;
};

/* The notes of this thread's connections by their TLS session. A
 * connection stays on the thread that accepted it, and its start, its
 * handshake and its close all run there, so no lock is needed. */
thread_local std::unordered_map<gnutls_session_t, ConnectionNote *> notes;

/* The client's Finished message completes the handshake on both sides
 * (ours may go first, and a client that then refuses our certificate
 * never sends its own). */
int handshake_finished(gnutls_session_t session, unsigned, unsigned,
                       unsigned incoming, const gnutls_datum_t *) {
  if (!incoming) return 0;
  auto it = notes.find(session);
  if (it != notes.end()) it->second->handshake_done = true;
  return 0;
}

}  // namespace

void zorv::http::tls_connection_notified(void *cls, MHD_Connection *conn,
                                         void **socket_context,
                                         MHD_ConnectionNotificationCode code) {
  const auto *listener = static_cast<const Listener *>(cls);
  if (!listener || !listener->tls || !socket_context) return;
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    const MHD_ConnectionInfo *ci =
        MHD_get_connection_info(conn, MHD_CONNECTION_INFO_GNUTLS_SESSION);
    if (!ci || !ci->tls_session) return;
    auto note = std::make_unique<ConnectionNote>();
    note->started = Clock::now();
    note->session = static_cast<gnutls_session_t>(ci->tls_session);
    gnutls_handshake_set_hook_function(note->session, GNUTLS_HANDSHAKE_FINISHED,
                                       GNUTLS_HOOK_POST, handshake_finished);
    notes[note->session] = note.get();
    *socket_context = note.release();
    return;
  }
  if (code != MHD_CONNECTION_NOTIFY_CLOSED) return;
  std::unique_ptr<ConnectionNote> note(static_cast<ConnectionNote *>(*socket_context));
  *socket_context = nullptr;
  if (!note) return;
  // The session may already be freed and its address taken by a newer
  // connection's: only our own entry goes.
  if (auto it = notes.find(note->session); it != notes.end() && it->second == note.get())
    notes.erase(it);
  if (note->handshake_done || listener->stopping.load(std::memory_order_relaxed))
    return;
  std::string peer = peer_address(conn);
  if (peer.empty()) peer = "unknown";
  if (Clock::now() - note->started < std::chrono::seconds(kIdleTimeoutSeconds))
    zorvL(zorv_error, "http: TLS handshake failed (peer %s)\n", peer.c_str());
  else
    zorvL(zorv_error, "http: TLS handshake not completed within %u s (peer %s)\n",
          kIdleTimeoutSeconds, peer.c_str());
}
