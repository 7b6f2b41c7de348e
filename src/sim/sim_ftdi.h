// The simulated USB adapter: an FT232H, FT2232H or FT232R that exists only in
// memory, with the same cable and target behind it as the simulated printer port,
// so that the USB engines run against the simulated chips without hardware.
//
// The cable follows the printer-port cable's rules with the pins of ftdi_pins.h: the
// buffer is enabled while the cable has power and the enable pin is an output driven
// low, and it drives RST, SCK and MOSI to the target while it is enabled and the
// target powers it (SimTarget::Powered); a line whose pin is not an output reaches
// the target low. Otherwise the target sees every line low. SENSE reads 1 only while
// the buffer drives; MISO reads the target's level then, its pull-up 1 otherwise, and
// a MISO stuck by the options reads its level either way. Adapter pins that nothing
// drives read 1, as the chips' own pull-ups leave them. Every sample of the pins
// (81, and each bit-bang byte) reads SENSE while its pin is an input, and the target
// hears of it first (SimTarget::SenseRead), as it hears of every switch of the
// buffer, so that a line of boards (sim_board_line.h) can change what is in the
// socket.
//
// Time. The clock is the program's: virtual in tests, spun on in real runs. A call
// costs usbMs (the options' usb-ms) for every USB transfer it makes: a Write one per
// started 4096 bytes, a Read one per started 4096 bytes (and one more each time it
// takes what a stopped adapter holds), SetBitmode, SetLatencyTimer, SetBaudRate and
// Purge one each (control transfers); an empty Write or Read makes none. The clock is
// made to reach each transfer's end. The adapter runs the bytes that a Write brings
// on a timeline of its own, which starts at the later of the transfer's end and the
// end of what it ran before, and moves on by half an SCK period at every clock edge
// (by a byte period per bit-bang byte); the target's line changes and MISO samples
// carry that time in whole microseconds. A Read first waits until the last byte it
// asks for is in the read queue (until the adapter has run everything written, when
// it will not be), then makes its transfer, then hands out the queued bytes.
//
// Buffers (BuffersOf, from the data sheets). A byte written occupies the buffer from
// the host until the adapter runs it, that is, starts the command it belongs to (an
// MPSSE command starts only once all its bytes are in). A transfer whose bytes do not
// fit waits on the clock for room; when its last byte has found none within
// kFtdiUsbTimeoutMs of the transfer's start, the Write fails as libftdi's
// ftdi_write_data does on a bulk timeout ("usb bulk write failed"), and the bytes that
// did enter stay and run. Answers occupy the buffer towards the host until read. When
// a command (or a bit-bang byte's sample) would put more there than fits, the adapter
// stops before it, the rest staying in the buffer from the host; FTDI's documents we
// could read do not say what the chip does then, and stopping is the worse reading.
// A Read that asks for more than the queue holds from a stopped adapter takes what is
// there in one transfer, and the adapter runs on from that transfer's end. An MPSSE
// command that reads more than the buffer towards the host holds ends the adapter.
//
// MPSSE (FT232H, FT2232H). The engine takes the commands of FTDI's AN_108 that an SPI
// master needs: 80/82 set ADBUS/ACBUS levels and directions, 81/83 read them, 86 sets
// the divisor, 8A/8B switch the divide-by-5 (on at start), 84/85 loop DO back to DI,
// 8D/97/96 (three-phase off, adaptive clocking) are taken and do nothing, 87 is a
// no-op, 8E/8F clock without data, and the shifts 10 to 3F that AN_108 gives (a read
// and write shift writes on one edge and reads on the other). A command with bit 7
// set that AN_108 does not give answers FA and the command, as FTDI's knowledge base
// ("Bad Commands") says the chip does; what the chip then makes of the bytes after it
// is not given, and the simulated adapter drops the rest of that Write. The
// knowledge base gives that answer only for bit 7 set, and AN_108 gives no effect
// for a cable without JTAG to the others, so anything else (TMS shifts 40 to 7F, 00
// to 0F, shifts on edges AN_108 does not pair) ends the adapter: the Write (or the
// Read that let the adapter run on) fails, and Error() names the command. So do the
// commands with bit 7 set that AN_108 gives and this model does not carry out (waits
// on I/O, three-phase clocking, CPU mode, clocking until or while waiting on a GPIO
// pin, drive-zero).
// A command whose bytes have not all arrived waits for the next Write.
//
// SCK rests where the last 80 left it. From low every bit is a low half period, a
// rise, a high half period and a fall; from high, a high half, a fall, a low half and
// a rise. At each edge, in this order: DI is sampled if the command reads on it (the
// level the target drives just before the edge); the target sees the edge with DO as
// it was; DO moves on to the next bit if the command writes on it, as a separate
// change at the same time. Every command that writes puts its first bit on DO before
// the first clock, whichever edge it writes on (AN_108), and DO keeps the last bit
// after it. So a chip that samples MOSI on the edge where the adapter moves it sees
// the old bit, and a chip that moves MISO after an edge is read before it moves. From
// low, 31 (out on the fall, in on the rise) serves SPI mode 0; 34 (out on the rise,
// in on the fall) from low moves DO on before a mode-1 chip takes the first bit, and
// every byte reaches it shifted by one. From high, 34 gives a mode-1 chip its edges:
// DO steady at every fall, MISO read at the fall after the rise that moved it.
// A bit-mode read returns one byte that the bits were shifted into from 00, as the
// chip's shift register takes them: MSB first they enter at bit 0 and the first bit
// read ends up highest of the low bits; LSB first they enter at bit 7 and end up in
// the high bits.
//
// Synchronous bit-bang (any of the three, with the FT232R's byte rate: the baud rate
// times kFt232rBytesPerBaud, 9600 baud at start). As FTDI's AN232R-01 describes the
// mode, for every byte written the adapter first samples the pins into the read queue
// (outputs as driven, inputs as the cable drives them), then drives the byte's output
// bits; then a byte period passes, lengthened by usb-jitter (a share of it drawn from
// a Mersenne Twister seeded with seed=). Every byte written sets the output latch,
// inputs' bits too. Pins that SetBitmode makes outputs drive the latch if a byte has
// been written in this mode since the adapter was last in reset mode; otherwise low,
// since no document gives their level and low is the worse reading on this cable: its
// buffer enable is active low, so the buffer comes up enabled. An input pin is not
// driven: an input enable leaves the buffer off (the cable's pull-up).
//
// The loop-back plug (target=loopback) on these adapters is MOSI jumpered to MISO
// (MosiLoopbackTarget), one bit late with miso-lag=1.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "portio/ftdi_io.h"
#include "portio/ftdi_pins.h"
#include "portio/port_io.h"
#include "sim/sim_options.h"
#include "sim/sim_target.h"

