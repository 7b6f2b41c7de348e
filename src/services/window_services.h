// What the core asks of the window it runs in.
//
// The core never talks to a toolkit: the Qt window, the terminal front end and the
// tests each implement this interface. Everything here is called on the one thread
// that runs the program.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vql {

struct CodeImage;

class WindowServices {
 public:
  virtual ~WindowServices() = default;

  // The millisecond tick: unsigned 32 bits, wrapping to 0 after 2^32 ms.
  virtual std::uint32_t GetTickCount() = 0;

  // Lets the window handle what is pending (input, painting, timer ticks) and
  // returns; never blocks when nothing is pending. Called twice per clocked bit, so
  // it must be cheap when there is nothing to do.
  virtual void PumpMessages() = 0;

  // Sleeps until something is pending for the window (input, a stop request, a
  // timer tick that falls due) or maxMicroseconds have passed, then returns; it may
  // return earlier, so callers look at the tick and loop. It handles nothing itself:
  // what is pending is left to the next PumpMessages. Waits call it so that they
  // sleep instead of pumping all the time.
  virtual void WaitForEvents(std::uint32_t maxMicroseconds) = 0;

  // The periodic timer: onTick runs once per period, and only from inside
  // PumpMessages. Starting a running timer restarts its period from this moment.
  virtual void StartTimer(std::uint32_t periodMs, std::function<void()> onTick) = 0;
  virtual void StopTimer() = 0;

  // Replaces the text of the status box.
  virtual void ShowStatus(std::string_view text) = 0;

  // The progress bar: done x 100 div total percent, or 100 when total is 0 or less.
  virtual void ShowProgress(std::int32_t done, std::int32_t total) = 0;

  // A modal box with the text and an OK button: a warning, or why something failed.
  virtual void ShowMessageBox(std::string_view text) = 0;

  // The same for a box that tells rather than warns: a test that passed, a setting
  // that was found. Where the front end draws no difference, it is any other box.
  virtual void ShowNotice(std::string_view text) { ShowMessageBox(text); }

  // Where this front end sets the serial clock's half period to halfUs, for a box that
  // suggests it; by default the terminal's option.
  virtual std::string SckHalfPeriodAdvice(std::int32_t halfUs) const {
    return "Give --sck-half-us " + std::to_string(halfUs) + " to start at it next time.";
  }

  // A short sound: the loaded code does not fit the device.
  virtual void Beep() = 0;

  // The file-open dialog for HEX files (filter "Hex File Format|*.hex|All Files|*.*").
  // Returns the chosen full path, or nothing when the operator cancels.
  virtual std::optional<std::string> ChooseHexFile() = 0;

  // The file name box: the full path of the file last opened through the dialog.
  virtual void ShowFileName(std::string_view path) = 0;

  // The core changed state that the window's controls show: the lock boxes or the
  // x2 Clock box after a read of the chip, the enabling of the command controls, the
  // mode ticks, the device or the port, or whether a command runs. The window reads
  // that state again from the programmer; the terminal and the tests need nothing.
  virtual void ControlsChanged() {}

  // The grid: shows the image as it stands now. The window keeps its own copy, so a
  // later change of the image is not seen until the next call.
  virtual void ShowImage(const CodeImage& image) = 0;
};

}  // namespace vql
