// The progress bar of a terminal: one line, redrawn in place with a carriage return
// whenever the percentage changes, with the time since the bar began.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace vql {

// "[##########          ]  50%  0:07"
std::string ProgressLine(std::int32_t percent, std::uint64_t elapsedMs);

class ProgressBar {
 public:
  explicit ProgressBar(std::FILE* out) : out_(out) {}

  // Draws percent (0..100) unless the bar shows it already. A percentage below the
  // one shown starts a new bar on a new line: another walk has begun.
  void Show(std::int32_t percent, std::uint64_t nowMs);

  // Ends the line the bar stands on, so that other output starts on a line of its
  // own; the next Show begins a new bar.
  void End();

 private:
  std::FILE* out_;
  bool open_ = false;
  std::int32_t shown_ = -1;
  std::uint64_t startMs_ = 0;
};

}  // namespace vql
