// The four-byte instruction set, asserted on the instruction bytes the cable carried.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
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

// Whether text holds every one of pieces.
bool HoldsAll(std::string_view text, const Strings& pieces) {
  return std::ranges::all_of(
      pieces, [&](const std::string& piece) { return text.find(piece) != std::string_view::npos; });
}

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

// When each byte clocked to the target was taken: the times of its first and its
// last rising SCK edge, in microseconds of the virtual clock.
struct ByteTimes {
  std::uint64_t first = 0, last = 0;
};
std::vector<ByteTimes> ClockedByteTimes(const testing::DecodedTrace& trace) {
  std::vector<std::uint64_t> rises;
  for (const auto& change : trace.changes) {
    if (change.line == "SCK" && change.level) rises.push_back(change.us);
  }
  std::vector<ByteTimes> times;
  for (std::size_t i = 0; i + 8 <= rises.size(); i += 8) times.push_back({rises[i], rises[i + 7]});
  return times;
}

TEST(WriteCode4, WritesAByteAndReadsItBack) {
  ProgrammerWorld world("AT89S52", "target=AT89S52");
  world.SetImageByte(0x1ABC, 0x5A);
  ASSERT_EQ(world.Ops().WriteCode4(0x1FFF), Outcome::Done);
  EXPECT_EQ(world.Instructions(4), (Strings{kEnable, "40 1A BC 5A", "20 1A BC 00"}));
  EXPECT_EQ(world.Chip().Code(0x1ABC), 0x5A);
  EXPECT_EQ(world.window.lastProgress, (std::pair{0x1FFF, 0x1FFF}));
  EXPECT_FALSE(world.Ops().WriteUnproved());
}

// A write's read-back waits for the chip's write cycle, which starts with the
// write's last bit: at least 5 ms by the clock the chip runs on, whatever the tick
// does (the AT89S8253's cycle lasts up to 4.5 ms). Bytes in a row start their waits
// at different points of the tick.
TEST(WriteCode4, EveryReadBackComesAfterTheWaitForTheWriteCycle) {
  struct Case {
    std::string device;
    std::vector<std::uint8_t> image;  // from 0100
  };
  const Case cases[] = {{"AT89S52", {0x5A}},
                        {"AT89S52", {0x5A, 0x00, 0x33, 0xC3}},
                        {"AT89S8253", {0x5A, 0x00, 0x33, 0xC3}}};
  for (const auto& c : cases) {
    ProgrammerWorld world(c.device, ProgrammerWorld::ChipOptions(c.device, "echo=yes"));
    for (std::size_t i = 0; i < c.image.size(); ++i) {
      world.SetImageByte(0x0100 + static_cast<std::int32_t>(i), c.image[i]);
    }
    ASSERT_EQ(world.Ops().WriteCode4(0x01FF), Outcome::Done) << c.device;
    const auto instructions = world.Instructions(4);
    auto times = ClockedByteTimes(world.Decode());
    times.erase(times.begin(), times.begin() + 4);  // the read before the enable
    ASSERT_EQ(times.size(), 4 * instructions.size()) << c.device;
    std::size_t writes = 0;
    for (std::size_t i = 0; i < instructions.size(); ++i) {
      if (!instructions[i].starts_with("40")) continue;
      ++writes;
      const std::string name = c.device + " " + instructions[i];
      ASSERT_LT(i + 1, instructions.size()) << name;
      EXPECT_EQ(instructions[i + 1], "20" + instructions[i].substr(2, 6) + " 00") << name;
      EXPECT_GE(times[4 * (i + 1)].first - times[4 * i + 3].last, 5000u) << name;
    }
    EXPECT_EQ(writes, c.image.size()) << c.device;
    for (std::size_t i = 0; i < c.image.size(); ++i) {
      EXPECT_EQ(world.Chip().Code(static_cast<std::uint16_t>(0x0100 + i)), c.image[i])
          << c.device << " " << i;
    }
  }
}

