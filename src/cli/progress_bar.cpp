#include "cli/progress_bar.h"

#include <algorithm>

namespace vql {

namespace {

constexpr std::int32_t kBarWidth = 40;

}  // namespace

std::string ProgressLine(std::int32_t percent, std::uint64_t elapsedMs) {
  percent = std::clamp(percent, 0, 100);
  const std::int32_t filled = percent * kBarWidth / 100;
  std::string line = "[";
  line.append(static_cast<std::size_t>(filled), '#');
  line.append(static_cast<std::size_t>(kBarWidth - filled), ' ');
  const std::uint64_t seconds = elapsedMs / 1000;
  char tail[48];
  std::snprintf(tail, sizeof tail, "] %3d%%  %llu:%02llu", percent,
                static_cast<unsigned long long>(seconds / 60),
                static_cast<unsigned long long>(seconds % 60));
  return line + tail;
}

void ProgressBar::Show(std::int32_t percent, std::uint64_t nowMs) {
  if (open_ && percent == shown_) return;
  if (open_ && percent < shown_) End();
  if (!open_) startMs_ = nowMs;
  open_ = true;
  shown_ = percent;
  std::fprintf(out_, "\r%s", ProgressLine(percent, nowMs - startMs_).c_str());
  std::fflush(out_);
}

void ProgressBar::End() {
  if (!open_) return;
  std::fputc('\n', out_);
  std::fflush(out_);
  open_ = false;
  shown_ = -1;
}

}  // namespace vql
