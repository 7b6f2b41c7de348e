// The operations on the target chip: programming enable and, for each of the two
// instruction sets, erase, write, read, verify, blank check, lock bits and the user
// fuse.
//
// Every operation that covers a range of addresses walks the code image with the
// one shared address counter, builds each instruction from the address digits and
// the image digits, and hands every byte to the link. Retry counts, waits and
// message texts are those the operators know from the original programmer.
//
// A byte that the cable refuses (SENSE low: no power, or the cable not in program
// mode) ends the operation at that address: "Device have not in program mode" is
// shown once, nothing stale is stored into the image, and the outcome says so.
#pragma once

#include <cstdint>
#include <functional>

#include "devices/device_selection.h"
#include "devices/outcome.h"
#include "devices/operator_controls.h"
#include "image/hex_files.h"
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

  // --- Programming enable.
  void EnableProgramming3(std::int32_t delay);
  bool EnableProgramming4();

  // --- Four-byte instruction set: AT89S51, AT89S52, AT89S8253, AT89S2051, AT89S4051.
  Outcome EraseChip4();
  Outcome WriteCode4(std::int32_t last);
  Outcome ReadCode4(std::int32_t last);
  Outcome VerifyCode4(std::int32_t last);
  Outcome BlankCheck4(std::int32_t last);
  Outcome WriteLockBitsByMode(std::int32_t level);
  Outcome WriteLockBitsStepwise(std::int32_t level);
  bool WriteLockModeAndConfirm(BitFlag lb1, BitFlag lb2);
  bool ReadLockBitsToBoxes(std::int32_t which);
  Outcome ReadLockBitsByMode();
  Outcome ReadUserFuses();
  Outcome WriteUserFuses();

  // --- Three-byte instruction set: AT89S53, AT89S8252.
  Outcome EraseChip3();
  Outcome WriteCode3(std::int32_t last);
  Outcome ReadCode3(std::int32_t last);
  Outcome VerifyCode3(std::int32_t last);
  Outcome BlankCheck3(std::int32_t last);
  Outcome WriteLockBits3(std::int32_t level);

  // PollDelay + 1 message-pump passes (none when PollDelay is negative).
  void PollPause();

  // Set from outside (Ctrl-C, a Stop button): walks end at the next address.
  bool StopRequested = false;

  // Whether the cable refused a byte during the last operation.
  bool Refused() const { return refused_; }

 private:
  // How a walk goes on after one address.
  enum class Step { Next, StopHere, StopAfterAdvance };

  // One operation, from its start to its end. Operations nest (a lock write reads
  // the lock bits); only the outermost one starts with a clean refusal flag.
  class Scope {
   public:
    explicit Scope(DeviceOps& ops) : ops_(ops) {
      if (ops_.depth_++ == 0) ops_.refused_ = false;
    }
    ~Scope() { --ops_.depth_; }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    DeviceOps& ops_;
  };

  // Sends, guarded: once a byte has been refused, nothing more is sent in this
  // operation and these return false.
  bool Digits(char high, char low);
  bool Bits(BitFlag b7, BitFlag b6, BitFlag b5, BitFlag b4, BitFlag b3, BitFlag b2, BitFlag b1,
            BitFlag b0);
  bool Instruction(const char* hexBytes);  // e.g. "AC800000", sent as digit pairs

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
  bool AutoReload(Outcome& outcome);
  // The outcome of an operation that did not fail on its own terms.
  Outcome Result(Outcome ok) const;

  ProgrammerLink& link_;
  ImageState& image_;
  WindowServices& window_;
  const DeviceSelection& selection_;
  OperatorControls& controls_;
  int depth_ = 0;         // operations nest (lock writes read the lock bits)
  bool refused_ = false;  // a byte was refused during the current operation
};

}  // namespace vql
