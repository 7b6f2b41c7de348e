#include "commands/commands.h"

#include <string>

namespace vql {

// A command from its start to its end: marks the layer busy meanwhile.
class Commands::Run {
 public:
  explicit Run(Commands& commands) : commands_(commands) { commands_.busy_ = true; }
  ~Run() { commands_.busy_ = false; }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

 private:
  Commands& commands_;
};

std::string OutcomeText(Outcome outcome) {
  switch (outcome) {
    case Outcome::Done: return "done";
    case Outcome::VerifyMismatch: return "the chip does not match the image";
    case Outcome::NotBlank: return "the chip is not blank";
    case Outcome::ProgrammingTimeOut: return "a byte could not be programmed (time-out)";
    case Outcome::ReadError: return "the chip could not be read reliably";
    case Outcome::LockTimeOut: return "the lock bits could not be confirmed (time-out)";
    case Outcome::Refused:
      return "the cable refused a byte: the target is not powered or not in program mode";
    case Outcome::NoFile: return "there was no HEX file to write";
    case Outcome::Stopped: return "stopped by the operator";
    case Outcome::FileError: return "a file could not be read";
    case Outcome::CodeTooLarge: return "the code does not fit the device";
    case Outcome::NoDevice: return "no device is selected";
    case Outcome::NoPort: return "the printer port cannot be used";
    case Outcome::NotSupported: return "the device has no user fuse";
    case Outcome::Busy: return "another command is running";
  }
  return "unknown";
}

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
  if (selection_.Device() == nullptr) {
    window_.ShowMessageBox("No device is selected: choose one of the seven devices.");
    result.outcome = Outcome::NoDevice;
    return false;
  }
  if (needsPort && !link_.CheckPort()) {
    result.outcome = Outcome::NoPort;
    return false;
  }
  return true;
}

void Commands::Status(std::string_view text, bool pump) {
  window_.ShowStatus(text);
  if (pump) window_.PumpMessages();
}

bool Commands::ThreeByte() const { return selection_.Device()->set == InstructionSet::ThreeByte; }
bool Commands::FuseCapable() const { return selection_.Device()->hasFuse; }
std::int32_t Commands::LastAddress() const { return selection_.Device()->lastAddress; }

bool Commands::Note(CommandResult& result, Outcome outcome) {
  if (result.Ok()) result.outcome = outcome;
  return outcome == Outcome::Refused || outcome == Outcome::Stopped;
}

Outcome Commands::WriteLocks() {
  const std::int32_t level = controls_.Lock.LockLevel();
  switch (selection_.Device()->lockWrite) {
    case LockWrite::ThreeByte: return ops_.WriteLockBits3(level);
    case LockWrite::ByMode: return ops_.WriteLockBitsByMode(level);
    case LockWrite::Stepwise: return ops_.WriteLockBitsStepwise(level);
  }
  return Outcome::Done;
}

CommandResult Commands::Load() {
  CommandResult result;
  if (busy_) return {Outcome::Busy};
  Run run(*this);
  try {
    CodeExtent = LoadHexFromDialog(image_, window_);
  } catch (const FileError& error) {
    window_.ShowMessageBox(error.what());
    return {Outcome::FileError};
  }
  Status("Load file complete.");
  if (const DeviceInfo* device = selection_.Device();
      device != nullptr && CodeExtent > device->lastAddress + 1) {
    Status("Code over MCU memory [" + std::to_string(device->lastAddress) + "]");
    window_.Beep();
    result.outcome = Outcome::CodeTooLarge;
  }
  return result;
}

CommandResult Commands::ReadChip() {
  CommandResult result;
  if (!CanStart(result)) return result;
  Run run(*this);
  Status("Read Chip...", true);
  CodeExtent = LastAddress();
  if (ThreeByte()) {
    if (Note(result, ops_.ReadCode3(CodeExtent))) return result;
  } else {
    if (Note(result, ops_.ReadCode4(CodeExtent))) return result;
    if (FuseCapable()) {
      if (Note(result, ops_.ReadLockBitsByMode())) return result;
      if (Note(result, ops_.ReadUserFuses())) return result;
    } else {
      ops_.ReadLockBitsToBoxes(1);
      if (ops_.Refused()) return {Outcome::Refused};
    }
  }
  SetOperatingMode(true);
  Status("Read Chip finished");
  return result;
}

CommandResult Commands::Erase() {
  CommandResult result;
  if (!CanStart(result)) return result;
  Run run(*this);
  Status("Erase Chip...", true);
  if (Note(result, ThreeByte() ? ops_.EraseChip3() : ops_.EraseChip4())) return result;
  SetOperatingMode(true);
  Status("Erase finished.");
  return result;
}

CommandResult Commands::BlankCheck() {
  CommandResult result;
  if (!CanStart(result)) return result;
  Run run(*this);
  Status("Blank Check...", true);
  const std::int32_t last = LastAddress();
  const Outcome blank = ThreeByte() ? ops_.BlankCheck3(last) : ops_.BlankCheck4(last);
  if (Note(result, blank)) return result;
  SetOperatingMode(true);
  Status(blank == Outcome::Done ? "Blank chip [OK]" : "Not blank chip!!!");
  return result;
}

CommandResult Commands::WriteLockLevel(CommandResult result) {
  if (controls_.Lock.LockLevel() == 0) return result;
  if (Note(result, WriteLocks())) return result;
  Status("Lock bit level " + std::to_string(controls_.Lock.LockLevel()));
  return result;
}

