#include "standin/faults.h"

#include <algorithm>
#include <thread>

namespace standin {

FaultSettings NodeFaults::get() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return settings_;
}

void NodeFaults::set(const FaultSettings &settings) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_ = settings;
}

void NodeFaults::clear() { set(FaultSettings{}); }

FaultSettings NodeFaults::take_for_full_state() {
  std::lock_guard<std::mutex> lock(mutex_);
  FaultSettings now = settings_;
  settings_.corrupt_next_full.reset();
  settings_.truncate_next_full.reset();
  return now;
}

FaultedSource::FaultedSource(std::unique_ptr<ByteSource> inner, StreamFaults faults,
                             std::shared_ptr<const std::atomic<bool>> alive)
    : inner_(std::move(inner)),
      faults_(faults),
      alive_(std::move(alive)),
      started_(std::chrono::steady_clock::now()) {}

ssize_t FaultedSource::read(char *buf, size_t max) {
  if (faults_.truncate_after) {
    if (sent_ >= *faults_.truncate_after) return 0;
    max = static_cast<size_t>(std::min<uint64_t>(max, *faults_.truncate_after - sent_));
  }
  if (faults_.close_after) {
    if (sent_ >= *faults_.close_after) return kStreamError;
    max = static_cast<size_t>(std::min<uint64_t>(max, *faults_.close_after - sent_));
  }
  if (faults_.stall_rate > 0) {
    // One byte may go at once, then stall_rate per second on average.
    // When none may go yet, sleep one short slice and report "wait": the
    // HTTP thread then serves its other connections before asking again,
    // instead of being held for a whole byte interval.
    using namespace std::chrono;
    if (!alive_->load()) return kStreamError;
    double elapsed = duration<double>(steady_clock::now() - started_).count();
    auto allowed = static_cast<uint64_t>(elapsed * static_cast<double>(faults_.stall_rate)) + 1;
    if (allowed <= sent_) {
      // The next byte is due when elapsed reaches sent_ / stall_rate.
      double due = static_cast<double>(sent_) / static_cast<double>(faults_.stall_rate);
      std::this_thread::sleep_for(duration<double>(std::clamp(due - elapsed, 0.001, 0.02)));
      return kStreamWait;
    }
    max = static_cast<size_t>(std::min<uint64_t>(max, allowed - sent_));
  }
  if (max == 0) return 0;
  ssize_t n = inner_->read(buf, max);
  if (n > 0) sent_ += static_cast<uint64_t>(n);
  return n;
}

}  // namespace standin
