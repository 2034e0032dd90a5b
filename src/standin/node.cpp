#include "standin/node.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>

#include "standin/cluster.h"
#include "standin/diff_encoder.h"
#include "standin/full_state_encoder.h"
#include "standin/log.h"

namespace standin {
namespace {

constexpr std::string_view kFeedPath = "/metafeed/check/tag";
constexpr std::string_view kFullStatePath = "/meta/check/tag";
constexpr std::string_view kTopologyPath = "/topology";
constexpr const char *kCheckpointHeader = "X-Drask-Feed-Checkpoint";
constexpr const char *kStreamType = "application/octet-stream";

std::string_view argument(MHD_Connection *connection, const char *name) {
  const char *value = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, name);
  return value ? std::string_view(value) : std::string_view();
}

uint32_t log_length(const Dataset &dataset) {
  std::shared_lock<WriterPreferringMutex> lock(dataset.mutex);
  return static_cast<uint32_t>(dataset.log.size());
}

}  // namespace

void NodeCounters::reset() {
  for (auto *counter : {&topology, &checkpoint_create, &checkpoint_delete, &full_state, &diff,
                        &other, &faulted})
    counter->store(0);
}

Node::Node(int index, Cluster &cluster) : index_(index), cluster_(cluster) {}

Node::~Node() { stop(); }

bool Node::start(uint16_t port) {
  std::lock_guard<std::mutex> lock(lifecycle_mutex_);
  if (daemon_) return true;
  alive_ = std::make_shared<std::atomic<bool>>(true);
  ListenerConfig config;
  config.port = port;
  config.threads = 2;
  config.handler = &Node::on_request;
  config.handler_cls = this;
  daemon_ = start_listener(config);
  if (!daemon_) return false;
  port_.store(bound_port(daemon_.get()));
  return true;
}

bool Node::start_again() { return start(port_.load()); }

void Node::stop() {
  std::lock_guard<std::mutex> lock(lifecycle_mutex_);
  if (!daemon_) return;
  alive_->store(false);
  daemon_.reset();  // closes the listener and every connection, joins the threads
}

bool Node::is_up() const {
  std::lock_guard<std::mutex> lock(lifecycle_mutex_);
  return daemon_ != nullptr;
}

std::string Node::url() const { return "http://127.0.0.1:" + std::to_string(port()); }

uint32_t Node::epoch(const Dataset &dataset) const {
  // Multiplying by an odd constant is a bijection on 32 bits, so nodes of
  // one dataset never share an epoch.
  return dataset.base_epoch ^ (static_cast<uint32_t>(index_) * 0x9e3779b9u);
}

MHD_Result Node::on_request(void *cls, MHD_Connection *connection, const char *url,
                            const char *method, const char * /*version*/,
                            const char * /*upload_data*/, size_t *upload_data_size,
                            void **req_cls) {
  // Answering on the first call, before libmicrohttpd has seen the end of
  // the request, costs the keep-alive connection; so the first call only
  // marks the request, a body (no feed request needs one) is discarded,
  // and the answer comes with the final call.
  static int seen_marker;
  if (*req_cls == nullptr) {
    *req_cls = &seen_marker;
    return MHD_YES;
  }
  if (*upload_data_size != 0) {
    *upload_data_size = 0;
    return MHD_YES;
  }
  return static_cast<Node *>(cls)->handle(connection, url, method);
}

MHD_Result Node::answer(MHD_Connection *connection, unsigned status, ResponsePtr response,
                        std::string_view what) {
  if (debug_enabled()) {
    std::string_view subscriber = argument(connection, "subscriber");
    std::string_view checkpoint = argument(connection, "checkpoint");
    log_debug("node %d: %.*s subscriber=%.*s checkpoint=%.*s -> %u", index_,
              static_cast<int>(what.size()), what.data(), static_cast<int>(subscriber.size()),
              subscriber.data(), static_cast<int>(checkpoint.size()), checkpoint.data(), status);
  }
  return queue(connection, status, std::move(response));
}

MHD_Result Node::handle(MHD_Connection *connection, std::string_view url,
                        std::string_view method) {
  const bool get = method == MHD_HTTP_METHOD_GET;
  std::string what = std::string(method) + " " + std::string(url);

  if (url == kTopologyPath) {
    counters_.topology.fetch_add(1);
    if (!get) return answer(connection, 405, json_error_response("use GET"), what);
    return serve_topology(connection);
  }

  std::atomic<uint64_t> *kind = nullptr;
  if (url == kFeedPath && method == MHD_HTTP_METHOD_POST) kind = &counters_.checkpoint_create;
  else if (url == kFeedPath && method == MHD_HTTP_METHOD_DELETE) kind = &counters_.checkpoint_delete;
  else if (url == kFeedPath && get) kind = &counters_.diff;
  else if (url == kFullStatePath && get) kind = &counters_.full_state;

  if (!kind) {
    counters_.other.fetch_add(1);
    if (url == kFeedPath || url == kFullStatePath)
      return answer(connection, 405, json_error_response("method not allowed"), what);
    return answer(connection, 404, json_error_response("no such path"), what);
  }
  kind->fetch_add(1);

  if (int status = faults_.get().status; status != 0) {
    counters_.faulted.fetch_add(1);
    return answer(connection, static_cast<unsigned>(status),
                  json_error_response("injected fault"), what);
  }
  if (kind == &counters_.checkpoint_create) return create_checkpoint(connection);
  if (kind == &counters_.checkpoint_delete) return delete_checkpoint(connection);
  if (kind == &counters_.diff) return serve_diff(connection);
  return serve_full_state(connection);
}

