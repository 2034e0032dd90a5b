// Injected misbehaviour of one node. Persistent faults (status, stall,
// close) hold until cleared; the corrupt and truncate faults apply to the
// next full-state stream only and are used up by it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "standin/byte_source.h"

namespace standin {

struct FaultSettings {
  int status = 0;                                 // answer every feed request so; 0: off
  uint64_t stall_rate = 0;                        // stream bodies at most this many bytes/s; 0: off
  std::optional<uint64_t> close_after;            // drop the connection after this many body bytes
  std::optional<uint32_t> corrupt_next_full;      // invalid record before this check
  std::optional<uint64_t> truncate_next_full;     // end the stream cleanly after this many bytes
};

// What one response's body is subjected to.
struct StreamFaults {
  uint64_t stall_rate = 0;
  std::optional<uint64_t> close_after;
  std::optional<uint64_t> truncate_after;
};

class NodeFaults {
 public:
  FaultSettings get() const;
  void set(const FaultSettings &settings);
  void clear();
  // The faults of the next full-state stream; takes the one-shot ones.
  FaultSettings take_for_full_state();

 private:
  mutable std::mutex mutex_;
  FaultSettings settings_;
};

// Applies StreamFaults to a body. `alive` turns false when the node goes
// down or the process stops: a stalled stream then gives up at once
// instead of holding up the HTTP server's shutdown.
class FaultedSource : public ByteSource {
 public:
  FaultedSource(std::unique_ptr<ByteSource> inner, StreamFaults faults,
                std::shared_ptr<const std::atomic<bool>> alive);
  ssize_t read(char *buf, size_t max) override;

 private:
  std::unique_ptr<ByteSource> inner_;
  StreamFaults faults_;
  std::shared_ptr<const std::atomic<bool>> alive_;
  uint64_t sent_ = 0;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace standin
