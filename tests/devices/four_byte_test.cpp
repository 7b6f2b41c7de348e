// The four-byte instruction set, asserted on the instruction bytes the cable carried.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/image_text.h"
#include "support/programmer_world.h"
#include "support/protocol_target.h"

namespace vql {
namespace {

using testing::EndsWith;
using testing::ProgrammerWorld;
using testing::ProtocolTarget;
using Strings = std::vector<std::string>;

constexpr const char* kEnable = "AC 53 55 55";

constexpr auto Count = ProgrammerWorld::Count;

// A four-byte chip that echoes 69 and answers a read of address 0100 through a
// function of how many reads of it it has seen so far; other addresses read FF.
std::unique_ptr<ProtocolTarget> Chip4(std::function<std::uint8_t(int read)> readAnswer,
                                      std::uint8_t lockAnswer = 0xFF, std::uint8_t fuseAnswer = 0xFF) {
  auto reads = std::make_shared<int>(0);
  return std::make_unique<ProtocolTarget>([=](const std::vector<std::uint8_t>& r) -> std::uint8_t {
    if (r.size() % 4 != 3) return 0x00;
    if (EndsWith(r, {0xAC, 0x53, 0x55})) return 0x69;
    if (EndsWith(r, {0x20, 0x01, 0x00})) return readAnswer(++*reads);
    if (EndsWith(r, {0x20, -1, -1})) return 0xFF;
    if (EndsWith(r, {0x24, 0x55, 0x55})) return lockAnswer;
    if (EndsWith(r, {0x21, 0x55, 0x55})) return fuseAnswer;
    return 0x00;
  });
}

TEST(WriteCode4, WritesAByteWaitsAndReadsItBack) {
  ProgrammerWorld world("AT89S8253", "target=AT89S8253");
  world.SetImageByte(0x2ABC, 0x5A);
  ASSERT_EQ(world.Ops().WriteCode4(0x2FFF), Outcome::Done);
  EXPECT_EQ(world.Instructions(4), (Strings{kEnable, "40 2A BC 5A", "20 2A BC 00"}));
  EXPECT_EQ(world.Chip().Code(0x2ABC), 0x5A);
  EXPECT_EQ(world.window.lastProgress, (std::pair{0x2FFF, 0x2FFF}));

  // The 5 ms wait lies between the last bit of the write and the first of the read.
  const auto accesses = world.Decode();
  ASSERT_EQ(accesses.bytes.size(), 12u);
}

TEST(WriteCode4, AnEmptyImageSendsOnlyTheEnableAndStillRunsTheProgressBar) {
  ProgrammerWorld world("AT89S8253", "target=AT89S8253");
  ASSERT_EQ(world.Ops().WriteCode4(0x2FFF), Outcome::Done);
  EXPECT_EQ(world.Instructions(4), Strings{kEnable});
  EXPECT_EQ(world.window.progressUpdates, 0x3000u);
  EXPECT_EQ(world.window.lastProgress, (std::pair{0x2FFF, 0x2FFF}));
}

TEST(RetryLimits, AtTheLimitAndOnePast) {
  struct Case {
    std::string name;
    int goodFrom;  // the read that first answers right; 0: never
    std::size_t reads, enables;
    Outcome outcome;
    Strings boxes;
  };
  // Read-backs of a write: at most 20, an enable between two.
  const Case writes[] = {
      {"write, right at the 20th read-back", 20, 20, 1 + 19, Outcome::Done, {}},
      {"write, never right: the write stops there", 0, 20, 1 + 19, Outcome::NotProgrammed,
       {"The byte at address 0100 (256) was not programmed: wrote 42, read back 40. The write "
        "stopped there; nothing after it was written. A locked chip refuses writes: erase it "
        "first (AUTO-PROGRAM erases before it writes)."}},
  };
  for (const auto& c : writes) {
    ProgrammerWorld world("AT89S52");
    world.sim->PlugTarget(Chip4([&](int read) { return c.goodFrom && read >= c.goodFrom ? 0x42 : 0x40; }));
    world.SetImageByte(0x0100, 0x42);
    EXPECT_EQ(world.Ops().WriteCode4(0x0100), c.outcome) << c.name;
    const auto instructions = world.Instructions(4);
    EXPECT_EQ(Count(instructions, "20 01 00"), c.reads) << c.name;
    EXPECT_EQ(Count(instructions, kEnable), c.enables) << c.name;
    EXPECT_EQ(Count(instructions, "40 01 00 42"), 1u) << c.name;
    EXPECT_EQ(world.window.messageBoxes, c.boxes) << c.name;
  }
  // Verify reads: at most 20, an enable between two; the address is reported.
  const Case verifies[] = {
      {"verify, right at the 20th read", 20, 20, 1 + 19, Outcome::Done, {}},
      {"verify, never right", 0, 20, 1 + 19, Outcome::VerifyMismatch, {"Error address : 256"}},
  };
  for (const auto& c : verifies) {
    ProgrammerWorld world("AT89S52");
    world.sim->PlugTarget(Chip4([&](int read) { return c.goodFrom && read >= c.goodFrom ? 0x42 : 0x40; }));
    world.SetImageByte(0x0100, 0x42);
    EXPECT_EQ(world.Ops().VerifyCode4(0x0200), c.outcome) << c.name;
    const auto instructions = world.Instructions(4);
    EXPECT_EQ(Count(instructions, "20 01 00"), c.reads) << c.name;
    EXPECT_EQ(Count(instructions, kEnable), c.enables) << c.name;
    // Nothing after a failed address is compared.
    EXPECT_EQ(Count(instructions, "20 01 01"), c.outcome == Outcome::Done ? 1u : 0u) << c.name;
    EXPECT_EQ(world.window.messageBoxes, c.boxes) << c.name;
  }
  // Blank reads: at most 10, an enable between two; no message.
  const Case blanks[] = {
      {"blank, FF at the 10th read", 10, 10, 1 + 9, Outcome::Done, {}},
      {"blank, never FF", 0, 10, 1 + 9, Outcome::NotBlank, {}},
  };
  for (const auto& c : blanks) {
    ProgrammerWorld world("AT89S51");
    world.sim->PlugTarget(Chip4([&](int read) { return c.goodFrom && read >= c.goodFrom ? 0xFF : 0x00; }));
    EXPECT_EQ(world.Ops().BlankCheck4(0x0100), c.outcome) << c.name;
    const auto instructions = world.Instructions(4);
    EXPECT_EQ(Count(instructions, "20 01 00"), c.reads) << c.name;
    EXPECT_EQ(Count(instructions, kEnable), c.enables) << c.name;
    EXPECT_EQ(world.window.messageBoxes, c.boxes) << c.name;
  }
}

TEST(EnableProgramming4, JudgesTheEchoByTheDeviceRow) {
  struct Case {
    std::string device;
    int echoFrom;  // 0: never
    std::size_t attempts;  // at the set SCK speed, then one at 16 us and one at 64 us
    bool result;
    std::int32_t halfUs;  // the link's SCK half period afterwards
  };
  const Case cases[] = {{"AT89S52", 3, 3, true, 4},       {"AT89S52", 10, 10, true, 4},
                        {"AT89S52", 0, 10 + 2, false, 4}, {"AT89S51", 11, 11, true, 16},
                        {"AT89S51", 12, 12, true, 64},    {"AT89S8253", 0, 1 + 2, false, 4},
                        {"AT89S2051", 0, 1 + 2, false, 4}, {"AT89S4051", 1, 1, true, 4}};
  for (const auto& c : cases) {
    ProgrammerWorld world(c.device);
    auto enables = std::make_shared<int>(0);
    world.sim->PlugTarget(std::make_unique<ProtocolTarget>([=](const std::vector<std::uint8_t>& r) {
      if (r.size() == 3 && EndsWith(r, {0xAC, 0x53, 0x55})) {
        ++*enables;
        return static_cast<std::uint8_t>(c.echoFrom && *enables >= c.echoFrom ? 0x69 : 0x00);
      }
      return std::uint8_t{0x00};
    }));
    EXPECT_EQ(world.Ops().EnableProgramming4(), c.result) << c.device << " " << c.echoFrom;
    EXPECT_EQ(world.Instructions(4), Strings(c.attempts, kEnable)) << c.device << " " << c.echoFrom;
    EXPECT_EQ(world.app->Link.SckHalfPeriodUs, c.halfUs) << c.device << " " << c.echoFrom;
    EXPECT_EQ(world.window.messageBoxes.size(), c.halfUs != 4 ? 1u : 0u) << c.device;
    // Each attempt: 50 ms low, 50 ms high before the instruction.
    EXPECT_GE(world.window.NowNanoseconds(), c.attempts * 100'000'000u);
  }
}

TEST(EnableProgramming4, FindsTheSckSpeedThatASlowCrystalNeeds) {
  struct Case {
    const char* mhz;
    std::int32_t halfUs;  // the half period that worked; 0: none did
  };
  // 8 crystal periods per phase: 8 us at 1 MHz, 27 us at 0.3 MHz, 80 us at 0.1 MHz.
  const Case cases[] = {{"12", 4}, {"1", 16}, {"0.3", 64}, {"0.1", 0}};
  for (const auto& c : cases) {
    ProgrammerWorld world("AT89S8253", ProgrammerWorld::ChipOptions("AT89S8253", std::string("xtal=") + c.mhz),
                          true, 1000);
    world.Chip().SetCode(0x0001, 0x3C);
    const Outcome outcome = world.Ops().ReadCode4(1);
    const auto instructions = world.Instructions(4);
    EXPECT_EQ(outcome, c.halfUs != 0 ? Outcome::Done : Outcome::NoAnswer) << c.mhz;
    // One attempt at the set speed (the device's rule), then one per slower speed.
    const std::size_t slower = c.halfUs == 4 ? 0 : c.halfUs == 16 ? 1 : 2;
    EXPECT_EQ(Count(instructions, kEnable), 1 + slower) << c.mhz;
    EXPECT_EQ(Count(instructions, "20 00 01"), c.halfUs != 0 ? 1u : 0u) << c.mhz;
    EXPECT_EQ(world.app->Link.SckHalfPeriodUs, c.halfUs != 0 ? c.halfUs : 4) << c.mhz;
    // The slower speed that worked is named once; at none, the chip does not answer.
    const std::string h = std::to_string(c.halfUs);
    const std::string box =
        c.halfUs == 0 ? "The chip does not answer on LPT1 (0378)"
                      : "The chip answered only with a slower serial clock: SCK half period " + h +
                            " us. Set it as the default with --sck-half-us " + h +
                            " or Option > SCK Half Period.";
    ASSERT_EQ(world.window.messageBoxes.size(), c.halfUs == 4 ? 0u : 1u) << c.mhz;
    if (c.halfUs != 4) {
      EXPECT_TRUE(world.window.messageBoxes[0].starts_with(box)) << c.mhz;
    }
    EXPECT_EQ(world.Image().HighDigits[1] == '3' && world.Image().LowDigits[1] == 'C', c.halfUs != 0)
        << c.mhz;
  }
}

TEST(LockBits4, ByModeSendsOneInstructionForTheLevel) {
  const std::pair<std::int32_t, std::string> cases[] = {
      {1, "AC E6 FF FF"}, {2, "AC E4 FF FF"}, {3, "AC E0 FF FF"}, {0, "AC E7 FF FF"}, {7, "AC E7 FF FF"}};
  for (const auto& [level, sent] : cases) {
    ProgrammerWorld world("AT89S8253", "target=AT89S8253");
    ASSERT_EQ(world.Ops().WriteLockBitsByMode(level), Outcome::Done);
    EXPECT_EQ(world.Instructions(4), (Strings{kEnable, sent})) << level;
  }
}

TEST(LockBits4, StepwiseWritesEachModeAfterItsOwnEnableAndConfirmsIt) {
  // A chip whose writes take no time, so that every enable is answered at once.
  // The confirmation enables once itself and once more in the lock-bit read.
  ProgrammerWorld world("AT89S52", "target=AT89S52,write=0");
  ASSERT_EQ(world.Ops().WriteLockBitsStepwise(2), Outcome::Done);
  EXPECT_EQ(world.Instructions(4),
            (Strings{kEnable, "AC E0 00 00",                                // (0,0): no read
                     kEnable, "AC E1 00 00", kEnable, kEnable, "24 55 55 FF",  // LB1 set?
                     kEnable, "AC E2 00 00", kEnable, kEnable, "24 55 55 FF"}));  // LB2 set?
  EXPECT_EQ(world.Chip().LockBits(), (SimLockBits{true, true, false}));
  EXPECT_EQ(world.app->Controls.Lock.LockLevel(), 2);
  EXPECT_EQ(world.Ops().WriteLockBitsStepwise(0), Outcome::Done);
}

TEST(LockBits4, AModeConfirmedOnlyAtTheEleventhAttemptCountsAsWritten) {
  for (const int confirmedAt : {11, 0}) {
    ProgrammerWorld world("AT89S52");
    auto lockReads = std::make_shared<int>(0);
    // Lock reads answer "Lock Bit 1 set" (b2) only from the given read on.
    world.sim->PlugTarget(std::make_unique<ProtocolTarget>([=](const std::vector<std::uint8_t>& r) {
      if (r.size() % 4 != 3) return std::uint8_t{0};
      if (EndsWith(r, {0xAC, 0x53, 0x55})) return std::uint8_t{0x69};
      if (EndsWith(r, {0x24, 0x55, 0x55})) {
        return static_cast<std::uint8_t>(confirmedAt && ++*lockReads >= confirmedAt ? 0x04 : 0x00);
      }
      return std::uint8_t{0};
    }));
    const Outcome outcome = world.Ops().WriteLockBitsStepwise(1);
    const auto instructions = world.Instructions(4);
    EXPECT_EQ(Count(instructions, "AC E1 00 00"), 11u) << confirmedAt;
    if (confirmedAt) {
      EXPECT_EQ(outcome, Outcome::Done);
      EXPECT_TRUE(world.window.messageBoxes.empty());
    } else {
      EXPECT_EQ(outcome, Outcome::LockTimeOut);
      EXPECT_EQ(world.window.messageBoxes, Strings{"Timeout Lb1=0 Lb2=1"});
    }
  }
}

TEST(LockBits4, ReadsSetTheBoxesByTheDeviceLayout) {
  struct Case {
    std::string device;
    std::uint8_t answer;
    std::int32_t level;
  };
  const Case cases[] = {{"AT89S8253", 0xF8, 3}, {"AT89S8253", 0xFF, 0}, {"AT89S4051", 0xFC, 2},
                        {"AT89S52", 0x1C, 3},   {"AT89S52", 0x00, 0},   {"AT89S51", 0x04, 1}};
  for (const auto& c : cases) {
    ProgrammerWorld world(c.device);
    world.sim->PlugTarget(Chip4([](int) { return 0xFF; }, c.answer));
    world.app->Controls.Lock.Set(2, true);
    if (world.app->Selection.Device()->lockRead == LockRead::ByMode) {
      world.Ops().ReadLockBitsByMode();
    } else {
      EXPECT_EQ(world.Ops().ReadLockBitsToBoxes(1), c.level >= 1);
    }
    EXPECT_EQ(world.app->Controls.Lock.LockLevel(), c.level) << c.device << " " << int{c.answer};
  }
}

TEST(Fuse4, WriteReadsFirstThenWritesTheBoxAndReadSetsTheBox) {
  for (const bool x2 : {true, false}) {
    ProgrammerWorld world("AT89S8253");
    world.sim->PlugTarget(Chip4([](int) { return 0xFF; }, 0xFF, x2 ? 0xFD : 0xFF));
    world.app->Controls.X2Clock = x2;
    world.Ops().WriteUserFuses();
    EXPECT_EQ(world.Instructions(4),
              (Strings{kEnable, "21 55 55 FF", kEnable, x2 ? "AC 18 55 FF" : "AC 1A 55 FF"}));
    world.app->Controls.X2Clock = !x2;
    world.Ops().ReadUserFuses();
    EXPECT_EQ(world.app->Controls.X2Clock, x2);
  }
}

TEST(Refusal, TheFirstRefusedByteStopsTheOperationWithOneMessage) {
  ProgrammerWorld world("AT89S8253", "target=AT89S8253,sense=0");
  world.SetImageByte(0, 0x12);
  const std::string before = testing::ImageText(world.Image(), 0, 0x3000);
  EXPECT_EQ(world.Ops().ReadCode4(0x2FFF), Outcome::Refused);
  EXPECT_EQ(world.window.messageBoxes, Strings{"Device have not in program mode"});
  EXPECT_EQ(testing::ImageText(world.Image(), 0, 0x3000), before);
  EXPECT_EQ(world.window.gridRefreshes, 1);
  EXPECT_EQ(world.Decode().bytes.size(), 0u);
  // The next operation starts afresh and is refused again, once.
  EXPECT_EQ(world.Ops().VerifyCode4(0x2FFF), Outcome::Refused);
  EXPECT_EQ(world.window.messageBoxes.size(), 2u);
}

TEST(AutoReload, ReloadsTheFileFirstAndWritesNothingWithoutOne) {
  ProgrammerWorld world("AT89S8253", "target=AT89S8253");
  world.app->Controls.AutoReloadFile = true;
  EXPECT_EQ(world.Ops().WriteCode4(0x2FFF), Outcome::NoFile);
  EXPECT_EQ(world.window.messageBoxes, Strings{"The file name does not indentify!!"});
  EXPECT_TRUE(world.trace->str().empty());

  world.app->Image.HexFilePath = VQLISP_SOURCE_DIR "/examples/blink.hex";
  world.SetImageByte(0x0100, 0x33);  // not in the file: the reload drops it
  EXPECT_EQ(world.Ops().WriteCode4(0x0012), Outcome::Done);
  EXPECT_EQ(world.Chip().Code(0x0000), 0x75);
  EXPECT_EQ(world.Chip().Code(0x0012), 0xF0);
  EXPECT_EQ(world.Chip().Code(0x0100), 0xFF);
}

}  // namespace
}  // namespace vql
