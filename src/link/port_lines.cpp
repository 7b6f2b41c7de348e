// Port selection, single lines through the engine, and the program-mode and run-mode
// lines.
#include <cstdio>
#include <string>
#include <utility>

#include "link/programmer_link.h"

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
  return lpt == 1 ? "LPT1 : " + Hex(Lpt1Base) : "LPT2 : " + Hex(Lpt2Base);
}

void ProgrammerLink::SelectPort(std::int32_t lpt, std::int32_t base) {
  // The port left behind is given back (its device released, for the printer driver
  // or another program), unless both entries name the same port.
  if (selected_ && dataPort_ != base && UsableAddress(dataPort_)) {
    port_.DetachPort(Address(dataPort_));
  }
  selected_ = true;
  dataPort_ = base;
  bitBang_.SetDataPort(Address(base));
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

SerialEngine* ProgrammerLink::ReadyEngine() {
  if (!PortUsable()) return nullptr;
  engine_->SetSckHalfPeriodUs(SckHalfPeriodUs);
  return engine_;
}

bool ProgrammerLink::EngineFailed() {
  std::string why = engine_->Failure();
  if (why.empty()) return false;
  // From now on the port is refused like one that could not be attached.
  if (portProblem_.empty()) {
    portProblem_ = std::move(why);
    window_.ShowMessageBox(portProblem_);
  }
  return true;
}

bool ProgrammerLink::SetLine(Line line, bool high) {
  SerialEngine* engine = ReadyEngine();
  if (engine == nullptr) return false;
  engine->SetLine(line, high);
  return !EngineFailed();
}

void ProgrammerLink::PulseRstLow() {
  if (SerialEngine* engine = ReadyEngine()) {
    engine->PulseRstLow();
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
