// The terminal as the program's window: status texts on standard output, one per
// line; message boxes as lines on standard error; a progress bar and the beep on
// standard error when it is a terminal. The file dialog answers with the file given
// on the command line.
//
// It is also the program's clock, for the window services and the port alike (a
// PumpClock): the real passing of time, or - when the simulated programmer asks for
// it - virtual time that moves on with every message pump and by the whole limit of
// every wait for events, so that waits cost no real time. On the real clock a wait
// for events sleeps.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/progress_bar.h"
#include "portio/port_io.h"
#include "services/pump_clock.h"
#include "services/window_services.h"

namespace vql {

class TerminalWindow final : public WindowServices, public MicrosecondClock {
 public:
  struct Settings {
    bool virtualClock = false;
    bool stderrIsTerminal = false;       // progress bar and beep only then
    std::optional<std::string> hexFile;  // what the file dialog answers; nothing = Cancel
    // Standard output carries the command's data (read -o -): the status texts go to
    // standard error instead.
    bool statusToStderr = false;
    bool quiet = false;  // -q: no status texts, notices or progress; errors only
  };

  explicit TerminalWindow(Settings settings);

  // Once a stop signal has arrived, every pump from now on calls requestStop.
  void ForwardStopTo(std::function<void()> requestStop) { requestStop_ = std::move(requestStop); }

  // The text of the last message box, empty before the first.
  const std::string& LastMessage() const { return lastMessage_; }
  // A command has ended: the status text held back is shown, or failed in its place
  // when it is given (the command failed and that text could read as success).
  void EndCommand(std::string_view failed);

  // --- WindowServices.
  std::uint32_t GetTickCount() override { return clock_.TickMs(); }
  void PumpMessages() override;
  void WaitForEvents(std::uint32_t maxMicroseconds) override;
  void StartTimer(std::uint32_t periodMs, std::function<void()> onTick) override {
    clock_.StartTimer(periodMs, std::move(onTick));
  }
  void StopTimer() override { clock_.StopTimer(); }
  void ShowStatus(std::string_view text) override;
  void ShowProgress(std::int32_t done, std::int32_t total) override;
  void ShowMessageBox(std::string_view text) override;
  void ShowNotice(std::string_view text) override;
  void Beep() override;
  std::optional<std::string> ChooseHexFile() override { return settings_.hexFile; }
  void ShowFileName(std::string_view) override {}
  void ShowImage(const CodeImage&) override {}

  // --- MicrosecondClock.
  std::uint64_t NowMicroseconds() override { return NowNanoseconds() / 1000; }
  std::uint64_t NowNanoseconds() override { return clock_.NowNanoseconds(); }
  // Virtual time jumps there; the real clock spins.
  void WaitUntil(std::uint64_t us) override { WaitUntilNanoseconds(us * 1000); }
  void WaitUntilNanoseconds(std::uint64_t ns) override { clock_.WaitUntilNanoseconds(ns); }

 private:
  Settings settings_;
  PumpClock clock_;  // on the real clock, a check reads it: only while the timer runs
  // Writes a status line. Results (texts that are no progress text, which ends in
  // "...") are held back until the next progress text or the command's end, which
  // puts a failure in their place: after a failure no text of success is left.
  void WriteStatus(std::string_view text);
  void ReleaseHeld();

  std::function<void()> requestStop_;
  std::string lastMessage_;
  std::vector<std::string> held_;
  ProgressBar bar_;
};

}  // namespace vql
