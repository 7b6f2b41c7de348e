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
  enum class Needs { kNothing, kModesInOrder, kBitsAtOnce, kX2Fuse };

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

constexpr std::array<SimInstructionPattern, 15> kPatterns{{
    // Four-byte set. Byte 2 of the code instructions holds A13..A8 below two bits
    // that no part decodes.
    {SimInstruction::kEnable, kFour, {0xAC, 0x53, 0x55, 0}, {0xFF, 0xFF, 0xFF, 0}, true},
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
    {SimInstruction::kReadFuse,
     kFour,
     {0x21, 0x55, 0x55, 0},
     {0xFF, 0xFF, 0xFF, 0},
     true,
     Needs::kX2Fuse},
    {SimInstruction::kWriteFuse,
     kFour,
     {0xAC, 0x18, 0x55, 0xFF},
     {0xFF, 0xFD, 0xFF, 0xFF},
     false,
     Needs::kX2Fuse},
    {SimInstruction::kReadSignature, kFour, {0x28, 0, 0, 0}, {0xFF, 0, 0, 0}, true},
    // Three-byte set. Byte 1 of the code instructions is A12..A8, A13, then the
    // operation in b1 b0: 1 0 write, 0 1 read.
    {SimInstruction::kEnable, kThree, {0xAC, 0x53, 0x55, 0}, {0xFF, 0xFF, 0xFF, 0}, false},
    {SimInstruction::kErase, kThree, {0xAC, 0x04, 0x00, 0}, {0xFF, 0xFF, 0xFF, 0}, false},
    {SimInstruction::kWriteCode, kThree, {0x02, 0, 0, 0}, {0x03, 0, 0, 0}, false},
    {SimInstruction::kReadCode, kThree, {0x01, 0, 0, 0}, {0x03, 0, 0, 0}, true},
    {SimInstruction::kWriteLockBits3, kThree, {0xAC, 0x1F, 0xFF, 0}, {0xFF, 0x1F, 0xFF, 0}, false},
}};

// The page instructions, known by their first byte alone: the chip cannot know their
// length otherwise, as their address and data bytes may hold anything.
constexpr std::array<std::pair<std::uint8_t, SimInstruction>, 2> kPageInstructions{{
    {0x50, SimInstruction::kWritePage},
    {0x30, SimInstruction::kReadPage},
}};

// A chip keeps the data bytes of a page instruction until the last one is in.
static_assert(std::ranges::all_of(kSimChips, [](const SimChipModel& chip) {
  return chip.pageBytes <= kSimPageMost && chip.signatureBytes <= kSimSignatureMost;
}));

