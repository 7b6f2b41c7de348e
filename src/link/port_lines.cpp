// Port selection, single-line access, delays, modes and the loop test.
#include <algorithm>
#include <cstdio>
#include <string>

#include "link/programmer_link.h"

namespace vql {

namespace {

constexpr std::uint16_t Address(std::int32_t port) { return static_cast<std::uint16_t>(port); }
constexpr std::uint16_t Mask(std::int32_t bit) { return static_cast<std::uint16_t>(1u << bit); }

std::string Hex(std::int32_t value, const char* format = "%X") {
  char text[16];
  std::snprintf(text, sizeof text, format, static_cast<unsigned>(value));
  return text;
}

std::string InConfigFile(const std::string& path) {
  return path.empty() ? std::string("in the configuration file")
                      : "in the configuration file \"" + path + "\"";
}

// How long a wait that still needs ticksToGo (1 or more) ticks of the window can
// sleep before it pumps and looks at the tick again.
std::uint32_t SleepBeforeNextPump(std::int64_t ticksToGo) {
  // The tick counts whole milliseconds and the current one began up to 1 ms ago, so
  // the last tick of the wait comes more than ticksToGo - 1 ms from now. Sleeping
  // that long, less a margin for a late wake-up, does not overshoot it.
  constexpr std::int64_t kWakeMarginUs = 250;
  // Within the last millisecond the tick may move at any moment: short sleeps watch
  // for it, so the wait ends about one of them (plus the wake-up) after the tick
  // instead of spinning through the millisecond. The next transfer takes up that
  // lateness, as it starts within the same tick.
  constexpr std::int64_t kLastMillisecondSleepUs = 100;
  // A wait of days sleeps a second at a time, so the limit never overflows.
  constexpr std::int64_t kLongestSleepUs = 1'000'000;
  const std::int64_t us = (ticksToGo - 1) * 1000 - kWakeMarginUs;
  return static_cast<std::uint32_t>(std::clamp(us, kLastMillisecondSleepUs, kLongestSleepUs));
}

}  // namespace

ProgrammerLink::ProgrammerLink(PortIo& port, WindowServices& window)
    : port_(port), window_(window) {}

std::string ProgrammerLink::PortProblem() const {
  if (selected_) return portProblem_;
  // Start-up stopped before it selected a port: the configuration was not read.
  if (ConfigPath.empty() && !ConfigPlaces.empty()) {
    std::string places;
    for (const std::string& place : ConfigPlaces) {
      places += (places.empty() ? "\"" : ", \"") + place + "\"";
    }
    return "The printer port is not configured: the port addresses come from the "
           "configuration file, which is in none of the places where it is looked for (" +
           places + "). Put it in one of them and start the program again.";
  }
  return "The printer port is not configured: the port addresses come from " +
         (ConfigPath.empty() ? std::string("the configuration file")
                             : "the configuration file \"" + ConfigPath + "\"") +
         ", which could not be read. Put the file there and start the program again.";
}

std::string ProgrammerLink::PortCaption(std::int32_t lpt) const {
  return lpt == 1 ? "LPT1 : " + Hex(Lpt1Base) : "LPT2 : " + Hex(Lpt2Base);
}

void ProgrammerLink::SelectPort(std::int32_t lpt, std::int32_t base) {
  selected_ = true;
  dataPort_ = base;
  const std::string name = lpt == 1 ? "LPT1" : "LPT2";
  if (base == 0) {
    portProblem_ = name + " has no port address: its base address is 0000 " +
                   InConfigFile(ConfigPath) +
                   ", or the file could not be read. Write the printer port's base address "
                   "there, for example [0378], and start the program again.";
  } else if (base < 2 || base > 0xFFFE) {
    portProblem_ = name + " has the base address " + Hex(base, "%04X") + " " +
                   InConfigFile(ConfigPath) +
                   ", which is no usable I/O address. Write four upper-case hexadecimal "
                   "digits there, for example [0378], and start the program again.";
  } else {
    try {
      port_.AttachPort(name, Address(base));
      portProblem_.clear();
    } catch (const PortError& error) {
      portProblem_ = error.what();
    }
  }
  if (!portProblem_.empty()) window_.ShowMessageBox(portProblem_);
}

void ProgrammerLink::SelectStartupPort() { SelectPort(1, Lpt1Base); }

void ProgrammerLink::ChooseLpt(std::int32_t lpt) {
  const std::int32_t chosen = lpt == 2 ? 2 : 1;
  if (selected_ && selectedLpt_ == chosen) return;  // the entry already selected: nothing changes
  selectedLpt_ = chosen;
  SelectPort(chosen, chosen == 2 ? Lpt2Base : Lpt1Base);
}

bool ProgrammerLink::CheckPort() {
  if (PortUsable()) return true;
  window_.ShowMessageBox(PortProblem());
  return false;
}

bool ProgrammerLink::ReadStatusBit(std::int32_t port, std::int32_t bit) {
  if (!PortUsable()) return false;
  return (port_.Inport(Address(port)) & Mask(bit)) != 0;
}

void ProgrammerLink::ChangeDataBit(std::int32_t port, std::int32_t bit, bool set) {
  if (!PortUsable()) return;
  const std::uint16_t value = port_.Inport(Address(port));
  port_.Outport(Address(port), set ? static_cast<std::uint16_t>(value | Mask(bit))
                                   : static_cast<std::uint16_t>(value & ~Mask(bit)));
  SpinDelay(5);
}

void ProgrammerLink::SetDataBit(std::int32_t port, std::int32_t bit) {
  ChangeDataBit(port, bit, true);
}

void ProgrammerLink::ClearDataBit(std::int32_t port, std::int32_t bit) {
  ChangeDataBit(port, bit, false);
}

void ProgrammerLink::SpinDelay(std::int32_t count) const {
  // The counter is volatile so that the optimiser can neither drop nor shorten the loop.
  for (std::int32_t step = 0; step < count; ++step) {
    volatile std::int64_t i = 0;
    while (i <= LoopCalibration) {
      i = i + 1;
    }
  }
}

void ProgrammerLink::WaitMilliseconds(std::int32_t ms) {
  const bool never = false;
  WaitMilliseconds(ms, never);
}

// Between pumps the wait sleeps in the window's WaitForEvents, which returns early
// when something is pending, so handlers run as soon as they have work and a stop
// is seen after the wake-up. A wait that is already over after its first pump (0 ms
// or less) never sleeps: the poll pauses are counted in such one-pump waits.
void ProgrammerLink::WaitMilliseconds(std::int32_t ms, const bool& stop) {
  const std::uint32_t start = window_.GetTickCount();
  for (;;) {
    window_.PumpMessages();
    if (stop) return;
    // Unsigned difference: a wrap of the tick between the readings changes nothing.
    const std::uint32_t elapsed = window_.GetTickCount() - start;
    if (std::int64_t{elapsed} >= std::int64_t{ms}) return;
    window_.WaitForEvents(SleepBeforeNextPump(std::int64_t{ms} - elapsed));
  }
}

void ProgrammerLink::HoldTargetInProgramMode() {
  if (!CheckPort()) return;
  SetDataBit(dataPort_, kRstBit);
  ClearDataBit(dataPort_, kMode7Bit);
  ClearDataBit(dataPort_, kMode3Bit);
}

void ProgrammerLink::ReleaseTargetToRun() {
  if (!CheckPort()) return;
  ClearDataBit(dataPort_, kRstBit);
  SetDataBit(dataPort_, kMode7Bit);
  SetDataBit(dataPort_, kMode3Bit);
}

void ProgrammerLink::CalibrateDelayLoop() {
  LoopCalibration = 0;
  window_.StartTimer(100, [this] { CountCalibrationTick(); });
  while (LoopCalibration == 0) window_.PumpMessages();  // start the count on a tick
  window_.StartTimer(500, [this] { CountCalibrationTick(); });
  std::int64_t passes = 0;
  while (LoopCalibration == 1) {
    ++passes;
    window_.PumpMessages();
  }
  window_.StopTimer();
  LoopCalibration = static_cast<std::int32_t>(passes / 500000);
  PollDelay = static_cast<std::int32_t>(std::int64_t{LoopCalibration} * DelayScale / 1000);
}

bool ProgrammerLink::RunLoopTest() {
  if (!CheckPort()) return false;
  std::int32_t failedCycle = 0;
  for (std::int32_t cycle = 1; cycle <= 10 && failedCycle == 0; ++cycle) {
    SetDataBit(dataPort_, kSckBit);
    if (!ReadStatusBit(StatusPort(), kMisoBit)) {
      failedCycle = cycle;
      break;
    }
    ClearDataBit(dataPort_, kSckBit);
    if (ReadStatusBit(StatusPort(), kMisoBit)) {
      failedCycle = cycle;
      break;
    }
    window_.PumpMessages();
  }
  window_.ShowMessageBox(failedCycle == 0 ? "Ok..."
                                          : "Error test loop : " + std::to_string(failedCycle));
  ClearDataBit(dataPort_, kSckBit);
  return failedCycle == 0;
}

}  // namespace vql
