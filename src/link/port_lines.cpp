// Port selection, single lines through the engine, and the program-mode and run-mode
// lines.
#include <cctype>
#include <cstdio>
#include <string>
#include <utility>

#include "link/programmer_link.h"

#include "link/ft232r_engine.h"
#include "link/mpsse_engine.h"

namespace vql {

namespace {

constexpr std::uint16_t Address(std::int32_t port) { return static_cast<std::uint16_t>(port); }

std::string Hex(std::int32_t value, const char* format = "%X") {
  char text[16];
  std::snprintf(text, sizeof text, format, static_cast<unsigned>(value));
  return text;
}

// Addresses 0 and 1 (and what does not fit in 16 bits) are never driven: a base there
// would put the status register at 1 or past FFFF.
constexpr bool UsableAddress(std::int32_t base) { return base >= 2 && base <= 0xFFFE; }

std::string InConfigFile(const std::string& path) {
  return path.empty() ? std::string("in the configuration file")
                      : "in the configuration file \"" + path + "\"";
}

}  // namespace

ProgrammerLink::ProgrammerLink(PortIo& port, WindowServices& window, MicrosecondClock& clock)
    : port_(port), window_(window), clock_(clock), bitBang_(port, clock, *this) {}

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
  if (lpt == kUsbPort) return "USB : " + (adapter_ != nullptr ? adapter_->Name() : std::string("none"));
  return lpt == 1 ? "LPT1 : " + Hex(Lpt1Base) : "LPT2 : " + Hex(Lpt2Base);
}

void ProgrammerLink::SelectPort(std::int32_t lpt, std::int32_t base) {
  // The port left behind is given back (its device released, for the printer driver
  // or another program), unless both entries name the same port.
  if (selected_ && engine_ == &bitBang_ && dataPort_ != base && UsableAddress(dataPort_)) {
    port_.DetachPort(Address(dataPort_));
  }
  selected_ = true;
  dataPort_ = base;
  bitBang_.SetDataPort(Address(base));
  engine_ = &bitBang_;
  const std::string name = lpt == 1 ? "LPT1" : "LPT2";
  if (base == 0) {
    portProblem_ = name + " has no port address: its base address is 0000 " +
                   InConfigFile(ConfigPath) +
                   ", or the file could not be read. Write the printer port's base address "
                   "there, for example [0378], and start the program again.";
  } else if (!UsableAddress(base)) {
    // A value with characters that are no hex digits reads below zero: its characters
    // are shown, as the configuration's warning shows them.
    const std::string& text = lpt == 1 ? Lpt1BaseText : Lpt2BaseText;
    const std::string shown = base >= 0     ? Hex(base, "%04X")
                              : text.empty() ? "-" + Hex(-base, "%04X")
                                             : "\"" + text + "\"";
    portProblem_ = name + " has the base address " + shown + " " +
                   InConfigFile(ConfigPath) +
                   ", which is no usable I/O address. Write four upper-case hexadecimal "
                   "digits there, for example [0378], and start the program again.";
  } else {
    try {
      port_.AttachPort(name, Address(base));
      portProblem_ = port_.Failure();  // a port attached before may have failed since
    } catch (const PortError& error) {
      portProblem_ = error.what();
    }
  }
  if (!portProblem_.empty()) window_.ShowMessageBox(portProblem_);
}

void ProgrammerLink::SelectStartupPort() {
  if (adapter_ != nullptr) {
    SelectAdapter();
  } else {
    SelectPort(1, Lpt1Base);
  }
}

void ProgrammerLink::ChooseLpt(std::int32_t lpt) {
  const std::int32_t chosen = lpt == 2 ? 2 : lpt == kUsbPort && adapter_ != nullptr ? kUsbPort : 1;
  if (selected_ && selectedLpt_ == chosen) return;  // the entry already selected: nothing changes
  selectedLpt_ = chosen;
  if (chosen == kUsbPort) {
    SelectAdapter();
  } else {
    SelectPort(chosen, chosen == 2 ? Lpt2Base : Lpt1Base);
  }
}

