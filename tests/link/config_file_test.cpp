#include "link/config_file.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "support/temp_dir.h"

namespace vql {
namespace {

using Values = std::array<std::int32_t, 5>;  // DelayScale, BitDelay, unused, LPT1, LPT2

Values ReadText(std::string_view text, std::size_t chunk) {
  Values v{};
  MemoryCharStream in(text, chunk);
  ReadConfigValues(in, v[0], v[1], v[2], v[3], v[4]);
  return v;
}

TEST(ReadConfigValues, TakesFourCharactersAfterEachBracketWhateverTheyAre) {
  struct Case {
    std::string name;
    std::string text;
    Values values;
  };
  const Case cases[] = {
      {"empty", "", {0, 0, 0, 0, 0}},
      {"no bracket", "0064 0000 0000 0378 0278\n", {0, 0, 0, 0, 0}},
      {"five groups with comments",
       "VQL config\r\n[0064] scale\r\n[4E20] bit\r\n[0000]\r\n[0378] lpt1\r\n[0278] lpt2\r\n",
       {0x64, 0x4E20, 0, 0x378, 0x278}},
      {"four groups leave LPT2 at 0", "[0001][0002][0003][0378]", {1, 2, 3, 0x378, 0}},
      {"three digits take the bracket as the fourth", "[378]", {14207, 0, 0, 0, 0}},
      {"lower case weighs -1", "[03bc]", {751, 0, 0, 0, 0}},
      {"a bracket inside a group is one of its characters", "[00[0][0001]", {-16, 1, 0, 0, 0}},
      {"the file ends inside a group", "[03", {751, 0, 0, 0, 0}},
      {"line ends inside a group count as characters", "[03\r\n[0002]", {0 + 768 - 16 - 1, 2, 0, 0, 0}},
      {"sixth and seventh groups are ignored", "[0001][0002][0003][0004][0005][0006][0007]",
       {1, 2, 3, 4, 5}},
      {"ctrl-z ends the file", "[0001]\x1A[0002]", {1, 0, 0, 0, 0}},
      {"PCI card address", "[0000][0000][0000][D010][D018]", {0, 0, 0, 0xD010, 0xD018}},
  };
  for (const auto& c : cases) {
    for (std::size_t chunk : {1, 2, 3, 4, 5, 4096}) {
      EXPECT_EQ(ReadText(c.text, chunk), c.values) << c.name << ", chunk " << chunk;
    }
  }
}

TEST(ReadConfigFile, ReadsFromTheCurrentDirectoryAndZeroesWhatTheFileLacks) {
  testing::TempDir dir;
  dir.Write("CONFIG.VQL", "[0064][0000][0000][0378]\n");
  testing::ScopedCurrentDir cwd(dir.Path());
  Values v{9, 9, 9, 9, 9};
  ReadConfigFile(v[0], v[1], v[2], v[3], v[4], "CONFIG.VQL");
  EXPECT_EQ(v, (Values{0x64, 0, 0, 0x378, 0}));
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
