#include "image/hex_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "image/hex_digits.h"
#include "image/hex_reader.h"
#include "support/image_text.h"
#include "support/temp_dir.h"

namespace vql {
namespace {

using testing::ImageText;

std::unique_ptr<CodeImage> RandomImage(unsigned seed) {
  auto image = std::make_unique<CodeImage>();
  std::mt19937 random(seed);
  constexpr char kDigits[] = "0123456789ABCDEF";
  for (std::size_t a = 0; a < kImageSize; ++a) {
    image->HighDigits[a] = kDigits[random() % 16];
    image->LowDigits[a] = kDigits[random() % 16];
  }
  return image;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> DirEntries(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

// The bytes that a record line spells, count byte to checksum.
std::vector<int> RecordBytes(const std::string& line) {
  std::vector<int> bytes;
  for (std::size_t i = 1; i + 1 < line.size(); i += 2) {
    bytes.push_back(HexPairValue(line[i], line[i + 1]));
  }
  return bytes;
}

TEST(HexWriter, ReadsBackByteForByteWithTheProgramsOwnReader) {
  const auto image = RandomImage(7);
  constexpr std::int32_t kLast = 0x2FFF;

  const std::string text = IntelHexText(*image, kLast);
  auto back = std::make_unique<CodeImage>();
  MemoryCharStream in(text, 61);  // chunks that cut records anywhere
  EXPECT_EQ(ReadHexRecords(in, *back), kLast + 1);

  EXPECT_EQ(ImageText(*back, 0, kLast + 1), ImageText(*image, 0, kLast + 1));
  EXPECT_EQ(ImageText(*back, kLast + 1, 16), std::string(32, 'F'));  // nothing past last
}

TEST(HexWriter, EveryRecordIsUpperCaseWithACorrectChecksumAndLfLineEnds) {
  const auto image = RandomImage(11);
  const std::string text = IntelHexText(*image, 0x07FF);

  EXPECT_EQ(text.find('\r'), std::string::npos);
  ASSERT_EQ(text.back(), '\n');
  const auto lines = Lines(text);
  ASSERT_EQ(lines.size(), 0x800u / 16 + 1);
  EXPECT_EQ(lines.back(), ":00000001FF");
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    SCOPED_TRACE(line);
    ASSERT_EQ(line.front(), ':');
    for (std::size_t c = 1; c < line.size(); ++c) {
      EXPECT_GE(HexDigitValue(line[c]), 0) << "not an upper-case digit at " << c;
    }
    const auto bytes = RecordBytes(line);
    ASSERT_GE(bytes.size(), 5u);
    EXPECT_EQ(static_cast<std::size_t>(bytes[0]) + 5, bytes.size()) << "count";
    int sum = 0;
    for (const int b : bytes) sum += b;
    EXPECT_EQ(sum % 256, 0) << "checksum";
    if (i + 1 < lines.size()) {
      EXPECT_EQ(bytes[0], 16);
      EXPECT_EQ(bytes[1] * 256 + bytes[2], static_cast<int>(i) * 16) << "address";
      EXPECT_EQ(bytes[3], 0) << "type";
    }
  }
}

TEST(HexWriter, WritesTheRecordThatTheFormatsOwnExampleShows) {
  CodeImage image;
  const std::string data = "214601360121470136007EFE09D21901";
  for (std::size_t i = 0; i < 16; ++i) {
    image.HighDigits[0x100 + i] = data[2 * i];
    image.LowDigits[0x100 + i] = data[2 * i + 1];
  }
  const auto lines = Lines(IntelHexText(image, 0x10F));
  ASSERT_EQ(lines.size(), 18u);
  EXPECT_EQ(lines[16], ":10010000214601360121470136007EFE09D2190140");
  EXPECT_EQ(lines[0], ":10000000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00");
}

struct ExtentCase {
  std::int32_t last;
  std::size_t records;     // data records
  std::string lastRecord;  // the last data record's count and address, e.g. "010010"
};

class HexWriterExtent : public ::testing::TestWithParam<ExtentCase> {};

TEST_P(HexWriterExtent, CoversZeroToLastInRecordsOfSixteen) {
  const ExtentCase& c = GetParam();
  const auto lines = Lines(IntelHexText(CodeImage{}, c.last));
  ASSERT_EQ(lines.size(), c.records + 1);
  EXPECT_EQ(lines.back(), ":00000001FF");
  if (c.records > 0) {
    EXPECT_EQ(lines[c.records - 1].substr(1, 6), c.lastRecord);
  }
}

INSTANTIATE_TEST_SUITE_P(
    HexWriterLasts, HexWriterExtent,
    ::testing::Values(ExtentCase{-1, 0, ""}, ExtentCase{0, 1, "010000"},
                      ExtentCase{14, 1, "0F0000"}, ExtentCase{15, 1, "100000"},
                      ExtentCase{16, 2, "010010"}, ExtentCase{0x07FF, 128, "1007F0"},
                      ExtentCase{0x2FFF, 768, "102FF0"}, ExtentCase{0xFFFF, 4096, "10FFF0"}));

TEST(HexWriter, RefusesLastAddressesOutsideTheImage) {
  EXPECT_THROW(IntelHexText(CodeImage{}, -2), std::out_of_range);
  EXPECT_THROW(IntelHexText(CodeImage{}, 0x10000), std::out_of_range);
}

struct BadEntryCase {
  char high;
  char low;
};

class HexWriterBadEntry : public ::testing::TestWithParam<BadEntryCase> {};

TEST_P(HexWriterBadEntry, RefusesAnEntryThatIsNoDigitPairAndNamesItsAddress) {
  CodeImage image;
  image.HighDigits[0x123] = GetParam().high;
  image.LowDigits[0x123] = GetParam().low;
  try {
    IntelHexText(image, 0x2FFF);
    FAIL() << "no error";
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find("0123"), std::string::npos) << error.what();
  }
  // Past the last address it is not written, so it does not matter.
  EXPECT_NO_THROW(IntelHexText(image, 0x122));
}

INSTANTIATE_TEST_SUITE_P(HexWriterEntries, HexWriterBadEntry,
                         ::testing::Values(BadEntryCase{'G', '0'}, BadEntryCase{'0', 'a'},
                                           BadEntryCase{' ', 'F'}, BadEntryCase{'\0', '1'}));

TEST(HexWriter, WritesTheFileAndLeavesNothingElseBehind) {
  testing::TempDir dir;
  const auto image = RandomImage(3);
  const std::string path = (dir.Path() / "out.hex").string();

  WriteHexFile(*image, 0x0FFF, path);

  EXPECT_EQ(ReadFile(path), IntelHexText(*image, 0x0FFF));
  EXPECT_EQ(DirEntries(dir.Path()), std::vector<std::string>{"out.hex"});
}

TEST(HexWriter, ReplacesAnExistingFileWhole) {
  testing::TempDir dir;
  const std::string path = dir.Write("out.hex", std::string(100000, 'x'));
  WriteHexFile(CodeImage{}, 15, path);
  EXPECT_EQ(ReadFile(path), ":10000000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00\n:00000001FF\n");
}

TEST(HexWriter, AFailedWriteLeavesTheOldFileAndNoTemporaryFile) {
  testing::TempDir dir;
  const std::string path = dir.Write("out.hex", "old contents");
  CodeImage image;
  image.LowDigits[0x40] = 'x';

  try {
    WriteHexFile(image, 0xFF, path);
    FAIL() << "no error";
  } catch (const FileError& error) {
    const std::string text = error.what();
    EXPECT_NE(text.find("Cannot write \"" + path + "\""), std::string::npos) << text;
    EXPECT_NE(text.find("0040"), std::string::npos) << text;
  }
  EXPECT_EQ(ReadFile(path), "old contents");
  EXPECT_EQ(DirEntries(dir.Path()), std::vector<std::string>{"out.hex"});
}

TEST(HexWriter, AnUnwritablePlaceShowsWhenTheWriterIsCreated) {
  testing::TempDir dir;
  const std::string missing = (dir.Path() / "no-such-dir" / "out.hex").string();
  try {
    HexFileWriter writer(missing);
    FAIL() << "no error";
  } catch (const FileError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Cannot write \"" + missing + "\": No such file or directory");
  }
  const std::string directory = dir.Path().string();
  EXPECT_THROW(HexFileWriter{directory}, FileError);
  EXPECT_TRUE(DirEntries(dir.Path()).empty());
}

TEST(HexWriter, AWriterDroppedWithoutCommitLeavesNoFile) {
  testing::TempDir dir;
  const std::string path = (dir.Path() / "out.hex").string();
  {
    HexFileWriter writer(path);
    EXPECT_EQ(DirEntries(dir.Path()).size(), 1u);  // the temporary file
    EXPECT_FALSE(std::filesystem::exists(path));
  }
  EXPECT_TRUE(DirEntries(dir.Path()).empty());
}

}  // namespace
}  // namespace vql
