#include "sim/sim_chip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "sim/sim_chip_cable.h"
#include "sim/sim_chip_table.h"
#include "sim/sim_port.h"

namespace vql {
namespace {

using testing::ChipCable;

std::string Target(std::string_view chip) { return "target=" + std::string(chip); }

std::uint16_t Last(const SimChipModel& model) {
  return static_cast<std::uint16_t>(model.codeBytes - 1);
}

TEST(SimChipTable, RowsAreConsistent) {
  std::set<std::string_view> names;
  for (const auto& chip : kSimChips) {
    SCOPED_TRACE(std::string(chip.name));
    EXPECT_TRUE(names.insert(chip.name).second);
    EXPECT_EQ(FindSimChip(chip.name), &chip);
    const bool threeByte = chip.instructions == SimInstructionSet::kThreeByte;
    EXPECT_EQ(chip.InstructionBytes(), threeByte ? 3u : 4u);
    EXPECT_EQ(threeByte, chip.locks == SimLockLayout::kThreeByteWriteOnly);
    // The mask covers the code and no more than the next power of two.
    EXPECT_GE(std::uint32_t{chip.AddressMask()} + 1, chip.codeBytes);
    EXPECT_LT(std::uint32_t{chip.AddressMask()} / 2 + 1, chip.codeBytes);
    EXPECT_EQ(chip.codeBytes % 32, 0u);
    // Writes on the four-byte set finish within the 5 ms the program waits, on the
    // slowest crystal (3 MHz); the three-byte parts are polled and take at most 2.5 ms.
    EXPECT_LT(chip.writeUs + chip.writeClocks / 3, threeByte ? 2500u : 5000u);
    // Pages only on the four-byte set, each a power of two that divides the code.
    EXPECT_EQ(chip.pageBytes == 0, chip.pageWriteCycles == 0);
    if (chip.pageBytes != 0) {
      EXPECT_FALSE(threeByte);
      EXPECT_TRUE(std::has_single_bit(chip.pageBytes));
      EXPECT_EQ(chip.codeBytes % chip.pageBytes, 0u);
    }
    for (std::size_t i = 1; i < chip.signatureBytes; ++i) {
      EXPECT_LT(chip.signature[i - 1].address, chip.signature[i].address);
    }
    // The three-byte parts poll their writes in their own way and answer in mode 0.
    if (threeByte) {
      EXPECT_FALSE(chip.dataSheetBusyReads);
      EXPECT_EQ(chip.spiMode, SimSpiMode::kMode0);
    }
  }
  EXPECT_EQ(names.size(), kSimChips.size());
}

TEST(SimChipTable, NamesAreFoundInAnyCase) {
  ASSERT_NE(FindSimChip("at89s8253"), nullptr);
  EXPECT_EQ(FindSimChip("at89s8253")->name, "AT89S8253");
  EXPECT_EQ(FindSimChip("At89S2051")->codeBytes, 2048u);
  EXPECT_EQ(FindSimChip("AT89S825"), nullptr);
  EXPECT_EQ(FindSimChip(""), nullptr);
  EXPECT_TRUE(SimChipNames().starts_with(
      "AT89S51, AT89S52, AT89S53, AT89S8252, AT89S8253, AT89S2051, AT89S4051"))
      << SimChipNames();
}

TEST(SimChip, ProgrammingEnableIsAnsweredByEchoesAnd69WhereTheChipGivesIt) {
  struct Case {
    std::string options;
    std::vector<std::uint8_t> answers;  // each byte echoes the one before, but byte 4
  };
  const std::vector<std::uint8_t> four69{0xFF, 0xAC, 0x53, 0x69};
  const std::vector<std::uint8_t> fourEcho{0xFF, 0xAC, 0x53, 0x55};
  const std::vector<std::uint8_t> three{0xFF, 0xAC, 0x53};
  const Case cases[] = {
      {"target=AT89S51", four69},
      {"target=AT89S52", four69},
      {"target=AT89S8253", fourEcho},  // its data sheet shows byte 4 as "xxxx xxxx"
      {"target=AT89S2051", fourEcho},
      {"target=AT89S4051", fourEcho},
      {"target=AT89S53", three},
      {"target=AT89S8252", three},
      {"target=AT89S52,echo=no", fourEcho},
      {"target=AT89S8253,echo=yes", four69},
      {"target=AT89S4051,echo=yes", four69},
      {"target=AT89S8252,echo=yes", three},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    ChipCable cable(c.options);
    EXPECT_FALSE(cable.Chip().ProgrammingEnabled());
    EXPECT_EQ(cable.Enable(), c.answers);
    EXPECT_TRUE(cable.Chip().ProgrammingEnabled());
    EXPECT_EQ(cable.Chip().Counters().enables, 1u);
    EXPECT_EQ(cable.Chip().Counters().enablesObeyed, 1u);
  }
}

TEST(SimChip, MisoMovesOnTheEdgeThatTheChipsModeSays) {
  struct Case {
    std::string options;
    bool beforeFirstRise;    // MISO once byte 3 is in: b7 of 69, or still b0 of 53
    std::string afterRises;  // MISO after each rise of byte 4 (answer 69)
    std::string afterFalls;  // and after each fall
  };
  const Case cases[] = {
      // Mode 0: steady while SCK is high, the next bit after the fall; byte 4 is in
      // at its last rise, so its echo 55 starts at the last fall.
      {"target=AT89S52", false, "01101001", "11010010"},
      // Mode 1: the next bit after each rise, steady through the fall.
      {"target=AT89S8253,echo=yes", true, "01101001", "01101001"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    ChipCable cable(c.options);
    EXPECT_TRUE(cable.Miso());  // RST low: the pull-up
    cable.Reset();
    cable.Send({0xAC, 0x53, 0x55});
    EXPECT_EQ(cable.Miso(), c.beforeFirstRise);
    std::string rises;
    std::string falls;
    for (int bit = 7; bit >= 0; --bit) {
      cable.Drive(cable::kRst | ((0x55 >> bit) & 1 ? cable::kMosi : 0));
      cable.Sck(true);
      rises += cable.Miso() ? '1' : '0';
      cable.Sck(false);
      falls += cable.Miso() ? '1' : '0';
    }
    EXPECT_EQ(rises, c.afterRises);
    EXPECT_EQ(falls, c.afterFalls);
    EXPECT_TRUE(cable.Chip().ProgrammingEnabled());
    cable.Drive(0);
    EXPECT_TRUE(cable.Miso());
  }
}

TEST(SimChip, TakesMosiOnTheEdgeOfItsModeAndNeedsThePhaseBeforeIt) {
  // At 1 MHz each phase must last 8 us (20 us on the AT89S53/8252).
  struct Case {
    std::string name;
    std::uint64_t lowUs;
    std::uint64_t highUs;
    bool flipWhileHigh;  // MOSI set to the wrong bit while low, the right one after the rise
    bool mode0Enables;
    bool mode1Enables;
  };
  const Case cases[] = {
      {"both phases long enough", 30, 30, false, true, true},
      {"MOSI flips while SCK is high", 30, 30, true, false, true},
      {"a short high phase", 30, 2, false, true, false},
      {"a short low phase", 2, 30, false, false, true},
  };
  for (const auto& model : kSimChips) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(model.name) + ": " + c.name);
      ChipCable cable(Target(model.name) + ",xtal=1");
      cable.lowUs = c.lowUs;
      cable.highUs = c.highUs;
      std::vector<std::uint8_t> bytes = cable.EnableBytes();
      if (c.flipWhileHigh) {
        cable.flipWhileHigh = 0xFF;
        for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(~byte);
      }
      cable.Reset();
      cable.Send(bytes);
      const bool mode1 = model.name == std::string_view("AT89S8253");
      EXPECT_EQ(cable.Chip().ProgrammingEnabled(), mode1 ? c.mode1Enables : c.mode0Enables);
    }
  }
}

