#include "standin/admin.h"

#include <charconv>
#include <chrono>
#include <initializer_list>
#include <mutex>
#include <shared_mutex>

#include "standin/generator.h"
#include "standin/log.h"
#include "standin/snapshot.h"

namespace standin {
namespace {

constexpr size_t kMaxBody = 1 << 20;

struct RequestState {
  std::string body;
  bool too_large = false;
};

// An unsigned integer member. Absent: false with no error. A JSON null
// counts as absent too, but *was_null tells the caller (it clears a fault).
bool read_uint(json_object *object, const char *name, uint64_t *out, std::string *error,
               bool *was_null = nullptr) {
  json_object *value = nullptr;
  if (was_null) *was_null = false;
  if (!json_object_object_get_ex(object, name, &value)) return false;
  if (value == nullptr) {
    if (was_null) *was_null = true;
    return false;
  }
  if (!json_object_is_type(value, json_type_int) || json_object_get_int64(value) < 0) {
    *error = std::string(name) + " must be a non-negative integer";
    return false;
  }
  *out = json_object_get_uint64(value);
  return true;
}

bool read_string(json_object *object, const char *name, std::string *out, std::string *error) {
  json_object *value = nullptr;
  if (!json_object_object_get_ex(object, name, &value) ||
      !json_object_is_type(value, json_type_string)) {
    *error = std::string(name) + " must be a string";
    return false;
  }
  *out = std::string(json_object_get_string(value),
                     static_cast<size_t>(json_object_get_string_len(value)));
  return true;
}

// Refuses members outside `known`, so that a misspelt fault is an error
// rather than silently nothing.
bool only_members(json_object *object, std::initializer_list<std::string_view> known,
                  std::string *error) {
  json_object_object_foreach(object, key, value) {
    (void)value;
    bool found = false;
    for (std::string_view name : known) found = found || name == key;
    if (!found) {
      *error = std::string("unknown member ") + key;
      return false;
    }
  }
  return true;
}

// The request's JSON object; an empty body counts as {}.
JsonPtr body_object(const std::string &body, std::string *error) {
  if (body.find_first_not_of(" \t\r\n") == std::string::npos)
    return JsonPtr(json_object_new_object());
  JsonPtr value = parse_json(body, error);
  if (value && !json_object_is_type(value.get(), json_type_object)) {
    *error = "the body must be a JSON object";
    return nullptr;
  }
  return value;
}

json_object *optional_uint(const std::optional<uint64_t> &value) {
  return value ? json_object_new_uint64(*value) : nullptr;
}

std::optional<int> parse_index(std::string_view text) {
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

MHD_Result error(MHD_Connection *connection, unsigned status, std::string_view message) {
  return queue(connection, status, json_error_response(message));
}

}  // namespace

bool AdminServer::start(uint16_t port) {
  ListenerConfig config;
  config.port = port;
  config.threads = 2;
  config.handler = &AdminServer::on_request;
  config.handler_cls = this;
  config.completed = &AdminServer::on_completed;
  config.completed_cls = this;
  daemon_ = start_listener(config);
  if (!daemon_) return false;
  port_ = bound_port(daemon_.get());
  return true;
}

MHD_Result AdminServer::on_request(void *cls, MHD_Connection *connection, const char *url,
                                   const char *method, const char * /*version*/,
                                   const char *upload_data, size_t *upload_data_size,
                                   void **req_cls) {
  // Bodies arrive in pieces: collect them, answer on the final call.
  auto *state = static_cast<RequestState *>(*req_cls);
  if (!state) {
    *req_cls = new RequestState;
    return MHD_YES;
  }
  if (*upload_data_size != 0) {
    if (state->body.size() + *upload_data_size > kMaxBody) state->too_large = true;
    else state->body.append(upload_data, *upload_data_size);
    *upload_data_size = 0;
    return MHD_YES;
  }
  auto *self = static_cast<AdminServer *>(cls);
  log_debug("admin: %s %s", method, url);
  if (state->too_large) return error(connection, 413, "the body is larger than 1 MiB");
  return self->route(connection, url, method, state->body);
}

void AdminServer::on_completed(void * /*cls*/, MHD_Connection * /*connection*/, void **req_cls,
                               MHD_RequestTerminationCode /*code*/) {
  delete static_cast<RequestState *>(*req_cls);
  *req_cls = nullptr;
}

MHD_Result AdminServer::route(MHD_Connection *connection, std::string_view url,
                              std::string_view method, const std::string &body) {
  const bool get = method == MHD_HTTP_METHOD_GET;
  const bool post = method == MHD_HTTP_METHOD_POST;
  if (get && url == "/status") return status(connection);
  if (post && url == "/tag/add") return change_tag(connection, body, false);
  if (post && url == "/tag/remove") return change_tag(connection, body, true);
  if (get && url.starts_with("/check/")) return show_check(connection, url.substr(7));
  if (post && url == "/generate") return generate(connection, body);
  if (get && url == "/snapshot") return snapshot(connection);
  if (get && url == "/nodes") return show_nodes(connection, -1);
  if (post && url == "/nodes/clear") return clear_faults(connection, -1);
  if (get && url == "/counters") return counters(connection);
  if (post && url == "/counters/reset") return reset_counters(connection);
  if (url.starts_with("/nodes/")) {
    std::string_view rest = url.substr(7);
    std::string_view number = rest.substr(0, rest.find('/'));
    std::string_view action = rest.substr(number.size());
    std::optional<int> index = parse_index(number);
    if (!index || *index < 0 || *index >= cluster_.node_count())
      return error(connection, 404, "no such node");
    if (get && action.empty()) return show_nodes(connection, *index);
    if (post && action == "/faults") return set_faults(connection, *index, body);
    if (post && action == "/clear") return clear_faults(connection, *index);
  }
  return error(connection, 404, "no such admin route");
}

MHD_Result AdminServer::status(MHD_Connection *connection) {
  std::shared_ptr<Dataset> dataset = cluster_.database().current();
  JsonPtr out(json_object_new_object());
  json_object_object_add(out.get(), "signature",
                         json_object_new_string(cluster_.signature().c_str()));
  json_object *urls = json_object_new_array();
  for (int i = 0; i < cluster_.node_count(); ++i)
    json_object_array_add(urls, json_object_new_string(cluster_.node(i).url().c_str()));
  json_object_object_add(out.get(), "nodes", urls);
  {
    std::shared_lock<WriterPreferringMutex> lock(dataset->mutex);
    json_object_object_add(out.get(), "checks", json_object_new_uint64(dataset->checks.size()));
    json_object_object_add(out.get(), "elements", json_object_new_uint64(dataset->element_count));
    json_object_object_add(out.get(), "tags", json_object_new_uint64(dataset->tags.size()));
    json_object_object_add(out.get(), "log_length", json_object_new_uint64(dataset->log.size()));
  }
  json_object_object_add(out.get(), "batch", json_object_new_uint64(cluster_.batch()));
  return queue(connection, 200, json_response(out.get()));
}

MHD_Result AdminServer::change_tag(MHD_Connection *connection, const std::string &body,
                                   bool remove) {
  std::string problem;
  JsonPtr request = body_object(body, &problem);
  if (!request) return error(connection, 400, problem);
  std::string check, tag;
  uint64_t seq = 0;
  if (!only_members(request.get(), {"check", "tag", "seq"}, &problem) ||
      !read_string(request.get(), "check", &check, &problem) ||
      !read_string(request.get(), "tag", &tag, &problem))
    return error(connection, 400, problem);
  bool has_seq = read_uint(request.get(), "seq", &seq, &problem);
  if (!problem.empty()) return error(connection, 400, problem);

  std::optional<uint64_t> explicit_seq;
  if (has_seq) explicit_seq = seq;
  ChangeResult result = remove ? cluster_.database().remove_tag(check, tag, explicit_seq)
                               : cluster_.database().add_tag(check, tag, explicit_seq);
  switch (result.status) {
    case ChangeStatus::changed:
    case ChangeStatus::unchanged: break;
    case ChangeStatus::bad_input: return error(connection, 400, result.message);
    case ChangeStatus::not_found: return error(connection, 404, result.message);
    case ChangeStatus::stale_seq: return error(connection, 409, result.message);
    case ChangeStatus::full: return error(connection, 507, result.message);
  }
  Uuid uuid;
  parse_uuid(check, uuid);
  JsonPtr out(json_object_new_object());
  json_object_object_add(out.get(), "check", json_object_new_string(uuid_text(uuid).c_str()));
  json_object_object_add(out.get(), "tag", json_object_new_string_len(tag.data(), static_cast<int>(tag.size())));
  json_object_object_add(out.get(), "changed",
                         json_object_new_boolean(result.status == ChangeStatus::changed));
  json_object_object_add(out.get(), "seq", json_object_new_uint64(result.seq));
  json_object_object_add(out.get(), "tombstone", json_object_new_boolean(result.tombstone));
  json_object_object_add(out.get(), "log_length", json_object_new_uint64(result.log_end));
  log_debug("admin: %s %s %s -> seq %llu", remove ? "remove" : "add", check.c_str(), tag.c_str(),
            static_cast<unsigned long long>(result.seq));
  return queue(connection, 200, json_response(out.get()));
}

MHD_Result AdminServer::show_check(MHD_Connection *connection, std::string_view text) {
  Uuid uuid;
  if (!parse_uuid(text, uuid)) return error(connection, 400, "not a UUID");
  auto elements = cluster_.database().elements_of(text);
  if (!elements) return error(connection, 404, "no such check");
  JsonPtr out(json_object_new_object());
  json_object_object_add(out.get(), "check", json_object_new_string(uuid_text(uuid).c_str()));
  json_object *list = json_object_new_array();
  for (const ElementView &element : *elements) {
    json_object *item = json_object_new_object();
    json_object_object_add(item, "tag", json_object_new_string_len(element.tag.data(), static_cast<int>(element.tag.size())));
    json_object_object_add(item, "seq", json_object_new_uint64(element.seq));
    json_object_object_add(item, "tombstone", json_object_new_boolean(element.tombstone));
    json_object_array_add(list, item);
  }
  json_object_object_add(out.get(), "elements", list);
  return queue(connection, 200, json_response(out.get()));
}

MHD_Result AdminServer::generate(MHD_Connection *connection, const std::string &body) {
  std::string problem;
  JsonPtr request = body_object(body, &problem);
  if (!request) return error(connection, 400, problem);
  if (!only_members(request.get(), {"checks", "tags_per_check", "seed"}, &problem))
    return error(connection, 400, problem);
  uint64_t checks = 0, tags_per_check = 10, seed = 1;
  if (!read_uint(request.get(), "checks", &checks, &problem))
    return error(connection, 400, problem.empty() ? "checks is required" : problem);
  read_uint(request.get(), "tags_per_check", &tags_per_check, &problem);
  read_uint(request.get(), "seed", &seed, &problem);
  if (!problem.empty()) return error(connection, 400, problem);
  if (auto limit = generator_problem(checks, tags_per_check)) return error(connection, 400, *limit);

  auto started = std::chrono::steady_clock::now();
  std::unique_ptr<Dataset> dataset =
      generate_dataset(checks, static_cast<uint32_t>(tags_per_check), seed);
  uint64_t elements = dataset->element_count;
  uint64_t tags = dataset->tags.size();
  cluster_.install(std::move(dataset));
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - started).count();
  log_info("generated %llu checks x %llu tags (seed %llu) in %lld ms",
           static_cast<unsigned long long>(checks), static_cast<unsigned long long>(tags_per_check),
           static_cast<unsigned long long>(seed), static_cast<long long>(millis));

