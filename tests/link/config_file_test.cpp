#include "link/config_file.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace vql {
namespace {

using Values = std::array<std::int32_t, 5>;  // DelayScale, BitDelay, unused, LPT1, LPT2
using Strings = std::vector<std::string>;

Values ReadText(std::string_view text, std::size_t chunk, Strings* warnings = nullptr) {
  Values v{};
  MemoryCharStream in(text, chunk);
  ReadConfigValues(in, v[0], v[1], v[2], v[3], v[4], warnings);
  return v;
}

TEST(ReadConfigValues, TakesFourCharactersAfterEachBracketWhateverTheyAre) {
  struct Case {
    std::string name;
    std::string text;
    Values values;
    Strings warnings;  // one per value not written as four upper-case digits
  };
  const Case cases[] = {
      {"empty", "", {0, 0, 0, 0, 0}, {}},
      {"no bracket", "0064 0000 0000 0378 0278\n", {0, 0, 0, 0, 0}, {}},
      {"five groups with comments",
       "VQL config\r\n[0064] scale\r\n[4E20] bit\r\n[0000]\r\n[0378] lpt1\r\n[0278] lpt2\r\n",
       {0x64, 0x4E20, 0, 0x378, 0x278}, {}},
      {"four groups leave LPT2 at 0", "[0001][0002][0003][0378]", {1, 2, 3, 0x378, 0}, {}},
      {"three digits take the bracket as the fourth", "[378]", {14207, 0, 0, 0, 0},
       {R"(DelayScale "378]" was read as 377F; write all four digits, e.g. [2710])"}},
      {"lower case weighs -1", "[03bc]", {751, 0, 0, 0, 0},
       {R"(DelayScale "03bc" was read as 02EF; write all four digits in upper case)"}},
      {"a bracket inside a group is one of its characters", "[00[0][0001]", {-16, 1, 0, 0, 0},
       {R"(DelayScale "00[0" was read as -0010; write all four digits, e.g. [2710])"}},
      {"a base that is no number is shown by its characters", "[0000][0000][0000][ZZZZ]",
       {0, 0, 0, -4369, 0},
       {R"(LPT1 base "ZZZZ" is no hexadecimal number; write all four digits, e.g. [0378])"}},
      {"the file ends inside a group", "[0000][0000][0000][0378][03", {0, 0, 0, 0x378, 751},
       {R"(LPT2 base "03" (the file ends there) was read as 02EF; write all four digits, )"
        "e.g. [0278]"}},
      {"line ends inside a group count as characters", "[03\r\n[0002]",
       {0 + 768 - 16 - 1, 2, 0, 0, 0},
       {R"(DelayScale "03\r\n" was read as 02EF; write all four digits, e.g. [2710])"}},
      {"sixth and seventh groups are ignored", "[0001][0002][0003][0004][0005][0006][0007]",
       {1, 2, 3, 4, 5}, {}},
      {"a bad sixth group says nothing", "[0001][0002][0003][0004][0005][03f8]", {1, 2, 3, 4, 5},
       {}},
      {"ctrl-z ends the file", "[0001]\x1A[0002]", {1, 0, 0, 0, 0}, {}},
      {"PCI card address", "[0000][0000][0000][D010][D018]", {0, 0, 0, 0xD010, 0xD018}, {}},
      {"every bad value is named, in file order", "[0064]\n[4e20]\n[0\t00]\n[03f8]\n[0278\n",
       {0x64, 0x3F20, -0x100, 0x2F8, 0x278},
       {R"(BitDelay "4e20" was read as 3F20; write all four digits in upper case)",
        R"(Unused value "0\t00" was read as -0100; write all four digits, e.g. [0000])",
        R"(LPT1 base "03f8" was read as 02F8; write all four digits in upper case)"}},
      {"no digit at all, and lower case with a missing digit",
       "[0000][\"\\\x01 ][0000][3f8][0278]", {0, -0x1111, 0, 0x2F7F, 0x278},
       {R"(BitDelay "\"\\\x01 " was read as -1111; write all four digits, e.g. [0000])",
        R"(LPT1 base "3f8]" was read as 2F7F; write all four digits in upper case, e.g. [0378])"}},
  };
  for (const auto& c : cases) {
    for (std::size_t chunk : {1, 2, 3, 4, 5, 4096}) {
      Strings warnings;
      EXPECT_EQ(ReadText(c.text, chunk, &warnings), c.values) << c.name << ", chunk " << chunk;
      EXPECT_EQ(warnings, c.warnings) << c.name << ", chunk " << chunk;
    }
  }
}

TEST(ReadConfigFile, ReadsFromTheCurrentDirectoryAndZeroesWhatTheFileLacks) {
  testing::TempDir dir;
  dir.Write("CONFIG.VQL", "[0064][0000][0000][0378]\n");
  testing::ScopedCurrentDir cwd(dir.Path());
  Values v{9, 9, 9, 9, 9};
  Strings warnings{"from an earlier read"};
  ReadConfigFile(v[0], v[1], v[2], v[3], v[4], "CONFIG.VQL", &warnings);
  EXPECT_EQ(v, (Values{0x64, 0, 0, 0x378, 0}));
  EXPECT_EQ(warnings, Strings{});
}

TEST(ReadConfigFile, AMissingFileIsAnErrorNamingTheFullPathAndTheOutputsAreZero) {
  testing::TempDir dir;
  testing::ScopedCurrentDir cwd(dir.Path());
  const std::string expectedPath = std::filesystem::current_path().string() + "/CONFIG.VQL";
  Values v{9, 9, 9, 9, 9};
  try {
    ReadConfigFile(v[0], v[1], v[2], v[3], v[4], "CONFIG.VQL");
    FAIL() << "no error for a missing configuration file";
  } catch (const FileError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot open \"" + expectedPath + "\": No such file or directory");
  }
  EXPECT_EQ(v, (Values{0, 0, 0, 0, 0}));
}

TEST(ConfigFilePath, JoinsTheCurrentDirectoryAndTheName) {
  testing::TempDir dir;
  testing::ScopedCurrentDir cwd(dir.Path());
  const std::string here = std::filesystem::current_path().string();
  EXPECT_EQ(ConfigFilePath("CONFIG.VQL"), here + "/CONFIG.VQL");
  EXPECT_EQ(ConfigFilePath("etc/my.vql"), here + "/etc/my.vql");
  EXPECT_EQ(ConfigFilePath("/etc/vql/CONFIG.VQL"), "/etc/vql/CONFIG.VQL");
  testing::ScopedCurrentDir root("/");
  EXPECT_EQ(ConfigFilePath("CONFIG.VQL"), "/CONFIG.VQL");
}

}  // namespace
}  // namespace vql