TEST(SimChip, ProgrammingNeedsAResetWithSckLowAndEndsWithRst) {
  struct Case {
    std::string name;
    void (*prepare)(ChipCable&);
    bool enabled;
  };
  const Case cases[] = {
      {"a reset with SCK low", [](ChipCable& c) { c.Reset(); }, true},
      {"RST rising while SCK is high",
       [](ChipCable& c) {
         c.Drive(cable::kSck);
         c.Drive(cable::kSck | cable::kRst);
         c.Drive(cable::kRst);
       },
       false},
      {"a stray clock before the instruction",
       [](ChipCable& c) {
         c.Reset();
         c.Sck(true);
         c.Sck(false);
       },
       false},
      {"no reset since an instruction began",
       [](ChipCable& c) {
         c.Reset();
         c.Exchange(0x20);
       },
       false},
      {"a reset after a broken start",
       [](ChipCable& c) {
         c.Reset();
         c.Exchange(0x20);
         c.Reset();
       },
       true},
      {"a reset after three bits of a byte",
       [](ChipCable& c) {
         c.Reset();
         for (int bit = 0; bit < 3; ++bit) {
           c.Sck(true);
           c.Sck(false);
         }
         c.Reset();
       },
       true},
  };
  for (const auto& model : kSimChips) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(model.name) + ": " + c.name);
      ChipCable cable(Target(model.name) + ",echo=yes");
      c.prepare(cable);
      const auto answers = cable.Send(cable.EnableBytes());
      EXPECT_EQ(cable.Chip().ProgrammingEnabled(), c.enabled);
      if (cable.FourByte()) {
        EXPECT_EQ(answers.back() == 0x69, c.enabled);
      }
    }
  }
}

