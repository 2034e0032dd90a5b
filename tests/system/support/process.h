// Other programs as child processes: run one to its end and collect what
// it printed, or keep one running in the background for the length of a
// test (killed at scope end).
#ifndef WENDREL_TEST_PROCESS_H
#define WENDREL_TEST_PROCESS_H

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace wendrel_test {

struct RunResult {
  int status = -1;  // exit status; 128 + signal when a signal ended it
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs argv[0] (searched in PATH) with argv, the environment of this
// process plus env (a value of "" removes the variable), standard input
// from /dev/null; kills it after timeout_ms.
RunResult run(const std::vector<std::string> &argv,
              const std::map<std::string, std::string> &env = {},
              int timeout_ms = 60000);

// A program running in the background, its output going to a log file.
class Background {
 public:
  Background() = default;
  ~Background() { stop(); }
  Background(const Background &) = delete;
  Background &operator=(const Background &) = delete;

  bool start(const std::vector<std::string> &argv, const std::string &log);
  bool running();
  // SIGTERM, then SIGKILL after timeout_ms; the exit status as run() gives.
  int stop(int timeout_ms = 10000);

 private:
  pid_t pid_ = -1;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_port();

}  // namespace wendrel_test

#endif