TEST(WriteCode4, WithoutAJudgedEchoTheFirstBytesAreReadBeforeTheirWriteUntilOneShowsTheChange) {
  struct Case {
    std::string options;
    std::uint8_t held;  // what the chip holds at 2ABC and 2ABD before the write
    Strings sent;       // after the enable
    bool unproved;
  };
  const Case cases[] = {
      {"", 0xFF,
       {"20 2A BC 00", "20 2A BC 00", "40 2A BC 5A", "20 2A BC 00", "40 2A BD 5A", "20 2A BD 00"},
       false},
      // Already there: nothing shows a write, so each byte is read first.
      {"", 0x5A,
       {"20 2A BC 00", "20 2A BC 00", "40 2A BC 5A", "20 2A BC 00", "20 2A BD 00", "20 2A BD 00",
        "40 2A BD 5A", "20 2A BD 00"},
       true},
  };
  for (const auto& c : cases) {
    ProgrammerWorld world("AT89S8253", ProgrammerWorld::ChipOptions("AT89S8253", "echo=yes"));
    world.Chip().SetCode(0x2ABC, c.held);
    world.Chip().SetCode(0x2ABD, c.held);
    world.SetImageByte(0x2ABC, 0x5A);
    world.SetImageByte(0x2ABD, 0x5A);
    ASSERT_EQ(world.Ops().WriteCode4(0x2FFF), Outcome::Done);
    Strings sent = world.Instructions(4);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(Strings(sent.begin() + 1, sent.end()), c.sent) << int{c.held};
    EXPECT_EQ(world.Ops().WriteUnproved(), c.unproved) << int{c.held};
  }
}

// A chip whose data sheet does not say what it answers while it writes may answer 00:
// a 00 that reads back 00 counts only once a later byte that is not 00 reads back
// right, and the last ones are read again at the end.
TEST(WriteCode4, ABusyChipThatAnswers00DoesNotPassAWriteOf00ThatItMissed) {
  struct Case {
    std::vector<std::uint8_t> image;  // from 0000
    bool caveat;
  };
  const Case cases[] = {{{0x12, 0x00, 0x00}, false}, {{0x12, 0x00, 0x00, 0x34}, false},
                        {{0x00, 0x00}, true}};
  for (const auto& c : cases) {
    // The 25 ms write outlasts any wait the program knows of for this chip, which has
    // no data sheet, and the enable after the read-back drops RST inside it: this
    // chip finishes its cycle all the same.
    ProgrammerWorld world("AT89S2051",
                          "target=AT89S2051,echo=yes,write=25000,unheard=00,rst-abort=no", false,
                          1000);
    for (std::size_t a = 0; a < c.image.size(); ++a) {
      world.SetImageByte(static_cast<std::int32_t>(a), c.image[a]);
    }
    ASSERT_EQ(world.Ops().WriteCode4(0x07FF), Outcome::Done) << c.image.size();
    for (std::size_t a = 0; a < c.image.size() && !c.caveat; ++a) {
      EXPECT_EQ(world.Chip().Code(static_cast<std::uint16_t>(a)), c.image[a]) << a;
    }
    EXPECT_EQ(world.Ops().Caveat().empty(), !c.caveat) << world.Ops().Caveat();
  }
}

TEST(WriteCode4, AnEmptyImageSendsOnlyTheEnableAndStillRunsTheProgressBar) {
  ProgrammerWorld world("AT89S8253", "target=AT89S8253,echo=yes");
  ASSERT_EQ(world.Ops().WriteCode4(0x2FFF), Outcome::Done);
  EXPECT_EQ(world.Instructions(4), Strings{kEnable});
  // It moves on through the walk, one update per address at the most, to the end.
  EXPECT_GT(world.window.progressUpdates, 1u);
  EXPECT_LE(world.window.progressUpdates, 0x3000u);
  EXPECT_EQ(world.window.lastProgress, (std::pair{0x2FFF, 0x2FFF}));
}

