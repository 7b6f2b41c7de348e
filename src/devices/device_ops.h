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

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// What a by-mode lock write did, judged from the lock bits read before and after it
// (LB1..LB3 in b0..b2) without knowing whether a set bit reads 0 or 1: the sources
// disagree on that for the AT89S8253. The write was taken when some bits changed, all
// the same way, all among those the level sets, and the bits read after it show the
// level's bits set in the reading that the change shows.
enum class LockWriteSeen { Taken, Unchanged, Wrong };
constexpr LockWriteSeen JudgeLockWrite(std::int32_t level, std::uint8_t before, std::uint8_t after) {
  const unsigned want = (1u << level) - 1u;  // LB1..LBlevel
  const unsigned changed = (before ^ after) & 7u;
  if (changed == 0) return LockWriteSeen::Unchanged;
  for (const bool setReadsOne : {false, true}) {
    const auto set = [&](unsigned bits) { return (setReadsOne ? bits : ~bits) & 7u; };
    const bool fromClearToSet = (changed & set(before)) == 0 && (changed & ~set(after)) == 0;
    if (fromClearToSet && (changed & ~want) == 0 && (set(after) & want) == want) {
      return LockWriteSeen::Taken;
    }
  }
  return LockWriteSeen::Wrong;
}
// LB3..LB1 as read, "100" for b2..b0 of 100.
std::string LockBitsText(std::uint8_t bits);
// What LB3..LB1 as read (b2..b0) mean when a set bit reads setReadsOne: "level 2", or
// "LB3 set alone" for bits that no level sets.
std::string LockLevelText(std::uint8_t bits, bool setReadsOne);

// Whether lock bits read as exactly this level in one of the two readings.
constexpr bool LockBitsReadAsLevel(std::int32_t level, std::uint8_t bits) {
  const unsigned want = (1u << level) - 1u;
  return (bits & 7u) == want || (~bits & 7u) == want;
}

class DeviceOps {
 public:
  DeviceOps(ProgrammerLink& link, ImageState& image, WindowServices& window,
            const DeviceSelection& selection, OperatorControls& controls);

  // --- Programming enable. The devices whose row judges the echo get up to ten
  // attempts, and EnableProgramming4 is true only when the chip echoed 69; the
  // operations end with Outcome::NoAnswer when it is false. The other four-byte
  // devices get one attempt and go on whatever the answer: their chips need not
  // echo. An echo, whenever it comes, is kept as evidence that a chip heard the
  // command (EchoSeen). When the chip does not echo at the link's SCK half period,
  // the enable tries a quarter of the speed at a time until the half period reaches
  // kSlowestSckHalfPeriodUs (on the devices that go on without an echo, once a
  // command, and only while no echo has been seen in it); a speed that works stays
  // set in the link, and a box tells the operator once which it was.
  static constexpr std::int32_t kSlowestSckHalfPeriodUs = 40;  // 20 periods at 1 MHz, doubled
  void EnableProgramming3(std::int32_t delay);
  bool EnableProgramming4();
  // EnableProgramming4 as an operation of its own: a chip that does not echo ends
  // it with Outcome::NoAnswer and its message box.
  Outcome EnableProgramming4Checked();
  // Whether the chip has shown, since the command began (or, outside a command, since
  // the operation began), that it hears the command: it echoed a programming enable,
  // or a byte read otherwise before its write than after it.
  bool EchoSeen() const { return echoSeen_; }
  // Or, on a device whose signature the chip gave (ShowHearingBySignature), that.
  bool HeardSeen() const { return echoSeen_ || writeShown_ || signatureSeen_; }
  // Reads the device's own signature, once a command, where nothing else has shown
  // that the chip hears: bytes that no empty socket and no stuck line gives count as
  // the chip having heard. True when it has shown so, by this or before.
  bool ShowHearingBySignature();

  // --- Four-byte instruction set (the devices whose row names it).
  Outcome EraseChip4();
  // The writes send the image as it stands: with Auto Reload File ticked, the caller
  // reads the file again first and checks it against the device (the commands do).
  Outcome WriteCode4(std::int32_t last);
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
  Outcome WriteCode3(std::int32_t last);
  Outcome ReadCode3(std::int32_t last);
  Outcome VerifyCode3(std::int32_t last);
  Outcome BlankCheck3(std::int32_t last);
  Outcome WriteLockBits3(std::int32_t level);

  // PollDelay + 1 message-pump passes (none when PollDelay is negative).
  void PollPause();

