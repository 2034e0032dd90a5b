#include "standin/cluster.h"

#include "standin/http.h"
#include "standin/log.h"

namespace standin {

Cluster::Cluster(ClusterOptions options) : options_(std::move(options)) {
  for (int i = 0; i < options_.nodes; ++i) nodes_.push_back(std::make_unique<Node>(i, *this));
}

Cluster::~Cluster() { stop(); }

bool Cluster::start() {
  for (auto &node : nodes_) {
    uint16_t port = options_.base_port == 0
                        ? 0
                        : static_cast<uint16_t>(options_.base_port + node->index());
    if (!node->start(port)) {
      log_info("node %d cannot listen on 127.0.0.1:%u", node->index(), port);
      stop();
      return false;
    }
  }
  signature_ = options_.signature.empty()
                   ? "drask-standin@127.0.0.1:" + std::to_string(nodes_.front()->port())
                   : options_.signature;
  JsonPtr document(json_object_new_object());
  json_object_object_add(document.get(), "signature",
                         json_object_new_string(signature_.c_str()));
  json_object *urls = json_object_new_array();
  for (auto &node : nodes_) json_object_array_add(urls, json_object_new_string(node->url().c_str()));
  json_object_object_add(document.get(), "nodes", urls);
  std::string text = json_object_to_json_string_ext(
      document.get(), JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
  text.push_back('\n');
  std::lock_guard<std::mutex> lock(topology_mutex_);
  topology_json_ = std::move(text);
  return true;
}

std::string Cluster::topology_json() const {
  std::lock_guard<std::mutex> lock(topology_mutex_);
  return topology_json_;
}

void Cluster::stop() {
  for (auto &node : nodes_) node->stop();
}

void Cluster::install(std::unique_ptr<Dataset> dataset) {
  database_.replace(std::shared_ptr<Dataset>(std::move(dataset)));
  for (auto &node : nodes_) node->checkpoints().clear();
}

}  // namespace standin