void ProgrammerLink::SelectAdapter() {
  if (selected_ && engine_ == &bitBang_ && UsableAddress(dataPort_)) {
    port_.DetachPort(Address(dataPort_));
  }
  selected_ = true;
  selectedLpt_ = kUsbPort;
  portProblem_.clear();
  if (adapterEngine_ == nullptr) {
    if (adapter_->Chip() == FtdiChip::FT232R) {
      adapterEngine_ = std::make_unique<Ft232rEngine>(*adapter_, clock_);
    } else {
      adapterEngine_ = std::make_unique<MpsseEngine>(*adapter_, clock_);
    }
    adapterEngine_->SetSckHalfPeriodUs(SckHalfPeriodUs);
    adapterEngine_->Start();
  }
  engine_ = adapterEngine_.get();
  portProblem_ = engine_->Failure();
  if (!portProblem_.empty()) window_.ShowMessageBox(portProblem_);
}

std::string ProgrammerLink::PortName() const {
  if (selectedLpt_ == kUsbPort && adapter_ != nullptr) return "the USB adapter " + adapter_->Name();
  char text[32];
  std::snprintf(text, sizeof text, "LPT%d (%04X)", selectedLpt_, static_cast<unsigned>(dataPort_));
  return text;
}

std::optional<std::string> ProgrammerLink::SimulatedTarget() const {
  if (selectedLpt_ == kUsbPort && adapter_ != nullptr) return adapter_->SimulatedTarget();
  return port_.SimulatedTarget();
}

bool ProgrammerLink::TargetsEnded() const {
  if (selectedLpt_ == kUsbPort && adapter_ != nullptr) return adapter_->TargetsEnded();
  return port_.TargetsEnded();
}

bool ProgrammerLink::CheckPort() {
  if (PortUsable()) return true;
  window_.ShowMessageBox(PortProblem());
  return false;
}

SerialEngine* ProgrammerLink::ReadyEngine() {
  if (!PortUsable()) return nullptr;
  engine_->SetSckHalfPeriodUs(SckHalfPeriodUs);
  engine_->SetSpiMode(ChipSpiMode);
  return engine_;
}

bool ProgrammerLink::EngineFailed() {
  if (!engine_->Failed()) return false;
  std::string why = engine_->Failure();
  // From now on the port is refused like one that could not be attached.
  if (portProblem_.empty()) {
    portProblem_ = std::move(why);
    // A cable that went away mid-command has cut off whatever the chip was told.
    if (engine_ != &bitBang_) {
      portProblem_[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(portProblem_[0])));
      if (portProblem_.back() != '.') portProblem_ += '.';
      portProblem_ += " The chip is in an unknown state: what was under way was cut off. "
                      "Connect the adapter again, start the program again and repeat the "
                      "command.";
    }
    window_.ShowMessageBox(portProblem_);
  }
  return true;
}

bool ProgrammerLink::SetLine(Line line, bool high) {
  SerialEngine* engine = ReadyEngine();
  if (engine == nullptr) return false;
  engine->SetLine(line, high);
  lineHigh_[static_cast<std::size_t>(line)] = high;
  if (line == Line::Rst) {
    if (high && !rstHigh_) sinceRstRise_ = 0;
    rstHigh_ = high;
  }
  return !EngineFailed();
}

void ProgrammerLink::PulseRstLow() {
  if (SerialEngine* engine = ReadyEngine()) {
    engine->PulseRstLow();
    sinceRstRise_ = 0;
    rstHigh_ = true;
    EngineFailed();
  }
}

bool ProgrammerLink::ReadMiso() {
  SerialEngine* engine = ReadyEngine();
  bool high = false;
  if (engine == nullptr || !engine->ReadMiso(high)) {
    if (engine != nullptr) EngineFailed();
    return false;
  }
  return high;
}

bool ProgrammerLink::TargetPowered() {
  SerialEngine* engine = ReadyEngine();
  bool high = false;
  if (engine == nullptr || !engine->ReadSense(high)) {
    if (engine != nullptr) EngineFailed();
    return false;
  }
  return high;
}

void ProgrammerLink::HoldTargetInProgramMode() {
  if (!CheckPort()) return;
  SetLine(Line::Rst, true);
  SetLine(Line::Mode7, false);
  SetLine(Line::Mode3, false);
}

void ProgrammerLink::ReleaseTargetToRun() {
  if (!CheckPort()) return;
  SetLine(Line::Rst, false);
  SetLine(Line::Mode7, true);
  SetLine(Line::Mode3, true);
}

}  // namespace vql
