// The programmer link: the printer-port cable as the rest of the program sees it.
//
// It owns the choice between LPT1 and LPT2, the program-mode and run-mode line
// states, the delays (a calibrated busy loop, waits on the window's tick that keep
// the window alive, and the polling count derived from the calibration), the cable
// loop test, and the exchange of whole instructions with the target, with SCK's half
// period held above a floor that the operator sets in microseconds. The lines
// themselves are driven by a serial engine (serial_engine.h): on the printer port,
// the bit-bang engine.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "image/hex_digits.h"
#include "link/bit_bang_engine.h"
#include "link/ftdi_engine.h"
#include "link/serial_engine.h"
#include "portio/cable_pins.h"
#include "portio/port_io.h"
#include "services/window_services.h"

namespace vql {

// Eight bit flags, b7 first.
using ByteFlags = std::array<BitFlag, 8>;

class ProgrammerLink {
 public:
  // The clock times SCK's edges; front ends pass the one the port back end stamps
  // with, so that a simulated chip sees the same time.
  ProgrammerLink(PortIo& port, WindowServices& window, MicrosecondClock& clock);
  // The engine keeps a reference back to the link.
  ProgrammerLink(const ProgrammerLink&) = delete;
  ProgrammerLink& operator=(const ProgrammerLink&) = delete;

  // --- The serial clock's floor. Every SCK edge, and every MISO sample, comes at
  // least SckHalfPeriodUs after the previous SCK edge, by the clock's nanoseconds
  // from just after the write that made the edge, whatever the port and the pumps
  // cost; the SpinDelay and BitDelay waits come on top, and nothing rounds the
  // floor up to the next microsecond. A chip needs a half period of 8 crystal
  // periods (AT89S51/52 class) or 20 (AT89S8252 class); the default is twice the
  // AT89S8252 class's need at 12 MHz (1.67 us), rounded up.
  static constexpr std::int32_t kDefaultSckHalfPeriodUs = 4;
  std::int32_t SckHalfPeriodUs = kDefaultSckHalfPeriodUs;
  // What the operator may set: from 1 us up to 10 ms, far beyond any crystal's need.
  static constexpr std::int32_t kMinSckHalfPeriodUs = 1;
  static constexpr std::int32_t kMaxSckHalfPeriodUs = 10000;

  // --- From the configuration file (all 0 until start-up reads it).
  std::int32_t DelayScale = 0;
  std::int32_t BitDelay = 0;
  std::int32_t Lpt1Base = 0;
  std::int32_t Lpt2Base = 0;
  // The bases' characters as the file gives them, for a message about one that is no
  // number (empty: not known).
  std::string Lpt1BaseText;
  std::string Lpt2BaseText;
  std::string ConfigPath;  // the configuration file read, or tried; for messages
  std::vector<std::string> ConfigPlaces;  // where it was looked for, for messages

  // --- Port selection. DataPort is the selected port's data register, StatusPort
  // DataPort + 1. Selecting a port makes it ready in the port layer; a port that
  // cannot be used (address 0, out of range, or refused by the port layer) is
  // remembered with the reason, shown once, and every cable operation on it is
  // refused with that reason, so nothing is ever driven at I/O addresses 0 and 1.
  // A port whose back end fails during an access (PortIo::Failure) becomes unusable
  // in the same way, and the byte being sent counts as refused. The port left behind
  // when the selection moves to another address is detached in the port layer.
  std::int32_t DataPort() const { return dataPort_; }
  std::int32_t StatusPort() const { return dataPort_ + 1; }
  std::int32_t SelectedLpt() const { return selectedLpt_; }  // which menu item is ticked
  // The operator's choice of LPT1 (lpt 1), LPT2 (lpt 2) or the USB adapter (kUsbPort,
  // when one is attached; any other number is LPT1). Choosing the port already
  // chosen changes nothing and says nothing.
  void ChooseLpt(std::int32_t lpt);
  // Start-up: DataPort = Lpt1Base without changing the ticks, or the USB adapter when
  // one is attached; reports a problem with the port in a message box.
  void SelectStartupPort();
  // "LPT1 : 378", "USB : FT232H (simulated)": the menu captions.
  std::string PortCaption(std::int32_t lpt) const;

