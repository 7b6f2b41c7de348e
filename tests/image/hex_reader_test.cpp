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
};

Load Read(std::string_view text, std::size_t chunk = 4096) {
  Load load;
  MemoryCharStream in(text, chunk);
  load.extent = ReadHexRecords(in, *load.image);
  return load;
}

// What a case expects: the extent, and text at some addresses; every other address "FF".
struct Stored {
  std::int32_t address;
  std::string text;
};
struct Case {
  std::string name;
  std::string file;
  std::int32_t extent;
  std::vector<Stored> stored;
};

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"only an end record", ":00000001FF\r\n", 0, {}},
      {"empty file", "", 0, {}},
      {"one data record", ":0400100012345678D8\r\n:00000001FF\r\n", 0x14, {{0x10, "12345678"}}},
      {"LF line ends", ":0400100012345678D8\n:00000001FF\n", 0x14, {{0x10, "12345678"}}},
      {"no line ends, two records on one line", ":0400100012345678D8:02002000ABCDxx", 0x22,
       {{0x10, "12345678"}, {0x20, "ABCD"}}},
      {"text and blank lines between records", "title\r\n\r\n:0400100012345678D8\r\n; note\r\n",
       0x14, {{0x10, "12345678"}}},
      {"records after the end record load too", ":00000001FF\n:02000100C0DE5D\n", 3,
       {{0x0001, "C0DE"}}},
      {"extended address record stores at its address", ":020000040000FA\n", 2, {{0, "0000"}}},
      {"checksum is skipped, wrong or not", ":0100000042FF\n:0100010043\n", 2, {{0, "4243"}}},
      {"later record wins", ":020000001111CC\n:010001002200\n", 2, {{0, "1122"}}},
      {"lower case data is stored verbatim", ":02000000abcdXX\n", 2, {{0, "abcd"}}},
      {"ctrl-z ends the reading", ":0100000011EE\n\x1A:01000100227F\n", 1, {{0, "11"}}},
      {"the file ends inside the data", ":04000000123", 4,
       {{0, std::string("123\x1A\x1A\x1A\x1A\x1A", 8)}}},
      {"the file ends inside the header", ":040", 0, {}},
      {"a count longer than the line swallows the next record", ":0300000011\n:0100050077\n", 3,
       {{0, "11\n:01"}}},
      {"extent takes the largest count plus address", ":01100000AA\n:01000000BB\n", 0x1001,
       {{0, "BB"}, {0x1000, "AA"}}},
      {"lower case in the address weighs -1: 00a0 is -16", ":0100a000EE\n", 0, {}},
      // Sound handling of fields that point outside the image: pairs inside are kept.
      {"record running past FFFF keeps the pairs inside", ":04FFFE00A1A2A3A4\n", 0x10002,
       {{0xFFFE, "A1A2"}}},
      {"negative address from non-digits", ":04zzzz00B1B2B3B4\n", 0, {}},
      {"a negative address keeps only the pairs from 0 up", ":03000+00D1D2D3\n", 2,
       {{0, "D2D3"}}},
      {"negative count stores nothing", ":x00010001234\n", 0, {}},
  };
  return cases;
}

TEST(ReadHexRecords, StoresWhatTheRecordsSayWhateverTheChunkSize) {
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
    }
  }
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

TEST(ReadHexRecords, BinaryGarbageNeverWritesOutsideTheImage) {
  std::mt19937 random(7);
  for (int round = 0; round < 50; ++round) {
    std::string junk(20000, '\0');
    for (auto& c : junk) c = static_cast<char>(random());
    // Plenty of colons, so that many records are tried; no Ctrl-Z cuts it short.
    for (auto& c : junk) {
      if (c == '\x1A') c = ':';
      if (random() % 16 == 0) c = ':';
    }
    const Load load = Read(junk, 1 + random() % 100);
    EXPECT_LE(load.extent, 255 + 65535);
    EXPECT_GE(load.extent, 0);
  }
}

}  // namespace
}  // namespace vql
