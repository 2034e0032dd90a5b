// Runs drask-standin as a child process for a test: waits (bounded) for
// its "ready" line, knows its ports, and stops it with SIGTERM.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace standin_test {

std::string standin_binary();

class StandinProcess {
 public:
  // Starts the binary with the given arguments (--base-port 0 is added
  // when no --base-port is given). ok() tells whether "ready" came.
  explicit StandinProcess(std::vector<std::string> args);
  ~StandinProcess();
  StandinProcess(const StandinProcess &) = delete;
  StandinProcess &operator=(const StandinProcess &) = delete;

  bool ok() const { return ready_; }
  const std::string &ready_line() const { return ready_line_; }
  int admin_port() const { return admin_port_; }
  const std::vector<int> &node_ports() const { return node_ports_; }
  std::string admin_url(const std::string &path) const;
  std::string node_url(int node, const std::string &path) const;

  // Sends `signal` and waits up to 20 s; the wait status, or -1 when the
  // process did not end in time (it is then killed).
  int stop(int signal);

 private:
  pid_t pid_ = -1;
  int stdout_fd_ = -1;
  bool ready_ = false;
  std::string ready_line_;
  int admin_port_ = 0;
  std::vector<int> node_ports_;
};

// Runs the binary to completion (bounded to 20 s) and returns its exit
// status and output (stdout and stderr together).
struct RunResult {
  int exit_code = -1;
  std::string output;
};
RunResult run_standin(const std::vector<std::string> &args);

}  // namespace standin_test
