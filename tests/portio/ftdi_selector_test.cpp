#include "portio/ftdi_selector.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "portio/port_io.h"

namespace vql {
namespace {

TEST(FtdiSelector, ParsesWhatVqlispFtdiMayHold) {
  struct Case {
    const char* text;
    FtdiSelector expected;
  };
  const Case cases[] = {
      {"", {}},
      {" , ", {}},
      {"0403:6014", {FtdiUsbId{0x0403, 0x6014}, "", FtdiInterface::A}},
      {"0403:6010,serial=FT4ABC12,interface=B",
       {FtdiUsbId{0x0403, 0x6010}, "FT4ABC12", FtdiInterface::B}},
      {" interface = b , 0403:60aF ", {FtdiUsbId{0x0403, 0x60AF}, "", FtdiInterface::B}},
      {"serial=A1", {std::nullopt, "A1", FtdiInterface::A}},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseFtdiSelector(c.text), c.expected) << c.text;
}

TEST(FtdiSelector, RefusesABadItemByNameAndShowsTheForm) {
  struct Case {
    const char* text;
    const char* item;
  };
  const Case cases[] = {
      {"0403:601", "0403:601"},        // three digits
      {"0403:60140", "0403:60140"},    // five
      {"0403-6014", "0403-6014"},      // no colon
      {"0x03:6014", "0x03:6014"},      // no hex digit
      {"0000:6014", "0000:6014"},      // libftdi's "any vendor"
      {"0403:6014,0403:6010", "0403:6010"},
      {"serial=", "serial="},
      {"interface=E", "interface=E"},
      {"interface=AB", "interface=AB"},
      {"interface=A,interface=B", "interface=B"},
      {"port=A", "port=A"},
  };
  for (const auto& c : cases) {
    try {
      ParseFtdiSelector(c.text);
      ADD_FAILURE() << c.text << " was taken";
    } catch (const PortError& e) {
      const std::string said = e.what();
      EXPECT_NE(said.find("\"" + std::string(c.item) + "\""), std::string::npos) << said;
      EXPECT_NE(said.find("VID:PID"), std::string::npos) << said;
    }
  }
}

TEST(FtdiSelector, HelpNamesEveryKnownAdapterWithinTheManualsWidth) {
  const std::string help = FtdiEnvironmentHelp();
  EXPECT_TRUE(help.starts_with("  VQLISP_FTDI\n      ")) << help;
  EXPECT_TRUE(help.ends_with("\n"));
  std::istringstream lines(help);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
  for (const auto& known : kKnownFtdiAdapters) {
    EXPECT_NE(help.find(FtdiUsbIdText(known.id)), std::string::npos) << FtdiUsbIdText(known.id);
  }
}

// The package's udev rule must open every adapter the program looks for.
TEST(FtdiSelector, PackagedUdevRuleCoversEveryKnownAdapter) {
  std::ifstream in(VQLISP_SOURCE_DIR "/packaging/60-vql-isp-ftdi.rules");
  std::stringstream rules;
  rules << in.rdbuf();
  ASSERT_FALSE(rules.str().empty());
  for (const auto& known : kKnownFtdiAdapters) {
    const std::string id = FtdiUsbIdText(known.id);
    const std::string rule = "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"" + id.substr(0, 4) +
                             "\", ATTR{idProduct}==\"" + id.substr(5) +
                             "\", MODE=\"0660\", GROUP=\"plugdev\", TAG+=\"uaccess\"\n";
    EXPECT_NE(rules.str().find(rule), std::string::npos) << id;
  }
}

}  // namespace
}  // namespace vql