  // Set when the front end asks the running command to stop (Commands::RequestStop:
  // Escape, or Exit or closing the window mid-command; Ctrl-C or a termination
  // signal on the command line, passed on by its message pump). Operations end at
  // the next address, enable attempt, lock retry or wait. Whoever starts a command
  // clears it.
  bool StopRequested = false;

  // Set by a command that verifies every byte right after a fast write (Auto-program):
  // the write then reads a page back only when its last byte does not read right, or
  // while nothing has shown that the chip hears. The verify judges the rest.
  bool VerifyFollowsWrite = false;

  // The device that operations serve while a command runs (nullptr: none held, each
  // operation takes the selected one when it starts).
  void HoldDevice(const DeviceInfo* device) {
    held_ = device;
    NewCommand();
  }

  // Why the last operation ended early, if it did: Refused, NoAnswer, WrongDevice,
  // NotProgrammed, Stopped, NoDevice, NoPort or PortLost.
  std::optional<Outcome> Halted() const { return halt_; }

  // Why the last operation, though Done, cannot vouch for what it did (empty when
  // it can): a lock write whose read-back cannot tell a chip that took it from one
  // that did not.
  const std::string& Caveat() const { return caveat_; }
  // After a write on a device whose chip may answer without hearing (no echo judged):
  // no byte that was written read otherwise before its write than after it, so the
  // read-backs cannot show that the chip took the write.
  bool WriteUnproved() const { return writeUnproved_; }
  // After a verify: an address matched only after a new programming enable, so the
  // chip may not have heard the ones before it.
  bool MatchedAfterEnable() const { return matchedAfterEnable_; }
  // The lock bits as last read, b2..b0 of the answer of a by-mode read.
  std::uint8_t LockBitsRead() const { return lockRaw_; }

  // How long a lock or fuse write may last on a device whose data sheet gives no
  // maximum (the AT89S53/8252's writes typically end below 2.5 ms; nothing is known of
  // the AT89S2051/4051's): more than ten times that, since nothing shows its end and
  // RST low inside it would leave the bits undefined. Once a command, so the wait
  // costs little.
  static constexpr std::int32_t kLockFuseWriteMs = 30;
  // The wait after a four-byte code byte write before its read-back.
  static constexpr std::int64_t kByteWriteWaitUs = 5000;
  // After the chip erase and its time, address 0 is read until it reads FF: every
  // kEraseEndPollMs, at most kEraseEndPolls times. A chip that reads otherwise is
  // still erasing (it answers 00 meanwhile) or did not take the erase.
  static constexpr std::int32_t kEraseEndPollMs = 10;
  static constexpr int kEraseEndPolls = 50;

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
        ops_.caveat_.clear();
        ops_.writeUnproved_ = false;
        ops_.matchedAfterEnable_ = false;
        ops_.portUsableAtStart_ = ops_.link_.PortUsable();
        if (ops_.held_ == nullptr) ops_.NewCommand();
        ops_.device_ = ops_.held_ != nullptr ? ops_.held_ : ops_.selection_.Device();
        if (ops_.device_ == nullptr) {
          ops_.halt_ = Outcome::NoDevice;
        } else {
          ops_.link_.ChipSpiMode = ops_.device_->spiMode;
          ops_.framing_ = ops_.device_->set;
        }
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
  // After a write, lock or fuse instruction: at least the device's write cycle (or
  // kLockFuseWriteMs where its data sheet gives none) by the clock the chip runs on,
  // even when a stop is asked meanwhile, since RST must not go low inside the cycle;
  // the stop ends the operation after it.
  void AwaitWriteCycle();

