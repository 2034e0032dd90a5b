// The admin API of a stand-in cluster, on its own loopback port so that it
// stays reachable while nodes are down. JSON in and out; errors are
// {"error": "..."} with a 4xx status.
//
//   GET  /status                    cluster summary
//   POST /tag/add, /tag/remove      {"check", "tag", optional "seq"}
//   GET  /check/<uuid>              every element of one check
//   POST /generate                  {"checks", "tags_per_check", "seed"}
//   GET  /snapshot                  canonical text of the database
//   GET  /nodes, /nodes/<i>         state, faults and counters
//   POST /nodes/<i>/faults          set faults (see docs/standin.md)
//   POST /nodes/<i>/clear           clear faults, bring the node up
//   POST /nodes/clear               the same for every node
//   GET  /counters                  requests per node and kind
//   POST /counters/reset
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "standin/cluster.h"
#include "standin/http.h"

namespace standin {

class AdminServer {
 public:
  explicit AdminServer(Cluster &cluster) : cluster_(cluster) {}
  bool start(uint16_t port);
  void stop() { daemon_.reset(); }
  uint16_t port() const { return port_; }

 private:
  static MHD_Result on_request(void *cls, MHD_Connection *connection, const char *url,
                               const char *method, const char *version,
                               const char *upload_data, size_t *upload_data_size,
                               void **req_cls);
  static void on_completed(void *cls, MHD_Connection *connection, void **req_cls,
                           MHD_RequestTerminationCode code);
  MHD_Result route(MHD_Connection *connection, std::string_view url, std::string_view method,
                   const std::string &body);

  MHD_Result status(MHD_Connection *connection);
  MHD_Result change_tag(MHD_Connection *connection, const std::string &body, bool remove);
  MHD_Result show_check(MHD_Connection *connection, std::string_view uuid);
  MHD_Result generate(MHD_Connection *connection, const std::string &body);
  MHD_Result snapshot(MHD_Connection *connection);
  MHD_Result show_nodes(MHD_Connection *connection, int only);
  MHD_Result set_faults(MHD_Connection *connection, int index, const std::string &body);
  MHD_Result clear_faults(MHD_Connection *connection, int only);
  MHD_Result counters(MHD_Connection *connection);
  MHD_Result reset_counters(MHD_Connection *connection);

  json_object *describe_node(Node &node);

  Cluster &cluster_;
  DaemonPtr daemon_;
  uint16_t port_ = 0;
};

}  // namespace standin
