#include "services/hex_loading.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/image_text.h"
#include "support/virtual_window.h"
#include "support/temp_dir.h"

namespace vql {
namespace {

using testing::ImageText;
using testing::UsedAddresses;

class HexLoadingTest : public ::testing::Test {
 protected:
  std::unique_ptr<ImageState> state = std::make_unique<ImageState>();
  testing::VirtualWindow window;
  testing::TempDir dir;

  std::string CounterText() const {
    return {state->Counter.Digit1, state->Counter.Digit2, state->Counter.Digit3,
            state->Counter.Digit4};
  }
};

TEST_F(HexLoadingTest, LoadShowsTheFileAndRefreshesTheGridWithCounterAtZero) {
  const std::string path = dir.Write("a.hex", ":0400100012345678D8\r\n:00000001FF\r\n");
  state->Counter = {'1', '2', '3', '4'};
  window.nextChoice = path;

  EXPECT_EQ(LoadHexFromDialog(*state, window), 0x14);
  EXPECT_EQ(state->HexFilePath, path);
  EXPECT_EQ(window.fileName, path);
  ASSERT_EQ(window.gridRefreshes, 1);
  EXPECT_EQ(ImageText(*window.grid, 0x10, 4), "12345678");
  EXPECT_EQ(UsedAddresses(*window.grid), 4);
  EXPECT_EQ(CounterText(), "0000");
  EXPECT_GE(window.pumps, 1);
}

TEST_F(HexLoadingTest, CancelKeepsTheImageAndItsFile) {
  const std::string path = dir.Write("a.hex", ":0400100012345678D8\r\n");
  window.nextChoice = path;
  ASSERT_EQ(LoadHexFromDialog(*state, window), 0x14);

  window.nextChoice.reset();
  EXPECT_EQ(LoadHexFromDialog(*state, window), std::nullopt);
  EXPECT_EQ(UsedAddresses(state->Image), 4);
  EXPECT_EQ(UsedAddresses(*window.grid), 4);
  EXPECT_EQ(window.gridRefreshes, 1);
  EXPECT_EQ(state->HexFilePath, path);
  EXPECT_EQ(window.fileName, path);
}

TEST_F(HexLoadingTest, AFileThatCannotBeOpenedIsRememberedButLeavesTheGridAlone) {
  window.nextChoice = dir.Write("a.hex", ":0400100012345678D8\r\n");
  ASSERT_EQ(LoadHexFromDialog(*state, window), 0x14);

  const std::string missing = (dir.Path() / "gone.hex").string();
  window.nextChoice = missing;
  try {
    LoadHexFromDialog(*state, window);
    FAIL() << "no error for a missing file";
  } catch (const FileError& e) {
    // It names the file and the system's reason.
    const std::string what = e.what();
    EXPECT_NE(what.find("\"" + missing + "\""), std::string::npos) << what;
    EXPECT_NE(what.find("No such file or directory"), std::string::npos) << what;
  }
  EXPECT_EQ(state->HexFilePath, missing);  // chosen before it was opened
  EXPECT_EQ(window.gridRefreshes, 1);      // the grid still shows the earlier file
  EXPECT_EQ(ImageText(*window.grid, 0x10, 4), "12345678");
  EXPECT_EQ(UsedAddresses(state->Image), 0);  // the image itself was emptied
}

TEST_F(HexLoadingTest, ReloadReadsTheRememberedFileAgain) {
  const std::string path = dir.Write("a.hex", ":0400100012345678D8\r\n:02FFFE00ABCD00\r\n");
  window.nextChoice = path;
  const std::int32_t loaded = LoadHexFromDialog(*state, window).value_or(-1);
  const std::string before = ImageText(state->Image, 0, kImageSize);

  state->Image.HighDigits[5] = '0';  // a read of the chip, say, changed the image
  window.nextChoice = "/nowhere";    // a reload never asks
  EXPECT_EQ(ReloadHexFile(*state, window), loaded);
  EXPECT_EQ(ImageText(state->Image, 0, kImageSize), before);
  EXPECT_EQ(state->HexFilePath, path);
  EXPECT_EQ(window.gridRefreshes, 2);
  // The load showed what is wrong with the file, once; the reload finds nothing new.
  // It names the file, the line, its text and the checksum that the bytes need.
  ASSERT_EQ(window.messageBoxes.size(), 1u);
  std::string box = window.messageBoxes[0];
  const auto quoted = box.find("\"" + path + "\"");
  ASSERT_NE(quoted, std::string::npos) << box;
  box.erase(quoted, path.size() + 2);  // a temporary path may hold any digits
  for (const char* named : {"line 2", ":02FFFE00ABCD00", "89"}) {
    EXPECT_NE(box.find(named), std::string::npos) << named << ": " << box;
  }
}

TEST_F(HexLoadingTest, ReloadWithoutAFileSaysSoAndEmptiesTheImage) {
  state->Image.LowDigits[7] = '0';
  EXPECT_EQ(ReloadHexFile(*state, window), 0);
  EXPECT_EQ(window.messageBoxes, std::vector<std::string>{"The file name does not indentify!!"});
  EXPECT_EQ(UsedAddresses(state->Image), 0);
  EXPECT_EQ(window.gridRefreshes, 1);
}

TEST_F(HexLoadingTest, ReloadOfARemovedFileFailsWithItsPath) {
  const std::string path = dir.Write("a.hex", ":0100000011EE\r\n");
  window.nextChoice = path;
  LoadHexFromDialog(*state, window);
  std::filesystem::remove(path);
  EXPECT_THROW(ReloadHexFile(*state, window), FileError);
  EXPECT_EQ(window.gridRefreshes, 1);
}

// After a read of the chip, say, has changed the image: the grid shows it as it is
// now, and the address counter starts again at 0000.
TEST_F(HexLoadingTest, RefreshShowsTheImageAsItIsNowWithTheCounterAtZero) {
  window.nextChoice = dir.Write("a.hex", ":0400100012345678D8\r\n");
  ASSERT_EQ(LoadHexFromDialog(*state, window), 0x14);
  state->Image.HighDigits[0x11] = 'A';
  state->Image.LowDigits[0x11] = 'B';
  state->Image.HighDigits[0x2000] = '0';
  state->Image.LowDigits[0x2000] = '7';
  state->Counter = {'2', '0', '0', '1'};

  RefreshGrid(*state, window);
  EXPECT_EQ(window.gridRefreshes, 2);
  EXPECT_EQ(ImageText(*window.grid, 0x10, 4), "12AB5678");
  EXPECT_EQ(ImageText(*window.grid, 0x2000, 1), "07");
  EXPECT_EQ(UsedAddresses(*window.grid), 5);
  EXPECT_EQ(CounterText(), "0000");
}

}  // namespace
}  // namespace vql