TEST(SimChip, RstLowEndsProgrammingUntilTheNextEnable) {
  for (const auto& model : kSimChips) {
    SCOPED_TRACE(std::string(model.name));
    ChipCable cable(Target(model.name));
    cable.Chip().SetCode(0x0012, 0x34);
    cable.Enable();
    EXPECT_EQ(cable.ReadCode(0x0012), 0x34);
    cable.Reset();
    EXPECT_FALSE(cable.Chip().ProgrammingEnabled());
    // A read the chip does not obey can never pass for the stored byte.
    EXPECT_EQ(cable.ReadCode(0x0012), 0xCB);
    cable.WriteCode(0x0013, 0x00);
    EXPECT_EQ(cable.Chip().Code(0x0013), 0xFF);
    cable.Send(cable.EnableBytes());
    EXPECT_EQ(cable.ReadCode(0x0012), 0x34);
  }
}

TEST(SimChip, EraseClearsCodeAndLocksKeepsTheFuseAndTakesItsTime) {
  for (const auto& model : kSimChips) {
    SCOPED_TRACE(std::string(model.name));
    // The enables below drop RST inside the erase, which would cut it
    // (SimChipRstAbort); here the erase goes on, and the chip ignores them.
    ChipCable cable(Target(model.name) + ",echo=yes,rst-abort=no");
    SimChip& chip = cable.Chip();
    chip.SetCode(0x0000, 0x12);
    chip.SetCode(Last(model), 0x00);
    chip.SetLockBits({.lb1 = true, .lb2 = true, .lb3 = true});
    chip.SetX2Clock(model.x2Fuse);
    cable.clock.Set(1000);
    cable.Enable();
    cable.Erase();

    EXPECT_EQ(chip.Counters().erases, 1u);
    EXPECT_EQ(chip.Code(0x0000), 0xFF);
    EXPECT_EQ(chip.Code(Last(model)), 0xFF);
    EXPECT_EQ(chip.LockBits(), SimLockBits{});
    EXPECT_EQ(chip.X2Clock(), model.x2Fuse);
    EXPECT_EQ(chip.EraseUs(), model.eraseMs * 1000);

    // While it erases the chip neither echoes nor takes an enable (one that starts
    // 200 us before the end is heard before it).
    const std::uint64_t erased = cable.clock.NowMicroseconds() - ChipCable::kHalfPeriodUs;
    cable.clock.Set(erased + chip.EraseUs() - 200);
    const auto busyAnswers = cable.Enable();
    EXPECT_FALSE(chip.ProgrammingEnabled());
    if (cable.FourByte()) {
      EXPECT_EQ(busyAnswers.back(), 0x55);
    }
    cable.clock.Set(erased + chip.EraseUs());
    const auto readyAnswers = cable.Enable();
    EXPECT_TRUE(chip.ProgrammingEnabled());
    if (cable.FourByte()) {
      EXPECT_EQ(readyAnswers.back(), 0x69);
    }
    EXPECT_EQ(cable.ReadCode(0x0000), 0xFF);
  }
}

