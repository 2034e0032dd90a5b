// The stand-in cluster as a child process, and how a replica is compared
// with it: the tests of replication share these.
#ifndef WENDREL_TEST_STANDIN_PROCESS_H
#define WENDREL_TEST_STANDIN_PROCESS_H

#include <sys/types.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/system_support.h"

namespace wendrel_test {

/* drask-standin as a child process; its ready line gives the ports. */
class Standin {
 public:
  Standin() = default;
  ~Standin() { stop(); }
  Standin(const Standin &) = delete;
  Standin &operator=(const Standin &) = delete;

  bool start(const std::vector<std::string> &args, const std::string &log);
  void stop();
  int admin() const { return admin_; }
  int node(size_t i) const { return nodes_.at(i); }

  HttpResult post(const std::string &path, const std::string &body);
  /* The snapshot: check UUID -> its live tags. */
  std::map<std::string, std::multiset<std::string>> snapshot();

 private:
  pid_t pid_ = -1;
  int admin_ = 0;
  std::vector<int> nodes_;
};

/* A daemon configuration with kavalin and ostrel (update interval 1 s,
 * fail-over time 3 s) whose swimlane holds the given bootstrap elements. */
ConfigOptions replica_options(const std::string &certs,
                              const std::string &bootstraps);

/* The live tags of one check as the replica's show route gives them. */
std::multiset<std::string> replica_tags(const std::string &certs, int port,
                                        const std::string &uuid);

/* Waits (bounded) until every check of the stand-in's snapshot reads the
 * same through the replica on https_port; "" then, else the first
 * difference. */
std::string converge(Standin &s, const std::string &certs, int https_port,
                     int seconds = 30);

}  // namespace wendrel_test

#endif