namespace vql {

class SimulatedFtdi final : public FtdiIo {
 public:
  // The clock times the USB transfers and stamps the target's line changes; it must
  // outlive the adapter. The chip is the options' adapter (FT232H when unset), and the
  // target that the options name (MakeSimTarget) is plugged in until PlugTarget
  // replaces it.
  SimulatedFtdi(MicrosecondClock& clock, SimOptions options);

  FtdiChip Chip() const override { return chip_; }
  // "FT232H (simulated)".
  std::string Name() const override;
  // Takes the modes the chip has: reset, synchronous bit-bang, and MPSSE on the
  // FT232H and FT2232H. Entering MPSSE starts its engine afresh, every pin an input.
  bool SetBitmode(std::uint8_t mask, std::uint8_t mode) override;
  bool SetLatencyTimer(std::uint8_t ms) override;
  // Refuses a rate of 0 or less, as libftdi does.
  bool SetBaudRate(int baud) override;
  // Empties the read queue and drops the bytes the adapter has not run (a command
  // still waiting for its bytes, or what waits behind a full read queue).
  bool Purge() override;
  // Fails when a transfer's bytes do not all find room in the buffer from the host
  // within kFtdiUsbTimeoutMs of the transfer's start; what did enter stays and runs.
  bool Write(std::span<const std::uint8_t> bytes) override;
  // Fails, after the transfer, when fewer bytes are queued than asked for and the
  // adapter has not stopped for want of room; the bytes that were there are handed
  // out and gone.
  bool Read(std::span<std::uint8_t> bytes) override;
  // The target then sees every line low.
  void Close() override;
  std::string Error() const override { return error_; }
  std::optional<std::string> SimulatedTarget() const override;
  bool TargetsEnded() const override { return socket_.Target().Ended(); }

  // Replaces the target behind the cable; it is told at once what lines it sees.
  // Returns the target, with its own type, for the caller to watch.
  template <std::derived_from<SimTarget> T>
  T& PlugTarget(std::unique_ptr<T> target) {
    T& plugged = *target;
    ReplaceTarget(std::move(target));
    return plugged;
  }
  SimTarget& Target() { return socket_.Target(); }
  // See SimSocket::TargetAs.
  template <std::derived_from<SimTarget> T>
  T* TargetAs() {
    return socket_.TargetAs<T>();
  }
  const SimOptions& Options() const { return options_; }

  // USB transfers made so far, control transfers included; for benchmarks and tests.
  std::uint64_t Transfers() const { return transfers_; }
  // Bytes that Write has delivered to the adapter.
  std::uint64_t BytesWritten() const { return bytesWritten_; }

 private:
  enum class Mode { kReset, kSyncBitBang, kMpsse };

  // What MPSSE's commands set; entering MPSSE starts from these.
  struct MpsseState {
    std::uint16_t divisor = 0;
    bool divideBy5 = true;
    bool loopback = false;
  };

  // How a data-shifting command (10 to 3F) clocks, from the bits of its opcode.
  struct ShiftFlags {
    bool writeOnFall;
    bool bitMode;
    bool readOnFall;
    bool lsbFirst;
    bool write;
    bool read;
  };

