// A simulated AT89S-series chip behind the simulated cable, answering the serial
// programming instructions of its instruction set as the real part does: it must
// be reset and enabled before it obeys, takes time to erase and to write and
// ignores instructions meanwhile, keeps its lock bits and x2-clock fuse, and can be
// made to misbehave (a late echo, a dead cell, flaky answers). Its memory can be
// kept in a state file between runs.
//
// Bytes are counted into instructions from the reset. The answer slot of an
// instruction (byte 4, or byte 3 of the three-byte set) carries a read's answer or,
// on the chips that echo, the 69 of Programming Enable; every other byte echoes the
// byte received before it. A read that the chip does not carry out (not enabled,
// busy) answers as the settings' unheard says, by default the complement of the
// true answer, so that it can never pass for a good read. While busy, the chips
// whose row says so answer 00 to code reads during an erase and poll the byte
// being written (bit 7 inverted); the three-byte chips poll theirs in any case.
//
// On the chips with page instructions a first byte of 50 or 30 opens an instruction
// of the page's address and all its data bytes, and the count of instructions goes
// on after it. A page read answers data byte k with the page's byte k during that
// byte, each byte served, withheld or spoilt as a byte read would be; a page write
// programs the page after its last byte and is then busy for the page write time,
// during which a byte read of the page's last byte polls it.
//
// The chip runs on a crystal (12 MHz unless the settings say otherwise) and needs
// each phase of SCK to last its row's number of crystal periods. When the edge on
// which it samples MOSI (the rise in mode 0, the fall in mode 1) comes sooner than
// that after the edge before it, the chip takes the MOSI bit inverted, as a part
// that samples too early sees the line it had before: every fast bit is wrong, so a
// Programming Enable clocked too fast is never recognised.
//
// Tests of other code reach the chip through SimulatedPort::TargetAs<SimChip>() to
// prepare it and to look at what it stores and how often it was asked.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "sim/sim_chip_serial.h"
#include "sim/sim_chip_state.h"
#include "sim/sim_chip_table.h"
#include "sim/sim_options.h"
#include "sim/sim_target.h"

namespace vql {

// The instructions a chip knows; which bytes spell them is in sim_chip.cpp.
enum class SimInstruction {
  kEnable,
  kErase,
  kWriteCode,
  kReadCode,
  kReadLockBits,
  kWriteLockMode,   // one protection mode, in order (AT89S51/52)
  kWriteLockBits,   // all three bits at once, four-byte layout
  kWriteLockBits3,  // all three bits at once, three-byte layout
  kReadFuse,
  kWriteFuse,
  kReadSignature,  // 28, the address, the byte out in byte 4
  kWritePage,      // 50, the page's address, its data bytes
  kReadPage,       // 30, the page's address, its bytes out during the data bytes
};
struct SimInstructionPattern;

// How often the chip was asked for what, since it was created.
struct SimChipCounters {
  std::uint32_t enables = 0;        // Programming Enable instructions received
  std::uint32_t enablesObeyed = 0;  // of them, those that enabled programming
  std::uint32_t erases = 0;
  std::uint32_t writes = 0;      // code byte writes started (a dead cell's too)
  std::uint32_t reads = 0;       // code byte reads answered, data polls included
  std::uint32_t pageWrites = 0;  // page writes started (a page with a dead cell too)
  std::uint32_t pageReads = 0;   // page reads served from their first byte on
  std::uint32_t lockWrites = 0;  // lock instructions taken (AT89S51/52 E0 too)
  std::uint32_t fuseWrites = 0;
  // Instructions unknown, not enabled, busy, out of range, or refused by a lock; a
  // page read counts once, when its first byte goes unserved.
  std::uint32_t ignored = 0;
  std::uint32_t flipped = 0;  // read answers spoilt by the flaky contact
};

class SimChip final : public SimTarget {
 public:
  // The model must outlive the chip (the rows of kSimChips do). Loads the state file
  // when the settings name one; throws PortError when it is damaged or written for
  // another chip, and the file is then never written.
  explicit SimChip(const SimChipModel& model, SimChipSettings settings = {});
  // Saves to the state file, if any. A failure goes to standard error: at the end of
  // the program there is nobody else left to tell.
  ~SimChip() override;
  SimChip(const SimChip&) = delete;
  SimChip& operator=(const SimChip&) = delete;

  void LinesChanged(const TargetLines& lines, std::uint64_t us) override;
  bool Miso(std::uint64_t us) override;

