/* Where the daemon is and which certificates to use. Each setting comes
 * from the command line, else from an environment variable, else from the
 * client file (the package's certificate step writes
 * /etc/wendrel/wendrelctl.conf), else from its default. */
#ifndef WENDRELCTL_SETTINGS_H
#define WENDRELCTL_SETTINGS_H

#include <string>
#include <string_view>

namespace wendrelctl {

struct Settings {
  std::string url;     /* https://127.0.0.1:8443 by default */
  std::string cert;    /* client certificate, PEM; empty: none */
  std::string key;     /* its private key, PEM */
  std::string cacert;  /* CA to trust for the daemon's certificate */
  long timeout_s = 0; /* seconds per request; 0: not set (10) */
  std::string config;  /* the client file read ("" when none) */
};

/* A timeout in whole seconds, 1 to 3600. */
bool parse_timeout(std::string_view text, long &out);

/* Fills the unset fields of s (those the command line did not give) from
 * the environment and the client file. config_given: the client file was
 * named on the command line. Empty when all is well, else why not (a
 * client file that was asked for and cannot be read, a bad line). */
std::string complete_settings(Settings &s, bool config_given);

}  // namespace wendrelctl

#endif
