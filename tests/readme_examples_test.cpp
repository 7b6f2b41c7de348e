// The README's examples for the simulator, run as a reader runs them. Every ```sh
// block right after the line "<!-- example: runs on the simulator -->" runs in bash
// with set -e, in a fresh folder laid out as the top of the repository (examples/ and
// CONFIG.VQL), with this build's vql-isp-cli on the PATH and no VQLISP_ variable but
// those the block sets. A command that ends with a status other than 0 fails the
// block, and the failure names the block's line and the command.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "support/cli_process.h"
#include "support/temp_dir.h"

namespace vql {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kMarker = "<!-- example: runs on the simulator -->";

struct ExampleBlock {
  int line = 0;         // the marker's line in README.md; 0: no marker found at all
  std::string heading;  // the section the block stands in
  std::string script;   // empty when no ```sh block follows the marker
};

std::vector<ExampleBlock> MarkedBlocks() {
  std::ifstream in(VQLISP_SOURCE_DIR "/README.md");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);

  std::vector<ExampleBlock> blocks;
  std::string heading;
  bool inCode = false;  // a '#' in a code block is a shell comment, not a heading
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.starts_with("```")) inCode = !inCode;
    if (inCode) continue;
    if (line.starts_with("#")) heading = line;
    if (line != kMarker) continue;
    ExampleBlock block{static_cast<int>(i + 1), heading, ""};
    if (i + 1 < lines.size() && lines[i + 1] == "```sh") {
      for (std::size_t j = i + 2; j < lines.size() && lines[j] != "```"; ++j) {
        block.script += lines[j] + "\n";
      }
    }
    blocks.push_back(block);
  }
  // No marked block, or no README: one empty row, which fails the test.
  if (blocks.empty()) blocks.push_back({});
  return blocks;
}

// One test over every block, not one test per block: test names fixed at build time
// would fall out of step with a README edited after it, and a name that matches no
// test passes silently.
TEST(ReadmeExamples, RunOnTheSimulator) {
  ASSERT_TRUE(fs::exists(testing::CliExecutable())) << "build vql-isp-cli first";
  for (const ExampleBlock& block : MarkedBlocks()) {
    ASSERT_NE(block.line, 0) << "README.md has no block marked \"" << kMarker << "\"";
    EXPECT_FALSE(block.script.empty())
        << "README.md:" << block.line << ": no ```sh block follows the marker";
    if (block.script.empty()) continue;

    testing::TempDir dir;
    fs::copy(VQLISP_SOURCE_DIR "/examples", dir.Path() / "examples",
             fs::copy_options::recursive);
    fs::copy_file(VQLISP_SOURCE_DIR "/CONFIG.VQL", dir.Path() / "CONFIG.VQL");
    const std::string script =
        "set -eE -o pipefail\n"
        "trap 'echo \"exit status $? from: $BASH_COMMAND\" >&2' ERR\n"
        "exec </dev/null\n"
        "PATH=\"$(dirname \"$CLI\"):$PATH\"\n" +
        block.script;
    const std::string home = dir.Path().string();
    const testing::CliResult result = testing::RunCli(
        {"--shell", script}, {"HOME=" + home, "XDG_CONFIG_HOME=" + home + "/.config"},
        dir.Path());
    EXPECT_EQ(result.status, 0) << "README.md:" << block.line << ", under \""
                                << block.heading << "\":\n"
                                << block.script << "--- standard error:\n"
                                << result.err << "--- standard output:\n"
                                << result.out;
  }
}

}  // namespace
}  // namespace vql
