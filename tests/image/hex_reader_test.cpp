#include "image/hex_reader.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/image_text.h"

namespace vql {
namespace {

using testing::ImageText;
using testing::UsedAddresses;

struct Load {
  std::unique_ptr<CodeImage> image = std::make_unique<CodeImage>();
  std::int32_t extent = 0;
  HexLoadReport report;
};

Load Read(std::string_view text, std::size_t chunk = 4096) {
  Load load;
  MemoryCharStream in(text, chunk);
  load.extent = ReadHexRecords(in, *load.image, load.report);
  return load;
}

// What a case expects: the extent, and text at some addresses; every other address
// "FF"; and what the report says: how many bad lines, the first one, its problem.
struct Stored {
  std::int32_t address;
  std::string text;
};
struct Case {
  std::string name;
  std::string file;
  std::int32_t extent;
  std::vector<Stored> stored;
  std::int32_t badLines = 0;
  std::int32_t firstLine = 0;
  std::string problem = {};
};

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"only an end record", ":00000001FF\r\n", 0, {}},
      {"empty file", "", 0, {}},
      {"one data record", ":0400100012345678D8\r\n:00000001FF\r\n", 0x14, {{0x10, "12345678"}}},
      {"LF line ends", ":0400100012345678D8\n:00000001FF\n", 0x14, {{0x10, "12345678"}}},
      {"no line ends, two records on one line", ":0400100012345678D8:02002000ABCD66", 0x22,
       {{0x10, "12345678"}, {0x20, "ABCD"}}},
      {"text and blank lines between records", "title\r\n\r\n:0400100012345678D8\r\n; note\r\n",
       0x14, {{0x10, "12345678"}}},
      {"records after the end record load too", ":00000001FF\n:02000100C0DE5F\n", 3,
       {{0x0001, "C0DE"}}},
      {"later record wins", ":020000001111DC\n:0100010022DC\n", 2, {{0, "1122"}}},
      {"extent takes the largest address plus count", ":01100000AA45\n:01000000BB44\n", 0x1001,
       {{0, "BB"}, {0x1000, "AA"}}},
      {"ctrl-z ends the reading", ":0100000011EE\n\x1A:01000100227F\n", 1, {{0, "11"}}},
      // Record types: only data stores; 02 and 04 move the data after them.
      {"an extended linear address of 0 stores nothing", ":020000040000FA\n", 0, {}},
      {"a type-04 header, then code at 0100", ":020000040000FA\n:0101000055A9\n:00000001FF\n",
       0x101, {{0x100, "55"}}},
      {"a segment address moves the data", ":020000020100FB\n:010000006699\n", 0x1001,
       {{0x1000, "66"}}},
      {"start addresses store nothing", ":0400000300001234B3\n:0400000500001234B1\n", 0, {}},
      {"data above 64 KiB is dropped", ":020000040001F9\n:0100000055AA\n", 0x10001, {}, 1, 2,
       "64 KiB or above"},
      {"an extent past what 32 bits hold stays the largest", ":02000004FFFFFC\n:0100000055AA\n",
       0x7FFFFFFF, {}, 1, 2, "64 KiB or above"},
      {"a record running past FFFF keeps the pairs inside", ":04FFFE00A1A2A3A4BD\n", 0x10002,
       {{0xFFFE, "A1A2"}}, 1, 1, "64 KiB or above"},
      // Lower case is read as upper case, in every field.
      {"lower-case data is stored as upper case", ":02000000abcd86\n", 2, {{0, "ABCD"}}},
      {"a lower-case address is a digit", ":0100a000EE71\n", 0xA1, {{0xA0, "EE"}}},
      // Damage is reported and the record is read by position all the same.
      {"a wrong checksum", "\n\n:0100000042FF\n:0100010043BB\n:01000200440E\n", 3,
       {{0, "424344"}}, 2, 3, "the checksum is FF, the record's bytes need BD"},
      {"no checksum at all", ":0100000042\n", 1, {{0, "42"}}, 1, 1, "no checksum"},
      {"a data character that is no digit", ":020000009G12XX\n", 2, {{0, "9G12"}}, 1, 1,
       "\"G\" in the record's data is no hex digit"},
      {"the file ends inside the data", ":04000000123", 4,
       {{0, std::string("123\x1A\x1A\x1A\x1A\x1A", 8)}}, 1, 1, "the line ends before"},
      {"the file ends inside the header", ":040", 0, {}, 1, 1, "no hex digit"},
      {"a count longer than the line swallows the next record", ":0300000011\n:0100050077\n", 3,
       {{0, "11\n:01"}}, 1, 1, "the line ends before the record's 3 data bytes do"},
      {"non-digits in the address store nothing", ":04zzzz00B1B2B3B4\n", 0, {}, 1, 1,
       "\"z\" in the record's count, address or type"},
      {"a negative address keeps only the pairs from 0 up", ":03000+00D1D2D3\n", 2,
       {{0, "D2D3"}}, 1, 1, "\"+\""},
      {"a negative count stores nothing", ":x00010001234\n", 0, {}, 1, 1, "\"x\""},
      // Binary bytes, high ones included, as a file that is no HEX file holds them.
      {"binary bytes between records are skipped",
       std::string("\x00\xFF\x80\x7F\x01\xC3", 6) + ":01003000428D\r\n" +
           std::string("\xFE\x00\x1B\xA0", 4) + ":02004000A1A27B",
       0x42, {{0x30, "42"}, {0x40, "A1A2"}}},
      {"binary bytes in a header store nothing",
       std::string("\n:\x80\x81\x00\xFF\x90\xA0\xB0\xC0\n:01003000428D\n", 25), 0x31,
       {{0x30, "42"}}, 1, 2, "byte 80 in the record's count, address or type"},
      {"binary bytes in the data are stored as read",
       std::string(":02005000\xC3\xA9\x00\xFF\n", 14), 0x52,
       {{0x50, std::string("\xC3\xA9\x00\xFF", 4)}}, 1, 1, "byte C3 in the record's data"},
  };
  return cases;
}