  // What a command keeps from one operation to the next starts afresh.
  void NewCommand() {
    echoSeen_ = false;
    signatureSeen_ = false;
    contactDoubted_ = false;
    otherSetLooked_ = false;
    writeShown_ = false;
    slowSearched_ = false;
    signatureRead_ = false;
    pagesAnswer_.reset();
  }
  // Whether the enable of this device must be echoed (the devices whose row judges it).
  bool EchoJudged() const { return device_ != nullptr && device_->enable == EnableRule::EchoJudged; }
  // The enable's answer: whether this attempt echoed 69, kept as evidence.
  bool EchoedNow();
  // In a retry loop, once an answer has disagreed with what is wanted, a matching one
  // counts only when the next read agrees with it: a poor contact spoils an answer
  // into the wanted one now and then. matchesAgain sends the read and compares. A miss
  // that a busy chip explains (polling a write or an erase) says nothing of the
  // contact; any other miss followed by a match shows it unreliable, and from then on
  // in the command every match needs the next read to agree, the first read of an
  // address too.
  //
  // On a doubted contact whose wrong answers at the address differ among themselves, the
  // answer wanted must also be more than half of those given there since its last
  // write: a poor contact spreads its flips over eight values, while a cell that holds
  // another byte gives that one again and again, and only now and then, flipped, the
  // one wanted. busyAnswer: what a busy chip answers there (data
  // polling, or 00 during an erase), which is neither.
  bool Confirmed(bool missed, const std::function<bool()>& matchesAgain,
                 std::optional<std::uint8_t> busyAnswer = std::nullopt);
  // Every answer of a code read, counted by value for the address it read (see
  // Confirmed); a write there, or a read elsewhere, starts the count afresh.
  void CountAnswer(std::int32_t address, std::uint8_t answer);
  void ForgetAnswers() { answersAt_ = -1; }
  // The byte at the counter's address once two reads in a row agree on it, at most
  // kAgreedReads reads; otherwise the operation ends with ReadError and its box.
  std::optional<std::uint8_t> ReadByteAgreed(std::int32_t n);
  // The byte in ReceivedBits.
  std::uint8_t ReceivedByte() const;
  // The box of an address that never matched the image: where, in decimal and hex,
  // what the image holds and what the chip read last.
  void ShowMismatch(std::int32_t n);
  // Reads the address the counter spells: the byte the chip answers, or nullopt
  // when the operation ended.
  std::optional<std::uint8_t> ReadCounterByte(InstructionSet set);
  // Before the write of address n on a device whose chip may answer without hearing:
  // the byte read there, when two reads agree on it (nullopt otherwise or when the
  // operation ended: see halt_).
  std::optional<std::uint8_t> ReadBeforeWrite(InstructionSet set);
  // What a write has shown of the chip so far: a byte that read otherwise before its
  // write than after it shows that the chip takes writes (proved). The bytes that
  // read back before that (pending) may have been answered by a chip that missed the
  // enable.
  //
  // Where the data sheet does not say what a busy chip answers (see dataPolling), a
  // byte of 00 that reads back 00 may have been answered by a chip still writing the
  // byte before, which then missed this write: such bytes (maybeBusy) wait until a
  // later byte that is not 00 reads back right (idleAt), which no busy chip can
  // answer, and are read again then.
  struct WriteProof {
    explicit WriteProof(bool needless) : proved(needless) {}
    bool proved;
    bool wrote = false;
    std::vector<std::int32_t> pending;
    std::vector<std::int32_t> maybeBusy;
    std::int32_t idleAt = -1;
  };
  // After the byte at n read back: records what it shows. When it is the first to
  // show the chip taking writes, the pending bytes are read again, and written again
  // with rewrite where they read otherwise. False when one of them did not program
  // (its box shown) or the operation ended; the counter spells n again at the end.
  bool TakeWriteProof(InstructionSet set, std::int32_t n, std::optional<std::uint8_t> before,
                      WriteProof& proof, const std::function<bool(std::int32_t)>& rewrite);
  // After the byte at n read back right: a 00 waits in maybeBusy; any other byte
  // becomes idleAt, and once it reads right again (AwaitIdle) the waiting bytes are
  // read again and written again with rewrite where they read otherwise. False when one of them did not program (its box
  // shown) or the operation ended; the counter spells n again at the end.
  bool TakeIdleProof(std::int32_t n, WriteProof& proof,
                     const std::function<bool(std::int32_t)>& rewrite);
  // While bytes wait in maybeBusy, idleAt is read until it reads right, which shows
  // the chip idle and ready for the next write. False when it never does or the
  // operation ended.
  bool AwaitIdle(const WriteProof& proof);
  // At the end of a write: the bytes still in maybeBusy read again once idleAt reads
  // right again. Where no byte but 00 was written, nothing can show that the chip had
  // finished, and a caveat says so.
  void SettleMaybeBusy(WriteProof& proof, const std::function<bool(std::int32_t)>& rewrite);
  // One byte written and read back until it matches, by each set's rules: true when
  // it did; false, without a box, when it never did or the operation ended.
  bool WriteAndReadBack4(std::int32_t n);
  // Verify and Blank check at the counter's address n, from the given read on (the
  // reads before it did not match): reads until one matches and, after a miss, the
  // next read agrees, with a new enable after each miss; Verify at most 20 reads,
  // with the mismatch box, Blank check at most 10. Sets the flag when it never
  // matched.
  Step VerifyAt4(std::int32_t n, int fromRead, bool& mismatch);
  Step BlankAt4(int fromRead, bool& notBlank);