  void ReplaceTarget(std::unique_ptr<SimTarget> target);
  bool Fail(std::string why);
  // Puts one write transfer's bytes into the buffer from the host as room comes,
  // running them; false when they do not fit in time or the adapter fails.
  bool EnterTransfer(std::span<const std::uint8_t> chunk, std::uint64_t startNs);
  bool WriteTimedOut(std::uint64_t startNs);
  // Hands out the first count answers of the read queue.
  std::size_t TakeAnswers(std::span<std::uint8_t> into, std::size_t count);
  // One USB transfer: its time on the clock, or the unplugging it brings.
  bool Transfer();
  // Unplugged or closed: the target sees every line low from then on.
  void Leave(std::string why);

  // The adapter's own timeline: a run starts when the adapter gets to it and goes on
  // in picoseconds, since SCK's half period is rarely whole nanoseconds.
  void StartRun(std::uint64_t notBeforeNs);
  void EndRun() { doneNs_ = runStartNs_ + (runPs_ + 999) / 1000; }
  std::uint64_t RunUs() const { return (runStartNs_ + runPs_ / 1000) / 1000; }
  // Runs what it can of pending_, from notBeforeNs or when the adapter is done with
  // what came before; false when it met an MPSSE command answered FA, after which
  // the rest of the Write is dropped. A fault found on the way ends the adapter.
  bool RunPending(std::uint64_t notBeforeNs);
  // The next count bytes not yet run of the buffer from the host are run now.
  void MarkRun(std::size_t count);
  // The bytes not yet run go nowhere.
  void DropPending();
  // What usb-jitter adds to one bit-bang byte period.
  std::uint64_t JitterPs();

  void BitBang();
  // Runs the whole commands in pending_ and keeps an incomplete one for later.
  bool RunMpsse();
  // How many answers a whole command puts into the read queue.
  static std::size_t AnswersOf(std::span<const std::uint8_t> command);
  // The length of the command at the front of bytes, all of whose bytes may not be
  // there yet.
  static std::size_t CommandLength(std::span<const std::uint8_t> bytes);
  // Why the adapter cannot carry out a command with this opcode, or "" when it can
  // (a bad command included, which it answers).
  std::string Unmodelled(std::uint8_t op) const;
  // Runs one whole command; false for a bad command.
  bool MpsseCommand(std::span<const std::uint8_t> command);
  void ShiftCommand(std::span<const std::uint8_t> command);
  void Shift(const ShiftFlags& flags, std::span<const std::uint8_t> out, std::size_t bits);
  std::uint64_t HalfPeriodPs() const;

  // A byte into the read queue, there from the run's time now on.
  void Answer(std::uint8_t byte);
  bool BufferEnabled() const;
  bool BufferDrives() const { return socket_.Drives(BufferEnabled()); }
  bool PinLevel(std::int32_t bit);
  bool DataIn();
  std::uint8_t SamplePins();
  void SetPin(std::int32_t bit, bool level);
  // Tells the target of a change of its lines, then of a switch of the buffer.
  void UpdateTargetLines(std::uint64_t us);

  MicrosecondClock& clock_;
  SimOptions options_;
  FtdiChip chip_;
  const FtdiPins& pins_;
  FtdiBuffers buffers_;
  SimSocket socket_;

  Mode mode_ = Mode::kReset;
  std::uint8_t levels_ = 0xFF;  // what the adapter drives where its pins are outputs
  std::uint8_t outputs_ = 0;    // which pins are outputs
  MpsseState mpsse_;
  std::uint64_t bytePeriodPs_;  // synchronous bit-bang
  // The synchronous bit-bang output latch: the last byte written in that mode since
  // the adapter was last in reset mode.
  std::optional<std::uint8_t> syncLatch_;
  std::mt19937_64 jitter_;  // draws usb-jitter from the seed
  // Bytes in the buffer from the host that the adapter has not run: a command not
  // yet whole, or what waits behind a full read queue.
  std::vector<std::uint8_t> pending_;
  // For every byte in the buffer from the host, when the adapter runs it (starts its
  // command), kNotRun for the last unrun_ of them; a byte leaves the buffer then.
  std::deque<std::uint64_t> fromHostNs_;
  std::size_t unrun_ = 0;
  bool stalled_ = false;   // the run stopped because the read queue was full
  bool dropping_ = false;  // the Write under way met a bad command
  std::string fault_;      // a fault met during a run, which ends the adapter after it
  std::vector<std::uint8_t> readQueue_;  // the buffer towards the host
  std::vector<std::uint64_t> readyNs_;   // when each byte of the read queue was there

  std::uint64_t doneNs_ = 0;      // when the adapter has run everything written
  std::uint64_t runStartNs_ = 0;  // the run under way: its start on the clock
  std::uint64_t runPs_ = 0;       // and how far it has gone since

  std::uint64_t transfers_ = 0;
  std::uint64_t bytesWritten_ = 0;
  bool gone_ = false;  // unplugged or closed: every call fails
  std::string error_;
};

}  // namespace vql
