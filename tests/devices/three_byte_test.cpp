// The three-byte instruction set, asserted on the instruction bytes the cable carried.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/programmer_world.h"
#include "support/protocol_target.h"

namespace vql {
namespace {

using testing::EndsWith;
using testing::ProgrammerWorld;
using testing::ProtocolTarget;
using Strings = std::vector<std::string>;

constexpr const char* kEnable = "AC 53 55";
// Every three-byte command first looks for a four-byte chip: one four-byte enable attempt and the four-byte signature reads, which a chip of
// the four-byte set would answer.
const Strings kProbe{"AC 53 55 55", "28 00 30 FF", "28 02 00 FF", "28 01 00 FF", "28 00 31 FF",
                     "28 00 00 FF"};
Strings WithProbe(const Strings& instructions) {
  Strings all = kProbe;
  all.insert(all.end(), instructions.begin(), instructions.end());
  return all;
}

constexpr auto Count = ProgrammerWorld::Count;

// A three-byte chip whose reads of address 0100 (first byte 09) answer through a
// function of how many such reads it has seen; address 0101 always reads 43, every
// other address FF.
std::unique_ptr<ProtocolTarget> Chip3(std::function<std::uint8_t(int read)> answer) {
  auto reads = std::make_shared<int>(0);
  return std::make_unique<ProtocolTarget>([=](const std::vector<std::uint8_t>& r) -> std::uint8_t {
    if (r.size() % 3 != 2) return 0x00;
    if (EndsWith(r, {0x09, 0x00})) return answer(++*reads);
    if (EndsWith(r, {0x09, 0x01})) return 0x43;
    return 0xFF;
  });
}

TEST(Instructions3, AddressBitsShareTheFirstByteWithTheOperation) {
  struct Case {
    std::string device;
    std::int32_t address;
    std::string write, read;
  };
  const Case cases[] = {{"AT89S53", 0x2ABC, "56 BC 5A", "55 BC 00"},
                        {"AT89S8252", 0x1ABC, "D2 BC 5A", "D1 BC 00"},
                        {"AT89S53", 0x1234, "92 34 5A", "91 34 00"},
                        {"AT89S53", 0x0003, "02 03 5A", "01 03 00"}};
  for (const auto& c : cases) {
    ProgrammerWorld world(c.device, ProgrammerWorld::ChipOptions(c.device));
    world.SetImageByte(c.address, 0x5A);
    ASSERT_EQ(world.Ops().WriteCode3(c.address), Outcome::Done);
    const auto instructions = world.Instructions(3);
    // Addresses holding FF cost nothing on the cable. The byte is read twice before
    // its write: these chips give no echo, and only a byte that reads otherwise
    // before its write than after shows the chip taking writes.
    EXPECT_EQ(instructions, WithProbe({kEnable, c.read, c.read, c.write, c.read}));
    EXPECT_TRUE(world.window.messageBoxes.empty());
    EXPECT_FALSE(world.Ops().WriteUnproved());
  }
}

TEST(EnableProgramming3, WaitsRaisesResetPulsesItAndSendsTheInstruction) {
  ProgrammerWorld world("AT89S53");
  world.Ops().EnableProgramming3(100);
  const auto trace = world.Decode();
  EXPECT_EQ(world.Instructions(3), Strings{kEnable});
  EXPECT_EQ(trace.LevelsOf("RST"), "0101");  // low, high after 50 ms, a short pulse
  // 50 ms before RST rises and 50 ms after, before the pulse (to the tick: a
  // millisecond tick that has moved 50 times may have been read just before a tick).
  std::vector<std::uint64_t> rstTimes;
  for (const auto& change : trace.changes) {
    if (change.line == "RST") rstTimes.push_back(change.us);
  }
  ASSERT_EQ(rstTimes.size(), 4u);
  EXPECT_GE(rstTimes[1] - rstTimes[0], 49'000u);
  EXPECT_GE(rstTimes[2] - rstTimes[1], 49'000u);
  // The pulse lasts at least a half period of SCK, which a crystal of 3 MHz can see.
  EXPECT_GE(rstTimes[3] - rstTimes[2],
            static_cast<std::uint64_t>(world.app->Link.SckHalfPeriodUs));
}

TEST(WriteCode3, PollsUpTo300TimesAndRewritesUpTo8Times) {
  struct Case {
    std::string name;
    int goodFrom;  // the poll that first reads back right; 0: never
    std::size_t writes, polls;
    Outcome outcome;
  };
  // Two reads before the write come first (see above); after a wrong answer a right
  // one counts only when the next poll agrees.
  const Case cases[] = {
      {"right at the 300th poll", 2 + 300, 1, 2 + 300 + 1, Outcome::Done},
      {"right at the first poll of the eighth rewrite", 2 + 8 * 300 + 1, 9, 2 + 8 * 300 + 2,
       Outcome::Done},
      {"never right", 0, 9, 2 + 9 * 300, Outcome::NotProgrammed},
  };
  for (const auto& c : cases) {
    ProgrammerWorld world("AT89S53");
    world.sim->PlugTarget(Chip3([&](int poll) { return c.goodFrom && poll >= c.goodFrom ? 0x42 : 0xC2; }));
    world.SetImageByte(0x0100, 0x42);
    world.SetImageByte(0x0101, 0x43);
    EXPECT_EQ(world.Ops().WriteCode3(0x0101), c.outcome) << c.name;
    const auto instructions = world.Instructions(3);
    EXPECT_EQ(Count(instructions, "0A 00 42"), c.writes) << c.name;
    EXPECT_EQ(Count(instructions, "09 00 00"), c.polls) << c.name;
    EXPECT_EQ(Count(instructions, kEnable), 1 + c.writes) << c.name;  // one before each rewrite
    if (c.outcome == Outcome::Done) {
      EXPECT_TRUE(world.window.messageBoxes.empty());
      EXPECT_EQ(Count(instructions, "0A 01 43"), 1u);
    } else {
      // The operators' text first, then where and what.
      ASSERT_EQ(world.window.messageBoxes.size(), 1u);
      const std::string& box = world.window.messageBoxes[0];
      EXPECT_TRUE(box.starts_with("Programming Time-Out\n")) << box;
      for (const char* named : {"0100", "42", "C2"}) {
        EXPECT_NE(box.find(named), std::string::npos) << named << ": " << box;
      }
      EXPECT_EQ(Count(instructions, "0A 01 43"), 0u);  // the later address is not written
      EXPECT_EQ(world.window.lastProgress, (std::pair{0x0100, 0x0101}));  // moved past it
    }
  }
}

TEST(ReadAndVerify3, RetryWithOneExtraEnableAtTheTenthTry) {
  // Reads: a try is two reads that must agree. Agreeing only at the 15th try: one
  // extra enable, before the 10th.
  {
    ProgrammerWorld world("AT89S8252");
    world.sim->PlugTarget(Chip3([](int read) {
      return static_cast<std::uint8_t>(read >= 29 ? 0x77 : read);  // reads 29 and 30 agree
    }));
    EXPECT_EQ(world.Ops().ReadCode3(0x0100), Outcome::Done);
    const auto instructions = world.Instructions(3);
    EXPECT_EQ(Count(instructions, "09 00 00"), 30u);
    EXPECT_EQ(Count(instructions, kEnable), 1u + 2u);  // the probe, the walk's, the tenth try's
    EXPECT_EQ(world.Image().HighDigits[0x100], '7');
    EXPECT_EQ(world.Image().LowDigits[0x100], '7');
  }
  // Never agreeing: 20 tries, the message, and the walk stops there.
  {
    ProgrammerWorld world("AT89S8252");
    world.sim->PlugTarget(Chip3([](int read) { return static_cast<std::uint8_t>(read); }));
    EXPECT_EQ(world.Ops().ReadCode3(0x0101), Outcome::ReadError);
    EXPECT_EQ(Count(world.Instructions(3), "09 00 00"), 40u);
    EXPECT_EQ(Count(world.Instructions(3), "09 01 00"), 0u);
    EXPECT_EQ(world.window.messageBoxes, Strings{"Read chip error!!!."});
    EXPECT_EQ(world.Image().HighDigits[0x100], 'F');
    EXPECT_EQ(world.window.gridRefreshes, 1);
  }
  // Verify: matching only at the 12th read, one extra enable before the 10th.
  for (const auto& [goodFrom, outcome] : {std::pair{12, Outcome::Done}, std::pair{21, Outcome::VerifyMismatch}}) {
    ProgrammerWorld world("AT89S53");
    // An init-capture: clang before 16 cannot capture a structured binding by name.
    world.sim->PlugTarget(
        Chip3([goodFrom = goodFrom](int read) { return read >= goodFrom ? 0x42 : 0x41; }));
    world.SetImageByte(0x0100, 0x42);
    EXPECT_EQ(world.Ops().VerifyCode3(0x0100), outcome);
    EXPECT_EQ(Count(world.Instructions(3), "09 00 00"), outcome == Outcome::Done ? 12u + 1u : 20u);
    EXPECT_EQ(Count(world.Instructions(3), kEnable), 1u + 2u);
    // A mismatch names its address, what the image holds and what the chip read.
    EXPECT_EQ(world.window.messageBoxes,
              outcome == Outcome::Done
                  ? std::vector<std::string>{}
                  : std::vector<std::string>{
                        "Error address : 256 (0100): the image holds 42, the chip read 41"});
  }
}

TEST(BlankCheck3, ReadsEveryAddressOnceInOrder) {
  for (const bool dirty : {false, true}) {
    ProgrammerWorld world("AT89S53", "target=AT89S53");
    if (dirty) world.Chip().SetCode(0x2000, 0x00);
    EXPECT_EQ(world.Ops().BlankCheck3(0x2FFF), dirty ? Outcome::NotBlank : Outcome::Done);
    EXPECT_EQ(world.Chip().Counters().reads, dirty ? 0x2001u : 0x3000u);
  }
}

TEST(EraseChip3, AFourByteChipInTheSocketIsNamedAndLeftAlone) {
  // Only a four-byte chip that echoes its enable shows itself so.
  ProgrammerWorld world("AT89S53", "target=AT89S52");
  world.Chip().SetCode(0x0000, 0x00);
  EXPECT_EQ(world.Ops().EraseChip3(), Outcome::WrongDevice);
  EXPECT_EQ(world.Instructions(4), Strings{kProbe.front()});  // it echoed
  EXPECT_EQ(world.Chip().Code(0x0000), 0x00);
  // One box, naming the device selected and the four-byte chips, no three-byte one.
  ASSERT_EQ(world.window.messageBoxes.size(), 1u);
  const std::string& box = world.window.messageBoxes[0];
  for (const char* named :
       {"AT89S53", "AT89S51", "AT89S52", "AT89S8253", "AT89S2051", "AT89S4051"}) {
    EXPECT_NE(box.find(named), std::string::npos) << named << ": " << box;
  }
  EXPECT_EQ(box.find("AT89S8252"), std::string::npos) << box;
}

TEST(LockBits3, OneInstructionForTheLevel) {
  const std::pair<std::int32_t, std::string> cases[] = {
      {1, "AC 7F FF"}, {2, "AC 3F FF"}, {3, "AC 1F FF"}, {0, "AC FF FF"}, {4, "AC FF FF"}};
  for (const auto& [level, sent] : cases) {
    ProgrammerWorld world("AT89S8252", "target=AT89S8252");
    ASSERT_EQ(world.Ops().WriteLockBits3(level), Outcome::Done);
    EXPECT_EQ(world.Instructions(3), WithProbe({kEnable, sent})) << level;
  }
}

}  // namespace
}  // namespace vql
