// The whole programmer against the simulated one, on a virtual clock. The input
// chooses the device, the chip in the socket (now and then another one, or none),
// the simulator's faults, a short sequence of commands and the text of the HEX file,
// which is built from the bytes so that most inputs are near-valid Intel HEX with
// records at the edges. After every command the promises below must hold; any that
// breaks aborts with a line that says which, so libFuzzer keeps the input.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "cli/exit_status.h"
#include "commands/command_table.h"
#include "commands/programmer.h"
#include "devices/device_table.h"
#include "image/hex_digits.h"
#include "portio/cable_pins.h"
#include "sim/sim_chip.h"
#include "sim/sim_chip_serial.h"
#include "sim/sim_ftdi.h"
#include "sim/sim_options.h"
#include "sim/sim_port.h"
#include "sim/sim_target.h"
#include "support/virtual_window.h"

#include "cable_watch.h"

namespace {

using vql::CommandId;
using vql::CommandResult;
using vql::DeviceInfo;
using vql::Outcome;
using vql::SimChip;
using vql::fuzz::Broken;
using vql::fuzz::WatchTarget;

constexpr std::uint16_t kLpt1 = 0x378;
constexpr std::uint16_t kLpt2 = 0x278;
// Virtual time per message pump: large, so that the 5 ms waits after a write and
// the 100 ms enable waits cost a handful of pumps.
constexpr std::uint64_t kPumpStepNs = 500'000;
constexpr std::uint64_t kFinePumpStepNs = 2'000;

// The input read front to back; past its end every byte is 0.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t Take() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint16_t Take16() { return static_cast<std::uint16_t>(Take() << 8 | Take()); }
  bool Empty() const { return at_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// ---------------------------------------------------------------------------
// The HEX file.

void AppendHex(std::string& text, std::uint32_t value, int digits, bool lower) {
  static constexpr char kUpper[] = "0123456789ABCDEF";
  static constexpr char kLower[] = "0123456789abcdef";
  for (int i = digits - 1; i >= 0; --i) {
    text += (lower ? kLower : kUpper)[(value >> (4 * i)) & 0xF];
  }
}

// One record: the usual fields, now and then spoilt (lower case, a wrong checksum,
// no colon, a CR before the newline).
void AppendRecord(std::string& text, std::uint8_t type, std::uint16_t address,
                  const std::vector<std::uint8_t>& data, std::uint8_t flags) {
  const bool lower = (flags & 1) != 0;
  if ((flags & 4) == 0) text += ':';
  std::uint32_t sum =
      static_cast<std::uint32_t>(data.size()) + (address >> 8) + (address & 0xFFu) + type;
  AppendHex(text, static_cast<std::uint32_t>(data.size()), 2, lower);
  AppendHex(text, address, 4, lower);
  AppendHex(text, type, 2, lower);
  for (const std::uint8_t byte : data) {
    AppendHex(text, byte, 2, lower);
    sum += byte;
  }
  std::uint32_t check = (0x100 - (sum & 0xFF)) & 0xFF;
  if ((flags & 2) != 0) check ^= 0x01;
  AppendHex(text, check, 2, lower);
  text += (flags & 8) != 0 ? "\r\n" : "\n";
}

std::string MakeHexText(Bytes& in, const DeviceInfo& device) {
  std::string text;
  const int records = 1 + in.Take() % 6;
  for (int r = 0; r < records; ++r) {
    const std::uint8_t control = in.Take();
    // Most flags clear: a spoilt record now and then, not in every file.
    const std::uint8_t flags = (control & 0x80) != 0 ? in.Take() : 0;
    const auto length = static_cast<std::uint16_t>(in.Take() % 17);
    std::uint16_t address = 0;
    // Most records low in the image, so that most walks stay short; the others at the
    // edges: FFFF, the device's last address, just past it, anywhere. A record at the
    // end of the device makes Program and Verify walk the whole chip, so those come
    // only when bit 6 is clear as well.
    const bool atEnd = (control & 0x40) == 0;
    switch ((control >> 3) % 8) {
      case 1: address = 0xFFFF; break;
      case 2:
        address = atEnd ? static_cast<std::uint16_t>(device.lastAddress) : in.Take();
        break;
      case 3:
        address = atEnd ? static_cast<std::uint16_t>(device.lastAddress + 1 - length) : in.Take();
        break;
      case 4: address = in.Take16(); break;
      default: address = in.Take(); break;
    }
    switch (control % 8) {
      case 4:
        AppendRecord(text, 0x01, 0, {}, flags);
        break;
      case 5:  // a segment base, usually 0 or one that moves past 64 KiB
      case 6: {  // the upper half of a linear address
        const std::uint8_t high = in.Take();
        const std::uint8_t low = (high & 0x80) != 0 ? in.Take() : 0;
        AppendRecord(text, control % 8 == 5 ? 0x02 : 0x04, 0,
                     {static_cast<std::uint8_t>(high & 0x7F), low}, flags);
        break;
      }
      case 7: {  // a line of whatever the input holds
        const int n = in.Take() % 24;
        for (int i = 0; i < n; ++i) text += static_cast<char>(in.Take());
        text += '\n';
        break;
      }
      default: {
        std::vector<std::uint8_t> data(length);
        for (auto& byte : data) byte = in.Take();
        AppendRecord(text, 0x00, address, data, flags);
        break;
      }
    }
  }
  if (in.Take() % 4 != 0) text += ":00000001FF\n";
  return text;
}

// ---------------------------------------------------------------------------
// The promises.

// A step of an input: one of the operator's commands, numbered as the command table
// orders them, or one of the fuzzer's own, numbered after them. Test IO, which needs a
// loop-back plug and not a chip, is never chosen.
enum class Op : std::size_t {};
constexpr Op OpOf(vql::CommandId id) { return static_cast<Op>(id); }
constexpr Op kStop{vql::kOperatorCommands.size()};
constexpr Op kPrepare{vql::kOperatorCommands.size() + 1};

const char* OpName(Op op) {
  const auto n = static_cast<std::size_t>(op);
  if (n < vql::kOperatorCommands.size()) return vql::kOperatorCommands[n].name.data();
  return op == kStop ? "Stop" : "Prepare";
}

// What a command byte chooses. Read Chip and Blank check always walk the whole chip,
// which costs a hundred times a short program and verify: they come rarely, and run
// only for some parameters (see Run), so that the search runs at hundreds of inputs
// a second.
constexpr std::array<Op, 32> kOpChoice{
    OpOf(CommandId::Load),     OpOf(CommandId::Load),       OpOf(CommandId::ReadSignature),
    OpOf(CommandId::Load),     OpOf(CommandId::Program),    OpOf(CommandId::Program),
    OpOf(CommandId::Program),  OpOf(CommandId::Program),    OpOf(CommandId::Verify),
    OpOf(CommandId::Verify),   OpOf(CommandId::Verify),     OpOf(CommandId::Verify),
    OpOf(CommandId::AutoProgram), OpOf(CommandId::AutoProgram), OpOf(CommandId::AutoProgram),
    OpOf(CommandId::Lock),     OpOf(CommandId::Lock),       OpOf(CommandId::Lock),
    OpOf(CommandId::Fuse),     OpOf(CommandId::Fuse),       OpOf(CommandId::Fuse),
    kStop,                     kStop,                       kStop,
    kPrepare,                  kPrepare,                    kPrepare,
    kPrepare,                  OpOf(CommandId::Erase),      OpOf(CommandId::Erase),
    OpOf(CommandId::ReadChip), OpOf(CommandId::BlankCheck)};

// Everything a command that does not mean to may not change: code, data EEPROM, user
// row, lock bits and fuses.
using ChipSnapshot = vql::SimChipMemory;

ChipSnapshot Snapshot(const SimChip& chip) { return chip.Memory(); }

std::string At(const char* what, std::int32_t address, int chip, int image) {
  char text[120];
  std::snprintf(text, sizeof text, "%s: at %04X the chip holds %02X, the image %02X", what,
                static_cast<unsigned>(address), static_cast<unsigned>(chip),
                static_cast<unsigned>(image));
  return text;
}

// The chip equals the image at every address from 0 to last. Program writes only the
// image's bytes that are not FF (an FF is an empty place, as on an erased chip), so
// after it, without an erase before, only those must match: skipEmpty.
void ChipEqualsImage(const char* promise, const SimChip& chip, const vql::CodeImage& image,
                     std::int32_t last, bool skipEmpty = false) {
  for (std::int32_t n = 0; n <= last; ++n) {
    const auto a = static_cast<std::size_t>(n);
    const std::int32_t want = vql::HexPairValue(image.HighDigits[a], image.LowDigits[a]);
    if (skipEmpty && want == 0xFF) continue;
    const std::uint8_t have = chip.Code(static_cast<std::uint16_t>(n));
    if (want != have) Broken(promise, At("differs", n, have, want));
  }
}

void ChipIsBlank(const char* promise, const SimChip& chip, std::int32_t last) {
  for (std::int32_t n = 0; n <= last; ++n) {
    const std::uint8_t have = chip.Code(static_cast<std::uint16_t>(n));
    if (have != 0xFF) Broken(promise, At("not erased", n, have, 0xFF));
  }
}

// A lock level is on the chip when every bit it sets is set (the bits clear only by
// an erase, so a higher level already there also holds the one asked for).
void ChipHasLockLevel(const char* promise, const SimChip& chip, std::int32_t level) {
  const vql::SimLockBits bits = chip.LockBits();
  if ((level >= 1 && !bits.lb1) || (level >= 2 && !bits.lb2) || (level >= 3 && !bits.lb3)) {
    Broken(promise, "level " + std::to_string(level) + " asked; the chip has LB1=" +
                        std::to_string(bits.lb1) + " LB2=" + std::to_string(bits.lb2) +
                        " LB3=" + std::to_string(bits.lb3));
  }
}

void ChipHasFuse(const char* promise, const SimChip& chip, bool x2Clock) {
  if (chip.X2Clock() != x2Clock) {
    Broken(promise, std::string("x2 clock asked ") + (x2Clock ? "on" : "off") + ", the chip has " +
                        (chip.X2Clock() ? "on" : "off"));
  }
}

// Outcomes by which a command refuses before the chip is touched: exit status 2 says
// so, a byte refused by the cable clocked nothing, and a chip locked against
// programming was only asked for its lock bits.
bool Refusal(Outcome outcome) {
  return vql::ExitStatusOf(outcome) == vql::kExitUsage || outcome == Outcome::Refused ||
         outcome == Outcome::WriteLocked;
}

// ---------------------------------------------------------------------------
// One run.

const DeviceInfo& ChooseDevice(std::uint8_t byte) {
  // Mostly (three in four) the small AT89S2051, so that whole-chip walks stay short:
  // on the others they are up to six times as long.
  if (byte >= 128 && byte < 192) return vql::kDevices[byte % vql::kDevices.size()];
  return vql::kDevices[static_cast<std::size_t>(vql::DeviceIndexOf("AT89S2051"))];
}

std::string ChooseOptions(Bytes& in, const DeviceInfo& device, bool& isChip, bool& faulty) {
  const std::uint8_t which = in.Take();
  std::string target(device.name);
  if (which >= 224) target = "none";
  else if (which >= 192) target = vql::kSimChips[which % vql::kSimChips.size()].name;
  isChip = target != "none";
  std::string options = "target=" + target;
  // The readings the sources dispute, and what a chip that missed the enable or hides
  // its code answers: none of them is a fault, and every chip may have any.
  const std::uint8_t readings = in.Take();
  if (isChip) {
    static constexpr const char* kAnswers[] = {"complement", "ff", "00", "complement"};
    // Only the chips whose data sheets leave them in dispute: an AT89S51/52 that did
    // not echo, or read its lock bits the other way, would be a fault.
    const DeviceInfo* model = vql::DeviceAt(vql::DeviceIndexOf(target));
    if (model != nullptr && model->enable == vql::EnableRule::SingleTry) {
      if ((readings & 3) != 0) options += (readings & 1) != 0 ? ",echo=yes" : ",echo=no";
      if ((readings & 12) != 0) options += (readings & 4) != 0 ? ",lock-read=set1" : ",lock-read=set0";
    }
    options += std::string(",unheard=") + kAnswers[(readings >> 4) & 3];
    options += std::string(",locked-read=") + kAnswers[(readings >> 6) & 3];
  }
  const std::uint8_t faults = in.Take();
  faulty = (faults & 0xC0) == 0xC0;
  if (!faulty) return options;  // a quarter of the inputs have faults
  const std::uint8_t kinds = in.Take();
  if (isChip) {
    if ((kinds & 1) != 0) {
      char dead[16];
      // Mostly among the first bytes, where the files put their data: a byte there one
      // bit off what the cell holds is what a poor contact can fake.
      const std::uint16_t at = in.Take16();
      std::snprintf(dead, sizeof dead, ",dead=%04X",
                    static_cast<unsigned>((at & 0xC000) != 0 ? at % 24 : at & 0x1FFF));
      options += dead;
    }
    if ((kinds & 2) != 0) options += ",echo-from=" + std::to_string(1 + in.Take() % 12);
    if ((kinds & 4) != 0) {
      options += ",flaky=0.00" + std::to_string(1 + in.Take() % 9);
      options += ",seed=" + std::to_string(in.Take());
    }
    // Up to well beyond the program's waits: 5 s for an erase, 25 ms for a write.
    if ((kinds & 8) != 0) options += ",erase=" + std::to_string(in.Take() * 20);
    if ((kinds & 16) != 0) options += ",write=" + std::to_string(in.Take() * 100);
    if ((kinds & 32) != 0) options += ",xtal=" + std::to_string(1 + in.Take() % 24);
  }
  if ((kinds & 64) != 0) options += (in.Take() & 1) != 0 ? ",miso=1" : ",miso=0";
  if ((kinds & 128) != 0 && (in.Take() & 7) == 0) options += ",sense=0";
  return options;
}

std::string HexPath() {
  return "/tmp/vqlisp-programmer-fuzz-" + std::to_string(getpid()) + ".hex";
}

void SetLockLevel(vql::LockBoxes& boxes, std::int32_t level) {
  // Down from the top, then up, so that the boxes' rules leave exactly this level.
  for (std::int32_t box = 3; box > level; --box) boxes.Set(box, false);
  for (std::int32_t box = 1; box <= level; ++box) boxes.Set(box, true);
}

// What sits in the socket, against the device chosen in the program.
enum class Socket {
  kChosen,    // a chip of the chosen device
  kSameSet,   // another model of the same instruction set
  kOtherSet,  // a chip of the other instruction set, which the program tells apart
};

// What the chip was when a command began, and what the input did to it, for the
// second promise: a good chip of the chosen model is never refused.
struct Conditions {
  // The lock level asked: a lock-bit read during the command ticks the boxes as the
  // chip reads.
  std::int32_t lockLevel = 0;
  bool faulty = false;       // the simulator was given a fault
  bool stopAsked = false;    // a stop was due during the command
  bool echoes = true;        // the chip echoes the programming enable
  bool hearsFirst = true;    // and hears the command's first one
  bool misoStuck = false;
  // The chip was still in a cycle that an earlier command began (an erase whose end
  // nothing could show, with MISO stuck) when the command began: the RST fall of its
  // first enable cuts that cycle, which leaves the chip as the cycle's own command
  // left it to chance. That is the earlier command's unfinished wait, not the read's.
  bool cycleRunningBefore = false;
};

// Whether a failure has a reason in the chip as it was, the file or the operator's
// choices. Usage outcomes (the file, the device's features) and a stop always have one.
bool FailureHasAReason(Op op, Outcome outcome, const vql::Programmer& app,
                       const DeviceInfo& device, const ChipSnapshot& before, bool stopAsked,
                       std::int32_t level) {
  if (vql::ExitStatusOf(outcome) == vql::kExitUsage) return true;
  if (outcome == Outcome::Stopped) return stopAsked;
  // Auto-program erases first: nothing that the chip held is a reason after that.
  if (op == OpOf(CommandId::AutoProgram)) return false;
  const vql::SimLockBits locks = before.lockBits;
  const bool hidden = locks.lb2 || locks.lb3;
  const std::int32_t imageLast = std::min(app.Cmd.CodeExtent, device.lastAddress);
  const auto imageAt = [&](std::int32_t n) {
    const auto a = static_cast<std::size_t>(n);
    return vql::HexPairValue(app.Image.Image.HighDigits[a], app.Image.Image.LowDigits[a]);
  };
  const auto heldAt = [&](std::int32_t n) { return before.code[static_cast<std::size_t>(n)]; };
  switch (outcome) {
    case Outcome::VerifyMismatch:
      if (hidden) return true;
      for (std::int32_t n = 0; n <= imageLast; ++n) {
        if (imageAt(n) != heldAt(n)) return true;
      }
      return false;
    case Outcome::NotBlank:
      if (hidden) return true;
      for (std::int32_t n = 0; n <= device.lastAddress; ++n) {
        if (heldAt(n) != 0xFF) return true;
      }
      return false;
    case Outcome::NotProgrammed:
      // A locked chip takes no writes; flash only clears bits until it is erased.
      if (locks.Any()) return true;
      for (std::int32_t n = 0; n <= imageLast; ++n) {
        const int want = imageAt(n);
        if (want != 0xFF && device.set == vql::InstructionSet::FourByte &&
            (heldAt(n) & want) != want) {
          return true;
        }
      }
      return false;
    case Outcome::ReadError: {
      // Answers of 00 where every byte compared is 00 are no evidence of a chip: the
      // program says so rather than vouch, whatever the chip holds.
      if (hidden) return true;
      bool only00 = true;
      if (op == OpOf(CommandId::ReadChip)) {
        for (std::int32_t n = 0; n <= device.lastAddress && only00; ++n) only00 = heldAt(n) == 0;
        return only00;
      }
      bool any = false;
      for (std::int32_t n = 0; n <= imageLast && only00; ++n) {
        const int want = imageAt(n);
        if (op == OpOf(CommandId::Program) && want == 0xFF) continue;
        only00 = want == 0x00;
        any = true;
      }
      return any && only00;
    }
    case Outcome::WriteLocked: return locks.Any();
    case Outcome::ReadLocked: return hidden;
    case Outcome::LockNotTaken:
    case Outcome::LockTimeOut: {
      // Lock bits clear only by an erase: a chip with more set than the level asked.
      return (locks.lb1 && level < 1) || (locks.lb2 && level < 2) || (locks.lb3 && level < 3);
    }
    default:
      return false;
  }
}

void CheckCommand(Op op, CommandResult result, vql::Programmer& app, SimChip* chip,
                  const DeviceInfo& device, const ChipSnapshot& before, Socket socket,
                  const Conditions& conditions) {
  if (chip == nullptr) return;
  const char* name = OpName(op);
  const std::int32_t imageLast = std::min(app.Cmd.CodeExtent, device.lastAddress);
  const std::int32_t lockLevel = conditions.lockLevel;
  if (Refusal(result.outcome) && Snapshot(*chip) != before) {
    Broken("a refused command leaves the chip unchanged",
           std::string(name) + " ended " + vql::OutcomeText(result.outcome));
  }
  // Whatever is selected and whatever sits in the socket (the chosen model, another of
  // the same set, one of the other set, with or without an echo, hearing the first
  // enable or a later one), a read changes nothing in it.
  const bool reads = op == OpOf(CommandId::ReadChip) || op == OpOf(CommandId::Verify) ||
                     op == OpOf(CommandId::BlankCheck) || op == OpOf(CommandId::ReadSignature);
  if (reads && !conditions.cycleRunningBefore && Snapshot(*chip) != before) {
    Broken("a read leaves every chip unchanged, whatever is selected", name);
  }
  // Read Signature's Done says what was read; a signature that names no model (one that
  // lock bits hide, or another chip) comes with a caveat on any device.
  if (result.Ok() && !result.Vouched() && device.enable == vql::EnableRule::EchoJudged &&
      op != OpOf(CommandId::ReadSignature)) {
    Broken("a device that judges the echo vouches for every Done",
           std::string(name) + ": " + result.caveat);
  }
  // The other direction: a chip of the chosen model, with no fault, is refused only
  // for a reason in the chip, the file or the operator's choices.
  if (socket == Socket::kChosen && !conditions.faulty && !result.Ok() &&
      !FailureHasAReason(op, result.outcome, app, device, before, conditions.stopAsked,
                         lockLevel)) {
    Broken("a good chip of the chosen model is never refused",
           std::string(name) + " ended " + vql::OutcomeText(result.outcome));
  }
  if (socket != Socket::kChosen) return;
  // A Done that the program does not vouch for has said why, in a box: what nothing on
  // the wire could show (no echo, lock bits whose reading is disputed, no lock read).
  if (!result.Vouched()) return;
  switch (op) {
    case OpOf(CommandId::Program):
    case OpOf(CommandId::AutoProgram):
      ChipEqualsImage("Program and Auto-program end Done only if the chip is the image", *chip,
                      app.Image.Image, imageLast, op == OpOf(CommandId::Program));
      if (device.hasFuse) {
        ChipHasFuse("Program and Auto-program end Done only with the fuse asked", *chip,
                    app.Controls.X2Clock);
      }
      ChipHasLockLevel("Program and Auto-program end Done only with the lock level asked", *chip,
                       lockLevel);
      break;
    case OpOf(CommandId::Verify):
      ChipEqualsImage("Verify ends Done only if the chip is the image", *chip, app.Image.Image,
                      imageLast);
      break;
    case OpOf(CommandId::Erase):
      ChipIsBlank("Erase ends Done only if the chip is all FF", *chip, device.lastAddress);
      break;
    case OpOf(CommandId::BlankCheck):
      ChipIsBlank("Blank check ends Done only if the chip is all FF", *chip, device.lastAddress);
      break;
    case OpOf(CommandId::ReadChip):
      ChipEqualsImage("Read Chip ends Done only if the image is the chip", *chip,
                      app.Image.Image, device.lastAddress);
      break;
    case OpOf(CommandId::Lock):
      ChipHasLockLevel("Lock ends Done only with the lock level asked", *chip, lockLevel);
      break;
    case OpOf(CommandId::Fuse):
      ChipHasFuse("Fuse ends Done only with the fuse asked", *chip, app.Controls.X2Clock);
      break;
    default:
      break;
  }
}

// A command with what it takes from param: the image file or a cancelled dialog, the
// fuse and the lock level; nothing when the input skips it (see kOpChoice).
// askedLevel: the lock level the command was given.
std::optional<CommandResult> RunCommand(Op op, std::uint8_t param, vql::Programmer& app,
                                        vql::testing::VirtualWindow& window,
                                        const std::string& hexPath, const DeviceInfo& device,
                                        std::int32_t& askedLevel) {
  switch (op) {
    case OpOf(CommandId::Load):
      window.nextChoice = (param & 0xF) == 0 ? std::nullopt : std::optional<std::string>(hexPath);
      return app.Cmd.Load();
    case OpOf(CommandId::ReadChip):
    case OpOf(CommandId::BlankCheck):
      // Whole-chip walks run for one parameter in 8, and on the chips over 4 KiB,
      // which take up to a second each, for one in 64 (kOpChoice).
      if ((param & 7) != 0 || (device.codeSize > 4096 && (param & 0x38) != 0x38)) return {};
      return op == OpOf(CommandId::ReadChip) ? app.Cmd.ReadChip() : app.Cmd.BlankCheck();
    case OpOf(CommandId::Program):
    case OpOf(CommandId::AutoProgram):
      app.Controls.X2Clock = (param & 1) != 0;
      SetLockLevel(app.Controls.Lock, (param >> 1) % 4 == 3 ? (param >> 3) % 4 : 0);
      askedLevel = app.Controls.Lock.LockLevel();
      return op == OpOf(CommandId::Program) ? app.Cmd.Program() : app.Cmd.AutoProgram();
    case OpOf(CommandId::Lock):
      SetLockLevel(app.Controls.Lock, param % 4);
      askedLevel = app.Controls.Lock.LockLevel();
      return app.Cmd.WriteLockBits();
    case OpOf(CommandId::Fuse):
      app.Controls.X2Clock = (param & 1) != 0;
      return app.Cmd.WriteFuse();
    default:  // the commands that take nothing from the input
      return (app.Cmd.*vql::kOperatorCommands[static_cast<std::size_t>(op)].run)();
  }
}

// A state that a later command needs, put straight into the chip: the image, one
// byte, lock bits, or the fuse turned over.
void Prepare(SimChip& chip, std::uint8_t param, const vql::Programmer& app,
             const DeviceInfo& device) {
  switch (param % 4) {
    case 0:
      for (std::int32_t n = 0; n <= std::min(app.Cmd.CodeExtent, device.lastAddress); ++n) {
        const auto a = static_cast<std::size_t>(n);
        const std::int32_t byte =
            vql::HexPairValue(app.Image.Image.HighDigits[a], app.Image.Image.LowDigits[a]);
        if (byte >= 0) chip.SetCode(static_cast<std::uint16_t>(n), static_cast<std::uint8_t>(byte));
      }
      break;
    case 1:
      chip.SetCode(static_cast<std::uint16_t>((param >> 2) * 41 % (device.lastAddress + 1)),
                   static_cast<std::uint8_t>(param * 29));
      break;
    case 2:
      chip.SetLockBits({(param & 4) != 0, (param & 8) != 0, (param & 16) != 0});
      break;
    default:
      chip.SetX2Clock(!chip.X2Clock());
      break;
  }
}

// At the end the cable's data register releases the target.
void CheckReleased(vql::SimulatedPort& sim) {
  // The simulated data register holds the last byte written to it.
  const auto last = static_cast<std::uint8_t>(sim.Inport(kLpt1));
  const std::uint8_t released = vql::cable::kMode7 | vql::cable::kMode3;
  if ((last & (vql::cable::kRst | released)) != released) {
    char text[80];
    std::snprintf(text, sizeof text, "last data-register write %02X", static_cast<unsigned>(last));
    Broken("at the end the cable releases the target (RST low, MODE7 and MODE3 high)", text);
  }
}

void Run(Bytes& in) {
  const DeviceInfo& device = ChooseDevice(in.Take());
  bool isChip = false;
  bool faulty = false;
  std::string options = ChooseOptions(in, device, isChip, faulty);
  const std::uint8_t settings = in.Take();
  // Fast programming, and the faults only it meets: a chip that ignores the page
  // instructions, or gives a signature that is not its own (another model's or none).
  const bool fast = (settings & 8) != 0;
  if (fast && isChip && (settings & 0x30) != 0) {
    faulty = true;
    static constexpr const char* kSignatures[] = {"1E5106", "1E5206", "1E73", "FFFFFF"};
    if ((settings & 0x10) != 0) options += ",pages=no";
    if ((settings & 0x20) != 0) options += std::string(",signature=") + kSignatures[settings >> 6];
  }
  std::vector<std::pair<Op, std::uint8_t>> commands(1 + in.Take() % 6);
  for (auto& [op, param] : commands) {
    op = kOpChoice[in.Take() % kOpChoice.size()];
    param = in.Take();
  }
  const std::string hexPath = HexPath();
  const std::string hexText = MakeHexText(in, device);
  // The cable: the printer port, or now and then a USB cable (the byte after the
  // file, which inputs that end with the file leave at 0).
  static constexpr const char* kCables[] = {"", "", ",adapter=ft232h", ",adapter=ft232r"};
  options += kCables[in.Take() % 4];
  {
    std::ofstream file(hexPath, std::ios::binary | std::ios::trunc);
    file << hexText;
  }
  // VQLISP_FUZZ_VERBOSE=1 with one input shows what it does: the device, the
  // simulator's options, the file and each command's outcome.
  static const bool verbose = std::getenv("VQLISP_FUZZ_VERBOSE") != nullptr;
  if (verbose) {
    std::fprintf(stderr, "device %s%s\n%s%s\n", std::string(device.name).c_str(),
                 fast ? " (fast programming)" : "", hexText.c_str(), options.c_str());
  }

  // Now and then a fine step, so that an instruction takes less virtual time than a
  // write cycle, and a program that forgot a wait would show.
  const std::uint64_t pumpStepNs = (settings & 4) != 0 ? kFinePumpStepNs : kPumpStepNs;
  vql::testing::VirtualWindow window(vql::testing::VirtualWindow::Settings{pumpStepNs, 0});
  vql::SimulatedPort sim(window, vql::ParseSimOptions(options));
  std::unique_ptr<vql::SimulatedFtdi> usb;
  if (sim.Options().adapter) usb = std::make_unique<vql::SimulatedFtdi>(window, sim.Options());
  auto watched = std::make_unique<WatchTarget>(vql::MakeSimTarget(sim.Options()), device);
  auto& watch = usb != nullptr ? usb->PlugTarget(std::move(watched)) : sim.PlugTarget(std::move(watched));
  SimChip* chip = watch.Chip();
  Socket socket = Socket::kChosen;
  if (chip != nullptr && chip->Model().name != device.name) {
    const bool fourByte = chip->Model().instructions == vql::SimInstructionSet::kFourByte;
    socket = fourByte == (device.set == vql::InstructionSet::FourByte) ? Socket::kSameSet
                                                                        : Socket::kOtherSet;
  }
  vql::Programmer app(sim, window, window);
  if (usb != nullptr) app.Link.AttachAdapter(*usb);
  app.Link.Lpt1Base = kLpt1;
  app.Link.Lpt2Base = kLpt2;
  app.Link.ConfigPath = "/fuzz/CONFIG.VQL";
  app.Link.SelectStartupPort();
  app.Cmd.SetOperatingMode(true);
  app.Selection.Select(vql::DeviceIndexOf(device.name));
  app.Controls.AutoReloadFile = (settings & 1) != 0;
  app.Cmd.AutoRunAfterProgram = (settings & 2) != 0;
  app.Controls.FastProgramming = fast;

  std::uint64_t stopAtPump = 0;  // 0: no stop asked
  const std::function<void()> stopWhenDue = [&] {
    if (stopAtPump != 0 && window.pumps >= stopAtPump) {
      app.Cmd.RequestStop();
      stopAtPump = 0;
    }
  };
  // The window pumps twice for every clocked bit: it calls the handler only while a
  // stop is waiting.
  const auto watchPumps = [&] { window.onPump = stopAtPump != 0 ? stopWhenDue : nullptr; };

  for (const auto& [op, param] : commands) {
    watchPumps();
    if (verbose) std::fprintf(stderr, "%s (parameter %d)...\n", OpName(op), param);
    const ChipSnapshot before = chip != nullptr ? Snapshot(*chip) : ChipSnapshot{};
    const std::uint32_t enablesBefore = chip != nullptr ? chip->Counters().enables : 0;
    const bool cycleRunningBefore = chip != nullptr && chip->BusyAt(window.NowMicroseconds());
    const bool stopAsked = stopAtPump != 0;
    std::int32_t askedLevel = app.Controls.Lock.LockLevel();
    std::optional<CommandResult> result;
    switch (op) {
      case kStop:
        // A stop during the next command, some pumps into it.
        stopAtPump = window.pumps + 1 + std::uint64_t{param} * 37;
        if (verbose) std::fprintf(stderr, "Stop at pump %llu\n", static_cast<unsigned long long>(stopAtPump));
        continue;
      case kPrepare:
        if (chip == nullptr) continue;
        if (verbose) std::fprintf(stderr, "Prepare %d (parameter %d)\n", param % 4, param);
        Prepare(*chip, param, app, device);
        continue;
      default:
        result = RunCommand(op, param, app, window, hexPath, device, askedLevel);
        if (!result) continue;
    }
    if (verbose) {
      std::fprintf(stderr, "%s | %s: %s\n", options.c_str(), OpName(op),
                   vql::OutcomeText(result->outcome).c_str());
    }
    Conditions conditions;
    conditions.lockLevel = askedLevel;
    conditions.faulty = faulty;
    conditions.stopAsked = stopAsked;
    conditions.misoStuck = sim.Options().misoStuckAt.has_value();
    conditions.cycleRunningBefore = cycleRunningBefore;
    if (chip != nullptr) {
      conditions.echoes = chip->Model().instructions == vql::SimInstructionSet::kFourByte &&
                          sim.Options().chip.echo.value_or(chip->Model().echoesEnable);
      conditions.hearsFirst = enablesBefore + 1 >= sim.Options().chip.echoFrom;
    }
    CheckCommand(op, *result, app, chip, device, before, socket, conditions);
  }

  watchPumps();
  app.Shutdown();
  std::remove(hexPath.c_str());
  if (usb == nullptr) {
    CheckReleased(sim);
  } else if (watch.Lines().rst) {
    Broken("at the end the USB cable releases the target (RST low, buffer off)", "RST high");
  }
}

}  // namespace

void vql::fuzz::Broken(const char* promise, const std::string& detail) {
  std::fprintf(stderr, "\n*** broken promise: %s\n    %s\n", promise, detail.c_str());
  std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes in(data, size);
  Run(in);
  return 0;
}
