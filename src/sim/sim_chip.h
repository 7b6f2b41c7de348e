// A simulated AT89S-series chip behind the simulated cable, answering the serial
// programming instructions of its instruction set as the real part does: it must
// be reset and enabled before it obeys, takes time to erase and to write and
// ignores instructions meanwhile, keeps its lock bits and fuses, its data EEPROM and
// user signature row where it has them, and can be made to misbehave (a late echo, a
// dead cell, flaky answers). Its memory can be kept in a state file between runs.
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
// during which a byte read of the page's last byte polls it. The AT89S8253's data
// EEPROM (D0, B0) and user row (52, 32) pages go the same way, with their own sizes.
//
// The data EEPROM and the user row are kept as the code is: a write only clears
// bits, a Chip Erase sets the EEPROM to FF with the code ("Chip Erase both the 12K
// and 2K memory arrays", 3286A, Table 19) and the user row too while Fuse3 is
// enabled (3286A, page 35). The data sheet ties neither to the lock bits beyond
// "with LB1 and LB2 programmed neither code nor data can be read back"; the model
// holds both, the user row included, to the code's rules: writes refused while any
// lock bit is set, reads withheld from LB2 on. The user row takes writes only
// while Fuse3 is enabled. A chip whose Fuse1 (serial programming) is disabled
// takes no Programming Enable from the next rise of RST on: the real part can then
// be enabled again only in parallel mode.
//
// A write or erase cycle that RST low cuts short (rst-abort=yes, the default) leaves
// what it was writing undefined: the data sheets give self-timed cycles and say
// nothing of RST low during one (datasheets.md, "RST and write cycles"). The model
// plays it harshly but repeatably from the seed: every byte that the cycle writes
// (one byte, a whole page, every byte that an erase sets) takes a drawn value that
// is neither the old byte nor the new one; of the lock bits or fuses that the cycle
// changes, every other one (the first, the third) stays as it was, and the cycle
// that changes one bit changes none. A cut erase leaves the lock bits so too. The
// cycle then ends, and the chip is no longer busy.
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
#include <utility>
#include <vector>

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
  // The AT89S8253's data EEPROM, user fuses and user signature row.
  kWriteData,         // C0
  kReadData,          // A0
  kWriteDataPage,     // D0, 32 bytes
  kReadDataPage,      // B0, 32 bytes
  kWriteUserFuses,    // AC 0001 1 F3 F2 F1
  kReadUserFuses,     // 21, the fuses in b0..b2 of byte 4
  kWriteUserRow,      // 42
  kReadUserRow,       // 22
  kWriteUserRowPage,  // 52, 64 bytes
  kReadUserRowPage,   // 32, 64 bytes
};

