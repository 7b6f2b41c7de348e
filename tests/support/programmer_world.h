// A whole programmer over the simulated cable with a simulated chip (or any other
// target) behind it, every port access traced into memory, on the virtual clock.
// The port is LPT1 at 0378, the lines are in program mode, and the delays are not
// calibrated (PollDelay 0), so tests of whole chips run in a fraction of a second.
#pragma once

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "commands/programmer.h"
#include "devices/device_table.h"
#include "sim/sim_chip.h"
#include "sim/sim_ftdi.h"
#include "support/cable_bench.h"

namespace vql::testing {

class ProgrammerWorld : public CableBench {
 public:
  static constexpr std::uint8_t kFourByteEnable[] = {0xAC, 0x53, 0x55, 0x55};

  // device: the device chosen in the program; simOptions: what sits behind the
  // cable. Whole-chip tests switch the trace off: it grows by megabytes per pass.
  explicit ProgrammerWorld(std::string_view device, std::string_view simOptions = "",
                           bool traced = true, std::uint64_t pumpStepNs = 100'000)
      : CableBench(simOptions, VirtualWindow::Settings{pumpStepNs, 0}, traced),
        usb(MakeAdapter(simOptions)),
        app(std::make_unique<Programmer>(port, window, window)) {
    // With adapter= in the options the chip sits behind a simulated USB cable, which
    // start-up selects instead of LPT1.
    if (usb != nullptr) app->Link.AttachAdapter(*usb);
    SetUpPorts(app->Link);
    app->Cmd.SetOperatingMode(true);
    app->Selection.Select(DeviceIndexOf(device));
    app->Controls.AutoReloadFile = false;  // tests of the reload rule turn it on
    window.statuses.clear();
    ClearTrace();
  }

  // A world whose chip is the device chosen in the program.
  static std::string ChipOptions(std::string_view device, std::string_view more = "") {
    std::string options = "target=" + std::string(device);
    if (!more.empty()) options += "," + std::string(more);
    return options;
  }

  // The chip behind the cable in use (nullptr when there is none).
  SimChip* ChipIfAny() { return usb != nullptr ? usb->TargetAs<SimChip>() : sim->TargetAs<SimChip>(); }
  SimChip& Chip() { return *ChipIfAny(); }
  DeviceOps& Ops() { return app->Ops; }
  CodeImage& Image() { return app->Image.Image; }

  DecodedTrace Decode() const { return DecodeFor(kLpt1); }

  // The bytes clocked to the target since the last ClearTrace, cut into
  // instructions of the given length (3 or 4), each as spaced hex: "40 2A BC 5A".
  // A chip counts its frames from the rise of RST, and so does the cut. The read of
  // address 0 that comes before every enable, to keep a chip of the other set out of
  // programming, is left out (the cross-set tests look at it). A three-byte
  // operation opens with one four-byte enable and the four-byte signature reads
  // that look for a chip of the other set: that session is cut in fours.
  struct TimedInstruction {
    std::string text;
    std::uint64_t firstUs;  // SCK's first rise in it
    std::uint64_t lastUs;   // SCK's last fall in it
  };
  std::vector<TimedInstruction> TimedInstructions(std::size_t length) const {
    const DecodedTrace decoded = Decode();
    std::vector<std::uint64_t> rises;
    for (const LineChange& change : decoded.changes) {
      if (change.line == "RST" && change.level) rises.push_back(change.us);
    }
    std::vector<TimedInstruction> out;
    std::size_t next = 0;
    while (next < decoded.bytes.size()) {
      // The bytes of one session: up to the next rise of RST.
      const auto rise = std::upper_bound(rises.begin(), rises.end(), decoded.bytes[next].firstUs);
      std::vector<ClockedByte> session;
      for (; next < decoded.bytes.size() &&
             (rise == rises.end() || decoded.bytes[next].firstUs < *rise);
           ++next) {
        session.push_back(decoded.bytes[next]);
      }
      std::size_t at = 0;
      const auto startsWith = [&](std::initializer_list<std::uint8_t> bytes) {
        return session.size() >= at + bytes.size() &&
               std::equal(bytes.begin(), bytes.end(), session.begin() + static_cast<std::ptrdiff_t>(at),
                          [](std::uint8_t b, const ClockedByte& c) { return b == c.mosi; });
      };
      std::size_t cut = length;
      if (startsWith({0x20, 0x00, 0x00, 0x00, 0xAC, 0x53})) {
        at = 4;
        cut = 4;
      } else if (startsWith({0x01, 0x00, 0x00, 0xAC, 0x53})) {
        at = 3;
        cut = 3;
      } else if (startsWith({0xAC, 0x53, 0x55, 0x55})) {
        cut = 4;
      }
      for (; at + cut <= session.size(); at += cut) {
        std::string text;
        for (std::size_t j = 0; j < cut; ++j) {
          char hex[4];
          std::snprintf(hex, sizeof hex, j == 0 ? "%02X" : " %02X", session[at + j].mosi);
          text += hex;
        }
        out.push_back({text, session[at].firstUs, session[at + cut - 1].lastUs});
      }
    }
    return out;
  }
  std::vector<std::string> Instructions(std::size_t length) const {
    std::vector<std::string> texts;
    for (TimedInstruction& instruction : TimedInstructions(length)) {
      texts.push_back(std::move(instruction.text));
    }
    return texts;
  }

  // How many of the instructions begin with prefix.
  static std::size_t Count(const std::vector<std::string>& instructions, std::string_view prefix) {
    return static_cast<std::size_t>(std::count_if(
        instructions.begin(), instructions.end(),
        [&](const std::string& i) { return i.starts_with(prefix); }));
  }

  // Puts byte at address of the image as two digits.
  void SetImageByte(std::int32_t address, std::uint8_t byte) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    Image().HighDigits[static_cast<std::size_t>(address)] = kDigits[byte >> 4];
    Image().LowDigits[static_cast<std::size_t>(address)] = kDigits[byte & 0xF];
  }

  std::unique_ptr<SimulatedFtdi> usb;  // declared before app, which drives it
  std::unique_ptr<Programmer> app;

 private:
  std::unique_ptr<SimulatedFtdi> MakeAdapter(std::string_view simOptions) {
    SimOptions options = ParseSimOptions(simOptions);
    if (!options.adapter) return nullptr;
    return std::make_unique<SimulatedFtdi>(window, std::move(options));
  }
};

}  // namespace vql::testing
