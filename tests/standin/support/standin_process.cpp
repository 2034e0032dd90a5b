#include "standin/support/standin_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

namespace standin_test {
namespace {

using Clock = std::chrono::steady_clock;

pid_t spawn(const std::vector<std::string> &args, int *out_fd, bool merge_stderr) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    if (merge_stderr) dup2(fds[1], STDERR_FILENO);
    close(fds[0]);
    close(fds[1]);
    std::vector<char *> argv;
    std::string binary = standin_binary();
    argv.push_back(binary.data());
    std::vector<std::string> copy = args;
    for (auto &arg : copy) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  close(fds[1]);
  *out_fd = fds[0];
  return pid;
}

// Waits for the child for at most `limit`; -1 when it is still running.
int wait_bounded(pid_t pid, std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

}  // namespace

std::string standin_binary() {
  const char *dir = std::getenv("ZORV_BUILD_DIR");
  return std::string(dir ? dir : ".") + "/bin/drask-standin";
}

StandinProcess::StandinProcess(std::vector<std::string> args) {
  bool has_base = false;
  for (const auto &arg : args) has_base = has_base || arg.starts_with("--base-port");
  if (!has_base) {
    args.push_back("--base-port");
    args.push_back("0");
  }
  pid_ = spawn(args, &stdout_fd_, false);
  if (pid_ < 0) return;
  std::string seen;
  auto deadline = Clock::now() + std::chrono::seconds(60);
  while (Clock::now() < deadline && seen.find('\n') == std::string::npos) {
    pollfd pfd{stdout_fd_, POLLIN, 0};
    if (poll(&pfd, 1, 100) <= 0) continue;
    char buf[512];
    ssize_t n = read(stdout_fd_, buf, sizeof buf);
    if (n <= 0) break;
    seen.append(buf, static_cast<size_t>(n));
  }
  size_t newline = seen.find('\n');
  if (newline == std::string::npos || !seen.starts_with("ready ")) return;
  ready_line_ = seen.substr(0, newline);
  std::istringstream words(ready_line_);
  std::string word;
  while (words >> word) {
    if (word.starts_with("admin=")) admin_port_ = std::atoi(word.c_str() + 6);
    if (word.starts_with("nodes=")) {
      std::istringstream ports(word.substr(6));
      std::string port;
      while (std::getline(ports, port, ',')) node_ports_.push_back(std::atoi(port.c_str()));
    }
  }
  ready_ = admin_port_ > 0 && !node_ports_.empty();
}

StandinProcess::~StandinProcess() {
  if (pid_ > 0) stop(SIGTERM);
  if (stdout_fd_ >= 0) close(stdout_fd_);
}

std::string StandinProcess::admin_url(const std::string &path) const {
  return "http://127.0.0.1:" + std::to_string(admin_port_) + path;
}

std::string StandinProcess::node_url(int node, const std::string &path) const {
  return "http://127.0.0.1:" + std::to_string(node_ports_.at(static_cast<size_t>(node))) + path;
}

int StandinProcess::stop(int signal) {
  if (pid_ <= 0) return -1;
  kill(pid_, signal);
  int status = wait_bounded(pid_, std::chrono::seconds(20));
  if (status == -1) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
  return status;
}

RunResult run_standin(const std::vector<std::string> &args) {
  RunResult result;
  int fd = -1;
  pid_t pid = spawn(args, &fd, true);
  if (pid < 0) return result;
  auto deadline = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < deadline) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, 100) <= 0) continue;
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    result.output.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  int status = wait_bounded(pid, std::chrono::seconds(5));
  if (status == -1) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return result;
  }
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace standin_test
