// Where a worker's pixel work (a drawn banner, a recompressed GIF) runs.
//
// Thread rule: Run may be called from any number of workers at once; each
// caller waits for its own job.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace korvan {

using PixelJob = std::function<std::vector<std::uint8_t>()>;

class PixelWork {
 public:
  virtual ~PixelWork() = default;
  // The job's result; the calling worker waits for it.
  virtual std::vector<std::uint8_t> Run(const PixelJob& job) = 0;
};

}  // namespace korvan