  // --- Fast programming: the page instructions of the devices whose row gives a
  // page, while Fast Programming is ticked (PagesWanted). After the enable of the
  // first page operation of a command, page 0 is read byte by byte and by two page
  // reads (PagesAnswer): a chip whose page reads differ from its byte reads does not
  // take the page instructions
  // as its data sheet says (another model, or a poor contact), and the command goes
  // on byte by byte, with a notice.
  bool PagesWanted() const;
  // How long each enable attempt holds RST low, and then high, before the enable
  // instruction: 50 ms, or with fast programming on the page devices this.
  static constexpr std::int32_t kFastEnableSettleMs = 10;
  bool PagesAnswer();
  // The page instruction's opening for the page at start: op (50 write, 30 read),
  // A13..A8 and, where pages are smaller than 256 bytes, A7..A0 of the page.
  std::vector<std::uint8_t> PageOpening(std::uint8_t op, std::int32_t start);
  // The page at start as one page read answers it, with filler clocked out meanwhile
  // (the digit of each byte: 00 or FF); nothing when the operation ended.
  std::optional<std::vector<std::uint8_t>> ReadPage(std::int32_t start, std::uint8_t filler = 0x00);
  // count pages from start, read in one exchange; empty when the operation ended.
  std::vector<std::vector<std::uint8_t>> ReadPages(std::int32_t start, std::int32_t count,
                                                   std::uint8_t filler = 0x00);
  // Writes the image's bytes start..end as one page (FF past end), waits for the
  // write by data polling, reads the page back and writes every byte that did not
  // take the image's value again, byte by byte. False, with the box of the byte
  // that never programs, when one does not; false when the operation ended. Without
  // readBack the page is read back only when its last byte never read right.
  bool WritePage(std::int32_t start, std::int32_t end, bool readBack);
  // Reads the address until it reads want twice in a row, within the device's page
  // write time with a wide margin: data polling, as a chip answers the last byte of
  // a page with its bit 7 inverted until the page is written.
  static constexpr std::int32_t kPagePollMargin = 4;
  bool AwaitPageWritten(std::int32_t at, std::uint8_t want);
  // The non-FF image bytes start..end that now(n) does not show (a byte of the page
  // read back, or a byte read), written again byte by byte. False, with the box,
  // when one does not program; false when now gives nothing (the operation ended).
  bool RewriteMismatches(std::int32_t start, std::int32_t end,
                         const std::function<std::optional<std::uint8_t>(std::int32_t)>& now);
  // The page operations: false, having sent no more than the enable and page 0's
  // reads, when the chip does not answer page reads (the byte-at-a-time operation
  // then runs instead); true otherwise, whether or not the operation ended early.
  bool WritePages4(std::int32_t last);
  // Walks the pages of 0..last after the enable, one page read each; handle(n, got)
  // decides for each address.
  bool WalkPages(std::int32_t last, const std::function<Step(std::int32_t, std::uint8_t)>& handle);
  // Once the contact is in doubt (contactDoubted_), the pages read from start are read
  // again, and a byte that the two reads give differently is read byte by byte until
  // two reads agree. False when the operation ended.
  bool AgreeWithSecondRead(std::int32_t start, std::vector<std::vector<std::uint8_t>>& pages);
  void StoreByte(std::int32_t n, std::uint8_t byte);
  bool WriteAndPoll3(std::int32_t n);
  // After the erase instruction: its time passes even when a stop is asked meanwhile,
  // since a chip in its self-timed erase must not be released; the stop ends the
  // operation after it. One millisecond more, as the tick may move just after the
  // instruction.
  void AwaitEraseTime() {
    link_.WaitMilliseconds(device_->eraseMs + 1);
    Ended();
  }
  // After the erase time: reads address 0 until it reads FF.
  void AwaitEraseEnd(InstructionSet set);
  // Sets the caveat of the operation, unless it has one already.
  void NoteCaveat(std::string text) {
    if (caveat_.empty()) caveat_ = std::move(text);
  }
  // One by-mode lock write with its read before and after, in one enable session.
  struct LockReadings {
    std::uint8_t before = 0;  // b2..b0 of the answers
    std::uint8_t after = 0;
  };
  std::optional<LockReadings> WriteLockBitsOnce(std::int32_t level);
  std::optional<std::uint8_t> ReadLockBitsRaw();
  // An instruction (24 55 55 FF) sent until two answers in a row agree, at most
  // kAgreedReads times; then the operation ends with ReadError and a box that names
  // what (the "lock bits").
  static constexpr int kAgreedReads = 10;
  using Instruction4 = std::array<std::uint8_t, 4>;
  std::optional<std::uint8_t> ReadAgreed(const Instruction4& instruction, const char* what);
  // The answer of read once two in a row agree, at most kAgreedReads reads; otherwise
  // the operation ends with ReadError and a box that names what was read.
  std::optional<std::uint8_t> Agreed(const std::function<std::optional<std::uint8_t>()>& read,
                                     const std::string& what);

