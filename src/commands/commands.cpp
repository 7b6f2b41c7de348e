#include "commands/commands.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "devices/set_operations.h"

namespace vql {

// A command from its start to its end: marks the layer busy, holds the command's
// device for the operations, and clears an old stop request.
class Commands::Run {
 public:
  explicit Run(Commands& commands) : commands_(commands) {
    commands_.busy_ = true;
    commands_.ops_.HoldDevice(commands_.device_);
    commands_.ops_.StopRequested = false;
    commands_.window_.ControlsChanged();
  }
  ~Run() {
    commands_.busy_ = false;
    commands_.ops_.HoldDevice(nullptr);
    commands_.window_.ControlsChanged();
  }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

 private:
  Commands& commands_;
};

namespace {

// How many devices there are, in words.
std::string DeviceCountWord() {
  static constexpr std::array<std::string_view, 13> kWords{
      "no",    "one",   "two",  "three", "four",   "five",  "six",
      "seven", "eight", "nine", "ten",   "eleven", "twelve"};
  static_assert(kDevices.size() < kWords.size());
  return std::string(kWords[kDevices.size()]);
}

std::string HexAndDecimal(std::int32_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%04X (%d)", static_cast<unsigned>(value), value);
  return text;
}

// A character for a message: itself when printable, otherwise its code.
std::string Shown(char c) {
  const auto code = static_cast<unsigned char>(c);
  if (code >= 0x20 && code < 0x7F) return std::string("\"") + c + "\"";
  char text[16];
  std::snprintf(text, sizeof text, "the byte %02X", static_cast<unsigned>(code));
  return text;
}

}  // namespace

Commands::Commands(ProgrammerLink& link, ImageState& image, DeviceSelection& selection,
                   OperatorControls& controls, DeviceOps& ops, WindowServices& window)
    : link_(link),
      image_(image),
      selection_(selection),
      controls_(controls),
      ops_(ops),
      window_(window) {}

bool Commands::CanStart(CommandResult& result, bool needsPort) {
  if (busy_) {
    result.outcome = Outcome::Busy;
    return false;
  }
  device_ = selection_.Device();
  if (device_ == nullptr) {
    window_.ShowMessageBox("No device is selected: choose one of the " + DeviceCountWord() +
                           " devices.");
    result.outcome = Outcome::NoDevice;
    return false;
  }
  if (needsPort && !link_.CheckPort()) {
    result.outcome = Outcome::NoPort;
    return false;
  }
  return true;
}

void Commands::Status(StatusText text, std::string_view more, bool pump) {
  window_.ShowStatus(more.empty() ? std::string(text.text) : std::string(text.text) + std::string(more));
  statusShowsFailure_ = text.showsFailure;
  if (pump) window_.PumpMessages();
}

const SetOperations& Commands::Set() const { return OperationsOf(*device_); }
bool Commands::FuseCapable() const { return device_->hasFuse; }
std::int32_t Commands::LastAddress() const { return device_->lastAddress; }
std::int32_t Commands::ImageLast() const { return std::min(CodeExtent, LastAddress()); }

bool Commands::RecordAndMustEnd(CommandResult& result, Outcome outcome) {
  if (result.Ok()) result.outcome = outcome;
  switch (outcome) {
    case Outcome::Refused:
    case Outcome::NoAnswer:
    case Outcome::WrongDevice:
    case Outcome::Stopped:
    case Outcome::NoDevice:
    case Outcome::FileError:
    case Outcome::NoPort:
    case Outcome::PortLost:
    case Outcome::NotErased:
      return true;
    default:
      return false;
  }
}

bool Commands::CheckImage(CommandResult& result, bool forWrite) {
  return (!forWrite || !controls_.AutoReloadFile || ReloadForWrite(result)) &&
         CodeFitsDevice(result) && ImageIsHex(result) && (!forWrite || ImageHasData(result));
}

bool Commands::ReloadForWrite(CommandResult& result) {
  // The file as it is now: its extent bounds the write and is checked next.
  const bool remembered = !image_.HexFilePath.empty();
  try {
    CodeExtent = ReloadHexFile(image_, window_);
  } catch (const FileError& error) {
    window_.ShowMessageBox(error.what());
    result.outcome = Outcome::FileError;
    return false;
  }
  if (!remembered) {  // the reload has said so in its own box
    result.outcome = Outcome::NoFile;
    return false;
  }
  if (StopOnDamagedReload && !image_.LastReport.Clean()) {  // the report has been shown
    result.outcome = Outcome::DamagedFile;
    return false;
  }
  return true;
}

bool Commands::CodeFitsDevice(CommandResult& result) {
  const std::int32_t last = LastAddress();
  if (CodeExtent <= last + 1) return true;
  window_.ShowMessageBox("The code reaches to the extent " + HexAndDecimal(CodeExtent) +
                         ", past the last address of the " + std::string(device_->name) + ", " +
                         HexAndDecimal(last) +
                         ". Nothing was written to the chip: load a file that fits, or "
                         "choose the device it was built for.");
  result.outcome = Outcome::CodeTooLarge;
  return false;
}

bool Commands::ImageIsHex(CommandResult& result) {
  // A byte that is no pair of hex digits has no bits to send or compare.
  for (std::int32_t n = 0; n <= ImageLast(); ++n) {
    const auto a = static_cast<std::size_t>(n);
    const char high = image_.Image.HighDigits[a];
    const char low = image_.Image.LowDigits[a];
    if (HexDigitValue(high) >= 0 && HexDigitValue(low) >= 0) continue;
    const std::string shown = HexDigitValue(high) < 0 ? Shown(high) : Shown(low);
    window_.ShowMessageBox("The image byte at address " + HexAndDecimal(n) + " holds " + shown +
                           ", which is no hex digit: the HEX file's record there is damaged. "
                           "Nothing was sent to the chip.");
    result.outcome = Outcome::BadImage;
    return false;
  }
  return true;
}

bool Commands::ImageHasData(CommandResult& result) {
  bool empty = true;  // no record gave data, or every byte it gave is FF
  for (std::int32_t n = 0; empty && CodeExtent > 0 && n <= ImageLast(); ++n) {
    const auto a = static_cast<std::size_t>(n);
    empty = image_.Image.HighDigits[a] == 'F' && image_.Image.LowDigits[a] == 'F';
  }
  if (!empty) return true;
  const std::string why =
      image_.HexFilePath.empty()
          ? std::string("no HEX file has been loaded")
          : "\"" + image_.HexFilePath +
                "\" gave no data bytes (an empty file, or no Intel HEX records in it)";
  window_.ShowMessageBox("The image holds nothing to program: " + why +
                         ". Nothing was sent to the chip; it was not erased.");
  result.outcome = Outcome::NoFile;
  return false;
}

Outcome Commands::WriteLocks() {
  return WriteLockBitsOf(ops_, *device_, controls_.Lock.LockLevel());
}

CommandResult Commands::Load() {
  CommandResult result;
  if (busy_) return {Outcome::Busy};
  device_ = selection_.Device();
  Run run(*this);
  try {
    const std::optional<std::int32_t> extent = LoadHexFromDialog(image_, window_);
    if (!extent) return result;  // cancelled: everything as it was
    CodeExtent = *extent;
  } catch (const FileError& error) {
    window_.ShowMessageBox(error.what());
    return {Outcome::FileError};
  }
  Status(status::kLoadComplete);
  if (const DeviceInfo* device = selection_.Device();
      device != nullptr && CodeExtent > device->lastAddress + 1) {
    Status(status::kCodeOverMemory, std::to_string(device->lastAddress) + "]");
    window_.Beep();
    result.outcome = Outcome::CodeTooLarge;
  }
  return result;
}

std::optional<std::int32_t> Commands::ChipLockLevel(CommandResult& result) {
  // Only the AT89S51/52's reading of their lock bits is not in dispute: on the others
  // a set bit reads 0 as this program reads them and 1 as the AT89S8253's data sheet
  // says, so their reading decides nothing here.
  if (device_->lockRead != LockRead::ToBoxes) return std::nullopt;
  const LockBoxes asked = controls_.Lock;
  const bool mustEnd = RecordAndMustEnd(result, ReadLockBitsOf(ops_, *device_));
  const std::int32_t level = controls_.Lock.LockLevel();
  controls_.Lock = asked;
  window_.ControlsChanged();
  if (mustEnd) return std::nullopt;
  return level;
}

bool Commands::LockForbids(CommandResult& result, std::int32_t level, Access access,
                           std::string_view consequence) {
  // Any lock bit stops the chip taking code bytes; from level 2 on it also hides its
  // code: a read gives something else.
  if (level < (access == Access::Write ? 1 : 2)) return false;
  if (OtherModelInTheSocket(result, level,
                            access == Access::Write ? Outcome::WriteLocked : Outcome::ReadLocked)) {
    return true;
  }
  window_.ShowMessageBox("The " + std::string(device_->name) + " is locked at lock bit level " +
                         std::to_string(level) + ", which forbids " +
                         (access == Access::Write ? "programming it" : "reading its code") +
                         ": " + std::string(consequence) +
                         " Only an erase clears the lock bits, and the code with them.");
  result.outcome = access == Access::Write ? Outcome::WriteLocked : Outcome::ReadLocked;
  return true;
}

namespace {

using Signature = DeviceSignature;

// "1E 52 06"; addresses (format "%03X", separator " and ") as "030 and 031".
template <typename Value>
std::string ListText(const std::vector<Value>& values, const char* format, const char* between) {
  std::string text;
  char digits[8];
  for (const Value value : values) {
    std::snprintf(digits, sizeof digits, format, static_cast<unsigned>(value));
    text += (text.empty() ? "" : between) + std::string(digits);
  }
  return text;
}

std::string BytesText(const std::vector<std::uint8_t>& bytes) {
  return ListText(bytes, "%02X", " ");
}

}  // namespace

std::optional<Commands::SignatureSeen> Commands::ReadChipSignature() {
  const Signature* own = SignatureOf(device_->name);
  if (own == nullptr) return std::nullopt;
  const auto got = ops_.ReadSignature(own->at);
  if (!got) return std::nullopt;  // a read that did not agree has said so
  SignatureSeen seen{*got, *got == own->bytes, {}, {}};
  for (const Signature& other : DeviceSignatures()) {
    if (seen.own || &other == own) continue;
    const auto read = other.at == own->at ? got : ops_.ReadSignature(other.at);
    if (ops_.Halted()) return std::nullopt;
    if (read != other.bytes) continue;
    seen.otherModel = other.device;
    seen.otherText = "the " + std::string(other.device) + "'s " + BytesText(other.bytes) +
                     (other.at == own->at ? "" : ", at " + ListText(other.at, "%03X", " and "));
    break;
  }
  return seen;
}

bool Commands::OtherModelInTheSocket(CommandResult& result, std::int32_t level,
                                     Outcome locked) {
  // A chip of another model can read as locked, and the advice to erase would cost it
  // its code. Only the AT89S51/52 give their signature before a lock refusal here.
  const Signature* own = SignatureOf(device_->name);
  if (own == nullptr || device_->lockRead != LockRead::ToBoxes) return false;
  const auto seen = ReadChipSignature();
  if (!seen || seen->own) return false;
  const std::string ownText = "the " + std::string(device_->name) + "'s " + BytesText(own->bytes);
  if (!seen->otherModel.empty()) {
    window_.ShowMessageBox("The chip in the socket gives the signature of another model, " +
                           seen->otherText + ", not " + ownText +
                           ": the selected device does not match the chip in the socket. "
                           "Choose the device that is in the socket.");
    result.outcome = Outcome::WrongDevice;
    return true;
  }
  window_.ShowMessageBox("The chip in the socket reads as locked at lock bit level " +
                         std::to_string(level) + ", but its signature reads " +
                         BytesText(seen->bytes) + ", not " + ownText +
                         ": the selected device may not match the chip in the socket, or "
                         "its lock bits hide the signature too (some revisions of the data "
                         "sheet say so). Check that the device chosen is the chip in the "
                         "socket.");
  // Which of the two it is rests on a reading the sources dispute: the outcome stays
  // the lock's, and the box gives no advice to erase.
  result.outcome = locked;
  return true;
}

bool Commands::SignatureAllowsPages(CommandResult& result) {
  const Signature* own = SignatureOf(device_->name);
  if (!controls_.FastProgramming || device_->pageBytes == 0 || own == nullptr ||
      !own->confirmed) {
    return true;
  }
  const auto seen = ReadChipSignature();
  if (!seen) return !RecordAndMustEnd(result, ops_.Halted().value_or(Outcome::Done));
  const std::string name(device_->name);
  const std::string ownText = "the " + name + "'s " + BytesText(own->bytes);
  if (!seen->otherModel.empty()) {
    window_.ShowMessageBox(
        "The chip in the socket gives the signature of another model, " + seen->otherText +
        ", not " + ownText + ": the selected device, the " + name +
        ", does not match the chip, the " + seen->otherModel +
        ". Fast programming writes whole pages laid out for the " + name +
        ", so nothing was written. Choose the device that is in the socket.");
    result.outcome = Outcome::WrongDevice;
    return false;
  }
  if (!seen->own) {
    window_.ShowNotice("The signature of the chip in the socket reads " + BytesText(seen->bytes) +
                       ", which names no model this program knows (" + ownText +
                       "). Lock bits can hide it, so the command goes on.");
  }
  return true;
}

CommandResult Commands::ReadSignature() {
  CommandResult result;
  if (!CanStart(result)) return result;
  Run run(*this);
  Status(status::kReadSignature, {}, true);
  const Signature* own = SignatureOf(device_->name);
  if (own == nullptr) {
    const std::string known = DeviceNames(
        [](const DeviceInfo& d) { return SignatureOf(d.name) != nullptr; }, ", ", " and ");
    window_.ShowMessageBox("The " + std::string(device_->name) +
                           " gives no signature over the serial lines that its data sheet "
                           "shows; the signature is read on the " + known + ".");
    return {Outcome::NotSupported};
  }
  const auto seen = ReadChipSignature();
  if (!seen) {
    RecordAndMustEnd(result, ops_.Halted().value_or(Outcome::ReadError));
    return result;
  }
  std::string named = seen->own ? std::string(own->device) : seen->otherModel;
  if (named.empty()) named = "unknown";
  SetOperatingMode(true);
  Status(status::kSignature, named + " (" + BytesText(seen->bytes) + ")");
  if (!seen->otherModel.empty()) {
    window_.ShowMessageBox("The chip in the socket gives the signature of another model, " +
                           seen->otherText + ", not the " + std::string(device_->name) +
                           "'s " + BytesText(own->bytes) +
                           ": choose the device that is in the socket.");
    result.outcome = Outcome::WrongDevice;
  } else if (!seen->own) {
    Caveat(result, "The signature read, " + BytesText(seen->bytes) +
                       ", names no model this program knows (the " +
                       std::string(device_->name) + " gives " + BytesText(own->bytes) +
                       "): the chip may be another model, hide its signature behind its "
                       "lock bits, or not have heard the instructions.");
  }
  return result;
}

void Commands::Caveat(CommandResult& result, const std::string& text) {
  if (!result.Ok() || !result.caveat.empty()) return;
  result.caveat = text;
  if (caveatsShown_.insert(text).second) window_.ShowMessageBox(text);
}

bool Commands::MayBeUnheard() const {
  return device_->enable == EnableRule::NoEcho ||
         (device_->enable == EnableRule::SingleTry && !ops_.HeardSeen());
}

std::string Commands::HiddenCodeCaveat(std::string_view what) const {
  const std::string name(device_->name);
  std::string text;
  if (device_->lockRead == LockRead::None) {
    text = "The " + name +
           " neither echoes the programming enable nor reads back its lock bits: a chip that "
           "missed the enable, or one whose lock bits (level 2 or 3) hide its code, answers "
           "other bytes, and nothing tells those from its code";
  } else {
    const std::uint8_t bits = ops_.LockBitsRead();
    text = "The lock bits of the " + name + " read LB3..LB1 = " + LockBitsText(bits) + ": " +
           LockLevelText(bits, false) + " if a set lock bit reads 0 (as this program reads "
           "these devices), " + LockLevelText(bits, true) + " if it reads 1 (as the "
           "AT89S8253's data sheet says). Which is so is not settled, so the Lock Bit boxes "
           "were left as they were; in one of the two readings these bits hide the chip's code "
           "(level 2 or 3): a chip that hides it answers other bytes";
    if (MayBeUnheard()) text += ". It has not echoed the programming enable either";
  }
  return text + ", so nothing shows that " + std::string(what) + ".";
}

void Commands::ReadCaveat(CommandResult& result, std::string_view what) {
  if (device_->lockRead == LockRead::ByMode) {
    // The reading itself goes into the caveat; the boxes keep the operator's level.
    const LockBoxes asked = controls_.Lock;
    ops_.ReadLockBitsByMode();
    controls_.Lock = asked;
    window_.ControlsChanged();
  }
  Caveat(result, HiddenCodeCaveat(what));
}

void Commands::CompareReads(CommandResult& result, const CodeImage& first) {
  const CodeImage& second = image_.Image;
  for (std::int32_t n = 0; n <= CodeExtent; ++n) {
    const auto a = static_cast<std::size_t>(n);
    if (first.HighDigits[a] == second.HighDigits[a] && first.LowDigits[a] == second.LowDigits[a]) {
      continue;
    }
    char text[300];
    std::snprintf(text, sizeof text,
                  "The two reads of the chip differ at address %04X (%d): first %c%c, then %c%c. "
                  "The contact is unreliable, so the image does not hold the chip's content. "
                  "Check the cable and the target's power, and read again.",
                  static_cast<unsigned>(n), n, first.HighDigits[a], first.LowDigits[a],
                  second.HighDigits[a], second.LowDigits[a]);
    window_.ShowMessageBox(text);
    result.outcome = Outcome::ReadError;
    return;
  }
}

CommandResult Commands::ReadChip() {
  CommandResult result;
  if (!CanStart(result)) return result;
  Run run(*this);
  Status(status::kReadChip, {}, true);
  CodeExtent = LastAddress();
  const SetOperations& set = Set();
  if (RecordAndMustEnd(result, (ops_.*set.ReadCode)(CodeExtent))) return result;
  if (result.Ok()) {
    // The chip is read twice: the second pass shows whether the contact can be
    // trusted. A read that repeats each byte until two answers agree needs it too,
    // since a poor contact now and then spoils two answers alike.
    const auto first = std::make_unique<CodeImage>(image_.Image);
    if (RecordAndMustEnd(result, (ops_.*set.ReadCode)(CodeExtent))) return result;
    CompareReads(result, *first);
  }
  // The AT89S51/52's reading of their lock bits is not in dispute, and their boxes
  // take it. The others' is: their reading goes into the caveat with both meanings,
  // and the boxes stay the operator's order, which the next write carries out.
  const LockBoxes asked = controls_.Lock;
  const bool lockEnded = RecordAndMustEnd(result, ReadLockBitsOf(ops_, *device_));
  if (device_->lockRead == LockRead::ByMode) {
    controls_.Lock = asked;
    window_.ControlsChanged();
  }
  if (lockEnded) return result;
  if (FuseCapable() && RecordAndMustEnd(result, ops_.ReadUserFuses())) return result;
  // Answers of 00 alone may also be a chip whose lock bits hide its code, which its
  // signature does not rule out.
  const bool only00 = MayBeUnheard() && ReadOnly00();
  if (MayBeUnheard()) ops_.ShowHearingBySignature();
  if (result.Ok() && device_->lockRead == LockRead::ToBoxes) {
    LockForbids(result, controls_.Lock.LockLevel(), Access::Read,
                "the bytes read are not its content.");
  } else if (result.Ok() && only00) {
    window_.ShowMessageBox(All00Text());
    result.outcome = Outcome::ReadError;
  } else if (result.Ok()) {
    // The boxes show the lock bits as read; they decide nothing.
    Caveat(result, HiddenCodeCaveat("the image holds its code"));
  }
  // Comparing the chip with what it answered here shows nothing unless this was vouched for.
  image_.FromUnvouchedRead = !result.Vouched();
  SetOperatingMode(true);
  Status(status::kReadChipFinished);
  return result;
}

CommandResult Commands::Erase() {
  CommandResult result;
  if (!CanStart(result)) return result;
  Run run(*this);
  Status(status::kEraseChip, {}, true);
  if (RecordAndMustEnd(result, (ops_.*Set().EraseChip)())) return result;
  if (MayBeUnheard()) ops_.ShowHearingBySignature();
  if (MayBeUnheard()) {
    Caveat(result, "The " + std::string(device_->name) +
                       " has not echoed the programming enable, and a chip that missed it "
                       "ignores the erase: the chip read FF at address 0000 after it, as an "
                       "erased chip does, but so can one that is not there. Nothing shows that "
                       "a chip took the erase.");
  }
  SetOperatingMode(true);
  Status(status::kEraseFinished);
  return result;
}

CommandResult Commands::BlankCheck() {
  CommandResult result;
  if (!CanStart(result)) return result;
  Run run(*this);
  Status(status::kBlankCheck, {}, true);
  // A chip whose lock bits hide its code can answer FF without being blank.
  const std::optional<std::int32_t> locked = ChipLockLevel(result);
  if (!result.Ok()) return result;
  if (locked && LockForbids(result, *locked, Access::Read, "its answers do not show whether it is blank.")) {
    return result;
  }
  const std::int32_t last = LastAddress();
  const Outcome blank = (ops_.*Set().BlankCheck)(last);
  if (RecordAndMustEnd(result, blank)) return result;
  if (blank == Outcome::Done && MayBeUnheard()) ops_.ShowHearingBySignature();
  if (blank == Outcome::Done && device_->lockRead != LockRead::ToBoxes) {
    ReadCaveat(result, "it is blank");
  }
  SetOperatingMode(true);
  Status(blank == Outcome::Done ? status::kBlankOk : status::kNotBlank);
  return result;
}

CommandResult Commands::WriteLockLevel(CommandResult result) {
  if (controls_.Lock.LockLevel() == 0 || !result.Ok()) return result;
  RecordAndMustEnd(result, WriteLocks());
  TakeCaveat(result);
  if (device_->lockRead == LockRead::None) {
    Caveat(result, "The " + std::string(device_->name) +
                       " cannot read its lock bits back: nothing shows that it took them.");
  }
  // The level is shown only once it is on the chip.
  if (result.Ok()) Status(status::kLockLevel, std::to_string(controls_.Lock.LockLevel()));
  return result;
}

CommandResult Commands::Program() {
  CommandResult result;
  if (!CanStart(result)) return result;
  Run run(*this);
  Status(status::kProgramming, {}, true);
  if (!CheckImage(result, true) || !SignatureAllowsPages(result)) return result;
  // A locked chip ignores the writes, and from level 2 on its answers to the
  // read-back can match the image by chance: its lock bits decide first.
  const std::optional<std::int32_t> locked = ChipLockLevel(result);
  if (!result.Ok()) return result;
  if (locked && LockForbids(result, *locked, Access::Write,
                            "its code was not changed (Auto-program erases first).")) {
    return result;
  }
  if (RecordAndMustEnd(result, (ops_.*Set().WriteCode)(ImageLast()))) return result;
  if (ops_.WriteUnproved() && !AnsweredOnly00(result, true)) {
    Caveat(result, "Every byte written read the same before its write as after it: the " +
                       std::string(device_->name) +
                       " already held them, or it answers without taking writes (a chip that "
                       "missed the programming enable, or whose lock bits hide its code, can "
                       "answer so). Nothing shows that it took the write; AUTO-PROGRAM erases "
                       "first and shows it.");
  }
  TakeCaveat(result);
  Status(Set().programmedStatus, {}, true);
  // The x2 Clock box is written on every Program, but not after a failed write.
  if (FuseCapable() && result.Ok()) {
    if (RecordAndMustEnd(result, ops_.WriteUserFuses())) return result;
    TakeCaveat(result);
  }
  return WriteLockLevel(result);
}

CommandResult Commands::Verify() {
  CommandResult result;
  if (!CanStart(result)) return result;
  Run run(*this);
  Status(status::kVerifyCode, {}, true);
  if (!CheckImage(result, false)) return result;
  // A chip that hides its code answers with other bytes, which can even be what a
  // Read Chip of it left in the image.
  const std::optional<std::int32_t> locked = ChipLockLevel(result);
  if (!result.Ok()) return result;
  if (locked &&
      LockForbids(result, *locked, Access::Read, "it cannot be compared with the image.")) {
    return result;
  }
  Outcome match = (ops_.*Set().VerifyCode)(ImageLast());
  if (match == Outcome::Done && device_->enable != EnableRule::EchoJudged &&
      ops_.MatchedAfterEnable()) {
    // The chip answered otherwise after a new enable: what it answered before may have
    // come from a chip that had not heard. Once more from the start.
    match = (ops_.*Set().VerifyCode)(ImageLast());
    if (match == Outcome::Done && ops_.MatchedAfterEnable()) {
      Caveat(result, "The " + std::string(device_->name) +
                         " matched the image at some addresses only after a new programming "
                         "enable, twice over: a chip that misses enables, or a poor contact, "
                         "answers so, so nothing shows that every byte matched. Check the "
                         "contact and verify again.");
    }
  }
  if (RecordAndMustEnd(result, match)) return result;
  if (match == Outcome::Done && !AnsweredOnly00(result, false)) VerifyCaveat(result);
  SetOperatingMode(true);
  Status(match == Outcome::Done ? status::kVerifyComplete : status::kVerifyNotMatch);
  return result;
}

CommandResult Commands::AutoProgram() {
  CommandResult result;
  if (!CanStart(result)) return result;
  Run run(*this);
  SetOperatingMode(true);
  if (image_.HexFilePath.empty()) {
    Status(status::kNoFileName);
    return {Outcome::NoFile};
  }
  // Before the erase: a file that cannot be written, or a chip of another model, must
  // not cost the chip its code.
  if (!CheckImage(result, true) || !SignatureAllowsPages(result)) return result;
  Status(status::kEraseChip, {}, true);
  if (RecordAndMustEnd(result, (ops_.*Set().EraseChip)())) return result;
  for (std::int32_t i = 0; i <= link_.PollDelay; ++i) link_.WaitScaled(10000);

  Status(status::kProgramming, {}, true);
  ops_.VerifyFollowsWrite = true;
  Outcome written = (ops_.*Set().WriteCode)(ImageLast());
  ops_.VerifyFollowsWrite = false;
  if (RecordAndMustEnd(result, written)) return result;
  if (written == Outcome::Done && ops_.WriteUnproved()) {
    // After an erase a chip that takes writes reads FF where a byte goes: one that
    // answered as the image before the write did not take the erase or the writes.
    window_.ShowMessageBox("Every byte written read the same before its write as after it, "
                           "although the chip had just been erased: the " +
                           std::string(device_->name) +
                           " did not take the erase or the writes. Check the cable, the "
                           "target's power and crystal, and that the chip is not locked.");
    written = Outcome::NotProgrammed;
    RecordAndMustEnd(result, written);
  }
  Status(status::kProgramCompleted, {}, true);

  Outcome match = written;
  if (written == Outcome::Done) {
    // A reset pulse before the verify, for every device, and a four-byte enable,
    // which only the chips that echo it can be judged by.
    for (const Line line : {Line::Rst, Line::Sck, Line::Mosi}) link_.SetLine(line, false);
    link_.WaitMilliseconds(300, ops_.StopRequested);
    if (ops_.StopRequested) return {Outcome::Stopped};
    if (!Set().echoesEnableAfterReset) {
      ops_.EnableProgramming4();
    } else if (RecordAndMustEnd(result, ops_.EnableProgramming4Checked())) {
      return result;
    }

    Status(status::kVerifyCodeInAuto, {}, true);
    match = (ops_.*Set().VerifyCode)(ImageLast());
    if (RecordAndMustEnd(result, match)) return result;
    if (match == Outcome::Done) {
      Status(status::kVerifyComplete, {}, true);
      // After a failed step of its own the fuse and the lock bits stay as they are.
      if (BeforeFuseAndLock && (RecordAndMustEnd(result, BeforeFuseAndLock()) || !result.Ok())) {
        return result;
      }
      if (FuseCapable()) {
        if (RecordAndMustEnd(result, ops_.WriteUserFuses())) return result;
        TakeCaveat(result);
      }
      if (result.Ok() && controls_.Lock.LockLevel() != 0) {
        result = WriteLockLevel(result);
        if (RecordAndMustEnd(result, result.outcome)) return result;
      }
    } else {
      Status(status::kVerifyNotMatch);
    }
  }
  Status(status::kAutoFinished);
  // A chip that failed stays held, whatever the option says.
  if (AutoRunAfterProgram && result.Ok()) SetOperatingMode(false);
  return result;
}

CommandResult Commands::WriteLockBits() {
  CommandResult result;
  if (!CanStart(result)) return result;
  Run run(*this);
  if (controls_.Lock.LockLevel() == 0) {
    Status(status::kNoLockLevel);
    return result;
  }
  return WriteLockLevel(result);
}

CommandResult Commands::WriteFuse() {
  CommandResult result;
  if (!CanStart(result)) return result;
  if (!FuseCapable()) {
    window_.ShowMessageBox("The " + std::string(device_->name) + " has no user fuse.");
    return {Outcome::NotSupported};
  }
  Run run(*this);
  RecordAndMustEnd(result, ops_.WriteUserFuses());
  TakeCaveat(result);
  return result;
}

bool Commands::AnsweredOnly00(CommandResult& result, bool skipFF) {
  if (!result.Ok() || !MayBeUnheard()) return false;
  bool any = false;
  for (std::int32_t n = 0; n <= ImageLast(); ++n) {
    const std::int32_t byte = ImageByte(image_.Image, n);
    if (skipFF && byte == 0xFF) continue;
    if (byte != 0x00) return false;
    any = true;
  }
  if (!any) return false;
  window_.ShowMessageBox(All00Text());
  result.outcome = Outcome::ReadError;
  return true;
}

bool Commands::ReadOnly00() const {
  for (std::int32_t n = 0; n <= CodeExtent; ++n) {
    const auto a = static_cast<std::size_t>(n);
    if (image_.Image.HighDigits[a] != '0' || image_.Image.LowDigits[a] != '0') return false;
  }
  return true;
}

std::string Commands::All00Text() const {
  return "The " + std::string(device_->name) +
         " answered 00 at every address. A chip that does not answer, or a MISO line stuck "
         "low, answers so, and so can one that did not hear the programming enable or whose "
         "lock bits hide its code; this device can show none of them, so nothing shows that "
         "the answers are its code. Check the contact of MISO and RST and try again; a chip "
         "that does hold 00 there shows it in an AUTO-PROGRAM, which erases first.";
}

void Commands::VerifyCaveat(CommandResult& result) {
  if (device_->enable == EnableRule::EchoJudged) return;  // heard, and not hiding its code
  if (image_.FromUnvouchedRead) {
    Caveat(result, "The image holds what Read Chip got from the " + std::string(device_->name) +
                       ", which it could not vouch for: comparing the chip with its own answers "
                       "shows nothing.");
    return;
  }
  // A chip that missed the enable, or hides its code, can answer one byte everywhere.
  const auto byteAt = [&](std::int32_t n) { return ImageByte(image_.Image, n); };
  for (std::int32_t n = 1; n <= ImageLast(); ++n) {
    if (byteAt(n) != byteAt(0)) return;
  }
  char text[300];
  std::snprintf(text, sizeof text,
                "Every byte compared is %02X: a chip that missed the programming enable, or whose "
                "lock bits hide its code, can answer one byte at every address, so nothing shows "
                "that the %s holds the image.",
                static_cast<unsigned>(byteAt(0)), std::string(device_->name).c_str());
  Caveat(result, text);
}

bool Commands::SelectDeviceOrNone(std::int32_t itemIndex) {
  if (busy_) return false;
  selection_.SelectOrNone(itemIndex);
  window_.ControlsChanged();
  return true;
}

bool Commands::SelectDevice(std::int32_t index) {
  if (busy_) return false;
  selection_.Select(index);
  window_.ControlsChanged();
  return true;
}

bool Commands::SelectPort(std::int32_t lpt) {
  if (busy_) return false;
  // A target on the port left behind must not stay held in reset.
  if (lpt != link_.SelectedLpt() && link_.PortUsable()) link_.ReleaseTargetToRun();
  link_.ChooseLpt(lpt);
  window_.ControlsChanged();
  return true;
}

CommandResult Commands::TestIo() {
  if (busy_) return {Outcome::Busy};
  if (!link_.PortUsable()) {
    link_.CheckPort();  // says why
    return {Outcome::NoPort};
  }
  device_ = selection_.Device();
  // A USB cable's loop test clocks in the SPI mode that the selected device's chips
  // would get.
  if (device_ != nullptr) link_.ChipSpiMode = device_->spiMode;
  Run run(*this);  // the loop test pumps messages too
  if (link_.RunLoopTest()) return {Outcome::Done};
  return {link_.PortUsable() ? Outcome::LoopTestFailed : Outcome::NoPort};
}

bool Commands::MoveCableTo(std::int32_t lpt) {
  if (busy_) return false;
  if (lpt == link_.SelectedLpt() && link_.PortUsable()) return true;
  SelectPort(lpt);
  if (!link_.PortUsable()) return false;
  link_.HoldTargetInProgramMode();
  return true;
}

bool Commands::ChangeSetting(const std::function<void()>& change) {
  if (busy_) return false;
  change();
  window_.ControlsChanged();
  return true;
}

bool Commands::SetLockBox(std::int32_t box, bool ticked) {
  return ChangeSetting([&] { controls_.Lock.Set(box, ticked); });
}

bool Commands::SetX2Clock(bool on) {
  return ChangeSetting([&] { controls_.X2Clock = on; });
}

bool Commands::SetAutoReloadFile(bool on) {
  return ChangeSetting([&] { controls_.AutoReloadFile = on; });
}

bool Commands::SetAutoRunAfterProgram(bool on) {
  return ChangeSetting([&] { AutoRunAfterProgram = on; });
}

bool Commands::SetFastProgramming(bool on) {
  return ChangeSetting([&] { controls_.FastProgramming = on; });
}

bool Commands::SetSckHalfPeriod(std::int32_t us) {
  return ChangeSetting([&] { link_.SckHalfPeriodUs = us; });
}

void Commands::SetOperatingMode(bool program) {
  if (!link_.CheckPort()) return;
  if (program) {
    link_.HoldTargetInProgramMode();
    Status(status::kProgramMode, {}, true);
    InProgramMode = true;
    EnableCommands();
  } else {
    link_.ReleaseTargetToRun();
    Status(status::kRunMode, {}, true);
    InProgramMode = false;
    DisableCommands();
  }
}

void Commands::ToggleOperatingMode() {
  if (busy_ || !link_.CheckPort()) return;
  if (InProgramMode) {
    link_.ReleaseTargetToRun();
    ProgramModeTicked = false;
    RunModeTicked = true;
    Status(status::kRunMode);
    InProgramMode = false;
    DisableCommands();
  } else {
    link_.HoldTargetInProgramMode();
    ProgramModeTicked = true;
    RunModeTicked = false;
    Status(status::kProgramMode);
    InProgramMode = true;
    EnableCommands();
  }
}

void Commands::ChooseProgramMode() { ChooseMode(true); }
void Commands::ChooseRunMode() { ChooseMode(false); }

void Commands::ChooseMode(bool program) {
  if (busy_ || !link_.CheckPort()) return;
  SetOperatingMode(program);  // the menu items do not toggle: the chosen mode again
  ProgramModeTicked = program;
  RunModeTicked = !program;
  window_.ControlsChanged();
}

void Commands::EnableCommands() {
  CommandsEnabled = true;
  if (const DeviceInfo* device = selection_.Device(); device != nullptr && device->hasFuse) {
    selection_.FuseWriteEnabled = true;
  }
  window_.ControlsChanged();
}

void Commands::DisableCommands() {
  CommandsEnabled = false;
  selection_.FuseWriteEnabled = false;
  window_.ControlsChanged();
}

bool Commands::Enabled(CommandGate gate) const {
  switch (gate) {
    case CommandGate::Always: return true;
    case CommandGate::ProgramMode: return CommandsEnabled;
    // A device selected in run mode sets the fuse-write flag too, but a write there
    // would leave the target held in program mode under "RUN MODE.": WR waits for
    // the program mode, as the other commands do.
    case CommandGate::FuseDevice: return CommandsEnabled && selection_.FuseWriteEnabled;
  }
  return false;
}

}  // namespace vql
