// A node's feed checkpoints: per subscriber, the change-log position up
// to which the subscriber has acknowledged the changes.
//
// A token is 17 characters "%08x:%08x": the node's epoch, a colon, the
// change-log position, both in lower-case hex. The epoch differs per node
// and per dataset, so a token from another node or from a replaced dataset
// is unknown here.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace standin {

struct Token {
  uint32_t epoch = 0;
  uint32_t position = 0;
};

inline constexpr size_t kTokenLength = 17;

std::string format_token(Token token);
// Exactly 17 characters, lower-case hex only; nullopt otherwise.
std::optional<Token> parse_token(std::string_view text);

enum class AdvanceStatus {
  ok,
  no_checkpoint,   // the subscriber has no checkpoint on this node
  malformed,       // not a token at all
  foreign,         // another node's or an older dataset's token
  behind,          // older than what the subscriber already acknowledged
  ahead,           // past the end of the change log
};

class CheckpointTable {
 public:
  // nullopt when the subscriber already has one (the answer is then 409).
  std::optional<Token> create(const std::string &subscriber, Token at);
  bool remove(const std::string &subscriber);
  void clear();
  size_t size() const;

  // Validates the token a subscriber pulls with against its checkpoint,
  // the node's epoch and the log end; on success the checkpoint moves to
  // the token (the subscriber has shown that it received everything
  // before it) and the token is returned through *accepted.
  AdvanceStatus advance(const std::string &subscriber, std::string_view token_text,
                        uint32_t epoch, uint32_t log_end, Token *accepted);

 private:
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Token> by_subscriber_;
};

const char *advance_status_text(AdvanceStatus status);

}  // namespace standin