TEST(ReadHexRecords, StoresWhatTheRecordsSayAndReportsDamageWhateverTheChunkSize) {
  for (const auto& c : Cases()) {
    for (std::size_t chunk : {1, 2, 3, 5, 8, 11, 4096}) {
      SCOPED_TRACE(c.name + ", chunk " + std::to_string(chunk));
      const Load load = Read(c.file, chunk);
      EXPECT_EQ(load.extent, c.extent);
      std::int32_t expectedUsed = 0;
      for (const auto& s : c.stored) {
        const auto count = static_cast<std::int32_t>(s.text.size() / 2);
        EXPECT_EQ(ImageText(*load.image, s.address, count), s.text);
        for (std::size_t i = 0; i < s.text.size(); i += 2) {
          expectedUsed += (s.text[i] != 'F' || s.text[i + 1] != 'F') ? 1 : 0;
        }
      }
      EXPECT_EQ(UsedAddresses(*load.image), expectedUsed);
      EXPECT_EQ(load.report.badLines, c.badLines);
      EXPECT_EQ(load.report.firstLine, c.firstLine);
      EXPECT_NE(load.report.firstProblem.find(c.problem), std::string::npos)
          << load.report.firstProblem;
    }
  }
}

TEST(ReadHexRecords, TheReportShowsTheFirstBadLineCutShortAndCountsTheDroppedBytes) {
  const std::string longLine = ":20000000" + std::string(64, '1') + "00\r\n";  // bad checksum
  const Load load = Read(":0100000011EE\r\n" + longLine + longLine +
                         ":020000040001F9\r\n:02000000AAAAAA\r\n");
  EXPECT_EQ(load.report.badLines, 3);
  EXPECT_EQ(load.report.firstLine, 2);
  EXPECT_EQ(load.report.firstText, longLine.substr(0, 60) + "...");
  EXPECT_EQ(load.report.droppedBytes, 2);
}

std::string Record(std::int32_t address, const std::vector<std::uint8_t>& data) {
  char buf[16];
  std::uint32_t sum = static_cast<std::uint32_t>(data.size()) + static_cast<std::uint32_t>(address >> 8) +
                      static_cast<std::uint32_t>(address & 0xFF);
  std::snprintf(buf, sizeof buf, ":%02zX%04X00", data.size(), static_cast<unsigned>(address));
  std::string line = buf;
  for (const auto byte : data) {
    std::snprintf(buf, sizeof buf, "%02X", byte);
    line += buf;
    sum += byte;
  }
  std::snprintf(buf, sizeof buf, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
  return line + buf;
}

TEST(ReadHexRecords, AFullImageReadsBackByteForByte) {
  std::mt19937 random(2026);
  std::vector<std::uint8_t> bytes(kImageSize);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  std::string file;
  for (std::int32_t a = 0; a < kImageSize; a += 32) {
    file += Record(a, {bytes.begin() + a, bytes.begin() + a + 32});
  }
  file += ":00000001FF\r\n";
  for (std::size_t chunk : {7, 65536}) {
    const Load load = Read(file, chunk);
    EXPECT_EQ(load.extent, kImageSize);
    for (std::size_t a = 0; a < kImageSize; ++a) {
      char expected[3];
      std::snprintf(expected, sizeof expected, "%02X", bytes[a]);
      ASSERT_EQ(load.image->HighDigits[a], expected[0]) << a;
      ASSERT_EQ(load.image->LowDigits[a], expected[1]) << a;
    }
  }
}

}  // namespace
}  // namespace vql
