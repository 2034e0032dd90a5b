#include "standin/checkpoints.h"

#include <cstdio>

namespace standin {
namespace {

std::optional<uint32_t> parse_hex8(std::string_view text) {
  uint32_t value = 0;
  for (char c : text) {
    uint32_t digit;
    if (c >= '0' && c <= '9') digit = static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f') digit = static_cast<uint32_t>(c - 'a' + 10);
    else return std::nullopt;
    value = value << 4 | digit;
  }
  return value;
}

}  // namespace

std::string format_token(Token token) {
  char buf[kTokenLength + 1];
  std::snprintf(buf, sizeof buf, "%08x:%08x", token.epoch, token.position);
  return std::string(buf, kTokenLength);
}

std::optional<Token> parse_token(std::string_view text) {
  if (text.size() != kTokenLength || text[8] != ':') return std::nullopt;
  auto epoch = parse_hex8(text.substr(0, 8));
  auto position = parse_hex8(text.substr(9, 8));
  if (!epoch || !position) return std::nullopt;
  return Token{*epoch, *position};
}

std::optional<Token> CheckpointTable::create(const std::string &subscriber, Token at) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!by_subscriber_.emplace(subscriber, at).second) return std::nullopt;
  return at;
}

bool CheckpointTable::remove(const std::string &subscriber) {
  std::lock_guard<std::mutex> lock(mutex_);
  return by_subscriber_.erase(subscriber) > 0;
}

void CheckpointTable::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  by_subscriber_.clear();
}

size_t CheckpointTable::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return by_subscriber_.size();
}

AdvanceStatus CheckpointTable::advance(const std::string &subscriber,
                                       std::string_view token_text, uint32_t epoch,
                                       uint32_t log_end, Token *accepted) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = by_subscriber_.find(subscriber);
  if (it == by_subscriber_.end()) return AdvanceStatus::no_checkpoint;
  std::optional<Token> token = parse_token(token_text);
  if (!token) return AdvanceStatus::malformed;
  if (token->epoch != epoch || it->second.epoch != epoch) return AdvanceStatus::foreign;
  if (token->position < it->second.position) return AdvanceStatus::behind;
  if (token->position > log_end) return AdvanceStatus::ahead;
  it->second = *token;
  *accepted = *token;
  return AdvanceStatus::ok;
}

const char *advance_status_text(AdvanceStatus status) {
  switch (status) {
    case AdvanceStatus::ok: return "ok";
    case AdvanceStatus::no_checkpoint: return "the subscriber has no checkpoint on this node";
    case AdvanceStatus::malformed: return "the checkpoint is not a token of this node";
    case AdvanceStatus::foreign: return "the checkpoint belongs to another node or an older epoch";
    case AdvanceStatus::behind: return "the checkpoint is older than the subscriber's acknowledged position";
    case AdvanceStatus::ahead: return "the checkpoint lies beyond the end of the change log";
  }
  return "unknown";
}

}  // namespace standin
