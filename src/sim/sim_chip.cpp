#include "sim/sim_chip.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <utility>

#include "portio/port_io.h"

namespace vql {

// One instruction as the chip recognises it: the bytes where mask has a 1 must
// equal value; the others carry addresses, data or lock and fuse bits, or are the
// answer slot, whose byte the chip cannot know before it answers.
struct SimInstructionPattern {
  enum class Needs { kNothing, kModesInOrder, kBitsAtOnce, kX2FuseOnly, kUserFuses, kEeprom, kUserRow };

  SimInstruction op;
  SimInstructionSet set;
  std::array<std::uint8_t, 4> value;
  std::array<std::uint8_t, 4> mask;
  // Reads and the four-byte enable act when their opening is in, so that their
  // answer can go out during the last byte; the others act on the whole instruction.
  bool actsInSlot;
  Needs needs = Needs::kNothing;
};

namespace {

using Needs = SimInstructionPattern::Needs;
constexpr auto kFour = SimInstructionSet::kFourByte;
constexpr auto kThree = SimInstructionSet::kThreeByte;

constexpr auto kPatterns = std::to_array<SimInstructionPattern>({
    // Four-byte set. Byte 2 of the code instructions holds A13..A8 below two bits
    // that no part decodes. Programming Enable is AC 53 with bytes 3 and 4 "xxxx xxxx"
    // (AT89S52 1919A, AT89S8253 3286A Table 19): any byte there enables.
    {SimInstruction::kEnable, kFour, {0xAC, 0x53, 0, 0}, {0xFF, 0xFF, 0, 0}, true},
    {SimInstruction::kErase, kFour, {0xAC, 0x80, 0x00, 0x00}, {0xFF, 0xFF, 0xFF, 0xFF}, false},
    {SimInstruction::kWriteCode, kFour, {0x40, 0, 0, 0}, {0xFF, 0, 0, 0}, false},
    {SimInstruction::kReadCode, kFour, {0x20, 0, 0, 0}, {0xFF, 0, 0, 0}, true},
    {SimInstruction::kReadLockBits,
     kFour,
     {0x24, 0x55, 0x55, 0},
     {0xFF, 0xFF, 0xFF, 0},
     true,
     Needs::kNothing},
    {SimInstruction::kWriteLockMode,
     kFour,
     {0xAC, 0xE0, 0x00, 0x00},
     {0xFF, 0xFC, 0xFF, 0xFF},
     false,
     Needs::kModesInOrder},
    {SimInstruction::kWriteLockBits,
     kFour,
     {0xAC, 0xE0, 0xFF, 0xFF},
     {0xFF, 0xF8, 0xFF, 0xFF},
     false,
     Needs::kBitsAtOnce},
    // The one x2-clock fuse of the AT89S2051/4051, as the program has always spelt it.
    {SimInstruction::kReadFuse,
     kFour,
     {0x21, 0x55, 0x55, 0},
     {0xFF, 0xFF, 0xFF, 0},
     true,
     Needs::kX2FuseOnly},
    {SimInstruction::kWriteFuse,
     kFour,
     {0xAC, 0x18, 0x55, 0xFF},
     {0xFF, 0xFD, 0xFF, 0xFF},
     false,
     Needs::kX2FuseOnly},
    {SimInstruction::kReadSignature, kFour, {0x28, 0, 0, 0}, {0xFF, 0, 0, 0}, true},
    // The AT89S8253's user fuses: AC, 0001 1 F3 F2 F1, xx, xx and 21, xx, xx, then
    // the fuses out in byte 4 (3286A, Table 19).
    {SimInstruction::kWriteUserFuses,
     kFour,
     {0xAC, 0x18, 0, 0},
     {0xFF, 0xF8, 0, 0},
     false,
     Needs::kUserFuses},
    {SimInstruction::kReadUserFuses, kFour, {0x21, 0, 0, 0}, {0xFF, 0, 0, 0}, true,
     Needs::kUserFuses},
    // Its data EEPROM: xxxx x A10 A9 A8, A7..A0, then the data (3286A, Table 19).
    {SimInstruction::kWriteData, kFour, {0xC0, 0, 0, 0}, {0xFF, 0, 0, 0}, false, Needs::kEeprom},
    {SimInstruction::kReadData, kFour, {0xA0, 0, 0, 0}, {0xFF, 0, 0, 0}, true, Needs::kEeprom},
    // Its user signature row: xxxx xxxx, xx A13..A8 (A5..A0 within the row), data.
    {SimInstruction::kWriteUserRow, kFour, {0x42, 0, 0, 0}, {0xFF, 0, 0, 0}, false,
     Needs::kUserRow},
    {SimInstruction::kReadUserRow, kFour, {0x22, 0, 0, 0}, {0xFF, 0, 0, 0}, true,
     Needs::kUserRow},
    // Three-byte set. Byte 1 of the code instructions is A12..A8, A13, then the
    // operation in b1 b0: 1 0 write, 0 1 read.
    // Programming Enable is AC 53 and a byte of "xxxx xxxx".
    {SimInstruction::kEnable, kThree, {0xAC, 0x53, 0, 0}, {0xFF, 0xFF, 0, 0}, false},
    {SimInstruction::kErase, kThree, {0xAC, 0x04, 0x00, 0}, {0xFF, 0xFF, 0xFF, 0}, false},
    {SimInstruction::kWriteCode, kThree, {0x02, 0, 0, 0}, {0x03, 0, 0, 0}, false},
    {SimInstruction::kReadCode, kThree, {0x01, 0, 0, 0}, {0x03, 0, 0, 0}, true},
    {SimInstruction::kWriteLockBits3, kThree, {0xAC, 0x1F, 0xFF, 0}, {0xFF, 0x1F, 0xFF, 0}, false},
});

// The page instructions, known by their first byte alone: the chip cannot know their
// length otherwise, as their address and data bytes may hold anything.
struct SimPageInstruction {
  std::uint8_t first;
  SimInstruction op;
  SimArea area;
  bool write;
};
constexpr std::array<SimPageInstruction, 6> kPageInstructions{{
    {0x50, SimInstruction::kWritePage, SimArea::kCode, true},
    {0x30, SimInstruction::kReadPage, SimArea::kCode, false},
    {0xD0, SimInstruction::kWriteDataPage, SimArea::kEeprom, true},
    {0xB0, SimInstruction::kReadDataPage, SimArea::kEeprom, false},
    {0x52, SimInstruction::kWriteUserRowPage, SimArea::kUserRow, true},
    {0x32, SimInstruction::kReadUserRowPage, SimArea::kUserRow, false},
}};

// A chip keeps the data bytes of a page instruction until the last one is in.
static_assert(std::ranges::all_of(kSimChips, [](const SimChipModel& chip) {
  return chip.pageBytes <= kSimPageMost && chip.eepromPageBytes <= kSimPageMost &&
         chip.userRowBytes <= kSimPageMost && chip.signatureBytes <= kSimSignatureMost;
}));

bool ModelHas(const SimChipModel& model, Needs needs) {
  switch (needs) {
    case Needs::kModesInOrder:
      return model.locks == SimLockLayout::kModesInOrder;
    case Needs::kBitsAtOnce:
      return model.locks == SimLockLayout::kBitsAtOnce;
    case Needs::kX2FuseOnly:
      return model.x2Fuse && !model.userFuses;
    case Needs::kUserFuses:
      return model.userFuses;
    case Needs::kEeprom:
      return model.eepromPageBytes != 0;
    case Needs::kUserRow:
      return model.userRowBytes != 0;
    case Needs::kNothing:
      break;
  }
  return true;
}

constexpr std::uint8_t kEcho = 0x69;

// The answer the chip gives in place of one it withholds.
std::uint8_t Withheld(SimAnswer answer, std::uint8_t trueAnswer) {
  switch (answer) {
    case SimAnswer::kFF:
      return 0xFF;
    case SimAnswer::k00:
      return 0x00;
    case SimAnswer::kComplement:
      break;
  }
  return static_cast<std::uint8_t>(~trueAnswer);
}

// The area that a read instruction reads, if it reads one.
std::optional<SimArea> AreaRead(SimInstruction op) {
  switch (op) {
    case SimInstruction::kReadCode:
      return SimArea::kCode;
    case SimInstruction::kReadData:
      return SimArea::kEeprom;
    case SimInstruction::kReadUserRow:
      return SimArea::kUserRow;
    default:
      return std::nullopt;
  }
}

// Of the bits that go from before to asked, every other one, the first included,
// stays as before: a cut cycle never leaves what was asked, unless it asked no
// change.
std::array<bool, 3> HalfWritten(const std::array<bool, 3>& before, const std::array<bool, 3>& asked) {
  std::array<bool, 3> result = asked;
  bool keep = true;
  for (std::size_t i = 0; i < result.size(); ++i) {
    if (before[i] == asked[i]) continue;
    if (keep) result[i] = before[i];
    keep = !keep;
  }
  return result;
}

std::array<bool, 3> Bits(const SimLockBits& bits) { return {bits.lb1, bits.lb2, bits.lb3}; }
std::array<bool, 3> Bits(const SimFuses& fuses) {
  return {fuses.serialProgramming, fuses.x2Clock, fuses.userRowProgramming};
}

}  // namespace

SimChip::SimChip(const SimChipModel& model, SimChipSettings settings)
    : model_(model),
      settings_(std::move(settings)),
      memory_(SimChipMemory::Erased(model)),
      shifter_(model.spiMode),
      random_(settings_.seed) {
  if (!settings_.stateFile.empty()) {
    if (auto kept = LoadSimChipState(settings_.stateFile, model_)) memory_ = std::move(*kept);
  }
}

SimChip::~SimChip() {
  if (settings_.stateFile.empty()) return;
  try {
    SaveState();
  } catch (const PortError& e) {
    std::cerr << e.what() << '\n';
  }
}

void SimChip::SaveState() const {
  if (!settings_.stateFile.empty()) SaveSimChipState(settings_.stateFile, model_, memory_);
}

std::uint32_t SimChip::EraseUs() const { return settings_.eraseMs.value_or(model_.eraseMs) * 1000; }

double SimChip::ByteWriteUs() const {
  if (settings_.writeUs) return *settings_.writeUs;
  return model_.writeUs + model_.writeClocks / settings_.xtalMHz;
}

std::uint32_t SimChip::WriteUs() const {
  return static_cast<std::uint32_t>(std::ceil(ByteWriteUs()));
}

std::uint32_t SimChip::PageWriteUs() const {
  return static_cast<std::uint32_t>(std::ceil(model_.pageWriteCycles * ByteWriteUs()));
}

bool SimChip::PhaseTooShort(std::uint64_t us) const {
  return static_cast<double>(us) * settings_.xtalMHz < static_cast<double>(model_.sckPhaseClocks);
}

void SimChip::LinesChanged(const TargetLines& lines, std::uint64_t us) {
  TargetLines taken = lines;
  if (lines.sck != sck_) {
    if (shifter_.SamplesOn(lines.sck) && PhaseTooShort(us - sckEdgeUs_)) {
      taken.mosi = !lines.mosi;
    }
    sck_ = lines.sck;
    sckEdgeUs_ = us;
  }
  switch (shifter_.LinesChanged(taken)) {
    case SimSerialShifter::Event::kSessionStarted:
      serialProgramming_ = memory_.fuses.serialProgramming;
      enabled_ = false;
      bytes_ = 0;
      page_.reset();
      break;
    case SimSerialShifter::Event::kSessionEnded:
      // Either way the chip leaves programming.
      RstFell(us);
      enabled_ = false;
      bytes_ = 0;
      page_.reset();
      break;
    case SimSerialShifter::Event::kByteReceived:
      ByteReceived(shifter_.Received(), us);
      break;
    case SimSerialShifter::Event::kNone:
      break;
  }
}

bool SimChip::Miso(std::uint64_t) { return shifter_.Miso(); }

void SimChip::ByteReceived(std::uint8_t byte, std::uint64_t us) {
  if (bytes_ == 0) {
    const auto* page = std::ranges::find(kPageInstructions, byte, &SimPageInstruction::first);
    if (page != kPageInstructions.end() && PageBytes(page->area) != 0) {
      page_ = page->op;
      pageArea_ = page->area;
    }
  }
  if (page_) {
    PageByteReceived(byte, us);
    return;
  }
  instruction_[bytes_++] = byte;
  const std::size_t length = model_.InstructionBytes();
  if (bytes_ == length - 1) {
    const SimInstructionPattern* opening = Match(true);
    answeredInSlot_ = opening != nullptr;
    if (answeredInSlot_) shifter_.SetNextAnswer(Answer(opening->op, us));
    return;
  }
  if (bytes_ < length) return;
  bytes_ = 0;
  if (answeredInSlot_) return;
  if (const SimInstructionPattern* whole = Match(false)) {
    Execute(whole->op, us);
  } else {
    ++counters_.ignored;
  }
}

std::size_t SimChip::PageBytes(SimArea area) const {
  switch (area) {
    case SimArea::kCode:
      return TakesPages() ? model_.pageBytes : 0;
    case SimArea::kEeprom:
      return model_.eepromPageBytes;
    case SimArea::kUserRow:
      return model_.userRowBytes;
  }
  return 0;
}

void SimChip::PageByteReceived(std::uint8_t byte, std::uint64_t us) {
  // The code pages of 256 bytes have one address byte; all others two (3286A,
  // Table 19: the user row's are both "xxxx xxxx").
  const std::size_t header =
      pageArea_ == SimArea::kCode ? model_.PageHeaderBytes() : std::size_t{3};
  const std::size_t size = PageBytes(pageArea_);
  if (bytes_ < header) {
    instruction_[bytes_++] = byte;
    if (bytes_ < header) return;
  } else {
    pageData_[bytes_++ - header] = byte;
  }
  const std::size_t received = bytes_ - header;  // data bytes so far
  const bool write = *page_ == SimInstruction::kWritePage ||
                     *page_ == SimInstruction::kWriteDataPage ||
                     *page_ == SimInstruction::kWriteUserRowPage;
  if (received < size) {
    // The page's next byte goes out during the data byte that comes next.
    if (!write) shifter_.SetNextAnswer(PageReadAnswer(received, us));
    return;
  }
  bytes_ = 0;
  page_.reset();
  if (write) WritePage(pageArea_, us);
}

const SimInstructionPattern* SimChip::Match(bool answersInSlot) const {
  // The opening is all but the last byte; a whole instruction is all of them.
  const std::size_t compared = model_.InstructionBytes() - (answersInSlot ? 1 : 0);
  const auto matches = [&](const SimInstructionPattern& p) {
    if (p.set != model_.instructions || p.actsInSlot != answersInSlot ||
        !ModelHas(model_, p.needs)) {
      return false;
    }
    for (std::size_t i = 0; i < compared; ++i) {
      if ((instruction_[i] & p.mask[i]) != p.value[i]) return false;
    }
    return true;
  };
  const auto* found = std::ranges::find_if(kPatterns, matches);
  return found == kPatterns.end() ? nullptr : found;
}

std::uint8_t SimChip::Answer(SimInstruction op, std::uint64_t us) {
  if (op == SimInstruction::kEnable) {
    // Unheard, busy, or a chip that does not echo: the slot carries the plain echo.
    const bool taken = TakeEnable(us);
    return taken && settings_.echo.value_or(model_.echoesEnable) ? kEcho
                                                                 : instruction_[bytes_ - 1];
  }
  const auto area = AreaRead(op);
  const auto count = [this](SimArea read) {
    ++(read == SimArea::kCode     ? counters_.reads
       : read == SimArea::kEeprom ? counters_.eepromReads
                                  : counters_.userRowReads);
  };
  if (enabled_ && BusyAt(us)) {
    if (const auto busy = BusyAnswer(op)) {
      count(*area);
      return Flaky(*busy);
    }
  } else if (enabled_) {
    if (area) {
      count(*area);
      return Flaky(ReadStored(*area, ByteIndex(*area)));
    }
    switch (op) {
      case SimInstruction::kReadLockBits:
        return Flaky(LockBitsAnswer());
      case SimInstruction::kReadFuse:
      case SimInstruction::kReadUserFuses:
        return Flaky(FuseAnswer());
      case SimInstruction::kReadSignature:
        return Flaky(SignatureAnswer());
      default:
        break;
    }
  }
  ++counters_.ignored;
  return Unheard(op);
}

std::optional<std::uint8_t> SimChip::BusyAnswer(SimInstruction op) const {
  const auto area = AreaRead(op);
  if (!area) return std::nullopt;
  if (erasing_) {
    // "During Chip Erase, a serial read from any address location will return 00H"
    // (3286A, page 35).
    if (!model_.dataSheetBusyReads) return std::nullopt;
    return std::uint8_t{0x00};
  }
  // Data polling: bit 7 reads inverted until the write cycle is over.
  const bool polls =
      model_.dataSheetBusyReads || model_.instructions == SimInstructionSet::kThreeByte;
  const auto index = ByteIndex(*area);
  if (!polls || !writing_ || !index || *writing_ != std::pair{*area, *index}) return std::nullopt;
  return static_cast<std::uint8_t>(writingData_ ^ 0x80);
}

std::uint8_t SimChip::Unheard(SimInstruction op) const {
  switch (op) {
    case SimInstruction::kReadLockBits:
      return Withheld(settings_.unheard, LockBitsAnswer());
    case SimInstruction::kReadFuse:
    case SimInstruction::kReadUserFuses:
      return Withheld(settings_.unheard, FuseAnswer());
    case SimInstruction::kReadSignature:
      return Withheld(settings_.unheard, SignatureAnswer());
    default:
      break;
  }
  const SimArea area = AreaRead(op).value_or(SimArea::kCode);
  return Withheld(settings_.unheard, Stored(area, ByteIndex(area)));
}

bool SimChip::TakeEnable(std::uint64_t us) {
  ++counters_.enables;
  if (BusyAt(us) || counters_.enables < settings_.echoFrom || !serialProgramming_) {
    ++counters_.ignored;
    return false;
  }
  enabled_ = true;
  ++counters_.enablesObeyed;
  return true;
}

void SimChip::Execute(SimInstruction op, std::uint64_t us) {
  if (op == SimInstruction::kEnable) {
    TakeEnable(us);
    return;
  }
  if (!enabled_ || BusyAt(us)) {
    ++counters_.ignored;
    return;
  }
  switch (op) {
    case SimInstruction::kErase:
      Erase(us);
      return;
    case SimInstruction::kWriteCode:
      WriteByte(SimArea::kCode, us);
      return;
    case SimInstruction::kWriteData:
      WriteByte(SimArea::kEeprom, us);
      return;
    case SimInstruction::kWriteUserRow:
      WriteByte(SimArea::kUserRow, us);
      return;
    case SimInstruction::kWriteFuse:
    case SimInstruction::kWriteUserFuses:
      WriteUserFuses(us);
      return;
    default:
      NoteBitsCycle();
      if (!SetLockBitsFrom(op)) {
        ++counters_.ignored;
        return;
      }
      ++counters_.lockWrites;
      StartWriteCycle(us, WriteUs());
      return;
  }
}

void SimChip::WriteUserFuses(std::uint64_t us) {
  // Byte 2 is 0001 1 F3 F2 F1, each fuse enabled by a 0 (3286A, Table 19, and the
  // parallel mode's fuse table: D0..D2 = 0 enable). The AT89S2051/4051's form can
  // only carry F1 and F3 as 0, so it writes the x2-clock fuse alone.
  NoteBitsCycle();
  const std::uint8_t byte2 = instruction_[1];
  memory_.fuses = {.serialProgramming = (byte2 & 0x01) == 0,
                   .x2Clock = (byte2 & 0x02) == 0,
                   .userRowProgramming = (byte2 & 0x04) == 0};
  ++counters_.fuseWrites;
  StartWriteCycle(us, WriteUs());
}

void SimChip::Erase(std::uint64_t us) {
  cycleKind_ = CycleKind::kErase;
  cycleMemory_.code = memory_.code;
  cycleMemory_.eeprom = memory_.eeprom;
  cycleMemory_.userRow = memory_.userRow;
  cycleMemory_.lockBits = memory_.lockBits;
  cycleMemory_.fuses = memory_.fuses;
  // The fuses are no part of the arrays and survive; the user row goes only while
  // Fuse3 is enabled.
  std::ranges::fill(memory_.code, std::uint8_t{0xFF});
  std::ranges::fill(memory_.eeprom, std::uint8_t{0xFF});
  if (memory_.fuses.userRowProgramming) std::ranges::fill(memory_.userRow, std::uint8_t{0xFF});
  memory_.lockBits = {};
  writing_.reset();
  erasing_ = true;
  busyUntilUs_ = us + EraseUs();
  ++counters_.erases;
}

void SimChip::NoteBytesCycle(SimArea area, std::size_t first, std::size_t count) {
  cycleKind_ = CycleKind::kBytes;
  cycleArea_ = area;
  cycleFirst_ = first;
  const auto& bytes = Bytes(area);
  const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(first);
  cycleBytes_.assign(from, from + static_cast<std::ptrdiff_t>(count));
}

void SimChip::NoteBitsCycle() {
  cycleKind_ = CycleKind::kBits;
  cycleMemory_.lockBits = memory_.lockBits;
  cycleMemory_.fuses = memory_.fuses;
}

void SimChip::StartWriteCycle(std::uint64_t us, std::uint32_t lastsUs,
                              std::optional<std::pair<SimArea, std::size_t>> cell) {
  busyUntilUs_ = us + lastsUs;
  erasing_ = false;
  writing_ = cell;
}

void SimChip::RstFell(std::uint64_t us) {
  if (!BusyAt(us)) return;
  ++counters_.cutCycles;
  if (!settings_.rstAbort) return;  // the cycle goes on
  SpoilCutCycle();
  busyUntilUs_ = us;
  erasing_ = false;
  writing_.reset();
}

void SimChip::SpoilCutCycle() {
  const auto spoil = [this](std::vector<std::uint8_t>& bytes, const std::vector<std::uint8_t>& before,
                            std::size_t first) {
    for (std::size_t k = 0; k < before.size(); ++k) {
      bytes[first + k] = Undefined(before[k], bytes[first + k]);
    }
  };
  if (cycleKind_ == CycleKind::kBytes) {
    spoil(Bytes(cycleArea_), cycleBytes_, cycleFirst_);
    return;
  }
  if (cycleKind_ == CycleKind::kErase) {
    spoil(memory_.code, cycleMemory_.code, 0);
    spoil(memory_.eeprom, cycleMemory_.eeprom, 0);
    if (cycleMemory_.fuses.userRowProgramming) spoil(memory_.userRow, cycleMemory_.userRow, 0);
  }
  const auto locks = HalfWritten(Bits(cycleMemory_.lockBits), Bits(memory_.lockBits));
  memory_.lockBits = {.lb1 = locks[0], .lb2 = locks[1], .lb3 = locks[2]};
  const auto fuses = HalfWritten(Bits(cycleMemory_.fuses), Bits(memory_.fuses));
  memory_.fuses = {.serialProgramming = fuses[0], .x2Clock = fuses[1],
                   .userRowProgramming = fuses[2]};
}

std::uint8_t SimChip::Undefined(std::uint8_t before, std::uint8_t after) {
  auto byte = static_cast<std::uint8_t>(NextRandom());
  while (byte == before || byte == after) ++byte;
  return byte;
}

bool SimChip::Writable(SimArea area) const {
  if (memory_.lockBits.Any()) return false;
  return area != SimArea::kUserRow || memory_.fuses.userRowProgramming;
}

void SimChip::WriteByte(SimArea area, std::uint64_t us) {
  const auto index = ByteIndex(area);
  if (!index || !Writable(area)) {
    ++counters_.ignored;
    return;
  }
  const std::uint8_t data = instruction_[model_.InstructionBytes() - 1];
  NoteBytesCycle(area, *index, 1);
  Program(area, *index, data);
  writingData_ = data;
  ++(area == SimArea::kCode     ? counters_.writes
     : area == SimArea::kEeprom ? counters_.eepromWrites
                                : counters_.userRowWrites);
  StartWriteCycle(us, WriteUs(), std::pair{area, *index});
}

void SimChip::WritePage(SimArea area, std::uint64_t us) {
  // Taken or refused as a byte write is, once the whole instruction is in.
  const auto first = PageIndex(area, 0);
  const std::size_t size = PageBytes(area);
  if (!enabled_ || BusyAt(us) || !first || !Writable(area)) {
    ++counters_.ignored;
    return;
  }
  NoteBytesCycle(area, *first, size);
  for (std::size_t k = 0; k < size; ++k) Program(area, *first + k, pageData_[k]);
  ++(area == SimArea::kCode     ? counters_.pageWrites
     : area == SimArea::kEeprom ? counters_.eepromPageWrites
                                : counters_.userRowPageWrites);
  // Data polling reads the page's last byte.
  writingData_ = pageData_[size - 1];
  StartWriteCycle(us, PageWriteUs(), std::pair{area, *first + size - 1});
}

void SimChip::Program(SimArea area, std::size_t index, std::uint8_t data) {
  std::uint8_t& cell = Bytes(area)[index];
  if (area == SimArea::kCode && settings_.deadAddress &&
      (*settings_.deadAddress & model_.AddressMask()) == index) {
    cell = 0xFF;
  } else if (model_.instructions == SimInstructionSet::kThreeByte) {
    cell = data;  // these parts erase the byte as part of its write
  } else {
    // Flash, and the AT89S8253's EEPROM: a write only clears bits; only an erase
    // sets them again ("to reprogram any non-blank byte ... invoke the Chip Erase
    // operation first", 3286A, page 34).
    cell &= data;
  }
}

bool SimChip::SetLockBitsFrom(SimInstruction op) {
  SimLockBits& bits = memory_.lockBits;
  const std::uint8_t byte2 = instruction_[1];
  switch (op) {
    case SimInstruction::kWriteLockMode:
      // Each mode builds on the one before: E2 needs LB1 set, E3 needs LB2.
      switch (byte2 & 0x03) {
        case 0:
          return true;
        case 1:
          bits.lb1 = true;
          return true;
        case 2:
          if (!bits.lb1) return false;
          bits.lb2 = true;
          return true;
        default:
          if (!bits.lb2) return false;
          bits.lb3 = true;
          return true;
      }
    case SimInstruction::kWriteLockBits:  // [1,1,1,0,0,L3,L2,L1], 0 sets
      bits.lb1 = bits.lb1 || (byte2 & 0x01) == 0;
      bits.lb2 = bits.lb2 || (byte2 & 0x02) == 0;
      bits.lb3 = bits.lb3 || (byte2 & 0x04) == 0;
      return true;
    case SimInstruction::kWriteLockBits3:  // [LB1,LB2,LB3,1,1,1,1,1], 0 sets
      bits.lb1 = bits.lb1 || (byte2 & 0x80) == 0;
      bits.lb2 = bits.lb2 || (byte2 & 0x40) == 0;
      bits.lb3 = bits.lb3 || (byte2 & 0x20) == 0;
      return true;
    default:
      return false;
  }
}

std::vector<std::uint8_t>& SimChip::Bytes(SimArea area) {
  return area == SimArea::kCode     ? memory_.code
         : area == SimArea::kEeprom ? memory_.eeprom
                                    : memory_.userRow;
}

const std::vector<std::uint8_t>& SimChip::Bytes(SimArea area) const {
  return area == SimArea::kCode     ? memory_.code
         : area == SimArea::kEeprom ? memory_.eeprom
                                    : memory_.userRow;
}

std::uint16_t SimChip::Address() const {
  if (model_.instructions == SimInstructionSet::kFourByte) {
    return static_cast<std::uint16_t>(((instruction_[1] & 0x3F) << 8) | instruction_[2]);
  }
  const std::uint8_t byte1 = instruction_[0];
  return static_cast<std::uint16_t>(((byte1 & 0x04) << 11) | ((byte1 >> 3) << 8) | instruction_[1]);
}

std::optional<std::size_t> SimChip::ByteIndex(SimArea area) const {
  switch (area) {
    case SimArea::kCode:
      return CodeIndex(Address());
    case SimArea::kEeprom: {
      // xxxx x A10 A9 A8, then A7..A0: every address is within the 2 KiB.
      const std::size_t index = ((instruction_[1] & 0x07u) << 8) | instruction_[2];
      if (index >= memory_.eeprom.size()) return std::nullopt;
      return index;
    }
    case SimArea::kUserRow: {
      // Byte 3's field (the table's "xx A13..A8"): its low six bits are the place in
      // the 64-byte row.
      const std::size_t index = instruction_[2] & 0x3Fu;
      if (index >= memory_.userRow.size()) return std::nullopt;
      return index;
    }
  }
  return std::nullopt;
}

std::uint16_t SimChip::PageAddress(std::size_t k) const {
  // Pages of 256 bytes take the high address byte alone; smaller pages take their
  // bits of the low byte as well, and the chip ignores the bits below the page.
  const unsigned low = model_.pageBytes >= 256 ? 0u : instruction_[2] & (0x100u - model_.pageBytes);
  return static_cast<std::uint16_t>((((instruction_[1] & 0x3Fu) << 8) | low) + k);
}

std::optional<std::size_t> SimChip::PageIndex(SimArea area, std::size_t k) const {
  switch (area) {
    case SimArea::kCode:
      return CodeIndex(PageAddress(k));
    case SimArea::kEeprom: {
      // xxxx x A10 A9 A8, then A7 A6 A5 0 0000: pages of 32 from byte 0 on.
      const std::size_t first = ((instruction_[1] & 0x07u) << 8) | (instruction_[2] & 0xE0u);
      if (first + k >= memory_.eeprom.size()) return std::nullopt;
      return first + k;
    }
    case SimArea::kUserRow:
      // The whole row: both address bytes are "xxxx xxxx".
      if (k >= memory_.userRow.size()) return std::nullopt;
      return k;
  }
  return std::nullopt;
}

std::uint8_t SimChip::PageReadAnswer(std::size_t k, std::uint64_t us) {
  const auto index = PageIndex(pageArea_, k);
  // Each byte is served or withheld as the chip stands when it goes out; the
  // counters count the instruction once, by its first byte.
  if (!enabled_ || BusyAt(us)) {
    if (k == 0) ++counters_.ignored;
    return Withheld(settings_.unheard, Stored(pageArea_, index));
  }
  if (k == 0) {
    ++(pageArea_ == SimArea::kCode     ? counters_.pageReads
       : pageArea_ == SimArea::kEeprom ? counters_.eepromPageReads
                                       : counters_.userRowPageReads);
  }
  return Flaky(ReadStored(pageArea_, index));
}

std::optional<std::size_t> SimChip::CodeIndex(std::uint16_t address) const {
  const std::size_t index = address & model_.AddressMask();
  if (index >= memory_.code.size()) return std::nullopt;
  return index;
}

std::uint8_t SimChip::Code(std::uint16_t address) const {
  const auto index = CodeIndex(address);
  return index ? memory_.code[*index] : std::uint8_t{0xFF};
}

void SimChip::SetCode(std::uint16_t address, std::uint8_t byte) {
  if (const auto index = CodeIndex(address)) memory_.code[*index] = byte;
}

std::uint8_t SimChip::Eeprom(std::uint16_t address) const {
  return address < memory_.eeprom.size() ? memory_.eeprom[address] : std::uint8_t{0xFF};
}

void SimChip::SetEeprom(std::uint16_t address, std::uint8_t byte) {
  if (address < memory_.eeprom.size()) memory_.eeprom[address] = byte;
}

std::uint8_t SimChip::UserRow(std::uint8_t address) const {
  return address < memory_.userRow.size() ? memory_.userRow[address] : std::uint8_t{0xFF};
}

void SimChip::SetUserRow(std::uint8_t address, std::uint8_t byte) {
  if (address < memory_.userRow.size()) memory_.userRow[address] = byte;
}

std::uint8_t SimChip::Stored(SimArea area, std::optional<std::size_t> index) const {
  return index ? Bytes(area)[*index] : std::uint8_t{0xFF};
}

std::uint8_t SimChip::ReadStored(SimArea area, std::optional<std::size_t> index) const {
  const std::uint8_t stored = Stored(area, index);
  // From lock level 2 on neither code nor data can be read back (3286A, page 35:
  // "if lock bits LB1 and LB2 have not been programmed, the programmed Code or Data
  // byte can be read back"); what comes instead is the settings' choice.
  const bool hidden = memory_.lockBits.lb2 || memory_.lockBits.lb3;
  return hidden ? Withheld(settings_.lockedRead, stored) : stored;
}

std::uint8_t SimChip::ReadCode(std::uint16_t address) const {
  return ReadStored(SimArea::kCode, CodeIndex(address));
}

std::uint8_t SimChip::SignatureAnswer() const {
  const std::uint16_t address = Address();
  for (std::size_t i = 0; i < model_.signatureBytes; ++i) {
    if (model_.signature[i].address != address) continue;
    return i < settings_.signature.size() ? settings_.signature[i] : model_.signature[i].value;
  }
  return 0xFF;
}

std::uint8_t SimChip::LockBitsAnswer() const {
  const SimLockBits& bits = memory_.lockBits;
  const auto set =
      static_cast<std::uint8_t>((bits.lb1 ? 1 : 0) | (bits.lb2 ? 2 : 0) | (bits.lb3 ? 4 : 0));
  const bool setReadsOne =
      settings_.lockRead.value_or(model_.lockReading) == SimLockReading::kSetReadsOne;
  const auto field = static_cast<std::uint8_t>(setReadsOne ? set : ~set & 0x07);
  if (model_.locks == SimLockLayout::kModesInOrder) {
    return static_cast<std::uint8_t>(field << 2);  // b2..b4, the other bits 0
  }
  // b0..b2, the bits above as a clear lock bit reads.
  return setReadsOne ? field : static_cast<std::uint8_t>(0xF8 | field);
}

std::uint8_t SimChip::FuseAnswer() const {
  const SimFuses& fuses = memory_.fuses;
  // The AT89S2051/4051: b1 reads 0 while x2 is on, every other bit 1, as the program
  // has always read it.
  if (!model_.userFuses) return fuses.x2Clock ? 0xFD : 0xFF;
  // The AT89S8253: xxxx x F3 F2 F1 (3286A, Table 19), in a polarity that the data
  // sheet does not give; the bits above read as a disabled fuse does.
  const auto enabled = static_cast<std::uint8_t>((fuses.serialProgramming ? 1 : 0) |
                                                 (fuses.x2Clock ? 2 : 0) |
                                                 (fuses.userRowProgramming ? 4 : 0));
  if (settings_.fuseRead == SimFuseReading::kInverted) return enabled;
  return static_cast<std::uint8_t>(~enabled);
}

std::uint8_t SimChip::Flaky(std::uint8_t answer) {
  if (settings_.flakyRate <= 0.0) return answer;
  // The top 53 bits give a uniform double in [0, 1).
  const double draw = static_cast<double>(NextRandom() >> 11) * 0x1.0p-53;
  if (draw >= settings_.flakyRate) return answer;
  ++counters_.flipped;
  return static_cast<std::uint8_t>(answer ^ (1u << (NextRandom() % 8)));
}

std::uint64_t SimChip::NextRandom() {
  // SplitMix64: the same numbers from the same seed on every platform.
  random_ += 0x9E3779B97F4A7C15ULL;
  std::uint64_t z = random_;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

}  // namespace vql
