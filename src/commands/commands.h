// The operator's commands: load, read chip, erase, blank check, program, verify,
// auto-program, write lock bits, write fuse, and the switch between program mode
// and run mode, with their status texts and the enabling of the command controls.
//
// Both front ends - the window and the command line - call these. Each command
// writes its status texts exactly as operators know them, and also reports its
// outcome, so that a front end can tell success from failure even where the
// status text alone would not.
#pragma once

#include <cstdint>
#include <string>

#include "devices/device_ops.h"
#include "devices/device_selection.h"
#include "devices/operator_controls.h"
#include "image/hex_files.h"
#include "link/programmer_link.h"
#include "services/window_services.h"

namespace vql {

// The command controls that follow the operating mode.
struct CommandControls {
  bool btnLoadFile = true;
  bool btnErase = true;
  bool btnBlank = true;
  bool btnProgram = true;
  bool btnVerify = true;
  bool btnAuto = true;
  bool SpeedButton1 = true;  // write lock bits
  bool ReadChip1 = true;     // the menu item
  bool btnReadChip = true;
  bool btnFuse_Write = false;

  bool operator==(const CommandControls&) const = default;
};

// What became of a command: Done, or the first reason it failed.
struct CommandResult {
  Outcome outcome = Outcome::Done;
  bool Ok() const { return outcome == Outcome::Done; }
};

// A plain-words description of an outcome, for front ends that report it.
std::string OutcomeText(Outcome outcome);

class Commands {
 public:
  Commands(ProgrammerLink& link, ImageState& image, DeviceSelection& selection,
           OperatorControls& controls, DeviceOps& ops, WindowServices& window);

  // --- State of this layer.
  std::int32_t CodeExtent = 0;
  bool InProgramMode = false;
  bool AutoRunAfterProgram = true;  // Option > Auto RUN after auto program
  bool ProgramModeTicked = true;    // Option > Program Mode
  bool RunModeTicked = false;       // Option > RUN Mode
  CommandControls Controls;

  // --- The commands (Load1Click, ReadChip1Click, btnEraseClick, ...).
  CommandResult Load();
  CommandResult ReadChip();
  CommandResult Erase();
  CommandResult BlankCheck();
  CommandResult Program();
  CommandResult Verify();
  CommandResult AutoProgram();
  CommandResult WriteLockBits();
  CommandResult WriteFuse();

  // --- Modes. Both refuse with the port's problem when the port cannot be used.
  void SetOperatingMode(bool program);
  void ToggleOperatingMode();           // btnModeClick
  void ProgramModeClick();              // Option > Program Mode
  void RunModeClick();                  // Option > RUN Mode
  void EnableCommands();
  void DisableCommands();

  // True while a command runs: a second one started from inside its message
  // pumps is refused, since both would share the address counter and the cable.
  bool Busy() const { return busy_; }

 private:
  class Run;

  void ModeMenuClick(bool program);

  // Checks that a chip command can start: no other command running, a device
  // selected, a usable port. Shows why not.
  bool CanStart(CommandResult& result, bool needsPort = true);
  void Status(std::string_view text, bool pump = false);
  bool ThreeByte() const;
  bool FuseCapable() const;
  std::int32_t LastAddress() const;
  // Records the first failure; true when the command must stop here (a refused
  // byte, a stop request, or a file error).
  static bool Note(CommandResult& result, Outcome outcome);
  CommandResult WriteLockLevel(CommandResult result);
  // Writes the lock bits for LockLevel, by the device's lock write.
  Outcome WriteLocks();

  ProgrammerLink& link_;
  ImageState& image_;
  DeviceSelection& selection_;
  OperatorControls& controls_;
  DeviceOps& ops_;
  WindowServices& window_;
  bool busy_ = false;
};

}  // namespace vql
