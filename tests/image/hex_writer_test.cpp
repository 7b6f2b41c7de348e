#include "image/hex_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
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

std::string FileEntry(unsigned mode, const std::string& text) {
  char bits[8];
  std::snprintf(bits, sizeof bits, "%04o ", mode);
  return bits + text;
}

// Everything below dir as a user sees it: a symlink's target, a FIFO, or a file's
// permission bits and contents.
std::map<std::string, std::string> Tree(const std::filesystem::path& dir) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const auto status = entry.symlink_status();
    std::string& seen = tree[entry.path().lexically_relative(dir).string()];
    if (fs::is_symlink(status)) seen = "-> " + fs::read_symlink(entry.path()).string();
    if (fs::is_fifo(status)) seen = "fifo";
    if (fs::is_regular_file(status)) {
      seen = FileEntry(static_cast<unsigned>(status.permissions()), ReadFile(entry.path()));
    }
  }
  return tree;
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

struct PlaceCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> links;  // name, target
  std::string existing;                                    // a 0640 file there already
  std::string written;                                     // where the text lands
};

class HexWriterPlace : public ::testing::TestWithParam<PlaceCase> {
 protected:
  // Lays out the case's files and links; returns the path given to the writer.
  std::string Prepare() {
    std::filesystem::create_directory(dir_.Path() / "sub");
    if (!GetParam().existing.empty()) {
      std::filesystem::permissions(dir_.Write(GetParam().existing, std::string(20000, 'x')),
                                   std::filesystem::perms{0640});
    }
    for (const auto& [name, target] : GetParam().links) {
      std::filesystem::create_symlink(target, dir_.Path() / name);
    }
    return (dir_.Path() / "out.hex").string();
  }

  testing::TempDir dir_;
};

TEST_P(HexWriterPlace, TheTextLandsAtTheEndOfTheLinksAndNothingElseChanges) {
  const std::string path = Prepare();
  auto expected = Tree(dir_.Path());
  const auto image = RandomImage(3);
  const mode_t umaskWas = ::umask(077);
  EXPECT_NO_THROW(WriteHexFile(*image, 0x0FFF, path));
  ::umask(umaskWas);
  // A replaced file keeps its bits; a new one gets 0666 less the umask.
  expected[GetParam().written] =
      FileEntry(GetParam().existing.empty() ? 0600 : 0640, IntelHexText(*image, 0x0FFF));
  EXPECT_EQ(Tree(dir_.Path()), expected);
}

TEST_P(HexWriterPlace, ADroppedWriterOrAFailedCommitChangesNothing) {
  const std::string path = Prepare();
  const auto before = Tree(dir_.Path());
  { HexFileWriter dropped(path); }
  EXPECT_EQ(Tree(dir_.Path()), before);
  CodeImage image;
  image.LowDigits[0x40] = 'x';
  EXPECT_THROW(WriteHexFile(image, 0xFF, path), FileError);
  EXPECT_EQ(Tree(dir_.Path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    HexWriterPlaces, HexWriterPlace,
    ::testing::Values(
        PlaceCase{"NewFile", {}, "", "out.hex"}, PlaceCase{"OldFile", {}, "out.hex", "out.hex"},
        PlaceCase{"Link", {{"out.hex", "real.hex"}}, "real.hex", "real.hex"},
        PlaceCase{"DanglingLink", {{"out.hex", "sub/new.hex"}}, "", "sub/new.hex"},
        // Relative targets count from the directory the link is in.
        PlaceCase{"DanglingChain", {{"out.hex", "sub/mid"}, {"sub/mid", "end.hex"}}, "",
                  "sub/end.hex"},
        PlaceCase{"Chain", {{"out.hex", "sub/mid"}, {"sub/mid", "../real.hex"}}, "real.hex",
                  "real.hex"}),
    [](const ::testing::TestParamInfo<PlaceCase>& place) { return std::string(place.param.name); });

// /proc/self/fd/N is what /dev/stdout leads to; a deleted file there has no name to
// replace, only the file to write into.
enum class Direct { Fifo, LinkToFifo, ProcFdOfPipe, ProcFdOfDeletedFile };

class HexWriterDirect : public ::testing::TestWithParam<Direct> {};

TEST_P(HexWriterDirect, AReaderGetsTheExactTextAndThePlaceStaysAsItWas) {
  testing::TempDir dir;
  const auto fifo = dir.Path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // The reader is there first, so that opening the FIFO to write does not wait.
  int pipe[2] = {::open(fifo.c_str(), O_RDONLY | O_NONBLOCK), -1};
  std::string path = fifo.string();
  if (GetParam() == Direct::LinkToFifo) {
    std::filesystem::create_symlink("fifo", dir.Path() / "out.hex");
    path = (dir.Path() / "out.hex").string();
  }
  if (GetParam() == Direct::ProcFdOfPipe) {
    ::close(pipe[0]);
    ASSERT_EQ(::pipe(pipe), 0);
    path = "/proc/self/fd/" + std::to_string(pipe[1]);
  }
  if (GetParam() == Direct::ProcFdOfDeletedFile) {
    ::close(pipe[0]);
    pipe[0] = ::open(dir.Write("gone", std::string(20000, 'x')).c_str(), O_RDWR);
    std::filesystem::remove(dir.Path() / "gone");
    path = "/proc/self/fd/" + std::to_string(pipe[0]);
  }
  const auto before = Tree(dir.Path());
  const auto image = RandomImage(5);
  EXPECT_NO_THROW(WriteHexFile(*image, 0x0FFF, path));  // less than a pipe holds
  if (pipe[1] >= 0) ::close(pipe[1]);
  ::lseek(pipe[0], 0, SEEK_SET);  // back to the start of the deleted file
  std::string got;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;) {
    got.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipe[0]);
  EXPECT_EQ(got, IntelHexText(*image, 0x0FFF));
  EXPECT_EQ(Tree(dir.Path()), before);
}

INSTANTIATE_TEST_SUITE_P(HexWriterDirects, HexWriterDirect,
                         ::testing::Values(Direct::Fifo, Direct::LinkToFifo, Direct::ProcFdOfPipe,
                                           Direct::ProcFdOfDeletedFile));

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
  // A file that exists where no file can be created beside it: what failed is named.
  try {
    HexFileWriter writer("/proc/version");
    FAIL() << "no error";
  } catch (const FileError& error) {
    EXPECT_TRUE(std::string(error.what()).starts_with(
        "Cannot write \"/proc/version\": the temporary file \"/proc/.version"))
        << error.what();
  }
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
