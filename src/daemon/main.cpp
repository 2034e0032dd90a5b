/* wendrel: the node daemon. Runs in the foreground:
 *
 *   wendrel -c FILE
 *
 * loads the configuration, sets up logging, loads the metric director and
 * the modules, starts the listeners, runs the post-initialisation hooks and
 * serves until SIGINT or SIGTERM. */
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "diag_routes.h"
#include "drask/client.h"
#include "startup.h"
#include "zorv/conf.h"
#include "zorv/host.h"
#include "zorv/log.h"
#include "zorv/zipkin.h"

namespace {

constexpr int kExitStartup = 1;
constexpr int kExitUsage = 64;

void usage(FILE *out) {
  fprintf(out, "usage: wendrel -c FILE\n"
               "  -c FILE   the XML configuration to run with\n"
               "  -h        this help\n");
}

int fail(const std::string &what, char *detail = nullptr) {
  fprintf(stderr, "wendrel: %s%s%s\n", what.c_str(), detail ? ": " : "",
          detail ? detail : "");
  free(detail);
  zorv_log_flush();
  return kExitStartup;
}

}  // namespace

int main(int argc, char **argv) {
  const char *conf_path = nullptr;
  int opt;
  while ((opt = getopt(argc, argv, "c:h")) != -1) {
    if (opt == 'c') {
      conf_path = optarg;
    } else if (opt == 'h') {
      usage(stdout);
      return 0;
    } else {
      usage(stderr);
      return kExitUsage;
    }
  }
  if (!conf_path || optind != argc) {
    usage(stderr);
    return kExitUsage;
  }

  /* Block the stop signals before any thread exists, so that every thread
   * inherits the mask and only the main thread's sigwait sees them. */
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  char *err = nullptr;
  if (zorv_conf_load(conf_path, &err) != 0)
    return fail(std::string("cannot load configuration '") + conf_path + "'",
                err);
  zorv_log_configure_from_conf();
  /* An earlier process killed while writing the configuration back may
   * have left its temporary file; it would otherwise stay forever. */
  zorv_conf_remove_leftovers();
  libdrask_init();

  std::string module_dir = wendrel::module_directory();
  std::string why;
  if (!wendrel::load_metric_director(module_dir, why)) return fail(why);

  if (wendrel::register_diag_routes() != 0)
    return fail("cannot register the diagnostic routes");

  zorv_dso_set_directory(module_dir.c_str());
  if (zorv_dso_load_all(&err) != 0) return fail("module loading failed", err);

  if (zorv_http_start_listeners(&err) != 0)
    return fail("cannot start listeners", err);

  zorv_dso_run_post_init();
  if (wendrel::conf_equals("//zipkin/@enabled", "true"))
    zorv_zipkin_set_enabled(true);

  zorvL(zorv_notice, "wendrel ready (pid %d, modules from %s)\n",
        static_cast<int>(getpid()), module_dir.c_str());

  int sig = 0;
  while (sigwait(&stop_signals, &sig) != 0) {
  }
  zorvL(zorv_notice, "wendrel stopping on %s\n",
        sig == SIGINT ? "SIGINT" : "SIGTERM");
  zorv_http_stop_listeners();
  zorvL(zorv_notice, "wendrel stopped\n");
  zorv_log_flush();
  return 0;
}