  // --- A USB adapter (FtdiIo) beside the printer ports. With one attached, start-up
  // selects it, as the port kUsbPort, and ChooseLpt(kUsbPort) comes back to it; its
  // engine is built and set up when it is first selected.
  static constexpr std::int32_t kUsbPort = 3;
  void AttachAdapter(FtdiIo& adapter) { adapter_ = &adapter; }
  bool HasAdapter() const { return adapter_ != nullptr; }
  // The port in use, for messages: "LPT1 (0378)" or "the USB adapter FT232H
  // (simulated)".
  std::string PortName() const;
  // What the simulated programmer has plugged in behind the port in use (a chip's
  // name, or "" for nothing); nothing for real hardware.
  std::optional<std::string> SimulatedTarget() const;
  // Whether a simulated line of boards behind the port in use is over.
  bool TargetsEnded() const;
  // How the chip that the operations serve times its bits (engines that cannot
  // serve both modes with one timing need it).
  SpiMode ChipSpiMode = SpiMode::Mode0;

  // True when the selected port can be driven; otherwise shows why in a message box.
  bool CheckPort();
  bool PortUsable() const { return selected_ && portProblem_.empty(); }
  std::string PortProblem() const;

  // --- Single lines, through the serial engine. Each does nothing when the port
  // cannot be used; a port that fails on the way becomes unusable (see above).
  bool SetLine(Line line, bool high);
  // A low pulse on RST of the selected port: RST cleared, then set again once at
  // least SckHalfPeriodUs has passed since the clearing write, so that even a port
  // that writes in a fraction of a microsecond holds it low for a few of the
  // target's machine cycles (a half period lasts 8 or 20 crystal periods).
  void PulseRstLow();
  // MISO as the target drives it (false when the port cannot be used or failed).
  bool ReadMiso();
  // SENSE, read in program mode: whether a powered target hangs on the cable (false
  // when the port cannot be used or failed).
  bool TargetPowered();

  // --- Delays.
  void SpinDelay(std::int32_t count) const;  // count x (LoopCalibration + 1) empty iterations
  // Pumps until the tick has moved ms, at least once; between pumps it sleeps in the
  // window's WaitForEvents instead of spinning. ms of 0 or less: one pump, no sleep.
  void WaitMilliseconds(std::int32_t ms);
  // The same, but ends early once *stop is true (checked after every pump).
  void WaitMilliseconds(std::int32_t ms, const bool& stop);
  void WaitScaled(std::int32_t n) { WaitMilliseconds(n / 20000); }
  // Pumps until at least us microseconds have passed on the clock that times the
  // edges, the clock a chip's write cycle runs on; the tick's whole milliseconds can
  // end up to one early. Ends early once *stop is true (checked after every pump).
  void WaitMicroseconds(std::int64_t us, const bool& stop);
  void WaitMicroseconds(std::int64_t us) {
    const bool never = false;
    WaitMicroseconds(us, never);
  }

  // --- Modes. Program mode: RST 1, MODE7 0, MODE3 0; run mode the reverse. Both
  // refuse (with the port's problem in a box) when the port cannot be used.
  void HoldTargetInProgramMode();
  void ReleaseTargetToRun();

  // --- Calibration, once at start-up: counts message-pump passes over one 500 ms
  // timer period. LoopCalibration doubles as the timer's tick counter meanwhile.
  std::int32_t LoopCalibration = 0;
  std::int32_t PollDelay = 0;
  void CalibrateDelayLoop();