TEST(RetryLimits, AtTheLimitAndOnePast) {
  struct Case {
    std::string name;
    int goodFrom;  // the read that first answers right; 0: never
    std::size_t reads, enables;
    Outcome outcome;
    Strings boxes;   // the boxes shown; for a write, what its one box names
    int spoilt = 0;  // a read before goodFrom that a poor contact turns right
  };
  // Read-backs of a write: at most 20, an enable between two. After a wrong answer a
  // right one counts only when the next read agrees.
  const Case writes[] = {
      {"write, right at the 20th read-back", 20, 20 + 1, 1 + 19, Outcome::Done, {}},
      {"write, right once at the 3rd, then from the 10th", 10, 10 + 1, 1 + 8, Outcome::Done, {}, 3},
      {"write, never right: the write stops there", 0, 20, 1 + 19, Outcome::NotProgrammed,
       {"0100", "42", "40"}},
  };
  for (const auto& c : writes) {
    ProgrammerWorld world("AT89S52");
    world.sim->PlugTarget(Chip4([&](int read) {
      return read == c.spoilt || (c.goodFrom && read >= c.goodFrom) ? 0x42 : 0x40;
    }));
    world.SetImageByte(0x0100, 0x42);
    EXPECT_EQ(world.Ops().WriteCode4(0x0100), c.outcome) << c.name;
    const auto instructions = world.Instructions(4);
    EXPECT_EQ(Count(instructions, "20 01 00"), c.reads) << c.name;
    EXPECT_EQ(Count(instructions, kEnable), c.enables) << c.name;
    EXPECT_EQ(Count(instructions, "40 01 00 42"), 1u) << c.name;
    // A byte that never reads back is named with what was written and read.
    ASSERT_EQ(world.window.messageBoxes.size(), c.boxes.empty() ? 0u : 1u) << c.name;
    if (!c.boxes.empty()) {
      EXPECT_TRUE(HoldsAll(world.window.messageBoxes[0], c.boxes)) << world.window.messageBoxes[0];
    }
  }
  // Verify reads: at most 20, an enable between two; the address is reported.
  const Case verifies[] = {
      {"verify, right at the 20th read", 20, 20 + 1, 1 + 19, Outcome::Done, {}},
      {"verify, right once at the 3rd, then never", 0, 20 + 1, 1 + 19, Outcome::VerifyMismatch,
       {"Error address : 256 (0100): the image holds 42, the chip read 40"}, 3},
      {"verify, never right", 0, 20, 1 + 19, Outcome::VerifyMismatch,
       {"Error address : 256 (0100): the image holds 42, the chip read 40"}},
  };
  for (const auto& c : verifies) {
    ProgrammerWorld world("AT89S52");
    world.sim->PlugTarget(Chip4([&](int read) {
      return read == c.spoilt || (c.goodFrom && read >= c.goodFrom) ? 0x42 : 0x40;
    }));
    world.SetImageByte(0x0100, 0x42);
    EXPECT_EQ(world.Ops().VerifyCode4(0x0200), c.outcome) << c.name;
    const auto instructions = world.Instructions(4);
    EXPECT_EQ(Count(instructions, "20 01 00"), c.reads) << c.name;
    EXPECT_EQ(Count(instructions, kEnable), c.enables) << c.name;
    // Nothing after a failed address is compared; after answers that disagreed, a
    // match needs a second read that agrees, also at the next address.
    EXPECT_EQ(Count(instructions, "20 01 01"), c.outcome == Outcome::Done ? 2u : 0u) << c.name;
    EXPECT_EQ(world.window.messageBoxes, c.boxes) << c.name;
  }
  // Blank reads: at most 10, an enable between two; no message.
  const Case blanks[] = {
      {"blank, FF at the 10th read", 10, 10 + 1, 1 + 9, Outcome::Done, {}},
      {"blank, FF once at the 2nd, then never", 0, 10 + 1, 1 + 9, Outcome::NotBlank, {}, 2},
      {"blank, never FF", 0, 10, 1 + 9, Outcome::NotBlank, {}},
  };
  for (const auto& c : blanks) {
    ProgrammerWorld world("AT89S51");
    world.sim->PlugTarget(Chip4([&](int read) {
      return read == c.spoilt || (c.goodFrom && read >= c.goodFrom) ? 0xFF : 0x00;
    }));
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
                        {"AT89S51", 12, 12, true, 64},    {"AT89S8253", 0, 1 + 2, true, 4},
                        {"AT89S2051", 0, 1 + 2, true, 4}, {"AT89S4051", 1, 1, true, 4},
                        {"AT89S4051", 2, 2, true, 16}};
  for (const auto& c : cases) {
    ProgrammerWorld world(c.device);
    auto enables = std::make_shared<int>(0);
    world.sim->PlugTarget(std::make_unique<ProtocolTarget>([=](const std::vector<std::uint8_t>& r) {
      if (r.size() % 4 == 3 && EndsWith(r, {0xAC, 0x53, 0x55})) {
        ++*enables;
        return static_cast<std::uint8_t>(c.echoFrom && *enables >= c.echoFrom ? 0x69 : 0x00);
      }
      return std::uint8_t{0x00};
    }));
    EXPECT_EQ(world.Ops().EnableProgramming4(), c.result) << c.device << " " << c.echoFrom;
    EXPECT_EQ(world.Instructions(4), Strings(c.attempts, kEnable)) << c.device << " " << c.echoFrom;
    // The devices that go on without an echo look for a slower clock once a command.
    if (world.app->Selection.Device()->enable == EnableRule::SingleTry) {
      world.ClearTrace();
      world.Ops().HoldDevice(world.app->Selection.Device());
      EXPECT_TRUE(world.Ops().EnableProgramming4());
      EXPECT_TRUE(world.Ops().EnableProgramming4());
      EXPECT_EQ(world.Instructions(4).size(), c.echoFrom == 0 ? 1u + 2u + 1u : 2u) << c.device;
      world.Ops().HoldDevice(nullptr);
    }
    EXPECT_EQ(world.app->Link.SckHalfPeriodUs, c.halfUs) << c.device << " " << c.echoFrom;
    EXPECT_EQ(world.window.messageBoxes.size(), c.halfUs != 4 ? 1u : 0u) << c.device;
    // Each attempt: 50 ms low, 50 ms high before the instruction.
    EXPECT_GE(world.window.NowNanoseconds(), c.attempts * 100'000'000u);
  }
}

