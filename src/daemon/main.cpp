/* wendrel: the node daemon. Runs in the foreground:
 *
 *   wendrel -c FILE        serve until SIGINT or SIGTERM
 *   wendrel -c FILE -t     check the configuration and the modules, then exit
 *
 * loads the configuration, sets up logging, loads the metric director and
 * the modules, starts the listeners, runs the post-initialisation hooks,
 * tells the service manager it is ready and serves. SIGHUP reopens the log
 * files (for log rotation); nothing reloads the configuration. */
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "check_config.h"
#include "command_line.h"
#include "diag_routes.h"
#include "drask/client.h"
#include "notify.h"
#include "startup.h"
#include "zorv/conf.h"
#include "zorv/host.h"
#include "zorv/log.h"
#include "zorv/zipkin.h"

namespace {

int fail(const std::string &what, char *detail = nullptr) {
  fprintf(stderr, "wendrel: %s%s%s\n", what.c_str(), detail ? ": " : "",
          detail ? detail : "");
  free(detail);
  zorv_log_flush();
  return wendrel::kExitFailure;
}

/* Blocks the signals the main thread waits for before any thread exists,
 * so that every thread inherits the mask and only sigwait sees them. They
 * are set to their default action first: a shell starts background jobs
 * with SIGINT ignored, and an ignored signal is discarded before sigwait
 * could take it. */
sigset_t block_handled_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    signal(sig, SIG_DFL);
    sigaddset(&set, sig);
  }
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return set;
}

void reopen_logs() {
  char *why = nullptr;
  int reopened = zorv_log_reopen(&why);
  if (reopened < 0) {
    zorvL(zorv_error, "SIGHUP: reopening the log files failed: %s\n",
          why ? why : "unknown");
    free(why);
    return;
  }
  zorvL(zorv_notice,
        "SIGHUP: reopened %d log file%s (the configuration is not reloaded)\n",
        reopened, reopened == 1 ? "" : "s");
}

}  // namespace

int main(int argc, char **argv) {
  wendrel::CommandLine cl = wendrel::parse_command_line(argc, argv);
  switch (cl.action) {
    case wendrel::CommandLine::Action::help:
      wendrel::print_usage(stdout);
      return wendrel::kExitOk;
    case wendrel::CommandLine::Action::version:
      wendrel::print_version(stdout);
      return wendrel::kExitOk;
    case wendrel::CommandLine::Action::usage_error:
      fprintf(stderr, "wendrel: %s\nusage: wendrel -c FILE [-t]; wendrel --help tells more\n",
              cl.error.c_str());
      return wendrel::kExitUsage;
    case wendrel::CommandLine::Action::run:
    case wendrel::CommandLine::Action::check_config:
      break;
  }
  const bool check_only = cl.action == wendrel::CommandLine::Action::check_config;
  const char *conf_path = cl.conf_path.c_str();

  sigset_t handled = block_handled_signals();

  char *err = nullptr;
  if (zorv_conf_load(conf_path, &err) != 0)
    return fail(std::string("cannot load configuration '") + conf_path + "'",
                err);
  /* A check leaves the log set-up and the configuration's folder alone: it
   * would create the log files of a daemon that may be running on them. */
  if (!check_only) {
    zorv_log_configure_from_conf();
    /* An earlier process killed while writing the configuration back may
     * have left its temporary file; it would otherwise stay forever. */
    zorv_conf_remove_leftovers();
  }
  libdrask_init();

  std::string module_dir = wendrel::module_directory();
  std::string why;
  if (!wendrel::load_metric_director(module_dir, why)) return fail(why);

  if (wendrel::register_diag_routes() != 0)
    return fail("cannot register the diagnostic routes");

  zorv_dso_set_directory(module_dir.c_str());
  if (zorv_dso_load_all(&err) != 0) return fail("module loading failed", err);

  if (check_only) {
    /* Module init registers hooks and routes but starts nothing; workers
     * start from the post-initialisation hooks, which a check never runs. */
    if (!wendrel::check_listeners(why)) return fail(why);
    printf("wendrel: configuration '%s' is valid (modules from %s)\n",
           conf_path, module_dir.c_str());
    return wendrel::kExitOk;
  }

  if (zorv_http_start_listeners(&err) != 0)
    return fail("cannot start listeners", err);

  zorv_dso_run_post_init();
  if (wendrel::conf_equals("//zipkin/@enabled", "true"))
    zorv_zipkin_set_enabled(true);

  zorvL(zorv_notice, "wendrel ready (pid %d, modules from %s)\n",
        static_cast<int>(getpid()), module_dir.c_str());
  wendrel::notify_ready();

  int sig = 0;
  for (;;) {
    if (sigwait(&handled, &sig) != 0) continue;
    if (sig != SIGHUP) break;
    reopen_logs();
  }
  wendrel::notify_stopping();
  zorvL(zorv_notice, "wendrel stopping on %s\n",
        sig == SIGINT ? "SIGINT" : "SIGTERM");
  zorv_http_stop_listeners();
  zorvL(zorv_notice, "wendrel stopped\n");
  zorv_log_flush();
  return wendrel::kExitOk;
}
