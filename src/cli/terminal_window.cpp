#include "cli/terminal_window.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

#include "cli/stop_signals.h"

namespace vql {

namespace {

// Virtual time that one message pump takes.
constexpr std::uint64_t kVirtualPumpNs = 1000;
// The pump runs twice per clocked bit, so it reads the real clock only every so
// many calls; at a few nanoseconds a call the timer is still late by well under a
// microsecond.
constexpr std::uint32_t kPumpsPerClockCheck = 256;

std::int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

TerminalWindow::TerminalWindow(Settings settings)
    : settings_(std::move(settings)), startNs_(SteadyNs()), bar_(stderr) {}

std::uint64_t TerminalWindow::NowNanoseconds() {
  if (settings_.virtualClock) return virtualNs_;
  return static_cast<std::uint64_t>(SteadyNs() - startNs_);
}

std::uint32_t TerminalWindow::GetTickCount() {
  return static_cast<std::uint32_t>(NowNanoseconds() / 1'000'000);
}

void TerminalWindow::PumpMessages() {
  if (requestStop_ && StopSignals::Received()) requestStop_();
  if (settings_.virtualClock) {
    virtualNs_ += kVirtualPumpNs;
  } else if (!timer_.Running() || ++pumpsSinceCheck_ < kPumpsPerClockCheck) {
    return;
  }
  pumpsSinceCheck_ = 0;
  timer_.DeliverDue(NowNanoseconds());
}

void TerminalWindow::WaitForEvents(std::uint32_t maxMicroseconds) {
  // A stop signal is work for the next pump, which turns it into a stop request.
  if (requestStop_ && StopSignals::Received()) return;
  const std::uint64_t limitNs = std::uint64_t{maxMicroseconds} * 1000;
  if (settings_.virtualClock) {
    virtualNs_ += limitNs;
  } else {
    std::uint64_t sleepNs = limitNs;
    if (timer_.Running()) sleepNs = std::min(sleepNs, timer_.NsUntilDue(NowNanoseconds()));
    if (sleepNs > 0) {
      timespec span{};
      span.tv_sec = static_cast<time_t>(sleepNs / 1'000'000'000);
      span.tv_nsec = static_cast<long>(sleepNs % 1'000'000'000);
      // A signal ends the sleep (it is not resumed, whatever SA_RESTART says), so a
      // Ctrl-C is seen by the next pump instead of after the whole limit. A signal
      // that lands just before the sleep is seen after it.
      clock_nanosleep(CLOCK_MONOTONIC, 0, &span, nullptr);
    }
  }
  // The pump reads the real clock only now and then; after a sleep the next one
  // does, and delivers a timer tick that fell due: ticks come only from the pump.
  pumpsSinceCheck_ = kPumpsPerClockCheck - 1;
}

void TerminalWindow::StartTimer(std::uint32_t periodMs, std::function<void()> onTick) {
  timer_.Start(NowNanoseconds(), periodMs, std::move(onTick));
  pumpsSinceCheck_ = 0;
}

void TerminalWindow::StopTimer() { timer_.Stop(); }

void TerminalWindow::ShowStatus(std::string_view text) {
  bar_.End();
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  // Whoever watches the output - a person or a script - sees each step as it starts.
  std::fflush(stdout);
}

void TerminalWindow::ShowProgress(std::int32_t done, std::int32_t total) {
  if (!settings_.stderrIsTerminal) return;
  const std::int64_t percent = total <= 0 ? 100 : std::int64_t{done} * 100 / total;
  bar_.Show(static_cast<std::int32_t>(percent), NowNanoseconds() / 1'000'000);
}

void TerminalWindow::ShowMessageBox(std::string_view text) {
  bar_.End();
  std::fflush(stdout);
  lastMessage_ = text;
  std::string line(text);
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

void TerminalWindow::Beep() {
  if (!settings_.stderrIsTerminal) return;
  std::fputc('\a', stderr);
  std::fflush(stderr);
}

}  // namespace vql