  // --- The cable loop test (the "Test IO" button). On a printer port: ten SCK
  // pulses, MISO must follow (a plug from SCK to MISO); shows "Ok..." or the failed
  // cycle. On a USB adapter: with MOSI jumpered to MISO in the chip's place, a pattern
  // clocked at the set speed in the chip's SPI mode must come back as sent; shows
  // "Ok..." or what came back wrong (a missing SENSE, a stuck MISO, a bit lagging or
  // leading). Returns whether it passed.
  bool RunLoopTest();

  // --- Serial transfer. SentBits hold the last byte sent, ReceivedBits the last byte
  // the target answered, b7 first.
  ByteFlags SentBits{};
  ByteFlags ReceivedBits{};
  // One instruction, or several back to back: each byte clocked out b7 first once
  // SENSE reads 1 for it, its answer in the same place of in. False when a byte was
  // refused (SENSE 0: "Device have not in program mode" is shown) or the port cannot
  // be used or failed (its problem shown); the bytes before it went out.
  bool Exchange(std::span<const std::uint8_t> out, std::span<std::uint8_t> in);
  // How many read instructions a walk may queue into one exchange to advantage.
  std::size_t ReadAhead() const { return engine_->ReadAhead(); }
  // One byte from its two hex digits; a character that is no digit keeps the four
  // flags of SentBits that it would set. Both return false when the byte was refused
  // (SENSE 0, or no usable port): nothing was clocked and ReceivedBits keep their
  // previous values. SendByteDigits says why in a box; SendByteBits is silent and
  // leaves SentBits as they were. Only a flag of exactly 1 sends a 1.
  bool SendByteDigits(char high, char low);
  bool SendByteBits(BitFlag b7, BitFlag b6, BitFlag b5, BitFlag b4, BitFlag b3, BitFlag b2,
                    BitFlag b1, BitFlag b0);
  bool ReceivedMatchesSent() const { return ReceivedBits == SentBits; }
  // The bytes clocked since RST last rose: a chip counts the bytes of its
  // instructions from there, each in its own instruction length.
  std::size_t BytesSinceRstRise() const { return sinceRstRise_; }

  PortIo& Port() { return port_; }
  // The clock that times the edges, for waits bounded by the chip's own times.
  std::uint64_t NowMicroseconds() { return clock_.NowMicroseconds(); }

 private:
  void SelectPort(std::int32_t lpt, std::int32_t base);
  void SelectAdapter();
  // The calibration's timer tick: one more tick counted in LoopCalibration.
  void CountCalibrationTick() { ++LoopCalibration; }
  // The engine, told the current half period, ready for a use: nullptr when the port
  // cannot be used.
  SerialEngine* ReadyEngine();
  // After an engine call: true, with the port made unusable and the reason shown,
  // when the port failed on the way.
  bool EngineFailed();
  // The exchange, with the refusal's box or without; clocked counts the bytes that
  // went out.
  bool ExchangeBytes(std::span<const std::uint8_t> out, std::span<std::uint8_t> in,
                     bool tellRefusal, std::size_t& clocked);
  // The USB cable's loop test (see RunLoopTest); the mode lines end as they were.
  bool RunDataLoopTest();

  PortIo& port_;
  WindowServices& window_;
  MicrosecondClock& clock_;
  BitBangEngine bitBang_;
  FtdiIo* adapter_ = nullptr;
  std::unique_ptr<FtdiEngine> adapterEngine_;
  SerialEngine* engine_ = &bitBang_;
  std::int32_t dataPort_ = 0;
  std::int32_t selectedLpt_ = 1;
  bool selected_ = false;  // no port until start-up selects one
  std::string portProblem_;
  // Each Line as last set, by its number; the mode lines start high, the buffer off.
  std::array<bool, 5> lineHigh_{false, false, false, true, true};
  bool rstHigh_ = false;          // RST as last set
  std::size_t sinceRstRise_ = 0;  // bytes clocked since RST rose
};

}  // namespace vql
