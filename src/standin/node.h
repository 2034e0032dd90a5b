// One node of the stand-in cluster: its own loopback listener serving the
// topology and the check-tag feed, its own checkpoints per subscriber, its
// own faults and request counters. All nodes serve the cluster's one
// database.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "standin/checkpoints.h"
#include "standin/faults.h"
#include "standin/http.h"

namespace standin {

class Cluster;
struct Dataset;

// Requests per kind; read by tests and the admin API.
struct NodeCounters {
  std::atomic<uint64_t> topology{0};
  std::atomic<uint64_t> checkpoint_create{0};
  std::atomic<uint64_t> checkpoint_delete{0};
  std::atomic<uint64_t> full_state{0};
  std::atomic<uint64_t> diff{0};
  std::atomic<uint64_t> other{0};    // unknown paths and methods
  std::atomic<uint64_t> faulted{0};  // feed requests answered with the injected status

  void reset();
};

class Node {
 public:
  Node(int index, Cluster &cluster);
  ~Node();
  Node(const Node &) = delete;
  Node &operator=(const Node &) = delete;

  // Binds 127.0.0.1:port (0 on the first start: any port; afterwards the
  // port of the first start is kept, so the topology stays true).
  bool start(uint16_t port);
  bool start_again();
  void stop();
  bool is_up() const;

  int index() const { return index_; }
  uint16_t port() const { return port_.load(); }
  std::string url() const;
  // Distinct for every node of a dataset and between datasets.
  uint32_t epoch(const Dataset &dataset) const;

  NodeFaults &faults() { return faults_; }
  CheckpointTable &checkpoints() { return checkpoints_; }
  NodeCounters &counters() { return counters_; }

 private:
  static MHD_Result on_request(void *cls, MHD_Connection *connection, const char *url,
                               const char *method, const char *version,
                               const char *upload_data, size_t *upload_data_size,
                               void **req_cls);
  MHD_Result handle(MHD_Connection *connection, std::string_view url, std::string_view method);
  MHD_Result serve_topology(MHD_Connection *connection);
  MHD_Result create_checkpoint(MHD_Connection *connection);
  MHD_Result delete_checkpoint(MHD_Connection *connection);
  MHD_Result serve_full_state(MHD_Connection *connection);
  MHD_Result serve_diff(MHD_Connection *connection);
  MHD_Result answer(MHD_Connection *connection, unsigned status, ResponsePtr response,
                    std::string_view what);

  const int index_;
  Cluster &cluster_;
  NodeFaults faults_;
  CheckpointTable checkpoints_;
  NodeCounters counters_;

  mutable std::mutex lifecycle_mutex_;  // start/stop against each other
  DaemonPtr daemon_;
  std::atomic<uint16_t> port_{0};
  // Cleared before the listener stops so that stalled streams let go; a
  // new flag per start, held by the streams of that incarnation.
  std::shared_ptr<std::atomic<bool>> alive_;
};

}  // namespace standin
