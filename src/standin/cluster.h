// One stand-in cluster: N nodes over one database and change log, and the
// topology document every node serves.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "standin/database.h"
#include "standin/node.h"

namespace standin {

struct ClusterOptions {
  int nodes = 3;
  uint16_t base_port = 0;  // 0: an ephemeral port per node
  std::string signature;   // empty: derived from the first node's port
  uint32_t batch = 10000;  // diff messages per answer at most
};

class Cluster {
 public:
  explicit Cluster(ClusterOptions options);
  ~Cluster();

  // Starts every node; false (with all of them stopped) when a port
  // cannot be bound.
  bool start();
  void stop();

  Database &database() { return database_; }
  // Empty until every node listens (the document lists their ports).
  std::string topology_json() const;
  const std::string &signature() const { return signature_; }
  uint32_t batch() const { return options_.batch; }
  int node_count() const { return static_cast<int>(nodes_.size()); }
  Node &node(int index) { return *nodes_[static_cast<size_t>(index)]; }

  // Replaces the database. Every checkpoint refers to the old change log,
  // so every node forgets them all: a subscriber's next diff pull gets 409
  // and it starts over with a full-state pull.
  void install(std::unique_ptr<Dataset> dataset);

 private:
  ClusterOptions options_;
  Database database_;
  std::vector<std::unique_ptr<Node>> nodes_;
  std::string signature_;
  mutable std::mutex topology_mutex_;  // nodes may already serve while it is built
  std::string topology_json_;
};

}  // namespace standin