TEST(SimChip, IgnoresInstructionsWhileBusy) {
  for (const auto& model : kSimChips) {
    SCOPED_TRACE(std::string(model.name));
    ChipCable cable(Target(model.name));
    SimChip& chip = cable.Chip();
    cable.Enable();
    cable.WriteCode(0x0001, 0xA5);
    cable.WriteCode(0x0002, 0x5A);  // in the first one's write cycle
    cable.Erase();
    EXPECT_EQ(chip.Code(0x0001), 0xA5);
    EXPECT_EQ(chip.Code(0x0002), 0xFF);
    EXPECT_EQ(chip.Counters().writes, 1u);
    EXPECT_EQ(chip.Counters().erases, 0u);
    EXPECT_EQ(chip.Counters().ignored, 2u);
    cable.clock.Advance(chip.WriteUs());
    cable.WriteCode(0x0002, 0x5A);
    EXPECT_EQ(chip.Code(0x0002), 0x5A);
  }
}

TEST(SimChip, WritesAndReadsBackAcrossTheCode) {
  for (const auto& model : kSimChips) {
    SCOPED_TRACE(std::string(model.name));
    ChipCable cable(Target(model.name));
    SimChip& chip = cable.Chip();
    const std::uint16_t addresses[] = {
        0x0000,     0x0001, 0x00FF, 0x0100, static_cast<std::uint16_t>(model.codeBytes / 2 + 0x55),
        Last(model)};
    cable.Enable();
    for (std::uint16_t address : addresses) {
      const auto data = static_cast<std::uint8_t>(address ^ (address >> 8) ^ 0x3C);
      cable.WriteCode(address, data);
      cable.clock.Advance(chip.WriteUs());
      EXPECT_EQ(chip.Code(address), data) << std::hex << address;
    }
    for (std::uint16_t address : addresses) {
      const auto data = static_cast<std::uint8_t>(address ^ (address >> 8) ^ 0x3C);
      EXPECT_EQ(cable.ReadCode(address), data) << std::hex << address;
    }
    EXPECT_EQ(chip.Counters().writes, std::size(addresses));
    EXPECT_EQ(chip.Counters().reads, std::size(addresses));
    // Nothing else was touched.
    EXPECT_EQ(chip.Code(0x0002), 0xFF);
  }
}

TEST(SimChip, FourByteWritesOnlyClearBitsThreeByteWritesReplaceTheByte) {
  for (const auto& model : kSimChips) {
    SCOPED_TRACE(std::string(model.name));
    ChipCable cable(Target(model.name));
    cable.Chip().SetCode(0x0040, 0xF0);
    cable.Enable();
    cable.WriteCode(0x0040, 0x3C);
    cable.Settle();
    EXPECT_EQ(cable.ReadCode(0x0040), cable.FourByte() ? 0x30 : 0x3C);
  }
}

