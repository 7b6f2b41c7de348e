#include "support/trace_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vql::testing {
namespace {

// Writes trace lines by hand for one port at 0378, as the program would access it.
class TraceText {
 public:
  TraceText& Read(std::uint16_t address, std::uint8_t value) { return Line('R', address, value); }
  TraceText& Write(std::uint8_t value) { return Line('W', 0x378, value); }
  TraceText& Status(bool miso) { return Read(0x379, miso ? 0xE5 : 0xA5); }
  const std::string& Text() const { return text_; }

 private:
  TraceText& Line(char kind, std::uint16_t address, std::uint8_t value) {
    char line[32];
    std::snprintf(line, sizeof line, "%d %c %04X %02X\n", us_++, kind, address, value);
    text_ += line;
    return *this;
  }
  int us_ = 0;
  std::string text_;
};

constexpr std::uint8_t kRst = 0x10, kMosi = 0x20, kSck = 0x40;

// Program mode from run mode, then one byte of MOSI out with the MISO answer in,
// MSB first, every edge a read-modify-write.
TraceText ByteTrace(std::uint8_t out, std::uint8_t answer) {
  TraceText t;
  t.Read(0x378, 0x88).Write(0x98).Read(0x378, 0x98).Write(0x18).Read(0x378, 0x18).Write(0x10);
  std::uint8_t data = 0x10;
  for (int bit = 7; bit >= 0; --bit) {
    data = static_cast<std::uint8_t>(((out >> bit) & 1) ? (data | kMosi) : (data & ~kMosi));
    t.Read(0x378, data).Write(data);
    data |= kSck;
    t.Read(0x378, data).Write(data);
    t.Status(((answer >> bit) & 1) != 0);
    data = static_cast<std::uint8_t>(data & ~kSck);
    t.Read(0x378, data).Write(data);
  }
  return t;
}

TEST(TraceDecoder, DecodesAByteBuiltByHand) {
  const auto accesses = ParseTrace(ByteTrace(0xA5, 0x3C).Text());
  ASSERT_EQ(accesses.size(), 6u + 8 * 7);
  EXPECT_EQ(accesses[0], (TraceAccess{0, false, 0x378, 0x88}));
  EXPECT_EQ(accesses[1], (TraceAccess{1, true, 0x378, 0x98}));

  const DecodedTrace d = DecodeTrace(accesses, 0x378);
  ASSERT_EQ(d.bytes.size(), 1u);
  EXPECT_EQ(d.bytes[0], (ClockedByte{0xA5, 0x3C, true, true}));
  EXPECT_EQ(d.leftoverBits, 0);
  EXPECT_EQ(d.dataReads, 3 + 8 * 3);
  EXPECT_EQ(d.dataWrites, 3 + 8 * 3);
  EXPECT_EQ(d.statusReads, 8);
  // Against the first read (88): RST up at 1, MODE7 down at 3, MODE3 down at 5.
  ASSERT_GE(d.changes.size(), 3u);
  EXPECT_EQ(d.changes[0], (LineChange{1, "RST", true}));
  EXPECT_EQ(d.changes[1], (LineChange{3, "MODE7", false}));
  EXPECT_EQ(d.changes[2], (LineChange{5, "MODE3", false}));
  EXPECT_EQ(d.changes[3], (LineChange{7, "MOSI", true}));
  EXPECT_EQ(d.LevelsOf("SCK"), "1010101010101010");
  // A5 = 1010 0101: MOSI starts at 0 and moves at every change of bit value.
  EXPECT_EQ(d.ChangesOf("MOSI"), (std::vector<std::string>{"1", "0", "1", "0", "1", "0", "1"}));
  EXPECT_TRUE(d.ChangesOf("D0").empty());
  EXPECT_THROW(d.ChangesOf("MISO"), std::invalid_argument);
}

TEST(TraceDecoder, FlagsBytesClockedAgainstTheRules) {
  struct Case {
    std::string name;
    std::vector<std::uint8_t> writes;  // data register values, starting from 0
    std::vector<int> statusAfter;      // indices of writes after which MISO (1) is read
    ClockedByte byte;
    int leftover;
  };
  // Eight clean clocks of MOSI 1 with MISO read at every high phase.
  std::vector<std::uint8_t> clean;
  std::vector<int> reads;
  for (int i = 0; i < 8; ++i) {
    clean.insert(clean.end(), {kRst | kMosi, kRst | kMosi | kSck});
    reads.push_back(2 * i + 1);
  }
  // clean with the writes from index on replaced by values; MISO reads move along.
  auto edited = [&](std::size_t index, std::size_t replaced, std::vector<std::uint8_t> values) {
    auto w = clean;
    const auto at = w.begin() + static_cast<std::ptrdiff_t>(index);
    w.erase(at, at + static_cast<std::ptrdiff_t>(replaced));
    w.insert(w.begin() + static_cast<std::ptrdiff_t>(index), values.begin(), values.end());
    std::vector<int> r;
    const int grown = static_cast<int>(values.size()) - static_cast<int>(replaced);
    for (int i : reads) r.push_back(i >= static_cast<int>(index) ? i + grown : i);
    return Case{"", w, r, {}, 0};
  };
  const auto mosiDropsWhileHigh = edited(2, 0, {kRst | kSck});
  const auto mosiDropsWithRise = edited(2, 2, {kRst | kMosi, kRst | kSck});
  const auto mosiDropsWithFall = edited(2, 1, {kRst, kRst | kMosi});
  auto extraEdges = clean;
  for (int i = 0; i < 3; ++i) extraEdges.insert(extraEdges.end(), {kRst, kRst | kSck});

  const Case cases[] = {
      {"clean", clean, reads, {0xFF, 0xFF, true, true}, 0},
      {"MOSI drops while SCK is high",
       mosiDropsWhileHigh.writes,
       mosiDropsWhileHigh.statusAfter,
       {0xFF, 0xFF, false, true},
       0},
      {"MOSI drops with the rising edge",
       mosiDropsWithRise.writes,
       mosiDropsWithRise.statusAfter,
       {0xBF, 0xFF, false, true},
       0},
      {"MOSI drops with the falling edge",
       mosiDropsWithFall.writes,
       mosiDropsWithFall.statusAfter,
       {0xFF, 0xFF, true, true},
       0},
      {"a bit without a MISO read", clean, {1, 3, 5, 7, 9, 11, 13}, {0xFF, 0xFE, true, false}, 0},
      {"MISO read while SCK is low does not count",
       clean,
       {0, 3, 5, 7, 9, 11, 13, 15},
       {0xFF, 0x7F, true, false},
       0},
      {"three more edges stay over", extraEdges, reads, {0xFF, 0xFF, true, true}, 3},
  };
  for (const auto& c : cases) {
    std::vector<TraceAccess> accesses;
    std::uint64_t us = 0;
    for (std::size_t i = 0; i < c.writes.size(); ++i) {
      accesses.push_back({us++, true, 0x378, c.writes[i]});
      for (int r : c.statusAfter) {
        if (r == static_cast<int>(i)) accesses.push_back({us++, false, 0x379, 0xE5});
      }
    }
    const DecodedTrace d = DecodeTrace(accesses, 0x378);
    ASSERT_EQ(d.bytes.size(), 1u) << c.name;
    EXPECT_EQ(d.bytes[0], c.byte) << c.name;
    EXPECT_EQ(d.leftoverBits, c.leftover) << c.name;
  }
}

TEST(TraceDecoder, KeepsToItsOwnPort) {
  // LPT2 at 0278 clocks away; only the 0378 write counts, against the first read.
  const std::vector<TraceAccess> accesses = {
      {0, false, 0x378, 0x40}, {1, true, 0x278, 0x40}, {2, true, 0x278, 0x00},
      {3, false, 0x279, 0xE5}, {4, true, 0x37A, 0x40}, {5, true, 0x378, 0x00},
  };
  const DecodedTrace d = DecodeTrace(accesses, 0x378);
  EXPECT_EQ(d.changes, (std::vector<LineChange>{{5, "SCK", false}}));
  EXPECT_EQ(d.statusReads, 0);
  EXPECT_EQ(d.dataReads, 1);
  EXPECT_EQ(d.dataWrites, 1);
}

TEST(TraceDecoder, RejectsLinesTheTracerDoesNotWrite) {
  const std::string bad[] = {
      "1532 W 0378 7",
      "1532 W 378 70",
      "1532 w 0378 70",
      "1532 X 0378 70",
      "1532 W 0378 7a",
      "1532 W 0378 70 ",
      "1532  W 0378 70",
      "W 0378 70",
      "-1 W 0378 70",
      "1532 W 0378",
      "99999999999999999999 W 0378 70",
  };
  for (const auto& line : bad) {
    try {
      ParseTrace("1 R 0379 E5\n\n" + line + "\n");
      ADD_FAILURE() << line << " was taken";
    } catch (const std::runtime_error& e) {
      const std::string message = e.what();
      EXPECT_NE(message.find("line 3"), std::string::npos) << message;
      EXPECT_NE(message.find(line), std::string::npos) << message;
    }
  }
  EXPECT_EQ(ParseTrace("18446744073709551615 W FFFF 00"),
            (std::vector<TraceAccess>{{18446744073709551615u, true, 0xFFFF, 0x00}}));
}

}  // namespace
}  // namespace vql::testing