CommandResult Commands::Program() {
  CommandResult result;
  if (!CanStart(result)) return result;
  Run run(*this);
  Status("Programming...", true);
  try {
    if (ThreeByte()) {
      if (Note(result, ops_.WriteCode3(CodeExtent))) return result;
      Status("Program finished.", true);
    } else {
      if (Note(result, ops_.WriteCode4(CodeExtent))) return result;
      Status("Program completed.", true);
      // The x2 Clock box is written on every Program.
      if (FuseCapable() && Note(result, ops_.WriteUserFuses())) return result;
    }
  } catch (const FileError& error) {
    window_.ShowMessageBox(error.what());
    return {Outcome::FileError};
  }
  return WriteLockLevel(result);
}

CommandResult Commands::Verify() {
  CommandResult result;
  if (!CanStart(result)) return result;
  Run run(*this);
  Status("Verify Code...", true);
  const Outcome match = ThreeByte() ? ops_.VerifyCode3(CodeExtent) : ops_.VerifyCode4(CodeExtent);
  if (Note(result, match)) return result;
  SetOperatingMode(true);
  Status(match == Outcome::Done ? "Verify complete." : "Verify not match");
  return result;
}

CommandResult Commands::AutoProgram() {
  CommandResult result;
  if (!CanStart(result)) return result;
  Run run(*this);
  SetOperatingMode(true);
  if (image_.HexFilePath.empty()) {
    Status("File name does't indentify!!!.");
    return {Outcome::NoFile};
  }
  Status("Erase Chip...", true);
  if (Note(result, ThreeByte() ? ops_.EraseChip3() : ops_.EraseChip4())) return result;
  for (std::int32_t i = 0; i <= link_.PollDelay; ++i) link_.WaitScaled(10000);

  Status("Programming...", true);
  try {
    const Outcome written =
        ThreeByte() ? ops_.WriteCode3(CodeExtent) : ops_.WriteCode4(CodeExtent);
    if (Note(result, written)) return result;
  } catch (const FileError& error) {
    window_.ShowMessageBox(error.what());
    return {Outcome::FileError};
  }
  Status("Program completed.", true);

  // A reset pulse before the verify, for every device.
  const std::int32_t port = link_.DataPort();
  link_.ClearDataBit(port, kRstBit);
  link_.ClearDataBit(port, kSckBit);
  link_.ClearDataBit(port, kMosiBit);
  link_.WaitMilliseconds(300);
  ops_.EnableProgramming4();
  if (ops_.Refused()) return {Outcome::Refused};

  Status("Verify code ...", true);
  const Outcome match = ThreeByte() ? ops_.VerifyCode3(CodeExtent) : ops_.VerifyCode4(CodeExtent);
  if (Note(result, match)) return result;
  if (match == Outcome::Done) {
    Status("Verify complete.", true);
    if (!ThreeByte() && FuseCapable() && Note(result, ops_.WriteUserFuses())) return result;
    if (controls_.Lock.LockLevel() != 0) {
      if (Note(result, WriteLocks())) return result;
      Status("Lock bit level " + std::to_string(controls_.Lock.LockLevel()), true);
    }
  } else {
    Status("Verify not match");
  }
  Status("Auto Programming finished.");
  // A chip that failed its verify stays held, whatever the option says.
  if (AutoRunAfterProgram && match == Outcome::Done) SetOperatingMode(false);
  return result;
}

CommandResult Commands::WriteLockBits() {
  CommandResult result;
  if (!CanStart(result)) return result;
  Run run(*this);
  if (controls_.Lock.LockLevel() == 0) {
    Status("Non Lock bit function");
    return result;
  }
  return WriteLockLevel(result);
}

CommandResult Commands::WriteFuse() {
  CommandResult result;
  if (!CanStart(result)) return result;
  if (!FuseCapable()) {
    window_.ShowMessageBox("The " + std::string(selection_.Device()->name) +
                           " has no user fuse.");
    return {Outcome::NotSupported};
  }
  Run run(*this);
  Note(result, ops_.WriteUserFuses());
  return result;
}

void Commands::SetOperatingMode(bool program) {
  if (!link_.CheckPort()) return;
  if (program) {
    link_.HoldTargetInProgramMode();
    Status("PROGRAM MODE.", true);
    InProgramMode = true;
    EnableCommands();
  } else {
    link_.ReleaseTargetToRun();
    Status("RUN MODE.", true);
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
    Status("RUN MODE.");
    InProgramMode = false;
    DisableCommands();
  } else {
    link_.HoldTargetInProgramMode();
    ProgramModeTicked = true;
    RunModeTicked = false;
    Status("PROGRAM MODE.");
    InProgramMode = true;
    EnableCommands();
  }
}

void Commands::ProgramModeClick() { ModeMenuClick(true); }
void Commands::RunModeClick() { ModeMenuClick(false); }

void Commands::ModeMenuClick(bool program) {
  if (busy_ || !link_.CheckPort()) return;
  SetOperatingMode(program);  // the menu items do not toggle: the chosen mode again
  ProgramModeTicked = program;
  RunModeTicked = !program;
}

void Commands::EnableCommands() {
  CommandControls& c = Controls;
  c.btnLoadFile = c.btnErase = c.btnBlank = c.btnProgram = c.btnVerify = c.btnAuto =
      c.SpeedButton1 = c.ReadChip1 = c.btnReadChip = true;
  if (selection_.Device() != nullptr && FuseCapable()) c.btnFuse_Write = true;
}

void Commands::DisableCommands() {
  CommandControls& c = Controls;
  c.btnLoadFile = c.btnErase = c.btnBlank = c.btnProgram = c.btnVerify = c.btnAuto =
      c.SpeedButton1 = c.ReadChip1 = c.btnReadChip = c.btnFuse_Write = false;
}

}  // namespace vql