bool ModelHas(const SimChipModel& model, Needs needs) {
  switch (needs) {
    case Needs::kModesInOrder:
      return model.locks == SimLockLayout::kModesInOrder;
    case Needs::kBitsAtOnce:
      return model.locks == SimLockLayout::kBitsAtOnce;
    case Needs::kX2Fuse:
      return model.x2Fuse;
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
    case SimSerialShifter::Event::kSessionEnded:
      // Either way the chip leaves programming; a write or erase under way goes on.
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
  if (bytes_ == 0 && TakesPages()) {
    const auto* page = std::ranges::find(kPageInstructions, byte,
                                         &std::pair<std::uint8_t, SimInstruction>::first);
    if (page != kPageInstructions.end()) page_ = page->second;
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

void SimChip::PageByteReceived(std::uint8_t byte, std::uint64_t us) {
  const std::size_t header = model_.PageHeaderBytes();
  if (bytes_ < header) {
    instruction_[bytes_++] = byte;
    if (bytes_ < header) return;
  } else {
    pageData_[bytes_++ - header] = byte;
  }
  const std::size_t received = bytes_ - header;  // data bytes so far
  if (received < model_.pageBytes) {
    // The page's next byte goes out during the data byte that comes next.
    if (page_ == SimInstruction::kReadPage) shifter_.SetNextAnswer(PageReadAnswer(received, us));
    return;
  }
  bytes_ = 0;
  if (std::exchange(page_, std::nullopt) == SimInstruction::kWritePage) WritePage(us);
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
  if (enabled_ && BusyAt(us)) {
    if (const auto busy = BusyAnswer(op)) {
      ++counters_.reads;
      return Flaky(*busy);
    }
  } else if (enabled_) {
    switch (op) {
      case SimInstruction::kReadCode:
        ++counters_.reads;
        return Flaky(ReadCode(Address()));
      case SimInstruction::kReadLockBits:
        return Flaky(LockBitsAnswer());
      case SimInstruction::kReadFuse:
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
  if (op != SimInstruction::kReadCode) return std::nullopt;
  if (erasing_) {
    if (!model_.dataSheetBusyReads) return std::nullopt;
    return std::uint8_t{0x00};
  }
  // Data polling: bit 7 reads inverted until the write cycle is over.
  const bool polls =
      model_.dataSheetBusyReads || model_.instructions == SimInstructionSet::kThreeByte;
  if (!polls || !writing_ || writing_ != CodeIndex(Address())) return std::nullopt;
  return static_cast<std::uint8_t>(writingData_ ^ 0x80);
}

std::uint8_t SimChip::Unheard(SimInstruction op) const {
  switch (op) {
    case SimInstruction::kReadLockBits:
      return Withheld(settings_.unheard, LockBitsAnswer());
    case SimInstruction::kReadFuse:
      return Withheld(settings_.unheard, FuseAnswer());
    case SimInstruction::kReadSignature:
      return Withheld(settings_.unheard, SignatureAnswer());
    default:
      return Withheld(settings_.unheard, Code(Address()));
  }
}

bool SimChip::TakeEnable(std::uint64_t us) {
  ++counters_.enables;
  if (BusyAt(us) || counters_.enables < settings_.echoFrom) {
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
      WriteCode(us);
      return;
    case SimInstruction::kWriteFuse:
      memory_.x2Clock = (instruction_[1] & 0x02) == 0;
      ++counters_.fuseWrites;
      StartWriteCycle(us, WriteUs());
      return;
    default:
      if (!SetLockBitsFrom(op)) {
        ++counters_.ignored;
        return;
      }
      ++counters_.lockWrites;
      StartWriteCycle(us, WriteUs());
      return;
  }
}

void SimChip::Erase(std::uint64_t us) {
  // The fuse is no part of the code array and survives.
  std::ranges::fill(memory_.code, std::uint8_t{0xFF});
  memory_.lockBits = {};
  writing_.reset();
  erasing_ = true;
  busyUntilUs_ = us + EraseUs();
  ++counters_.erases;
}

void SimChip::StartWriteCycle(std::uint64_t us, std::uint32_t lastsUs,
                              std::optional<std::size_t> cell) {
  busyUntilUs_ = us + lastsUs;
  erasing_ = false;
  writing_ = cell;
}

void SimChip::WriteCode(std::uint64_t us) {
  const auto index = CodeIndex(Address());
  if (!index || memory_.lockBits.Any()) {
    ++counters_.ignored;
    return;
  }
  const std::uint8_t data = instruction_[model_.InstructionBytes() - 1];
  Program(*index, data);
  writingData_ = data;
  ++counters_.writes;
  StartWriteCycle(us, WriteUs(), index);
}

void SimChip::WritePage(std::uint64_t us) {
  // Taken or refused as a byte write is, once the whole instruction is in.
  const auto first = CodeIndex(PageAddress(0));
  if (!enabled_ || BusyAt(us) || !first || memory_.lockBits.Any()) {
    ++counters_.ignored;
    return;
  }
  for (std::size_t k = 0; k < model_.pageBytes; ++k) Program(*first + k, pageData_[k]);
  ++counters_.pageWrites;
  // Data polling reads the page's last byte.
  writingData_ = pageData_[model_.pageBytes - 1];
  StartWriteCycle(us, PageWriteUs(), *first + model_.pageBytes - 1);
}

void SimChip::Program(std::size_t index, std::uint8_t data) {
  std::uint8_t& cell = memory_.code[index];
  if (settings_.deadAddress && (*settings_.deadAddress & model_.AddressMask()) == index) {
    cell = 0xFF;
  } else if (model_.instructions == SimInstructionSet::kThreeByte) {
    cell = data;  // these parts erase the byte as part of its write
  } else {
    cell &= data;  // flash: a write only clears bits; only an erase sets them again
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

std::uint16_t SimChip::Address() const {
  if (model_.instructions == SimInstructionSet::kFourByte) {
    return static_cast<std::uint16_t>(((instruction_[1] & 0x3F) << 8) | instruction_[2]);
  }
  const std::uint8_t byte1 = instruction_[0];
  return static_cast<std::uint16_t>(((byte1 & 0x04) << 11) | ((byte1 >> 3) << 8) | instruction_[1]);
}

std::uint16_t SimChip::PageAddress(std::size_t k) const {
  // Pages of 256 bytes take the high address byte alone; smaller pages take their
  // bits of the low byte as well, and the chip ignores the bits below the page.
  const unsigned low = model_.pageBytes >= 256 ? 0u : instruction_[2] & (0x100u - model_.pageBytes);
  return static_cast<std::uint16_t>((((instruction_[1] & 0x3Fu) << 8) | low) + k);
}

std::uint8_t SimChip::PageReadAnswer(std::size_t k, std::uint64_t us) {
  const std::uint16_t address = PageAddress(k);
  // Each byte is served or withheld as the chip stands when it goes out; the
  // counters count the instruction once, by its first byte.
  if (!enabled_ || BusyAt(us)) {
    if (k == 0) ++counters_.ignored;
    return Withheld(settings_.unheard, Code(address));
  }
  if (k == 0) ++counters_.pageReads;
  return Flaky(ReadCode(address));
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

std::uint8_t SimChip::ReadCode(std::uint16_t address) const {
  const std::uint8_t stored = Code(address);
  // From lock level 2 on the code cannot be read back; what comes instead is the
  // settings' choice.
  const bool hidden = memory_.lockBits.lb2 || memory_.lockBits.lb3;
  return hidden ? Withheld(settings_.lockedRead, stored) : stored;
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

std::uint8_t SimChip::FuseAnswer() const { return memory_.x2Clock ? 0xFD : 0xFF; }

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