TEST(SimChip, DataPollingReadsBit7InvertedUntilTheWriteIsDone) {
  for (const char* name : {"AT89S51", "AT89S52", "AT89S8253", "AT89S53", "AT89S8252"}) {
    SCOPED_TRACE(name);
    ChipCable cable(Target(name));
    SimChip& chip = cable.Chip();
    cable.Chip().SetCode(0x0100, 0x11);
    cable.Enable();
    cable.clock.Set(5000);
    cable.WriteCode(0x1234, 0x5A);
    // The write took effect during its last byte, and a read's address is in before
    // the read's last byte.
    const std::uint64_t written = cable.clock.NowMicroseconds();
    EXPECT_TRUE(chip.BusyAt(5000));
    EXPECT_EQ(cable.ReadCode(0x1234), 0xDA);  // bit 7 inverted, the rest as written
    EXPECT_EQ(cable.ReadCode(0x0100), 0xEE);  // another cell: not answered
    // Heard just before the write cycle ends, and just after.
    cable.clock.Set(written + chip.WriteUs() - 100);
    EXPECT_EQ(cable.ReadCode(0x1234), 0xDA);
    cable.clock.Set(written + chip.WriteUs());
    EXPECT_EQ(cable.ReadCode(0x1234), 0x5A);
    EXPECT_EQ(cable.ReadCode(0x0100), 0x11);

    cable.WriteCode(0x0200, 0x80);
    EXPECT_EQ(cable.ReadCode(0x0200), 0x00);
  }
}

TEST(SimChip, ReadsWhileBusyAnswerAsTheChipsRowSays) {
  // A read that the busy chip does not serve answers FF here (unheard=ff), and a
  // clear lock bit reads 0 on every layout (lock-read=set1), so that neither can
  // pass for a served read.
  struct Case {
    std::string chip;
    std::uint8_t erasing;  // a code read during a chip erase
    std::uint8_t written;  // the cell being written with 5A
  };
  const Case cases[] = {
      {"AT89S51", 0x00, 0xDA},   {"AT89S52", 0x00, 0xDA},   {"AT89S8253", 0x00, 0xDA},
      {"AT89S2051", 0xFF, 0xFF}, {"AT89S4051", 0xFF, 0xFF}, {"AT89S53", 0xFF, 0xDA},
      {"AT89S8252", 0xFF, 0xDA},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chip);
    ChipCable cable(Target(c.chip) + ",unheard=ff,lock-read=set1");
    SimChip& chip = cable.Chip();
    cable.Enable();
    cable.Erase();
    EXPECT_EQ(cable.ReadCode(0x0100), c.erasing);
    if (cable.FourByte()) {
      EXPECT_EQ(cable.ReadLockBits(), 0xFF);
    }
    cable.Settle();
    chip.SetCode(0x0100, 0x11);
    cable.WriteCode(0x0123, 0x5A);
    EXPECT_EQ(cable.ReadCode(0x0123), c.written);
    EXPECT_EQ(cable.ReadCode(0x0100), 0xFF);  // another cell
    if (cable.FourByte()) {
      EXPECT_EQ(cable.ReadLockBits(), 0xFF);
    }
    if (chip.Model().x2Fuse) {
      EXPECT_EQ(cable.ReadFuse(), 0xFF);
    }
    cable.Settle();
    EXPECT_EQ(cable.ReadCode(0x0123), 0x5A);
    EXPECT_EQ(cable.ReadCode(0x0100), 0x11);
    if (cable.FourByte()) {
      EXPECT_EQ(cable.ReadLockBits(), 0x00);
    }
  }
}

