// The canonical text form of the database, for comparing a replica with
// the cluster: one line per check, sorted by UUID (byte order of the
// lower-case text); on each line the UUID, then the check's live tags in
// byte order, each preceded by a tab. A check whose tags are all removed
// still has its line (the UUID alone): a replica keeps it too.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "standin/byte_source.h"
#include "standin/dataset.h"

namespace standin {

class SnapshotSource : public StagedSource {
 public:
  explicit SnapshotSource(std::shared_ptr<const Dataset> dataset);

 protected:
  bool refill(std::string &out) override;

 private:
  std::shared_ptr<const Dataset> dataset_;
  std::vector<uint32_t> order_;  // check numbers sorted by UUID
  size_t next_ = 0;
};

}  // namespace standin
