// The operations on the target chip: programming enable and, for each of the two
// instruction sets, erase, write, read, verify, blank check, lock bits and the user
// fuse.
//
// Every operation that covers a range of addresses walks the code image with the
// one shared address counter, builds each instruction from the address digits and
// the image digits, and hands every byte to the link. Retry counts, waits and
// message texts are those the operators know from the original programmer.
//
// An operation ends at the first sign that the chip is not doing what it is told,
// with one message box that says why, and sends nothing more: a byte that the cable
// refuses (SENSE low: no power, or the cable not in program mode), a four-byte chip
// that never echoes the programming enable, a four-byte chip in the socket when a
// three-byte device is selected, a byte that never reads back after its write, or
// the operator's stop. Nothing stale is stored into the image, and the outcome says
// what happened.
//
// An operation serves one device from its start to its end - the one a command
// holds, or else the one selected when the operation starts - and never sends an
// address above that device's last address.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "devices/device_selection.h"
#include "devices/outcome.h"
#include "devices/operator_controls.h"
#include "services/hex_loading.h"
#include "link/programmer_link.h"
#include "services/window_services.h"

namespace vql {

// Lock bit n as written for a lock level: 0 (set) for every n up to a level of 1 to
// 3, 1 otherwise (also for any other level).
constexpr BitFlag LockBitFor(std::int32_t level, std::int32_t n) {
  return level >= 1 && level <= 3 && n <= level ? 0 : 1;
}

class DeviceOps {
 public:
  DeviceOps(ProgrammerLink& link, ImageState& image, WindowServices& window,
            const DeviceSelection& selection, OperatorControls& controls);

  // --- Programming enable. EnableProgramming4 is true only when the chip echoed
  // 69; the operations end with Outcome::NoAnswer when it is false. When the chip
  // does not echo at the link's SCK half period, it tries a quarter of the speed at
  // a time until the half period reaches kSlowestSckHalfPeriodUs; a speed that works
  // stays set in the link, and a box tells the operator once which it was.
  static constexpr std::int32_t kSlowestSckHalfPeriodUs = 40;  // 20 periods at 1 MHz, doubled
  void EnableProgramming3(std::int32_t delay);
  bool EnableProgramming4();
  // EnableProgramming4 as an operation of its own: a chip that does not echo ends
  // it with Outcome::NoAnswer and its message box.
  Outcome EnableProgramming4Checked();

  // --- Four-byte instruction set (the devices whose row names it).
  Outcome EraseChip4();
  // The writes apply the auto-reload rule unless the caller has reloaded already.
  enum class Reload { ByOption, AlreadyDone };
  Outcome WriteCode4(std::int32_t last, Reload reload = Reload::ByOption);
  Outcome ReadCode4(std::int32_t last);
  Outcome VerifyCode4(std::int32_t last);
  Outcome BlankCheck4(std::int32_t last);
  Outcome WriteLockBitsByMode(std::int32_t level);
  Outcome WriteLockBitsStepwise(std::int32_t level);
  bool WriteLockModeAndConfirm(BitFlag lb1, BitFlag lb2);
  bool ReadLockBitsToBoxes(std::int32_t which);
  // ReadLockBitsToBoxes as an operation of its own: Done, or why it ended early.
  Outcome ReadLockBitsToBoxesChecked();
  Outcome ReadLockBitsByMode();
  Outcome ReadUserFuses();
  Outcome WriteUserFuses();

  // --- Three-byte instruction set (the devices whose row names it).
  Outcome EraseChip3();
  Outcome WriteCode3(std::int32_t last, Reload reload = Reload::ByOption);
  Outcome ReadCode3(std::int32_t last);
  Outcome VerifyCode3(std::int32_t last);
  Outcome BlankCheck3(std::int32_t last);
  Outcome WriteLockBits3(std::int32_t level);

  // PollDelay + 1 message-pump passes (none when PollDelay is negative).
  void PollPause();

  // Set from outside (Ctrl-C, a Stop button): operations end at the next address,
  // enable attempt, lock retry or wait. Whoever starts a command clears it.
  bool StopRequested = false;

  // The device that operations serve while a command runs (nullptr: none held, each
  // operation takes the selected one when it starts).
  void HoldDevice(const DeviceInfo* device) { held_ = device; }

