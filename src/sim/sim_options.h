// The options of the simulated programmer, as given in VQLISP_SIM: which target sits
// behind the cable, which port or USB adapter the cable hangs on, the faults it should
// show, how a simulated chip is timed and where it keeps its memory, and which clock
// to run on.
//
// The text is comma-separated key=value items; spaces around items are ignored. Keys
// and their values are checked strictly, so that a typing mistake does not quietly
// give a healthy simulator. Every item is also kept as given, for the parts that
// interpret keys of their own.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "portio/ftdi_io.h"
#include "sim/sim_chip_table.h"

namespace vql {

// What a chip answers to a read that it does not carry out: the complement of the
// answer it would give, so that it never passes for a good read, or a fixed byte.
enum class SimAnswer {
  kComplement,
  kFF,
  k00,
};

// How the AT89S8253's Read User Fuses shows a fuse. Its data sheet writes a fuse
// enabled with a 0 and does not say how one reads back.
enum class SimFuseReading {
  kAsWritten,  // an enabled fuse reads 0, the bits above b2 read 1
  kInverted,   // an enabled fuse reads 1, the bits above b2 read 0
};

// What a simulated chip takes from the options: its times when they differ from its
// own, the readings it plays where the sources on the chips disagree or say nothing,
// the faults it shows, and the file that keeps its memory between runs.
struct SimChipSettings {
  std::optional<std::uint32_t> eraseMs;  // unset: the chip's own time
  // Unset: the chip's own time. Set, it is the byte write time, and a page write
  // lasts as many of them as the chip's row says.
  std::optional<std::uint32_t> writeUs;
  // The first Programming Enable, counted from 1 since the chip was created, that the
  // chip obeys (and echoes, if it echoes); the earlier ones go unheard.
  std::uint32_t echoFrom = 1;
  // Byte 4 of a Programming Enable that the chip takes carries 69 (true) or the
  // plain echo of byte 3 (false). Unset: the chip's own row says.
  std::optional<bool> echo;
  // How a set lock bit reads in Read Lock Bits. Unset: the chip's own row says.
  std::optional<SimLockReading> lockRead;
  // How the AT89S8253 reads its user fuses back.
  SimFuseReading fuseRead = SimFuseReading::kAsWritten;
  // true: RST low before a write or erase cycle has ended leaves what it was writing
  // undefined (sim_chip.h says how); false: the cycle completes regardless.
  bool rstAbort = true;
  // The answer to a read (code, lock bits, fuse) before the chip has taken the
  // programming enable, and to one that it cannot serve while busy.
  SimAnswer unheard = SimAnswer::kComplement;
  // The answer to a code read while lock bit 2 or 3 forbids reading the code.
  SimAnswer lockedRead = SimAnswer::kComplement;
  // false: the chip takes no page instructions (50, 30), even where its data sheet
  // gives them, and frames their bytes as byte instructions.
  bool pages = true;
  // Bytes that replace the chip's signature, in the order of its signature
  // addresses; fewer than the chip has replace only the first, and those beyond
  // its own have no address to be read at. Empty: its own.
  std::vector<std::uint8_t> signature;
  std::optional<std::uint16_t> deadAddress;  // a cell that never programs
  double flakyRate = 0.0;  // share of read answers that come back with one bit flipped
  std::uint64_t seed = 1;  // of the flaky answers, so that a run can be repeated
  std::string stateFile;   // empty: the chip lives only as long as the program
  double xtalMHz = 12.0;   // the chip's crystal, which sets how fast SCK may go
};

struct SimOptions {
  // What is plugged in behind the cable, in lower case ("none", "loopback",
  // "at89s52"). The factory turns the name into a target and rejects names it does
  // not know.
  std::string target = "none";
  // The port the cable hangs on, in upper case ("LPT1", "LPT2").
  std::string cable = "LPT1";
  // false: the cable has no power, so SENSE reads 0 and the buffer drives nothing.
  bool powered = true;
  // Set: MISO reads this level whatever the target does.
  std::optional<bool> misoStuckAt;
  // A faulty loop-back plug on a USB adapter (MOSI to MISO): MISO gives the MOSI level
  // of SCK's previous falling edge, one bit late.
  bool misoLag = false;
  // Set: the cable hangs on a simulated USB adapter built on that chip instead of a
  // printer port.
  std::optional<FtdiChip> adapter;
  // The time one USB transfer to or from the adapter takes, in milliseconds.
  double usbMs = 1.0;
  // Set: the adapter is unplugged after that many USB transfers, and every call after
  // them fails.
  std::optional<std::uint32_t> usbUnplugAfter;
  // The most by which each synchronous bit-bang byte period is lengthened, in
  // microseconds: every period takes a share of it drawn from chip.seed.
  double usbJitterUs = 0.0;
  SimChipSettings chip;
  // Set: the cable has a line of that many boards, each a fresh chip of the target's
  // model, in place of one target (sim_board_line.h); chip.stateFile then names a
  // folder.
  std::optional<std::uint32_t> boards;
  // The share of the line's boards whose chip has a dead cell.
  double boardFaultRate = 0.0;
  // The front end should run on a virtual clock that jumps over waits, so that a
  // scripted run takes no real time.
  bool virtualClock = false;
  // Every item as given, key to value.
  std::map<std::string, std::string, std::less<>> items;
};

// Throws PortError naming the bad item and listing the valid keys. Empty text gives
// the defaults.
SimOptions ParseSimOptions(std::string_view text);

// The valid keys with their values, e.g. "target=none|loopback, cable=lpt1|lpt2, ...".
std::string SimOptionKeys();

// The manual's lines on the keys: each with its values and what it does, those that
// only a chip takes and those for scripted runs under headings of their own.
std::string SimOptionsHelp();

// The keys that only a chip takes (its times, faults and state file, and the line of
// boards), in the order the messages list them.
std::vector<std::string_view> SimChipKeys();

}  // namespace vql
