#include "support/standin_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

namespace wendrel_test {

bool Standin::start(const std::vector<std::string> &args,
                    const std::string &log) {
  int out[2];
  if (pipe(out) != 0) return false;
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(out[1], 1);
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) dup2(fd, 2);
    close(out[0]);
    std::string exe = build_dir() + "/bin/drask-standin";
    std::vector<char *> argv{const_cast<char *>(exe.c_str())};
    for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (line.find('\n') == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char buf[512];
    ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  // ready admin=A nodes=P1,P2 signature=S
  auto a = line.find("admin=");
  auto nodes = line.find("nodes=");
  if (line.rfind("ready", 0) != 0 || a == std::string::npos ||
      nodes == std::string::npos) {
    return false;
  }
  admin_ = std::stoi(line.substr(a + 6));
  std::stringstream ss(line.substr(nodes + 6, line.find(' ', nodes) - nodes - 6));
  std::string port;
  while (std::getline(ss, port, ',')) nodes_.push_back(std::stoi(port));
  return !nodes_.empty();
}

void Standin::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}

HttpResult Standin::post(const std::string &path, const std::string &body) {
  RequestOptions o;
  o.method = "POST";
  o.body = body;
  o.with_body = true;
  return http_request(admin_, path, o);
}

std::map<std::string, std::multiset<std::string>> Standin::snapshot() {
  std::map<std::string, std::multiset<std::string>> out;
  auto r = http_request(admin_, "/snapshot");
  std::stringstream ss(r.body);
  std::string line;
  while (std::getline(ss, line)) {
    std::stringstream ls(line);
    std::string uuid, tag;
    std::getline(ls, uuid, '\t');
    auto &tags = out[uuid];
    while (std::getline(ls, tag, '\t')) tags.insert(tag);
  }
  return out;
}

ConfigOptions replica_options(const std::string &certs,
                              const std::string &bootstraps) {
  ConfigOptions opt;
  opt.certs_dir = certs;
  opt.modules_xml =
      "    <module image=\"kavalin\" name=\"kavalin\"/>\n"
      "    <module image=\"ostrel\" name=\"ostrel\"><config>"
      "<update_interval>1</update_interval>"
      "<failover_timeout>3</failover_timeout></config></module>\n";
  opt.extra_xml =
      "  <clusters my_id=\"6f1c2a4e-3b5d-4c7e-9f80-1a2b3c4d5e6f\"/>\n"
      "  <drask timeout=\"5000\" connecttimeout=\"1000\"><swimlane>" +
      bootstraps + "</swimlane></drask>\n";
  return opt;
}

std::multiset<std::string> replica_tags(const std::string &certs, int port,
                                        const std::string &uuid) {
  std::multiset<std::string> out;
  auto r = https_request(certs, port, "/module/ostrel/show/" + uuid + ".json");
  if (r.status != 200) return {"<status " + std::to_string(r.status) + ">"};
  // {"tags":["a","b"]}: tags of the stand-in hold no quotes or escapes.
  auto open = r.body.find('[');
  auto close = r.body.rfind(']');
  if (open == std::string::npos || close == std::string::npos) return {"<bad>"};
  std::string inner = r.body.substr(open + 1, close - open - 1);
  size_t pos = 0;
  while ((pos = inner.find('"', pos)) != std::string::npos) {
    size_t end = inner.find('"', pos + 1);
    out.insert(inner.substr(pos + 1, end - pos - 1));
    pos = end + 1;
  }
  return out;
}

std::string converge(Standin &s, const std::string &certs, int https_port,
                     int seconds) {
  std::string diff;
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  do {
    diff.clear();
    for (auto &[uuid, tags] : s.snapshot()) {
      auto got = replica_tags(certs, https_port, uuid);
      if (got != tags) {
        diff = uuid + ": replica has " + std::to_string(got.size()) +
               " tags, node " + std::to_string(tags.size());
        break;
      }
    }
    if (diff.empty()) return "";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  } while (std::chrono::steady_clock::now() < deadline);
  return diff;
}

}  // namespace wendrel_test
