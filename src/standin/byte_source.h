// A body produced piece by piece as the HTTP layer asks for it, so that a
// stream of the whole database never exists in memory at once.
#pragma once

#include <string>
#include <sys/types.h>

namespace standin {

inline constexpr ssize_t kStreamError = -1;
// Nothing to send yet; ask again soon (a stalled stream between bytes).
inline constexpr ssize_t kStreamWait = -2;

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Writes up to max bytes into buf. Returns how many, 0 at the regular
  // end of the stream, kStreamWait when no byte may go yet, kStreamError
  // to abort the transfer.
  virtual ssize_t read(char *buf, size_t max) = 0;
};

// A source that encodes its body in bounded pieces: refill() appends the
// next piece (about kPieceSize bytes) and returns false once nothing is left.
class StagedSource : public ByteSource {
 public:
  static constexpr size_t kPieceSize = 64 * 1024;
  ssize_t read(char *buf, size_t max) override;

 protected:
  virtual bool refill(std::string &out) = 0;

 private:
  std::string staged_;
  size_t offset_ = 0;
  bool done_ = false;
};

}  // namespace standin