MHD_Result Node::serve_topology(MHD_Connection *connection) {
  std::string document = cluster_.topology_json();
  if (document.empty())
    return answer(connection, 503, json_error_response("the cluster is starting"),
                  "GET /topology");
  return answer(connection, 200, text_response(document, "application/json"), "GET /topology");
}

MHD_Result Node::create_checkpoint(MHD_Connection *connection) {
  const std::string what = "POST /metafeed/check/tag";
  std::string subscriber(argument(connection, "subscriber"));
  if (subscriber.empty())
    return answer(connection, 400, json_error_response("subscriber is required"), what);

  std::shared_ptr<Dataset> dataset = cluster_.database().current();
  Token at{epoch(*dataset), log_length(*dataset)};
  if (!checkpoints_.create(subscriber, at))
    return answer(connection, 409,
                  json_error_response("the subscriber already has a checkpoint on this node"),
                  what);

  std::string token = format_token(at);
  JsonPtr body(json_object_new_object());
  json_object_object_add(body.get(), "checkpoint", json_object_new_string(token.c_str()));
  ResponsePtr response = json_response(body.get());
  if (response) MHD_add_response_header(response.get(), kCheckpointHeader, token.c_str());
  return answer(connection, 200, std::move(response), what);
}

MHD_Result Node::delete_checkpoint(MHD_Connection *connection) {
  const std::string what = "DELETE /metafeed/check/tag";
  std::string subscriber(argument(connection, "subscriber"));
  if (subscriber.empty())
    return answer(connection, 400, json_error_response("subscriber is required"), what);
  if (!checkpoints_.remove(subscriber))
    return answer(connection, 404,
                  json_error_response("the subscriber has no checkpoint on this node"), what);
  JsonPtr body(json_object_new_object());
  json_object_object_add(body.get(), "deleted", json_object_new_boolean(1));
  return answer(connection, 200, json_response(body.get()), what);
}

MHD_Result Node::serve_full_state(MHD_Connection *connection) {
  FaultSettings faults = faults_.take_for_full_state();
  auto source = std::make_unique<FullStateSource>(cluster_.database().current(),
                                                  faults.corrupt_next_full);
  StreamFaults stream{faults.stall_rate, faults.close_after, faults.truncate_next_full};
  auto body = std::make_unique<FaultedSource>(std::move(source), stream, alive_);
  return answer(connection, 200, stream_response(std::move(body), kStreamType),
                "GET /meta/check/tag");
}

MHD_Result Node::serve_diff(MHD_Connection *connection) {
  const std::string what = "GET /metafeed/check/tag";
  std::string subscriber(argument(connection, "subscriber"));
  std::string_view checkpoint = argument(connection, "checkpoint");
  if (subscriber.empty())
    return answer(connection, 400, json_error_response("subscriber is required"), what);
  if (checkpoint.empty())
    return answer(connection, 400, json_error_response("checkpoint is required"), what);

  std::shared_ptr<Dataset> dataset = cluster_.database().current();
  const uint32_t node_epoch = epoch(*dataset);
  const uint32_t end = log_length(*dataset);
  Token from;
  AdvanceStatus status = checkpoints_.advance(subscriber, checkpoint, node_epoch, end, &from);
  if (status != AdvanceStatus::ok)
    return answer(connection, 409, json_error_response(advance_status_text(status)), what);

  // At most one batch per answer; the header names where the next pull
  // starts, the same token when nothing was left.
  uint32_t count = std::min(cluster_.batch(), end - from.position);
  Token next{node_epoch, from.position + count};
  auto source = std::make_unique<DiffSource>(dataset, from.position, next.position);
  FaultSettings faults = faults_.get();
  StreamFaults stream{faults.stall_rate, faults.close_after, std::nullopt};
  auto body = std::make_unique<FaultedSource>(std::move(source), stream, alive_);
  ResponsePtr response = stream_response(std::move(body), kStreamType);
  if (response)
    MHD_add_response_header(response.get(), kCheckpointHeader, format_token(next).c_str());
  return answer(connection, 200, std::move(response), what);
}

}  // namespace standin
