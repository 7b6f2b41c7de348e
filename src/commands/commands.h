// The operator's commands: load, read chip, erase, blank check, program, verify,
// auto-program, write lock bits, write fuse, and the switch between program mode
// and run mode, with their status texts and the enabling of the command controls.
//
// Both front ends - the window and the command line - call these. Each command
// writes its status texts exactly as operators know them, and also reports its
// outcome, so that a front end can tell success from failure even where the
// status text alone would not: the outcome is Done only when the chip is what the
// command claims. A failure that no status text shows is explained in one message
// box, and the steps that would make things worse after it - lock bits, the fuse,
// an erase for an image that holds nothing - are not taken.
//
// A command serves the device selected when it starts, to its end; while it runs,
// the device, the port, the loop test and the modes cannot be changed.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "devices/device_ops.h"
#include "devices/device_selection.h"
#include "devices/operator_controls.h"
#include "devices/status_texts.h"
#include "services/hex_loading.h"
#include "link/programmer_link.h"
#include "services/window_services.h"

namespace vql {

struct SetOperations;

// When a command's controls are enabled, besides no other command running.
enum class CommandGate {
  Always,       // in either operating mode
  ProgramMode,  // while the commands are enabled (EnableCommands / DisableCommands)
  FuseDevice,   // as ProgramMode, and while the selection enables the fuse write
};

// What became of a command: Done, or the first reason it failed. A Done that
// nothing on the wire could check - a chip without an echo of its own, lock bits
// whose reading the sources dispute - carries a caveat that says why, and its box
// has been shown (once a run for each text).
struct CommandResult {
  CommandResult() = default;
  CommandResult(Outcome why) : outcome(why) {}  // NOLINT: {Outcome::X} reads as the result

  Outcome outcome = Outcome::Done;
  std::string caveat;
  bool Ok() const { return outcome == Outcome::Done; }
  bool Vouched() const { return Ok() && caveat.empty(); }
};

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
  // The command controls that follow the operating mode: set by EnableCommands,
  // cleared by DisableCommands.
  bool CommandsEnabled = true;
  // A reload whose records have problems ends the command before the chip is
  // touched, as the terminal front end does with a load (unless told to go on). The
  // window loads the file as it stands and leaves the operator to decide.
  bool StopOnDamagedReload = false;
  // Set: Auto-program runs it once the verify has matched, before the fuse and the
  // lock bits, and ends as it does after a failed step when it gives anything but
  // Done. A production job writes each chip's own bytes there.
  std::function<Outcome()> BeforeFuseAndLock;

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
  // Reads the chip's signature bytes where the device's data sheet gives them, and
  // shows them with the model they name.
  CommandResult ReadSignature();

  // --- What the operator may change between commands; refused (false) while a
  // command runs. cmbDeviceChange, AT89S511Click .. AT89S40511Click,
  // LPT11Click / LPT21Click, Button1Click ("Test IO").
  bool SelectDeviceOrNone(std::int32_t itemIndex);
  bool SelectDevice(std::int32_t index);
  bool SelectPort(std::int32_t lpt);
  // The operator's settings: the Lock Bit boxes (ticking one ticks or clears others
  // by the rules), the x2 Clock box, Option > Auto Reload File, Option > Auto RUN
  // after auto program and the SCK half period. Refused (false) while a command
  // runs; otherwise the front end is told that the controls changed.
  bool SetLockBox(std::int32_t box, bool ticked);
  bool SetX2Clock(bool on);
  bool SetAutoReloadFile(bool on);
  bool SetAutoRunAfterProgram(bool on);
  bool SetFastProgramming(bool on);
  bool SetSckHalfPeriod(std::int32_t us);
  // The loop test: Done, LoopTestFailed, NoPort or Busy.
  CommandResult TestIo();
  // Moves the work to the cable on the other port: the target on the port left
  // behind is released to run, the new one is held in program mode. False when the
  // new port cannot be used (its problem has been shown) or a command runs.
  bool MoveCableTo(std::int32_t lpt);

  // Asks the running command to stop at its next address, enable attempt, lock
  // retry or wait. A command clears the request when it starts.
  void RequestStop() { ops_.StopRequested = true; }

  // --- Modes. Both refuse with the port's problem when the port cannot be used.
  void SetOperatingMode(bool program);
  void ToggleOperatingMode();           // btnModeClick
  void ChooseProgramMode();             // Option > Program Mode
  void ChooseRunMode();                 // Option > RUN Mode
  void EnableCommands();
  void DisableCommands();
  // Whether controls behind gate are enabled, a command running aside.
  bool Enabled(CommandGate gate) const;

  // True while a command runs: a second one started from inside its message
  // pumps is refused, since both would share the address counter and the cable.
  bool Busy() const { return busy_; }
  // Whether the last status text the commands showed says by itself that something
  // went wrong (see StatusText).
  bool StatusShowsFailure() const { return statusShowsFailure_; }

 private:
  class Run;

  void ChooseMode(bool program);
  // Runs change unless a command runs, then tells the front end.
  bool ChangeSetting(const std::function<void()>& change);

