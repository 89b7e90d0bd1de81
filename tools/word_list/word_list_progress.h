// Progress of a word-list build, thinned out for the caller.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace korvan::word_list {

// The same type as WordListBuildProgress: stage name, steps done, steps in all.
using ProgressCallback = std::function<void(std::string_view stage, std::size_t done, std::size_t total)>;

// Passes progress on, at most about once per 5 % of each stage.
class ProgressMeter {
 public:
  explicit ProgressMeter(const ProgressCallback& progress) : progress_(progress) {}
  void Report(std::string_view stage, std::size_t done, std::size_t total) const {
    if (!progress_) return;
    const std::size_t step = total == 0 ? 0 : std::min<std::size_t>(20, total) * done / total;
    if (stage == stage_ && step == step_) return;
    stage_ = stage;
    step_ = step;
    progress_(stage, done, total);
  }

 private:
  const ProgressCallback& progress_;
  mutable std::string stage_;
  mutable std::size_t step_ = 0;
};

}  // namespace korvan::word_list
