// drask-standin: a stand-in database cluster on loopback.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "standin/admin.h"
#include "standin/cluster.h"
#include "standin/generator.h"
#include "standin/log.h"
#include "standin/options.h"

using namespace standin;

int main(int argc, char **argv) {
  std::string problem;
  std::optional<Options> options =
      parse_options(std::vector<std::string>(argv + 1, argv + argc), &problem);
  if (!options) {
    std::fprintf(stderr, "drask-standin: %s\n\n%s", problem.c_str(), kUsage);
    return 2;
  }
  if (options->help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  set_log_level(options->log_level);

  // Block the stop signals before any thread exists, so that every thread
  // inherits the mask and only sigwait below receives them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  ClusterOptions cluster_options;
  cluster_options.nodes = options->nodes;
  cluster_options.base_port = options->base_port;
  cluster_options.signature = options->signature;
  cluster_options.batch = options->batch;
  Cluster cluster(cluster_options);

  if (options->checks > 0) {
    cluster.install(generate_dataset(options->checks, options->tags_per_check, options->seed));
    log_info("generated %llu checks x %u tags (seed %llu)",
             static_cast<unsigned long long>(options->checks), options->tags_per_check,
             static_cast<unsigned long long>(options->seed));
  }
  if (!cluster.start()) return 1;
  AdminServer admin(cluster);
  if (!admin.start(options->admin_port.value_or(0))) {
    log_info("the admin API cannot listen on 127.0.0.1:%u", options->admin_port.value_or(0));
    return 1;
  }

  std::string ports;
  for (int i = 0; i < cluster.node_count(); ++i)
    ports += (i ? "," : "") + std::to_string(cluster.node(i).port());
  std::printf("ready admin=%u nodes=%s signature=%s\n", admin.port(), ports.c_str(),
              cluster.signature().c_str());
  std::fflush(stdout);

  int received = 0;
  sigwait(&stop_signals, &received);
  log_info("stopping on signal %d", received);
  admin.stop();
  cluster.stop();
  return 0;
}