  // Checks that a chip command can start: no other command running, a device
  // selected, a usable port. Shows why not. Takes the device the command serves.
  bool CanStart(CommandResult& result, bool needsPort = true);
  // Shows text, with more after it; pump: once, so that a progress text shows
  // before the long part starts.
  void Status(StatusText text, std::string_view more = {}, bool pump = false);
  // The operations of the device's instruction set.
  const SetOperations& Set() const;
  bool FuseCapable() const;
  std::int32_t LastAddress() const;
  // The last address that Program and Verify cover: CodeExtent, never past the device.
  std::int32_t ImageLast() const;
  // Records the outcome in the result when it is the first failure; true when the
  // command must end here: the chip did not answer or was refused, a wrong device,
  // a stop, a file error.
  static bool RecordAndMustEnd(CommandResult& result, Outcome outcome);
  // Before Program, Verify and Auto-program touch the chip: reloads the file when
  // Auto Reload File is ticked (writes only), then refuses code that does not fit
  // the device, an image byte that is no hex pair and, for writes, an image with
  // nothing to write. False, with a box, when the command must not go on; each step
  // below is one of these checks.
  bool CheckImage(CommandResult& result, bool forWrite);
  bool ReloadForWrite(CommandResult& result);
  bool CodeFitsDevice(CommandResult& result);
  bool ImageIsHex(CommandResult& result);
  bool ImageHasData(CommandResult& result);
  CommandResult WriteLockLevel(CommandResult result);
  // Writes the lock bits for LockLevel, by the device's lock write.
  Outcome WriteLocks();
  // Gives a Done its caveat, and shows it the first time.
  void Caveat(CommandResult& result, const std::string& text);
  // The caveat of the operation just run, if any.
  void TakeCaveat(CommandResult& result) {
    if (!ops_.Caveat().empty()) Caveat(result, ops_.Caveat());
  }
  // Whether this device's chip can answer without having heard the command: it
  // does not have to echo the programming enable, and has not in this command.
  bool MayBeUnheard() const;
  // Why a chip of a device that cannot show whether its code is hidden cannot vouch
  // for what it read: what (for instance "the image holds its code").
  std::string HiddenCodeCaveat(std::string_view what) const;
  // Read Chip, Blank check and Verify on a device whose lock reading decides nothing.
  void ReadCaveat(CommandResult& result, std::string_view what);
  // Verify: a match that a chip hiding its code, or one that missed the enable, could
  // give as well.
  void VerifyCaveat(CommandResult& result);
  // On a device that may not have been heard, answers of 00 where every byte compared
  // is 00 are no evidence: a chip that does not answer, or MISO stuck low, gives them.
  // True (the outcome ReadError, with its box) when Program (skipFF: over the bytes it
  // writes) or Verify met only such bytes; Read Chip asks ReadOnly00 of what it read.
  bool AnsweredOnly00(CommandResult& result, bool skipFF);
  bool ReadOnly00() const;
  std::string All00Text() const;
  // Read Chip: the second pass must give what the first gave.
  void CompareReads(CommandResult& result, const CodeImage& first);
  // The chip's lock level, read before a command touches its code, while the
  // operator's boxes (what a later lock write will write) are left as they are.
  // Nothing on a device that cannot read its lock bits, or when the read ended the
  // command (the outcome then says why).
  std::optional<std::int32_t> ChipLockLevel(CommandResult& result);
  // Whether lock bits at this level forbid the command: a read from level 2 on, a
  // write from level 1 on. Shows why in a box, with what that means for this command,
  // and sets the outcome.
  enum class Access { Read, Write };
  bool LockForbids(CommandResult& result, std::int32_t level, Access access,
                   std::string_view consequence);
  // On the AT89S51/52, before a lock reading refuses: whether the chip's signature
  // names another model (WrongDevice) or none (the locked outcome, with a box that
  // does not advise an erase). Shows the box and sets the outcome when it does.
  bool OtherModelInTheSocket(CommandResult& result, std::int32_t level, Outcome locked);
  // The chip's signature at the device's own addresses, and, when it is not the
  // device's, the known model it names (read at that model's addresses where they
  // differ). Nothing when the device gives no signature or the read ended the
  // operation (ops_.Halted() says why).
  struct SignatureSeen {
    std::vector<std::uint8_t> bytes;  // at the device's own addresses
    bool own = false;                 // the device's own signature
    std::string otherModel;           // the other model named, if any
    std::string otherText;            // "the AT89S8253's 1E 73, at 030 and 031"
  };
  std::optional<SignatureSeen> ReadChipSignature();
  // Before a fast write of a device with a confirmed signature: false, with a box
  // naming both models, when the chip gives another model's signature, or when the
  // read ended the command. A signature that names no known model is shown in a
  // notice and refuses nothing.
  bool SignatureAllowsPages(CommandResult& result);

  ProgrammerLink& link_;
  ImageState& image_;
  DeviceSelection& selection_;
  OperatorControls& controls_;
  DeviceOps& ops_;
  WindowServices& window_;
  bool busy_ = false;
  bool statusShowsFailure_ = false;
  std::set<std::string> caveatsShown_;
  const DeviceInfo* device_ = nullptr;  // the device the running command serves
};

}  // namespace vql