 public:
  // Signature bytes at the addresses (the AT89S51/52's at 000, 100 and 200), each
  // read until two agree; nothing when the chip does not echo or the reads disagree.
  std::optional<std::vector<std::uint8_t>> ReadSignature(
      std::span<const std::uint16_t> addresses);

 private:
  // The user fuses as read, each true when enabled: the x2 clock (Fuse2) and, where
  // the device row has the AT89S8253's three fuses, User Row programming (Fuse3).
  struct FuseState {
    bool x2 = false;
    bool userRow = false;
  };
  // One fuse write with its read before and after.
  struct FuseReadings {
    FuseState before;
    FuseState after;
  };
  // viaOther: the other value is written (and read) first; before is what it read.
  std::optional<FuseReadings> WriteUserFusesOnce(bool x2, bool viaOther);
  // The write and its wait, with Fuse1 enabled and Fuse3 as userRow; false when the
  // operation ended.
  bool WriteFuses(bool x2, bool userRow);
  // Read User Fuses, until two answers agree, under the polarity that Fuse1 shows.
  // Nothing when the answers cannot show it (with refuseUnknown, the operation ends
  // then with FuseUnknown and a box) or the operation ended.
  std::optional<FuseState> ReadFuses(bool refuseUnknown);
  // Whether a byte's read-back must be checked against its read before the write,
  // and whether that has shown the chip taking a write yet.
  bool NeedsWriteProof() const { return !EchoJudged(); }

  // The outermost three-byte operation first makes sure that no four-byte chip sits
  // in the socket: it sends one four-byte enable attempt, which such a chip echoes
  // and which a three-byte chip takes as its own enable. When one echoes, a box says
  // so and the operation ends with WrongDevice (see halt_). Nested operations and
  // ended ones send nothing.
  void StopIfAFourByteChipAnswers();
  // The four-byte model whose signature the chip gives to four-byte reads sent after
  // a four-byte enable ("" for none): the AT89S51/52's at 000, 100 and 200, the
  // AT89S8253's at 030 and 031, in an order that leaves only bytes that change
  // nothing where a three-byte chip's frames start.
  std::string FourByteModelAnswering();
  // Before bytes go out: harmless reads of the set they are meant for (framing_),
  // until no frame of the other set, counted from the rise of RST, would start with
  // that set's enable. A chip of the other set so never enters programming, whatever
  // it hears after. False when the port refused the read.
  bool KeepOtherSetOut(std::span<const std::uint8_t> bytes);
  // The link's exchange, with a refused byte or a failed port ending the operation.
  bool LinkExchange(std::span<const std::uint8_t> bytes, std::span<std::uint8_t> answers);
  // One attempt of the four-byte enable; true when the chip echoed 69.
  bool EnableAttempt4();
  // The enable at ever slower clocks, after the set one has had no echo.
  bool EnableAtSlowerClock();
  // EnableProgramming4 inside an operation: no echo ends the operation.
  bool Enable4();
  void ShowNoAnswer();

  // Sends an instruction, or several back to back, as bytes, guarded: once the
  // operation has ended, nothing more is sent in it and these return false. The
  // answers land in answers when it is given (one per byte), the last also in the
  // link's ReceivedBits.
  bool Send(std::span<const std::uint8_t> bytes, std::span<std::uint8_t> answers = {});
  bool Send(std::initializer_list<std::uint8_t> bytes) {
    return Send(std::span<const std::uint8_t>(bytes.begin(), bytes.size()));
  }