  // Why the last operation ended early, if it did: Refused, NoAnswer, WrongDevice,
  // NotProgrammed, Stopped or NoDevice.
  std::optional<Outcome> Halted() const { return halt_; }

 private:
  // How a walk goes on after one address.
  enum class Step { Next, StopHere, StopAfterAdvance };

  // One operation, from its start to its end. Operations nest (a lock write reads
  // the lock bits); only the outermost one takes its device and starts afresh.
  class Scope {
   public:
    explicit Scope(DeviceOps& ops) : ops_(ops) {
      if (ops_.depth_++ == 0) {
        ops_.halt_.reset();
        ops_.device_ = ops_.held_ != nullptr ? ops_.held_ : ops_.selection_.Device();
        if (ops_.device_ == nullptr) ops_.halt_ = Outcome::NoDevice;
      }
    }
    ~Scope() { --ops_.depth_; }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    DeviceOps& ops_;
  };

  // Ends the current operation for this reason: nothing more is sent in it.
  void Halt(Outcome why) {
    if (!halt_) halt_ = why;
  }
  // Whether the operation has ended early; a stop request ends it here.
  bool Ended() {
    if (StopRequested) Halt(Outcome::Stopped);
    return halt_.has_value();
  }
  // Waits, pumping messages; a stop request ends the wait and the operation.
  void Wait(std::int32_t ms);

  // The outermost three-byte operation first makes sure that no four-byte chip sits
  // in the socket: one four-byte enable attempt, which such a chip echoes and which a
  // three-byte chip takes as its own enable. False (with a box) when one answered.
  bool NoFourByteChip();
  // One attempt of the four-byte enable; true when the chip echoed 69.
  bool EnableAttempt4();
  // The enable at ever slower clocks, after the set one has had no echo.
  bool EnableAtSlowerClock();
  // EnableProgramming4 inside an operation: no echo ends the operation.
  bool Enable4();
  void ShowNoAnswer();

  // Sends, guarded: once the operation has ended, nothing more is sent in it and
  // these return false.
  bool SendDigits(char high, char low);
  bool SendBits(BitFlag b7, BitFlag b6, BitFlag b5, BitFlag b4, BitFlag b3, BitFlag b2, BitFlag b1,
                BitFlag b0);
  bool SendInstruction(const char* hexBytes);  // e.g. "AC800000", sent as digit pairs

  // Walks 0..last after the enable of the set; handle(n) decides how to go on. A
  // refused byte or a stop request ends the walk at the address it happened at.
  void Walk(InstructionSet set, std::int32_t last, bool pumpEachAddress,
            const std::function<Step(std::int32_t)>& handle);
  void ClearEnableLines();
  bool WriteCodeByte4(std::int32_t n);
  bool ReadCodeByte4();
  bool WriteCodeByte3(std::int32_t n);
  bool ReadCodeByte3();
  bool AddressByte4();                          // byte 2 of the four-byte code instructions
  bool AddressByte3(BitFlag op1, BitFlag op0);  // byte 1 of the three-byte ones
  bool ExpectImageByte(std::int32_t n);        // loads SentBits, compares with the answer
  bool ExpectByte(char high, char low);
  void StoreReceived(std::int32_t n);
  bool SkipsAddress(std::int32_t n) const;
  bool AutoReload(Reload reload, Outcome& outcome);
  // The last address a walk covers: last, but never past the device.
  std::int32_t Bounded(std::int32_t last) const;
  // Stops a write at address n, whose byte never read back, with one box.
  void NotProgrammed(std::int32_t n, const char* title);
  // The outcome of an operation that did not fail on its own terms.
  Outcome Result(Outcome ok) const;

  ProgrammerLink& link_;
  ImageState& image_;
  WindowServices& window_;
  const DeviceSelection& selection_;
  OperatorControls& controls_;
  int depth_ = 0;  // operations nest (lock writes read the lock bits)
  const DeviceInfo* held_ = nullptr;    // held by the running command
  const DeviceInfo* device_ = nullptr;  // served by the current operation
  std::optional<Outcome> halt_;         // why the current operation ended early
};

}  // namespace vql
