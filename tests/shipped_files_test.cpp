// The configuration file and example that ship with the program read as documented.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "services/hex_loading.h"
#include "link/config_file.h"
#include "support/image_text.h"
#include "support/virtual_window.h"

namespace vql {
namespace {

TEST(ShippedFiles, ConfigGivesTheStandardPortsAndSafeDelays) {
  std::int32_t delayScale = -1, bitDelay = -1, unused = -1, lpt1 = -1, lpt2 = -1;
  ReadConfigFile(delayScale, bitDelay, unused, lpt1, lpt2, VQLISP_SOURCE_DIR "/CONFIG.VQL");
  EXPECT_EQ(delayScale, 10000);
  EXPECT_EQ(bitDelay, 0);
  EXPECT_EQ(unused, 0);
  EXPECT_EQ(lpt1, 0x378);
  EXPECT_EQ(lpt2, 0x278);
}

TEST(ShippedFiles, BlinkExampleLoadsItsListing) {
  auto state = std::make_unique<ImageState>();
  testing::VirtualWindow window;
  window.nextChoice = VQLISP_SOURCE_DIR "/examples/blink.hex";
  EXPECT_EQ(LoadHexFromDialog(*state, window), 0x13);
  EXPECT_EQ(testing::ImageText(state->Image, 0, 0x13), "7590FFB2907D047EFA7FF9DFFEDEFADDF680F0");
  EXPECT_EQ(testing::UsedAddresses(state->Image), 0x13 - 1);  // the FF of MOV P1,#0FFH
}

}  // namespace
}  // namespace vql