  // Walks 0..last after the enable of the set; handle(n) decides how to go on. A
  // refused byte or a stop request ends the walk at the address it happened at.
  // A walk of reads sends the reads of the addresses ahead in one exchange where the
  // link's engine packs many into one (ReadAhead), and the first read of each
  // address takes its answer from there; a write walk pumps messages at every
  // address where pumped.
  // TwiceReads reads every address twice ahead (Read Chip of the three-byte set,
  // which wants two reads that agree).
  enum class WalkKind { Writes, PumpedWrites, Reads, TwiceReads };
  void Walk(InstructionSet set, std::int32_t last, WalkKind kind,
            const std::function<Step(std::int32_t)>& handle);
  // The read instruction of the set for the address.
  static std::vector<std::uint8_t> ReadInstruction(InstructionSet set, std::int32_t address);
  // Sends the reads of from..last (each address times times) in one exchange and
  // keeps their answers.
  void ReadAhead(InstructionSet set, std::int32_t from, std::int32_t last, int times);
  // The next answer read ahead, when it is for the counter's address, into the link's
  // bit registers as a read would leave them; false when there is none (each serves
  // one read).
  bool TakeReadAhead(InstructionSet set);
  // A read instruction: sent as Send sends, but keeping what was read ahead, since a
  // read changes nothing in the chip.
  bool SendRead(std::span<const std::uint8_t> bytes);
  bool Exchange(std::span<const std::uint8_t> bytes, std::span<std::uint8_t> answers);
  void ClearEnableLines();
  bool WriteCodeByte4(std::int32_t n);
  bool ReadCodeByte4();
  bool WriteCodeByte3(std::int32_t n);
  bool ReadCodeByte3();
  // The address the counter spells, and the bytes that carry an address: byte 2 of
  // the four-byte code instructions (0 0 A13..A8), byte 1 of the three-byte ones
  // (A12..A8 A13 op1 op0), and A7..A0.
  std::int32_t CounterAddress() const;
  static std::uint8_t AddressHigh4(std::int32_t address) {
    return static_cast<std::uint8_t>((address >> 8) & 0x3F);
  }
  static std::uint8_t AddressHigh3(std::int32_t address, bool op1, bool op0) {
    return static_cast<std::uint8_t>(((address >> 8) & 0x1F) << 3 | ((address >> 13) & 1) << 2 |
                                     (op1 ? 2 : 0) | (op0 ? 1 : 0));
  }
  static std::uint8_t AddressLow(std::int32_t address) {
    return static_cast<std::uint8_t>(address & 0xFF);
  }
  // The image byte at n as it goes to the chip. A character that is no hex digit
  // (which the commands refuse before they send) keeps the four bits of the byte sent
  // before it, previous, as the bit registers always have.
  std::uint8_t ImageByteAfter(std::int32_t n, std::uint8_t previous) const;
  bool ExpectImageByte(std::int32_t n);        // loads SentBits, compares with the answer
  bool ExpectByte(char high, char low);
  void StoreReceived(std::int32_t n);
  bool SkipsAddress(std::int32_t n) const;
  // Whether a verify compares address n (ImageState::CompareOnly).
  bool Compares(std::int32_t n) const {
    return image_.CompareOnly.empty() || image_.CompareOnly[static_cast<std::size_t>(n)];
  }
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
  std::string caveat_;                  // why the current operation cannot vouch for its Done
  bool writeUnproved_ = false;
  bool matchedAfterEnable_ = false;
  bool portUsableAtStart_ = false;  // the outermost operation began with the port usable
  bool echoSeen_ = false;      // a 69 echo came since the command began
  bool writeShown_ = false;    // a write read back otherwise than before it, since then
  bool slowSearched_ = false;  // the slower clocks were tried in this command, in vain
  bool signatureSeen_ = false;   // the chip gave its own signature in this command
  bool signatureRead_ = false;   // ShowHearingBySignature has read it in this command
  bool contactDoubted_ = false;  // an answer disagreed with another in this command
  bool otherSetLooked_ = false;  // a three-byte command looked for a four-byte chip
  std::int32_t answersAt_ = -1;                // the address whose answers are counted
  std::array<std::uint16_t, 256> answers_{};  // how often each value came there
  // The set the bytes being sent are meant for: the device's, or a probe's.
  InstructionSet framing_ = InstructionSet::FourByte;
  std::optional<bool> pagesAnswer_;  // whether the chip has shown page reads, in this command
  // Reads sent ahead by a walk: address and answer in the order sent, the next one
  // unused at aheadNext_. Anything but a read that is sent drops them.
  std::vector<std::pair<std::int32_t, std::uint8_t>> ahead_;
  std::size_t aheadNext_ = 0;
  InstructionSet aheadSet_ = InstructionSet::FourByte;
  std::uint8_t lockRaw_ = 0;
};

}  // namespace vql