  // --- Inspection and preparation.
  const SimChipModel& Model() const { return model_; }
  std::uint32_t EraseUs() const;
  // The byte write time, and the page write time (0 without page instructions);
  // both rounded up to whole microseconds.
  std::uint32_t WriteUs() const;
  std::uint32_t PageWriteUs() const;
  // Whether the chip takes the page instructions: its row has them and the settings
  // leave them on.
  bool TakesPages() const { return model_.pageBytes != 0 && settings_.pages; }
  // The stored byte at address, decoded as the chip decodes it: high bits dropped,
  // FF beyond the end of the code (12 KiB parts).
  std::uint8_t Code(std::uint16_t address) const;
  // Stores a byte without a write cycle (a dead cell included). Beyond the end of
  // the code it does nothing.
  void SetCode(std::uint16_t address, std::uint8_t byte);
  const SimChipMemory& Memory() const { return memory_; }
  SimLockBits LockBits() const { return memory_.lockBits; }
  void SetLockBits(SimLockBits lockBits) { memory_.lockBits = lockBits; }
  bool X2Clock() const { return memory_.x2Clock; }
  void SetX2Clock(bool on) { memory_.x2Clock = on; }
  const SimChipCounters& Counters() const { return counters_; }
  bool ProgrammingEnabled() const { return enabled_; }
  bool BusyAt(std::uint64_t us) const { return us < busyUntilUs_; }
  // Writes the state file now; the destructor does too. Throws PortError.
  void SaveState() const;

 private:
  // Whether a phase of SCK of this many microseconds is shorter than the chip needs.
  bool PhaseTooShort(std::uint64_t us) const;
  void ByteReceived(std::uint8_t byte, std::uint64_t us);
  void PageByteReceived(std::uint8_t byte, std::uint64_t us);
  const SimInstructionPattern* Match(bool answersInSlot) const;
  std::uint8_t Answer(SimInstruction op, std::uint64_t us);
  // What a read gets while the chip is busy, if its row promises anything.
  std::optional<std::uint8_t> BusyAnswer(SimInstruction op) const;
  // What a read that the chip does not carry out gets.
  std::uint8_t Unheard(SimInstruction op) const;
  void Execute(SimInstruction op, std::uint64_t us);
  bool TakeEnable(std::uint64_t us);
  void Erase(std::uint64_t us);
  void WriteCode(std::uint64_t us);
  void WritePage(std::uint64_t us);
  // Programs one code byte as the chip's flash does; a dead cell stays FF.
  void Program(std::size_t index, std::uint8_t data);
  bool SetLockBitsFrom(SimInstruction op);
  // cell: the code byte being written, which data polling reads back.
  void StartWriteCycle(std::uint64_t us, std::uint32_t lastsUs,
                       std::optional<std::size_t> cell = std::nullopt);
  // The byte write time before it is rounded.
  double ByteWriteUs() const;

  std::uint16_t Address() const;
  // The address of the page's byte k, as the page instruction gives it.
  std::uint16_t PageAddress(std::size_t k) const;
  // The answer to a page read during its data byte k.
  std::uint8_t PageReadAnswer(std::size_t k, std::uint64_t us);
  std::optional<std::size_t> CodeIndex(std::uint16_t address) const;
  std::uint8_t ReadCode(std::uint16_t address) const;  // with the lock's garbling
  std::uint8_t LockBitsAnswer() const;
  // The signature byte at the instruction's address, the settings' where they
  // replace it; FF where the row has none.
  std::uint8_t SignatureAnswer() const;
  std::uint8_t FuseAnswer() const;
  std::uint8_t Flaky(std::uint8_t answer);
  std::uint64_t NextRandom();

  const SimChipModel& model_;
  SimChipSettings settings_;
  SimChipMemory memory_;
  SimSerialShifter shifter_;
  std::array<std::uint8_t, 4> instruction_{};
  std::size_t bytes_ = 0;        // bytes of the current instruction received
  // The page instruction under way, from its first byte to its last.
  std::optional<SimInstruction> page_;
  std::array<std::uint8_t, kSimPageMost> pageData_{};
  bool answeredInSlot_ = false;  // the opening was an instruction that acts in its answer slot
  bool enabled_ = false;
  std::uint64_t busyUntilUs_ = 0;
  bool erasing_ = false;                // the busy time is a chip erase's
  std::optional<std::size_t> writing_;  // the cell in its write cycle, for data polling
  std::uint8_t writingData_ = 0xFF;
  std::uint64_t random_;
  SimChipCounters counters_;
  bool sck_ = false;             // SCK as last seen
  std::uint64_t sckEdgeUs_ = 0;  // when SCK last changed
};

}  // namespace vql