TEST(EnableProgramming4, AChipThatEchoedInTheCommandIsNotSoughtAtSlowerClocks) {
  // It echoes once, then is busy (or gone): ten tries at the set speed, no slower one.
  ProgrammerWorld world("AT89S52");
  auto enables = std::make_shared<int>(0);
  world.sim->PlugTarget(std::make_unique<ProtocolTarget>([=](const std::vector<std::uint8_t>& r) {
    if (r.size() % 4 == 3 && EndsWith(r, {0xAC, 0x53, 0x55})) {
      return static_cast<std::uint8_t>(++*enables == 1 ? 0x69 : 0x00);
    }
    return std::uint8_t{0x00};
  }));
  world.Ops().HoldDevice(world.app->Selection.Device());
  EXPECT_EQ(world.Ops().EnableProgramming4Checked(), Outcome::Done);
  EXPECT_EQ(world.Ops().EnableProgramming4Checked(), Outcome::NoAnswer);
  EXPECT_EQ(world.Instructions(4), Strings(1 + 10, kEnable));
  EXPECT_EQ(world.app->Link.SckHalfPeriodUs, 4);
  ASSERT_EQ(world.window.messageBoxes.size(), 1u);
  EXPECT_NE(world.window.messageBoxes[0].find("no longer"), std::string::npos);
}

TEST(EnableProgramming4, FindsTheSckSpeedThatASlowCrystalNeeds) {
  struct Case {
    const char* mhz;
    std::int32_t halfUs;  // the half period that worked; 0: none did
  };
  // 8 crystal periods per phase: 8 us at 1 MHz, 27 us at 0.3 MHz, 80 us at 0.1 MHz.
  const Case cases[] = {{"12", 4}, {"1", 16}, {"0.3", 64}, {"0.1", 0}};
  for (const auto& c : cases) {
    ProgrammerWorld world("AT89S8253",
                          ProgrammerWorld::ChipOptions("AT89S8253", std::string("echo=yes,xtal=") + c.mhz),
                          true, 1000);
    world.Chip().SetCode(0x0001, 0x3C);
    const Outcome outcome = world.Ops().ReadCode4(1);
    const auto instructions = world.Instructions(4);
    // This device goes on without an echo: what it reads then is not the chip's.
    EXPECT_EQ(outcome, Outcome::Done) << c.mhz;
    // One attempt at the set speed (the device's rule), then one per slower speed.
    const std::size_t slower = c.halfUs == 4 ? 0 : c.halfUs == 16 ? 1 : 2;
    EXPECT_EQ(Count(instructions, kEnable), 1 + slower) << c.mhz;
    EXPECT_EQ(world.app->Link.SckHalfPeriodUs, c.halfUs != 0 ? c.halfUs : 4) << c.mhz;
    EXPECT_EQ(world.Ops().EchoSeen(), c.halfUs != 0) << c.mhz;
    // The slower speed that worked is named once, with the option that keeps it.
    const std::string h = std::to_string(c.halfUs);
    const bool named = c.halfUs != 4 && c.halfUs != 0;
    ASSERT_EQ(world.window.messageBoxes.size(), named ? 1u : 0u) << c.mhz;
    if (named) {
      EXPECT_TRUE(HoldsAll(world.window.messageBoxes[0], {h + " us", "--sck-half-us " + h}))
          << world.window.messageBoxes[0];
    }
    EXPECT_EQ(world.Image().HighDigits[1] == '3' && world.Image().LowDigits[1] == 'C', c.halfUs != 0)
        << c.mhz;
  }
}