TEST(SimChip, PageWritesProgramTheWholePageAndPageReadsGiveItBack) {
  struct Case {
    std::string options;
    std::uint16_t sent;    // the page's address in the instructions
    std::uint16_t landed;  // where the page is stored
    std::uint16_t dead;    // a cell of the page that stays FF; FFFF: none
  };
  const Case cases[] = {
      {"target=AT89S51", 0x0100, 0x0100, 0xFFFF},
      {"target=AT89S51", 0x3F00, 0x0F00, 0xFFFF},  // the bits above 4 KiB are dropped
      {"target=AT89S52", 0x1F00, 0x1F00, 0xFFFF},
      {"target=AT89S52,dead=8123", 0x0100, 0x0100, 0x0123},
      {"target=AT89S8253", 0x0040, 0x0040, 0xFFFF},
      {"target=AT89S8253", 0x2FC5, 0x2FC0, 0xFFFF},  // the bits below the page are ignored
      {"target=AT89S8253,dead=207F", 0x2040, 0x2040, 0x207F},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options + " " + std::to_string(c.sent));
    ChipCable cable(c.options);
    SimChip& chip = cable.Chip();
    const std::size_t size = chip.Model().pageBytes;
    std::vector<std::uint8_t> page(size);
    for (std::size_t k = 0; k < size; ++k) page[k] = static_cast<std::uint8_t>(k ^ 0xA5);
    chip.SetCode(static_cast<std::uint16_t>(c.landed + 1), 0xF0);
    cable.Enable();
    const auto echoes = cable.WritePage(c.sent, page);
    // Each data byte is answered with the echo of the one before.
    EXPECT_EQ(std::vector(echoes.end() - static_cast<std::ptrdiff_t>(size) + 1, echoes.end()),
              std::vector(page.begin(), page.end() - 1));
    cable.Settle();

    std::vector<std::uint8_t> want = page;
    want[1] &= 0xF0;  // flash: a write only clears bits
    if (c.dead != 0xFFFF) want[c.dead - c.landed] = 0xFF;
    std::vector<std::uint8_t> stored;
    for (std::size_t k = 0; k < size; ++k) {
      stored.push_back(chip.Code(static_cast<std::uint16_t>(c.landed + k)));
    }
    EXPECT_EQ(stored, want);
    // Nothing outside the page was touched.
    EXPECT_EQ(std::count(chip.Memory().code.begin(), chip.Memory().code.end(), 0xFF),
              static_cast<std::ptrdiff_t>(chip.Model().codeBytes - size) +
                  std::count(want.begin(), want.end(), 0xFF));
    EXPECT_EQ(cable.ReadPage(c.sent), want);
    // The instructions after a page instruction are counted as before.
    EXPECT_EQ(cable.ReadCode(static_cast<std::uint16_t>(c.landed + 1)), want[1]);
    EXPECT_EQ(chip.Counters().pageWrites, 1u);
    EXPECT_EQ(chip.Counters().pageReads, 1u);
    EXPECT_EQ(chip.Counters().writes, 0u);
    EXPECT_EQ(chip.Counters().reads, 1u);
  }
}

