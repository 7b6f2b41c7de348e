#include "cli/terminal_window.h"

#include <cstdio>
#include <utility>

#include "cli/std_streams.h"
#include "cli/stop_signals.h"

namespace vql {

namespace {

// The pump runs twice per clocked bit, so it reads the real clock only every so
// many calls; at a few nanoseconds a call the timer is still late by well under a
// microsecond.
constexpr std::uint32_t kPumpsPerClockCheck = 256;

// A stop signal, or output that can no longer be written: the command stops at its
// next address, and the program releases the target on its way out.
bool StopDue() { return StopSignals::Received() || std_streams::Failed(); }

}  // namespace

TerminalWindow::TerminalWindow(Settings settings)
    : settings_(std::move(settings)),
      clock_(settings_.virtualClock, kPumpsPerClockCheck),
      bar_(stderr) {}

void TerminalWindow::PumpMessages() {
  if (requestStop_ && StopDue()) requestStop_();
  // The terminal has no events of its own: on the real clock only the timer needs
  // the clock read, so while it stands still a pump does nothing, not even count.
  if (!clock_.VirtualClock() && !clock_.TimerRunning()) return;
  clock_.Pump();
}

void TerminalWindow::WaitForEvents(std::uint32_t maxMicroseconds) {
  // A stop signal is work for the next pump, which turns it into a stop request.
  if (requestStop_ && StopDue()) return;
  // A signal ends the sleep (it is not resumed, whatever SA_RESTART says), so a
  // Ctrl-C is seen by the next pump instead of after the whole limit. A signal that
  // lands just before the sleep is seen after it.
  clock_.WaitForEvents(maxMicroseconds, PumpClock::Sleep);
}

void TerminalWindow::ShowStatus(std::string_view text) {
  if (settings_.quiet) return;
  if (text.ends_with("...")) {
    ReleaseHeld();
    WriteStatus(text);
  } else {
    held_.emplace_back(text);
  }
}

void TerminalWindow::EndCommand(std::string_view failed) {
  if (settings_.quiet) return;
  if (failed.empty()) {
    ReleaseHeld();
    return;
  }
  held_.clear();
  WriteStatus(failed);
}

void TerminalWindow::ReleaseHeld() {
  const std::vector<std::string> texts = std::exchange(held_, {});
  for (const std::string& text : texts) WriteStatus(text);
}

void TerminalWindow::WriteStatus(std::string_view text) {
  bar_.End();
  std::FILE* out = settings_.statusToStderr ? stderr : stdout;
  std::fwrite(text.data(), 1, text.size(), out);
  std::fputc('\n', out);
  // Whoever watches the output - a person or a script - sees each step as it starts.
  std::fflush(out);
  std_streams::Check();
}

void TerminalWindow::ShowProgress(std::int32_t done, std::int32_t total) {
  if (!settings_.stderrIsTerminal || settings_.quiet) return;
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
  std_streams::Check();
}

void TerminalWindow::ShowNotice(std::string_view text) {
  if (!settings_.quiet) ShowMessageBox(text);
}

void TerminalWindow::Beep() {
  if (!settings_.stderrIsTerminal) return;
  std::fputc('\a', stderr);
  std::fflush(stderr);
}

}  // namespace vql