TEST(LockBits4, ByModeIsJudgedByWhatChangedWhicheverWayASetBitReads) {
  struct Case {
    std::string options;
    SimLockBits held;
    std::int32_t level;
    Outcome outcome;
    std::size_t writes;  // tries of read, write, read
    bool caveat;
  };
  const Case cases[] = {
      {"lock-read=set0", {}, 1, Outcome::Done, 1, false},
      {"lock-read=set1", {}, 2, Outcome::Done, 1, false},
      {"lock-read=set1", {true, false, false}, 3, Outcome::Done, 1, false},
      // The level is there already: nothing changes, and the reading cannot say more.
      {"lock-read=set0", {true, true, true}, 3, Outcome::Done, 3, true},
      {"lock-read=set1", {true, true, true}, 3, Outcome::Done, 3, true},
      // More bits set than asked: the chip keeps them, and level 1 is not what it reads.
      {"lock-read=set1", {true, true, true}, 1, Outcome::LockNotTaken, 3, false},
      // A chip that misses every enable: its answers never change.
      {"lock-read=set1,echo-from=99", {}, 1, Outcome::LockNotTaken, 3, false},
      {"lock-read=set0,echo-from=99,unheard=00", {}, 3, Outcome::Done, 3, true},
      // Missed only the first enable: the slower clocks' enables are heard.
      {"lock-read=set0,echo-from=2", {}, 2, Outcome::Done, 1, false},
  };
  const std::string sent[] = {"", "AC E6 FF FF", "AC E4 FF FF", "AC E0 FF FF"};
  for (const auto& c : cases) {
    const std::string name = c.options + " level " + std::to_string(c.level);
    ProgrammerWorld world("AT89S8253", ProgrammerWorld::ChipOptions("AT89S8253", c.options));
    world.Chip().SetLockBits(c.held);
    EXPECT_EQ(world.Ops().WriteLockBitsByMode(c.level), c.outcome) << name;
    const auto instructions = world.Instructions(4);
    EXPECT_EQ(Count(instructions, sent[c.level]), c.writes) << name;
    // Read before and after, each time twice in a row: the answers must agree.
    EXPECT_EQ(Count(instructions, "24 55 55 FF"), 2 * 2 * c.writes) << name;
    EXPECT_EQ(world.Ops().Caveat().empty(), !c.caveat) << name;
    if (c.outcome == Outcome::Done && c.options.find("echo-from=99") == std::string::npos) {
      EXPECT_EQ(world.Chip().LockBits(),
                (SimLockBits{c.held.lb1 || c.level >= 1, c.held.lb2 || c.level >= 2, c.held.lb3 || c.level >= 3}))
          << name;
    }
    EXPECT_EQ(world.window.messageBoxes.size(), c.outcome == Outcome::Done ? 0u : 1u) << name;
  }
  // No level to write: E7, which sets nothing.
  ProgrammerWorld world("AT89S8253", "target=AT89S8253");
  ASSERT_EQ(world.Ops().WriteLockBitsByMode(0), Outcome::Done);
  EXPECT_EQ(Count(world.Instructions(4), "AC E7 FF FF"), 1u);
}

