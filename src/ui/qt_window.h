// The window services on Qt: the tick, the message pump, the sleeping wait, the
// calibration timer, message boxes, the beep, and the hand-off of status texts,
// progress, the file name, the grid and control changes to the main window.
//
// It is also the program's clock, for the window services and the simulated port
// alike (a PumpClock): the real passing of time, or - when the simulated programmer
// asks for clock=virtual - virtual time that moves on with every pump and by the
// whole limit of every wait, so that waits cost no real time.
//
// The pump runs twice per clocked bit, so it is cheap when there is nothing to do:
// on the real clock it reads the steady clock only every so many calls and lets Qt
// handle events only when a few hundred microseconds have passed; on the virtual
// clock it handles events every so many pumps. Timer ticks come only from the pump.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "portio/port_io.h"
#include "services/pump_clock.h"
#include "services/window_services.h"

namespace vql::ui {

// The application title: the caption of every message box.
inline constexpr char kApplicationTitle[] = "VQL-ISP V2.3";

// What the main window shows on behalf of the window services.
class WindowView {
 public:
  virtual ~WindowView() = default;
  virtual void ViewStatus(const QString& text) = 0;        // edtStatus
  virtual void ViewProgress(int percent) = 0;              // ProgressBar1
  virtual void ViewFileName(const QString& path) = 0;      // edtFileName
  virtual void ViewImage(const CodeImage& image) = 0;      // StringGrid1
  virtual void ViewControlsChanged() = 0;                  // re-read the programmer
  virtual std::optional<QString> ViewChooseHexFile() = 0;  // OpenDialog1, full path
  virtual std::optional<QString> ViewChooseJobFile() = 0;  // JobDialog1, full path
};

class QtWindow final : public WindowServices, public MicrosecondClock {
 public:
  explicit QtWindow(bool virtualClock);
  QtWindow(const QtWindow&) = delete;
  QtWindow& operator=(const QtWindow&) = delete;

  // The window that shows what the core hands over; nullptr detaches it. Until one
  // is attached, status texts and the like go nowhere.
  void AttachView(WindowView* view) { view_ = view; }

  bool VirtualClock() const { return clock_.VirtualClock(); }

  // Instead of a modal box: every message box text goes to the hook (tests).
  void SetMessageBoxHook(std::function<void(const std::string& text)> hook) {
    messageBoxHook_ = std::move(hook);
  }
  // Instead of OpenDialog1 and JobDialog1: the hook answers every file dialog (tests).
  void SetFileDialogHook(std::function<std::optional<std::string>()> hook) {
    fileDialogHook_ = std::move(hook);
  }
  // The next file dialog is answered with path without being shown: a file named
  // on the command line or dropped on the window is loaded as Load would load it.
  void AnswerNextFileDialog(std::string path) { nextAnswer_ = std::move(path); }

  // How many message boxes have been shown so far.
  std::uint64_t MessageBoxesShown() const { return messageBoxes_; }

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
  // With the warning icon; ShowNotice's boxes with the information icon.
  void ShowMessageBox(std::string_view text) override;
  void ShowNotice(std::string_view text) override;
  std::string SckHalfPeriodAdvice(std::int32_t halfUs) const override;
  void Beep() override;
  std::optional<std::string> ChooseHexFile() override;
  // The file-open dialog for production jobs, answered as the HEX dialog is.
  std::optional<std::string> ChooseJobFile();
  void ShowFileName(std::string_view path) override;
  void ControlsChanged() override;
  void ShowImage(const CodeImage& image) override;

  // --- MicrosecondClock.
  std::uint64_t NowMicroseconds() override { return NowNanoseconds() / 1000; }
  std::uint64_t NowNanoseconds() override { return clock_.NowNanoseconds(); }
  // Virtual time jumps there; the real clock spins.
  void WaitUntil(std::uint64_t us) override { WaitUntilNanoseconds(us * 1000); }
  void WaitUntilNanoseconds(std::uint64_t ns) override { clock_.WaitUntilNanoseconds(ns); }

 private:
  // A modal box with the icon (a QMessageBox::Icon) and the text, or the hook's turn.
  void ShowBox(int icon, std::string_view text);
  // A file dialog's answer: the next answer, the hook's, or the view's dialog (ask).
  std::optional<std::string> ChooseFile(std::optional<QString> (WindowView::*ask)());
  // Lets Qt handle what is pending: input, painting, timers of its own.
  void HandleEvents();
  // The next pump reads the clock and handles events, whatever the counts say.
  void HandleEventsAtNextPump();

  // Every check of the clock handles events: on the real clock only when enough
  // time has passed since the last time.
  PumpClock clock_;
  std::uint64_t lastEventsNs_ = 0;  // when Qt last handled events (real clock)
  WindowView* view_ = nullptr;
  std::uint64_t messageBoxes_ = 0;
  std::function<void(const std::string&)> messageBoxHook_;
  std::function<std::optional<std::string>()> fileDialogHook_;
  std::optional<std::string> nextAnswer_;
};

}  // namespace vql::ui
