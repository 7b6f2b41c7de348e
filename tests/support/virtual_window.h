// A window for tests and benchmarks, with a virtual clock.
//
// Every PumpMessages advances virtual time by a fixed step and delivers the timer
// tick that fell due; every WaitForEvents advances it by its whole limit. Waits of
// many milliseconds take microseconds of real time, and every pump and sleep can be
// counted exactly. The tick can start just below its wrap.
// It is also the clock of the simulated port, so a simulated chip sees the same time.
// What the core shows (message boxes, the file name, the grid) is recorded.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "image/code_image.h"
#include "portio/port_io.h"
#include "services/window_services.h"

namespace vql::testing {

class VirtualWindow final : public WindowServices, public MicrosecondClock {
 public:
  struct Settings {
    std::uint64_t pumpStepNs = 1000;  // virtual time that one PumpMessages takes
    std::uint32_t startTick = 0;      // GetTickCount at virtual time 0
    // Virtual time that each reading of the clock takes, as a real clock moves on
    // between two readings; 0: readings take none.
    std::uint64_t readingStepNs = 0;
  };

  VirtualWindow() : VirtualWindow(Settings{}) {}
  explicit VirtualWindow(Settings settings) : settings_(settings) {}

  std::uint32_t GetTickCount() override {
    return settings_.startTick + static_cast<std::uint32_t>(nowNs_ / 1'000'000);
  }

  void PumpMessages() override {
    ++pumps;
    nowNs_ += settings_.pumpStepNs;
    DeliverDueTick();
    if (onPump) onPump();
  }

  // Nothing here ends a sleep early: it lasts its whole limit, and a timer tick that
  // fell due meanwhile waits for the next pump.
  void WaitForEvents(std::uint32_t maxMicroseconds) override {
    ++waits;
    nowNs_ += std::uint64_t{maxMicroseconds} * 1000;
  }

  void StartTimer(std::uint32_t periodMs, std::function<void()> onTick) override {
    timerPeriodNs_ = std::uint64_t{periodMs} * 1'000'000;
    timerDueNs_ = nowNs_ + timerPeriodNs_;
    timerOnTick_ = std::move(onTick);
  }
  void StopTimer() override { timerPeriodNs_ = 0; }
  bool TimerRunning() const { return timerPeriodNs_ != 0; }

  void ShowStatus(std::string_view text) override { statuses.emplace_back(text); }
  void Beep() override { ++beeps; }
  void ShowProgress(std::int32_t done, std::int32_t total) override {
    ++progressUpdates;
    lastProgress = {done, total};
  }
  void ShowMessageBox(std::string_view text) override { messageBoxes.emplace_back(text); }
  std::optional<std::string> ChooseHexFile() override { return nextChoice; }
  void ShowFileName(std::string_view path) override { fileName = path; }
  void ShowImage(const CodeImage& image) override {
    grid = std::make_unique<CodeImage>(image);
    ++gridRefreshes;
  }

  std::uint64_t NowMicroseconds() override { return NowNanoseconds() / 1000; }
  std::uint64_t NowNanoseconds() override {
    const std::uint64_t now = nowNs_;
    nowNs_ += settings_.readingStepNs;
    return now;
  }
  // Jumps to the time, so that a wait never spins on a clock that only pumps move.
  void WaitUntil(std::uint64_t us) override { WaitUntilNanoseconds(us * 1000); }
  void WaitUntilNanoseconds(std::uint64_t ns) override { nowNs_ = std::max(nowNs_, ns); }
  void Advance(std::uint64_t ns) { nowNs_ += ns; }

  std::optional<std::string> nextChoice;  // what the file dialog answers; nothing = Cancel
  std::function<void()> onPump;           // runs inside every pump, as a handler would

  std::uint64_t pumps = 0;
  std::uint64_t waits = 0;  // WaitForEvents calls
  std::uint64_t timerTicks = 0;
  std::uint64_t progressUpdates = 0;
  std::pair<std::int32_t, std::int32_t> lastProgress{0, 0};  // done, total
  std::vector<std::string> messageBoxes;
  std::vector<std::string> statuses;  // every status text, in order
  int beeps = 0;
  std::string fileName;
  std::unique_ptr<CodeImage> grid;  // what the grid shows; null until the first refresh
  int gridRefreshes = 0;

 private:
  void DeliverDueTick() {
    if (timerPeriodNs_ == 0 || nowNs_ < timerDueNs_) return;
    timerDueNs_ += timerPeriodNs_;
    ++timerTicks;
    auto onTick = timerOnTick_;  // the handler may restart or stop the timer
    onTick();
  }

  Settings settings_;
  std::uint64_t nowNs_ = 0;
  std::uint64_t timerPeriodNs_ = 0;  // 0: stopped
  std::uint64_t timerDueNs_ = 0;
  std::function<void()> timerOnTick_;
};

}  // namespace vql::testing