TEST(LockBits4, JudgingAWriteNeedsNoReadingOfTheBits) {
  struct Case {
    std::int32_t level;
    std::uint8_t before, after;  // LB3..LB1 in b2..b0
    LockWriteSeen seen;
  };
  const Case cases[] = {
      {1, 0b111, 0b110, LockWriteSeen::Taken},     {1, 0b000, 0b001, LockWriteSeen::Taken},
      {3, 0b110, 0b000, LockWriteSeen::Taken},     {3, 0b001, 0b111, LockWriteSeen::Taken},
      {2, 0b111, 0b110, LockWriteSeen::Wrong},     // LB2 did not come
      {1, 0b111, 0b100, LockWriteSeen::Wrong},     // LB2 came unasked
      {2, 0b101, 0b110, LockWriteSeen::Wrong},     // bits moved both ways
      {3, 0b000, 0b000, LockWriteSeen::Unchanged}, {1, 0b110, 0b110, LockWriteSeen::Unchanged},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(JudgeLockWrite(c.level, c.before, c.after), c.seen)
        << c.level << " " << int{c.before} << " " << int{c.after};
  }
  EXPECT_TRUE(LockBitsReadAsLevel(3, 0b000));
  EXPECT_TRUE(LockBitsReadAsLevel(3, 0b111));
  EXPECT_TRUE(LockBitsReadAsLevel(1, 0b110));
  EXPECT_FALSE(LockBitsReadAsLevel(2, 0b101));
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

TEST(Fuse4, AWriteIsReadBeforeAndAfterAndMustShowTheChipTakingIt) {
  // Byte 2 of the write is 0001 1 F3 F2 F1: Fuse1 (serial programming) written
  // enabled, Fuse3 (User Row programming) as it read, Fuse2 the x2 clock asked. How a
  // fuse reads is learnt from Fuse1, which reads enabled on a chip programmed serially.
  struct Case {
    std::string options;
    bool held, x2;
    Outcome outcome;
    std::size_t asked, other, reads;  // writes of the value asked and of the other one
    bool userRow = true;              // Fuse3 enabled on the chip
  };
  const Case cases[] = {
      {"", false, true, Outcome::Done, 1, 0, 2},
      {"", true, false, Outcome::Done, 1, 0, 2},
      {"fuse-read=inverted", false, true, Outcome::Done, 1, 0, 2},
      {"fuse-read=inverted", true, false, Outcome::Done, 1, 0, 2},
      {"", false, true, Outcome::Done, 1, 0, 2, false},
      {"fuse-read=inverted", true, false, Outcome::Done, 1, 0, 2, false},
      // No change to see, but the echo, or the signature, shows the chip heard it.
      {"echo=yes", true, true, Outcome::Done, 1, 0, 2},
      {"echo=no", true, true, Outcome::Done, 1, 0, 2},
      // Nothing shows it: by way of the other value.
      {"echo=no,signature=FFFF", true, true, Outcome::Done, 2, 1, 2 + 3},
      // A chip that misses every enable answers FF or 00 whatever is written: how its
      // fuses read cannot be told, and nothing is written.
      {"echo-from=99,unheard=ff", true, true, Outcome::FuseUnknown, 0, 0, 1},
      {"echo-from=99,unheard=00", true, false, Outcome::FuseUnknown, 0, 0, 1},
  };
  for (const auto& c : cases) {
    const std::string name = c.options + (c.x2 ? " on" : " off") + (c.userRow ? "" : " F3 off");
    ProgrammerWorld world("AT89S8253", ProgrammerWorld::ChipOptions("AT89S8253", c.options));
    world.Chip().SetFuses({true, c.held, c.userRow});
    world.app->Controls.X2Clock = c.x2;
    EXPECT_EQ(world.Ops().WriteUserFuses(), c.outcome) << name;
    const auto instructions = world.Instructions(4);
    const std::uint8_t f3 = c.userRow ? 0x00 : 0x04;
    const auto write = [&](bool x2) {
      char text[16];
      std::snprintf(text, sizeof text, "AC %02X 55 FF", 0x18 | f3 | (x2 ? 0 : 2));
      return std::string(text);
    };
    EXPECT_EQ(Count(instructions, write(c.x2)), c.asked) << name;
    EXPECT_EQ(Count(instructions, write(!c.x2)), c.other) << name;
    EXPECT_EQ(Count(instructions, "AC"), c.asked + c.other + Count(instructions, "AC 53")) << name;
    if (c.outcome != Outcome::FuseUnknown) {
      EXPECT_EQ(world.Chip().Fuses(), (SimFuses{true, c.x2, c.userRow})) << name;
    }
    EXPECT_EQ(Count(instructions, "21 55 55 FF"), 2 * c.reads) << name;  // twice in a row each
    EXPECT_TRUE(world.Ops().Caveat().empty()) << name;
    EXPECT_EQ(world.window.messageBoxes.size(), c.outcome == Outcome::Done ? 0u : 1u) << name;
    if (c.options.find("echo-from") == std::string::npos) {
      EXPECT_EQ(world.Chip().X2Clock(), c.x2) << name;
      world.app->Controls.X2Clock = !c.x2;
      world.Ops().ReadUserFuses();
      EXPECT_EQ(world.app->Controls.X2Clock, c.x2) << name;
    }
  }
}

// A chip behind a contact that spoils one answer: the first read of 01FF after a page
// write comes back as the byte awaited there (81) while the chip is still writing,
// when it answers 01 (data polling).
class SpoiltFirstPoll final : public SimTarget {
 public:
  explicit SpoiltFirstPoll(std::unique_ptr<SimChip> chip) : chip_(std::move(chip)) {}
  void LinesChanged(const TargetLines& lines, std::uint64_t us) override {
    if (lines.rst != lines_.rst) received_.clear();
    if (lines.sck && !lines_.sck && lines.rst) {
      inByte_ = static_cast<std::uint8_t>(inByte_ << 1 | (lines.mosi ? 1 : 0));
      if (forcing_ > 0) ++forcing_;
      if (++bits_ == 8) {
        received_.push_back(inByte_);
        bits_ = 0;
        const bool poll = received_.size() >= 3 &&
                          std::equal(received_.end() - 3, received_.end(), kPoll.begin());
        if (forcing_ > 8) forcing_ = 0;
        if (poll && !spoilt_ && pageWritten_) {
          spoilt_ = true;
          forcing_ = 1;
        }
        if (inByte_ == 0x50) pageWritten_ = true;
      }
    }
    if (!lines.sck && lines_.sck && forcing_ > 8) forcing_ = 0;
    lines_ = lines;
    chip_->LinesChanged(lines, us);
  }
  bool Miso(std::uint64_t us) override {
    if (forcing_ >= 2 && lines_.sck) return (0x81 >> (9 - forcing_)) & 1;
    return chip_->Miso(us);
  }
  SimChip& Chip() { return *chip_; }

 private:
  static constexpr std::array<std::uint8_t, 3> kPoll{0x20, 0x01, 0xFF};
  std::unique_ptr<SimChip> chip_;
  TargetLines lines_;
  std::vector<std::uint8_t> received_;
  std::uint8_t inByte_ = 0;
  int bits_ = 0;
  int forcing_ = 0;  // 1 after the poll's opening; 2..9 during the answer's bits
  bool spoilt_ = false;
  bool pageWritten_ = false;
};

// The page write's end is found by two reads in a row of the awaited byte: one spoilt
// read that matches while the chip is busy does not let the next instruction come.
TEST(Pages4, OneSpoiltPollThatMatchesDoesNotEndTheWaitForThePage) {
  ProgrammerWorld world("AT89S52");
  auto& target = world.sim->PlugTarget(std::make_unique<SpoiltFirstPoll>(
      std::make_unique<SimChip>(*FindSimChip("AT89S52"), ParseSimOptions("target=AT89S52").chip)));
  world.app->Controls.FastProgramming = true;
  world.SetImageByte(0x0105, 0x5A);
  world.SetImageByte(0x01FF, 0x81);
  ASSERT_EQ(world.Ops().WriteCode4(0x1FFF), Outcome::Done);
  EXPECT_EQ(target.Chip().Code(0x01FF), 0x81);
  const auto bytes = world.Decode().MosiBytes();
  // The polls of 01FF between the page write and the page read that follows it.
  const std::uint8_t opening[] = {0x50, 0x01};
  const auto write = std::search(bytes.begin(), bytes.end(), std::begin(opening), std::end(opening));
  ASSERT_NE(write, bytes.end());
  std::size_t polls = 0;
  for (auto at = write + 2 + 256; at + 2 < bytes.end() && *at == 0x20; at += 4) {
    if (at[1] == 0x01 && at[2] == 0xFF) ++polls;
  }
  EXPECT_GE(polls, 3u);  // the spoilt one, at least one busy, two that agree
}

// Fast programming: the bytes on the wire, split into instructions by their opening
// byte (30 and 50 carry a page after their address bytes), for every page device.
TEST(Pages4, WritesEachPageWithOneInstructionPollsItsLastByteAndReadsItBack) {
  struct Case {
    const char* device;
    std::size_t opening;  // 50/30 and their address bytes
    std::int32_t page;
  };
  for (const Case c : {Case{"AT89S51", 2, 256}, Case{"AT89S52", 2, 256}, Case{"AT89S8253", 3, 64}}) {
    SCOPED_TRACE(c.device);
    ProgrammerWorld world(c.device, ProgrammerWorld::ChipOptions(c.device));
    world.app->Controls.FastProgramming = true;
    const std::int32_t at = c.page + 5;  // page 1; page 0 and 2.. stay FF and are skipped
    world.SetImageByte(at, 0x5A);
    world.SetImageByte(2 * c.page - 1, 0x81);  // the byte that data polling reads
    ASSERT_EQ(world.Ops().WriteCode4(DeviceAt(DeviceIndexOf(c.device))->lastAddress), Outcome::Done);
    EXPECT_EQ(world.Chip().Code(static_cast<std::uint16_t>(at)), 0x5A);
    EXPECT_EQ(world.Chip().Code(static_cast<std::uint16_t>(2 * c.page - 1)), 0x81);

    const auto bytes = world.Decode().MosiBytes();
    Strings seen;  // "30 00", "50 01 + page", "20 01 FF"
    std::vector<std::uint8_t> written;
    for (std::size_t i = 0; i < bytes.size();) {
      // The read of 0000 before each enable keeps a three-byte chip out of programming.
      if (i + 5 < bytes.size() && bytes[i] == 0x20 && bytes[i + 4] == 0xAC && bytes[i + 5] == 0x53) {
        i += 4;
        continue;
      }
      const bool paged = bytes[i] == 0x30 || bytes[i] == 0x50;
      const std::size_t length = paged ? c.opening + static_cast<std::size_t>(c.page) : 4;
      ASSERT_LE(i + length, bytes.size());
      std::string text;
      char hex[4];
      for (std::size_t j = 0; j < (paged ? c.opening : 3); ++j) {
        std::snprintf(hex, sizeof hex, j == 0 ? "%02X" : " %02X", bytes[i + j]);
        text += hex;
      }
      if (bytes[i] == 0x50) written.assign(bytes.begin() + static_cast<std::ptrdiff_t>(i + c.opening),
                                           bytes.begin() + static_cast<std::ptrdiff_t>(i + length));
      if (seen.empty() || seen.back() != text) seen.push_back(text);  // polls repeat
      i += length;
    }
    const std::string page1 = c.opening == 2 ? "01" : "00 40";
    const std::string last1 = c.opening == 2 ? "20 01 FF" : "20 00 7F";
    // The enable, page 0 read both ways (its bytes one by one, then two page reads),
    // page 1's write, polls of its last byte and its read-back; on the chip without a
    // judged echo the page's first byte is read before and after, as a byte write's.
    Strings want{"AC 53 55"};
    for (std::int32_t n = 0; n < c.page; ++n) {
      char read[16];
      std::snprintf(read, sizeof read, "20 00 %02X", static_cast<unsigned>(n));
      want.emplace_back(read);
    }
    want.push_back(std::string("30 ") + (c.opening == 2 ? "00" : "00 00"));
    const std::string witness = c.opening == 2 ? "20 01 05" : "20 00 45";
    if (c.page == 64) want.push_back(witness);
    want.push_back("50 " + page1);
    want.push_back(last1);
    want.push_back("30 " + page1);
    if (c.page == 64) want.push_back(witness);
    EXPECT_EQ(seen, want);
    ASSERT_EQ(written.size(), static_cast<std::size_t>(c.page));
    for (std::int32_t n = 0; n < c.page; ++n) {
      const std::uint8_t expected = n == 5 ? 0x5A : n == c.page - 1 ? 0x81 : 0xFF;
      EXPECT_EQ(written[static_cast<std::size_t>(n)], expected) << n;
    }
  }
}

// A chip without page mode that has not heard the enable answers page reads with
// echoes: the address byte clocked before a page's first byte, 00 after it. None of
// that may pass for a write it took.
TEST(Pages4, EchoesOfAChipWithoutPagesNeverShowAWrite) {
  ProgrammerWorld world("AT89S8253", "target=AT89S8253,pages=no,echo-from=9,unheard=00");
  world.app->Controls.FastProgramming = true;
  for (std::int32_t a = 0xC0; a < 0xC8; ++a) world.SetImageByte(a, 0x00);
  const Outcome written = world.Ops().WriteCode4(0x2FFF);
  EXPECT_TRUE(written != Outcome::Done || world.Ops().WriteUnproved() ||
              world.Chip().Code(0xC0) == 0x00)
      << "Done, vouched for, and the chip holds " << int{world.Chip().Code(0xC0)};
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

}  // namespace
}  // namespace vql