  JsonPtr out(json_object_new_object());
  json_object_object_add(out.get(), "checks", json_object_new_uint64(checks));
  json_object_object_add(out.get(), "elements", json_object_new_uint64(elements));
  json_object_object_add(out.get(), "tags", json_object_new_uint64(tags));
  json_object_object_add(out.get(), "seed", json_object_new_uint64(seed));
  json_object_object_add(out.get(), "millis", json_object_new_int64(millis));
  return queue(connection, 200, json_response(out.get()));
}

MHD_Result AdminServer::snapshot(MHD_Connection *connection) {
  auto source = std::make_unique<SnapshotSource>(cluster_.database().current());
  return queue(connection, 200, stream_response(std::move(source), "text/plain; charset=utf-8"));
}

json_object *AdminServer::describe_node(Node &node) {
  std::shared_ptr<Dataset> dataset = cluster_.database().current();
  FaultSettings faults = node.faults().get();
  NodeCounters &counts = node.counters();
  char epoch[9];
  std::snprintf(epoch, sizeof epoch, "%08x", node.epoch(*dataset));

  json_object *out = json_object_new_object();
  json_object_object_add(out, "node", json_object_new_int(node.index()));
  json_object_object_add(out, "url", json_object_new_string(node.url().c_str()));
  json_object_object_add(out, "port", json_object_new_int(node.port()));
  json_object_object_add(out, "up", json_object_new_boolean(node.is_up()));
  json_object_object_add(out, "epoch", json_object_new_string(epoch));
  json_object_object_add(out, "checkpoints", json_object_new_uint64(node.checkpoints().size()));

  json_object *f = json_object_new_object();
  json_object_object_add(f, "status", json_object_new_int(faults.status));
  json_object_object_add(f, "stall_rate", json_object_new_uint64(faults.stall_rate));
  json_object_object_add(f, "close_after", optional_uint(faults.close_after));
  std::optional<uint64_t> corrupt;
  if (faults.corrupt_next_full) corrupt = *faults.corrupt_next_full;
  json_object_object_add(f, "corrupt_next_full", optional_uint(corrupt));
  json_object_object_add(f, "truncate_next_full", optional_uint(faults.truncate_next_full));
  json_object_object_add(out, "faults", f);

  json_object *r = json_object_new_object();
  json_object_object_add(r, "topology", json_object_new_uint64(counts.topology.load()));
  json_object_object_add(r, "checkpoint_create", json_object_new_uint64(counts.checkpoint_create.load()));
  json_object_object_add(r, "checkpoint_delete", json_object_new_uint64(counts.checkpoint_delete.load()));
  json_object_object_add(r, "full_state", json_object_new_uint64(counts.full_state.load()));
  json_object_object_add(r, "diff", json_object_new_uint64(counts.diff.load()));
  json_object_object_add(r, "other", json_object_new_uint64(counts.other.load()));
  json_object_object_add(r, "faulted", json_object_new_uint64(counts.faulted.load()));
  json_object_object_add(out, "requests", r);
  return out;
}

MHD_Result AdminServer::show_nodes(MHD_Connection *connection, int only) {
  if (only >= 0) {
    JsonPtr out(describe_node(cluster_.node(only)));
    return queue(connection, 200, json_response(out.get()));
  }
  JsonPtr out(json_object_new_array());
  for (int i = 0; i < cluster_.node_count(); ++i)
    json_object_array_add(out.get(), describe_node(cluster_.node(i)));
  return queue(connection, 200, json_response(out.get()));
}

MHD_Result AdminServer::set_faults(MHD_Connection *connection, int index,
                                   const std::string &body) {
  std::string problem;
  JsonPtr request = body_object(body, &problem);
  if (!request) return error(connection, 400, problem);
  if (!only_members(request.get(),
                    {"status", "stall_rate", "close_after", "corrupt_next_full",
                     "truncate_next_full", "forget_checkpoints", "down"},
                    &problem))
    return error(connection, 400, problem);

  // Everything is validated before anything is applied.
  Node &node = cluster_.node(index);
  FaultSettings settings = node.faults().get();
  uint64_t value = 0;
  bool was_null = false;
  if (read_uint(request.get(), "status", &value, &problem)) {
    // A 1xx cannot be a final answer in HTTP.
    if (value != 0 && (value < 200 || value > 599))
      return error(connection, 400, "status must be 0 (off) or 200 to 599");
    settings.status = static_cast<int>(value);
  }
  if (read_uint(request.get(), "stall_rate", &value, &problem)) settings.stall_rate = value;
  if (read_uint(request.get(), "close_after", &value, &problem, &was_null))
    settings.close_after = value;
  else if (was_null)
    settings.close_after.reset();
  if (read_uint(request.get(), "corrupt_next_full", &value, &problem, &was_null)) {
    if (value > UINT32_MAX) return error(connection, 400, "corrupt_next_full is too large");
    settings.corrupt_next_full = static_cast<uint32_t>(value);
  } else if (was_null) {
    settings.corrupt_next_full.reset();
  }
  if (read_uint(request.get(), "truncate_next_full", &value, &problem, &was_null))
    settings.truncate_next_full = value;
  else if (was_null)
    settings.truncate_next_full.reset();
  if (!problem.empty()) return error(connection, 400, problem);

  json_object *member = nullptr;
  bool forget = false;
  std::optional<bool> down;
  if (json_object_object_get_ex(request.get(), "forget_checkpoints", &member)) {
    if (!json_object_is_type(member, json_type_boolean))
      return error(connection, 400, "forget_checkpoints must be true or false");
    forget = json_object_get_boolean(member);
  }
  if (json_object_object_get_ex(request.get(), "down", &member)) {
    if (!json_object_is_type(member, json_type_boolean))
      return error(connection, 400, "down must be true or false");
    down = json_object_get_boolean(member);
  }

  node.faults().set(settings);
  if (forget) node.checkpoints().clear();
  if (down && *down) node.stop();
  if (down && !*down && !node.start_again())
    return error(connection, 500, "the node cannot listen on its port again");
  log_info("node %d: faults changed", index);
  JsonPtr out(describe_node(node));
  return queue(connection, 200, json_response(out.get()));
}

MHD_Result AdminServer::clear_faults(MHD_Connection *connection, int only) {
  bool all_up = true;
  for (int i = 0; i < cluster_.node_count(); ++i) {
    if (only >= 0 && i != only) continue;
    Node &node = cluster_.node(i);
    node.faults().clear();
    all_up = node.start_again() && all_up;
  }
  if (!all_up) return error(connection, 500, "a node cannot listen on its port again");
  if (only >= 0) return show_nodes(connection, only);
  return show_nodes(connection, -1);
}

MHD_Result AdminServer::counters(MHD_Connection *connection) {
  JsonPtr out(json_object_new_object());
  json_object *nodes = json_object_new_array();
  for (int i = 0; i < cluster_.node_count(); ++i) {
    json_object *node = describe_node(cluster_.node(i));
    json_object *requests = nullptr;
    json_object_object_get_ex(node, "requests", &requests);
    json_object *entry = json_object_new_object();
    json_object_object_add(entry, "node", json_object_new_int(i));
    json_object_object_add(entry, "requests", json_object_get(requests));
    json_object_array_add(nodes, entry);
    json_object_put(node);
  }
  json_object_object_add(out.get(), "nodes", nodes);
  return queue(connection, 200, json_response(out.get()));
}

MHD_Result AdminServer::reset_counters(MHD_Connection *connection) {
  for (int i = 0; i < cluster_.node_count(); ++i) cluster_.node(i).counters().reset();
  return counters(connection);
}

}  // namespace standin
