/* wendrelctl's exit statuses: scripts tell a refusal from a typo from a
 * daemon that is not there. */
#ifndef WENDRELCTL_EXIT_CODES_H
#define WENDRELCTL_EXIT_CODES_H

namespace wendrelctl {

enum Exit : int {
  kOk = 0,
  kRefused = 1,      /* the daemon answered, and not with success */
  kUsage = 2,        /* wrong command line, unreadable settings */
  kUnreachable = 3,  /* no answer: connection, TLS handshake, timeout */
};

}  // namespace wendrelctl

#endif