// The memories that the chip writes in cycles.
enum class SimArea { kCode, kEeprom, kUserRow };
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
  std::uint32_t fuseWrites = 0;  // either fuse layout's writes
  std::uint32_t eepromWrites = 0;      // data EEPROM byte writes started
  std::uint32_t eepromReads = 0;       // data EEPROM byte reads answered, polls included
  std::uint32_t eepromPageWrites = 0;  // data EEPROM page writes started
  std::uint32_t eepromPageReads = 0;   // data EEPROM page reads served from their first byte on
  std::uint32_t userRowWrites = 0;     // user row byte writes started
  std::uint32_t userRowReads = 0;      // user row byte reads answered, polls included
  std::uint32_t userRowPageWrites = 0;
  std::uint32_t userRowPageReads = 0;
  // Write and erase cycles that RST low cut short, counted with rst-abort=no too,
  // where they go on regardless.
  std::uint32_t cutCycles = 0;
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
  // The data EEPROM's byte at address (A10..A0), and one stored without a write
  // cycle; FF and nothing on a chip without one.
  std::uint8_t Eeprom(std::uint16_t address) const;
  void SetEeprom(std::uint16_t address, std::uint8_t byte);
  // The user signature row's byte at address (A5..A0), likewise.
  std::uint8_t UserRow(std::uint8_t address) const;
  void SetUserRow(std::uint8_t address, std::uint8_t byte);
  // Everything the chip keeps; equal snapshots before and after a command mean that
  // the command changed nothing on the chip.
  const SimChipMemory& Memory() const { return memory_; }
  SimLockBits LockBits() const { return memory_.lockBits; }
  void SetLockBits(SimLockBits lockBits) { memory_.lockBits = lockBits; }
  SimFuses Fuses() const { return memory_.fuses; }
  void SetFuses(SimFuses fuses) { memory_.fuses = fuses; }
  bool X2Clock() const { return memory_.fuses.x2Clock; }
  void SetX2Clock(bool on) { memory_.fuses.x2Clock = on; }
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
  // A byte write of the area, at the instruction's address.
  void WriteByte(SimArea area, std::uint64_t us);
  void WritePage(SimArea area, std::uint64_t us);
  // Whether the area takes writes now: the lock bits, and Fuse3 for the user row.
  bool Writable(SimArea area) const;
  // Programs one byte as the chip's flash and EEPROM do; a dead code cell stays FF.
  void Program(SimArea area, std::size_t index, std::uint8_t data);
  bool SetLockBitsFrom(SimInstruction op);
  void WriteUserFuses(std::uint64_t us);
  // Remembers what a cycle writes, so that RST low can spoil it: count bytes of the
  // area from first (before they are programmed), or the lock bits and fuses.
  void NoteBytesCycle(SimArea area, std::size_t first, std::size_t count);
  void NoteBitsCycle();
  // cell: the byte being written, which data polling reads back.
  void StartWriteCycle(std::uint64_t us, std::uint32_t lastsUs,
                       std::optional<std::pair<SimArea, std::size_t>> cell = std::nullopt);
  // RST fell at us: a cycle still under way is cut.
  void RstFell(std::uint64_t us);
  void SpoilCutCycle();
  // A byte that is neither before nor after, drawn from the seed.
  std::uint8_t Undefined(std::uint8_t before, std::uint8_t after);
  // The byte write time before it is rounded.
  double ByteWriteUs() const;

  std::vector<std::uint8_t>& Bytes(SimArea area);
  const std::vector<std::uint8_t>& Bytes(SimArea area) const;
  std::uint16_t Address() const;
  // The index in the area that a byte instruction names; nullopt beyond its end.
  std::optional<std::size_t> ByteIndex(SimArea area) const;
  // The address of the page's byte k, as the page instruction gives it.
  std::uint16_t PageAddress(std::size_t k) const;
  std::optional<std::size_t> PageIndex(SimArea area, std::size_t k) const;
  std::size_t PageBytes(SimArea area) const;
  // The answer to a page read during its data byte k.
  std::uint8_t PageReadAnswer(std::size_t k, std::uint64_t us);
  std::optional<std::size_t> CodeIndex(std::uint16_t address) const;
  std::uint8_t ReadCode(std::uint16_t address) const;  // with the lock's garbling
  // A stored byte as a read gets it, withheld while LB2 or LB3 is set; FF beyond the
  // area's end.
  std::uint8_t ReadStored(SimArea area, std::optional<std::size_t> index) const;
  std::uint8_t Stored(SimArea area, std::optional<std::size_t> index) const;
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
  // The page instruction under way, from its first byte to its last, and its area.
  std::optional<SimInstruction> page_;
  SimArea pageArea_ = SimArea::kCode;
  std::array<std::uint8_t, kSimPageMost> pageData_{};
  bool answeredInSlot_ = false;  // the opening was an instruction that acts in its answer slot
  bool enabled_ = false;
  std::uint64_t busyUntilUs_ = 0;
  bool erasing_ = false;  // the busy time is a chip erase's
  // The cell in its write cycle, for data polling.
  std::optional<std::pair<SimArea, std::size_t>> writing_;
  std::uint8_t writingData_ = 0xFF;
  // What the cycle under way writes, as it was before: for a byte or page write its
  // bytes (cycleFirst_ on in cycleArea_), for the others the lock bits and fuses and,
  // for an erase, every array (cycleMemory_).
  enum class CycleKind { kBytes, kBits, kErase };
  CycleKind cycleKind_ = CycleKind::kBits;
  SimArea cycleArea_ = SimArea::kCode;
  std::size_t cycleFirst_ = 0;
  std::vector<std::uint8_t> cycleBytes_;
  SimChipMemory cycleMemory_;
  // Fuse1 as it stood when RST last rose: it rules the programming enable until the
  // next rise.
  bool serialProgramming_ = true;
  std::uint64_t random_;
  SimChipCounters counters_;
  bool sck_ = false;             // SCK as last seen
  std::uint64_t sckEdgeUs_ = 0;  // when SCK last changed
};

}  // namespace vql