TEST(SimChip, APageWritePollsItsLastByteForItsWholeTime) {
  struct Case {
    std::string options;
    std::uint32_t byteUs;
    std::uint32_t pageUs;
  };
  const Case cases[] = {
      {"target=AT89S52", 406, 103766},  // 256 times 64 periods of 12 MHz + 400 us
      {"target=AT89S52,xtal=16", 404, 103424},
      {"target=AT89S51,xtal=4", 416, 106496},
      {"target=AT89S51,write=40", 40, 10240},
      {"target=AT89S8253", 4500, 4500},
      {"target=AT89S8253,write=1000", 1000, 1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    ChipCable cable(c.options);
    SimChip& chip = cable.Chip();
    EXPECT_EQ(chip.WriteUs(), c.byteUs);
    EXPECT_EQ(chip.PageWriteUs(), c.pageUs);
    std::vector<std::uint8_t> page(chip.Model().pageBytes, 0x00);
    page.front() = 0x33;
    page.back() = 0x5A;
    const auto last = static_cast<std::uint16_t>(0x0100 + page.size() - 1);
    cable.Enable();
    cable.WritePage(0x0100, page);
    // The page is written at the edge that samples its last bit.
    const std::uint64_t written = cable.clock.NowMicroseconds() -
                                  (cable.Chip().Model().spiMode == SimSpiMode::kMode0
                                       ? ChipCable::kHalfPeriodUs
                                       : 0);
    EXPECT_EQ(cable.ReadCode(last), 0xDA);
    EXPECT_EQ(cable.ReadCode(0x0100), 0xCC);  // the page's other bytes are not served
    EXPECT_TRUE(chip.BusyAt(written + c.pageUs - 1));
    EXPECT_FALSE(chip.BusyAt(written + c.pageUs));
    cable.clock.Set(written + c.pageUs - 100);
    EXPECT_EQ(cable.ReadCode(last), 0xDA);
    cable.clock.Set(written + c.pageUs);
    EXPECT_EQ(cable.ReadCode(last), 0x5A);
    EXPECT_EQ(cable.ReadCode(0x0100), 0x33);
  }
}

TEST(SimChip, WithoutPageInstructionsTheirBytesAreByteInstructions) {
  for (const char* options : {"target=AT89S52,pages=no", "target=AT89S8253,pages=No",
                              "target=AT89S4051", "target=AT89S53"}) {
    SCOPED_TRACE(options);
    ChipCable cable(options);
    SimChip& chip = cable.Chip();
    chip.SetCode(0x0100, 0x12);
    const std::vector<std::uint8_t> zeros(256, 0x00);
    cable.Enable();
    cable.WritePage(0x0100, zeros);
    cable.Settle();
    EXPECT_EQ(std::count(chip.Memory().code.begin(), chip.Memory().code.end(), 0xFF),
              static_cast<std::ptrdiff_t>(chip.Model().codeBytes - 1));
    EXPECT_EQ(chip.Counters().pageWrites + chip.Counters().writes, 0u);
    // A page read gets nothing but echoes, where the page would give 12 first.
    std::vector<std::uint8_t> read = cable.PageOpening(0x30, 0x0100);
    read.insert(read.end(), zeros.begin(), zeros.end());
    cable.Enable();
    const auto answers = cable.Send(read);
    EXPECT_EQ(std::vector(answers.begin() + 1, answers.end()),
              std::vector(read.begin(), read.end() - 1));
    EXPECT_EQ(chip.Counters().pageReads, 0u);
  }
}

TEST(SimChip, DropsAddressBitsAboveItsSize) {
  struct Case {
    std::string chip;
    std::uint16_t sent;     // address in the instruction
    std::uint16_t decoded;  // where it lands; FFFF: beyond the code, nowhere
  };
  const Case cases[] = {
      {"AT89S51", 0x1000, 0x0000},   {"AT89S51", 0x3ABC, 0x0ABC},   {"AT89S4051", 0x1FFF, 0x0FFF},
      {"AT89S2051", 0x0800, 0x0000}, {"AT89S2051", 0x2F01, 0x0701}, {"AT89S52", 0x2000, 0x0000},
      {"AT89S8252", 0x2345, 0x0345}, {"AT89S8253", 0x2FFF, 0x2FFF}, {"AT89S8253", 0x3000, 0xFFFF},
      {"AT89S8253", 0x3FFF, 0xFFFF}, {"AT89S53", 0x2ABC, 0x2ABC},   {"AT89S53", 0x3ABC, 0xFFFF},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chip + " " + std::to_string(c.sent));
    ChipCable cable(Target(c.chip));
    SimChip& chip = cable.Chip();
    cable.Enable();
    cable.WriteCode(c.sent, 0x42);
    cable.Settle();
    if (c.decoded == 0xFFFF) {
      EXPECT_EQ(cable.ReadCode(c.sent), 0xFF);
      EXPECT_EQ(chip.Counters().writes, 0u);
      EXPECT_EQ(std::count(chip.Memory().code.begin(), chip.Memory().code.end(), 0xFF),
                static_cast<std::ptrdiff_t>(chip.Model().codeBytes));
    } else {
      EXPECT_EQ(chip.Code(c.decoded), 0x42);
      EXPECT_EQ(cable.ReadCode(c.decoded), 0x42);
      EXPECT_EQ(cable.ReadCode(c.sent), 0x42);
    }
  }
}

}  // namespace
}  // namespace vql
