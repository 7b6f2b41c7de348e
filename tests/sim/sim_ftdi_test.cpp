// The simulated USB adapter: what the target behind it sees, and when, for the bytes
// an engine writes, and what the engine reads back.
#include "sim/sim_ftdi.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/sim_chip.h"
#include "sim/sim_chip_serial.h"
#include "support/manual_clock.h"

namespace vql {
namespace {

using Bytes = std::vector<std::uint8_t>;

// ADBUS with the buffer enabled and RST high, SCK and MOSI low, and the directions.
constexpr std::uint8_t kReset = PinMask(kMpssePins.rst) | PinMask(3);
constexpr std::uint8_t kDirections = kMpssePins.outputs;
// 8A 86 EF 00: 60 MHz / (1 + 239), a half period of 4 us.
const Bytes kFourMicroseconds{0x8A, 0x86, 0xEF, 0x00};

// Shifts like a chip in the given SPI mode, answers one byte over and over, and
// records every change of its lines as "us RST SCK MOSI", e.g. "2004 110".
class RecordingTarget final : public SimTarget {
 public:
  RecordingTarget(SimSpiMode mode, std::uint8_t answer) : shifter_(mode), answer_(answer) {}

  void LinesChanged(const TargetLines& lines, std::uint64_t us) override {
    seen.push_back(std::to_string(us) + " " + (lines.rst ? "1" : "0") + (lines.sck ? "1" : "0") +
                   (lines.mosi ? "1" : "0"));
    const auto event = shifter_.LinesChanged(lines);
    if (event == SimSerialShifter::Event::kByteReceived) received.push_back(shifter_.Received());
    if (event != SimSerialShifter::Event::kNone) shifter_.SetNextAnswer(answer_);
  }
  bool Miso(std::uint64_t) override { return shifter_.Miso(); }

  std::vector<std::string> seen;
  Bytes received;

 private:
  SimSerialShifter shifter_;
  std::uint8_t answer_;
};

struct Adapter {
  explicit Adapter(std::string_view options = "") : ftdi(clock, ParseSimOptions(options)) {}

  // The target's record starts after what it is told as it is plugged in.
  RecordingTarget& Plug(SimSpiMode mode, std::uint8_t answer = 0xA5) {
    RecordingTarget& target = ftdi.PlugTarget(std::make_unique<RecordingTarget>(mode, answer));
    target.seen.clear();
    return target;
  }
  bool Write(Bytes bytes, Bytes more = {}) {
    bytes.insert(bytes.end(), more.begin(), more.end());
    return ftdi.Write(bytes);
  }
  Bytes Read(std::size_t count) {
    Bytes bytes(count);
    EXPECT_TRUE(ftdi.Read(bytes)) << ftdi.Error();
    return bytes;
  }

  testing::ManualClock clock;
  SimulatedFtdi ftdi;
};

TEST(SimFtdi, MpsseClocksAByteOnTheEdgesItsCommandNames) {
  Adapter adapter;
  RecordingTarget& target = adapter.Plug(SimSpiMode::kMode0);
  ASSERT_TRUE(adapter.ftdi.SetBitmode(0, ftdi_mode::kMpsse));  // the clock at 1000 us
  ASSERT_TRUE(adapter.Write(kFourMicroseconds, {0x80, kReset, kDirections, 0x31, 0, 0, 0x53}));
  EXPECT_EQ(adapter.Read(1), Bytes{0xA5});
  // 53 MSB first: its first bit (0) is on MOSI before SCK first rises; each later bit
  // follows a fall at the same microsecond. The write's transfer ended at 2000 us.
  EXPECT_EQ(target.seen, (std::vector<std::string>{
                             "2000 100", "2004 110", "2008 100", "2008 101", "2012 111", "2016 101",
                             "2016 100", "2020 110", "2024 100", "2024 101", "2028 111", "2032 101",
                             "2032 100", "2036 110", "2040 100", "2044 110", "2048 100", "2048 101",
                             "2052 111", "2056 101", "2060 111", "2064 101"}));
  EXPECT_EQ(target.received, Bytes{0x53});
  // The read waited for the last fall, then took its own transfer.
  EXPECT_EQ(adapter.clock.NowMicroseconds(), 3064u);
  EXPECT_EQ(adapter.ftdi.Transfers(), 3u);
}

TEST(SimFtdi, EachSpiModeNeedsItsOwnShiftCommand) {
  struct Case {
    SimSpiMode mode;
    std::uint8_t op;
    std::uint8_t received;  // of 53 sent
    std::uint8_t read;      // of A5 answered
  };
  const Case cases[] = {
      {SimSpiMode::kMode0, 0x31, 0x53, 0xA5},
      {SimSpiMode::kMode1, 0x34, 0x53, 0xA5},
      // The mode 1 chip moves MISO just after the rise that 31 reads on: one bit late.
      {SimSpiMode::kMode1, 0x31, 0x53, 0xD2},
      // The mode 0 chip samples MOSI at the rise where 34 moves it: one bit late.
      {SimSpiMode::kMode0, 0x34, 0x29, 0xA5},
  };
  for (const Case& c : cases) {
    Adapter adapter;
    RecordingTarget& target = adapter.Plug(c.mode);
    ASSERT_TRUE(adapter.ftdi.SetBitmode(0, ftdi_mode::kMpsse));
    ASSERT_TRUE(adapter.Write(kFourMicroseconds, {0x80, kReset, kDirections, c.op, 0, 0, 0x53}));
    EXPECT_EQ(adapter.Read(1), Bytes{c.read}) << int{c.op};
    EXPECT_EQ(target.received, Bytes{c.received}) << int{c.op};
  }
}

TEST(SimFtdi, SimulatedChipsTakeTheProgrammingEnableInTheirMode) {
  for (const auto& [chip, op] : {std::pair{"AT89S52", 0x31}, std::pair{"AT89S8253", 0x34}}) {
    Adapter adapter(std::string("target=") + chip);
    ASSERT_TRUE(adapter.ftdi.SetBitmode(0, ftdi_mode::kMpsse));
    const auto o = static_cast<std::uint8_t>(op);
    ASSERT_TRUE(adapter.Write(kFourMicroseconds,
                              {0x80, kReset, kDirections, o, 3, 0, 0xAC, 0x53, 0x55, 0x00}));
    // Byte 3 carries the echo of byte 2.
    EXPECT_EQ(adapter.Read(4)[2], 0x53) << chip;
    EXPECT_TRUE(adapter.ftdi.TargetAs<SimChip>()->ProgrammingEnabled()) << chip;
  }
}

TEST(SimFtdi, TheDivisorSetsTheEdgesAndEveryTransferCostsUsbMs) {
  struct Case {
    Bytes clock;
    std::uint64_t halfUs;
  };
  const Case cases[] = {
      {kFourMicroseconds, 4},
      {{0x8B, 0x86, 0x0B, 0x00}, 1},  // 12 MHz / 12
      {{0x86, 0x17, 0x00}, 2},        // divide-by-5 on from the start: 12 MHz / 24
  };
  for (const Case& c : cases) {
    Adapter adapter("usb-ms=0.125");
    RecordingTarget& target = adapter.Plug(SimSpiMode::kMode0);
    ASSERT_TRUE(adapter.ftdi.SetBitmode(0, ftdi_mode::kMpsse));
    EXPECT_EQ(adapter.clock.NowMicroseconds(), 125u);
    // Four pulses without data, then the pins read back.
    ASSERT_TRUE(adapter.Write(c.clock, {0x80, kReset, kDirections, 0x8E, 0x03, 0x81}));
    EXPECT_EQ(adapter.clock.NowMicroseconds(), 250u);
    adapter.Read(1);
    EXPECT_EQ(adapter.clock.NowMicroseconds(), 250 + 8 * c.halfUs + 125);
    ASSERT_EQ(target.seen.size(), 9u);
    for (std::size_t edge = 1; edge < target.seen.size(); ++edge) {
      EXPECT_EQ(std::stoull(target.seen[edge]), 250 + edge * c.halfUs) << target.seen[edge];
    }
    EXPECT_EQ(adapter.ftdi.Transfers(), 3u);
  }
  // A write goes in transfers of up to 4096 bytes.
  Adapter adapter;
  ASSERT_TRUE(adapter.ftdi.SetBitmode(0, ftdi_mode::kMpsse));
  ASSERT_TRUE(adapter.ftdi.Write(Bytes(5000, 0x87)));
  EXPECT_EQ(adapter.ftdi.Transfers(), 3u);
  EXPECT_EQ(adapter.ftdi.BytesWritten(), 5000u);
  EXPECT_EQ(adapter.clock.NowMicroseconds(), 3000u);
}

TEST(SimFtdi, AnUnknownCommandIsAnsweredAndEndsTheWrite) {
  // TMS shifts, three-phase clocking and waits on I/O are not simulated.
  for (const std::uint8_t op : Bytes{0xAB, 0x4B, 0x8C, 0x88, 0x00}) {
    Adapter adapter;
    RecordingTarget& target = adapter.Plug(SimSpiMode::kMode0);
    ASSERT_TRUE(adapter.ftdi.SetBitmode(0, ftdi_mode::kMpsse));
    ASSERT_TRUE(adapter.Write({op, 0x80, kReset, kDirections}));
    EXPECT_EQ(adapter.Read(2), (Bytes{0xFA, op}));
    EXPECT_TRUE(target.seen.empty()) << int{op};
  }
}

TEST(SimFtdi, AShortReadAndAnUnpluggedAdapterFailSayingWhy) {
  Adapter adapter("usb-unplug=4");
  RecordingTarget& target = adapter.Plug(SimSpiMode::kMode0);
  ASSERT_TRUE(adapter.ftdi.SetBitmode(0, ftdi_mode::kMpsse));
  ASSERT_TRUE(adapter.Write({0x80, kReset, kDirections, 0x81, 0x83}));
  Bytes three(3);
  EXPECT_FALSE(adapter.ftdi.Read(three));
  EXPECT_EQ(adapter.ftdi.Error(), "the USB adapter FT232H (simulated) delivered only 2 of 3 bytes");
  EXPECT_EQ(three[1], 0xFF);

  EXPECT_TRUE(adapter.ftdi.Purge());  // the fourth transfer
  EXPECT_FALSE(adapter.Write({0x87}));
  EXPECT_EQ(adapter.ftdi.Error(), "the USB adapter FT232H (simulated) was unplugged");
  EXPECT_FALSE(adapter.ftdi.SetLatencyTimer(2));
  EXPECT_EQ(adapter.ftdi.Transfers(), 4u);
  EXPECT_EQ(target.seen, (std::vector<std::string>{"2000 100", "4000 000"}));
}

TEST(SimFtdi, Ft232rSamplesThePinsBeforeEachByteApplies) {
  Adapter adapter("adapter=FT232R");
  ASSERT_EQ(adapter.ftdi.Chip(), FtdiChip::FT232R);
  RecordingTarget& target = adapter.Plug(SimSpiMode::kMode0);
  ASSERT_TRUE(adapter.ftdi.SetBitmode(kFt232rPins.outputs, ftdi_mode::kSyncBitBang));
  ASSERT_TRUE(adapter.ftdi.SetBaudRate(3125));  // 200000 bytes a second: 5 us each
  // RST high with the buffer on, then 53 bit by bit: MOSI with SCK low, then SCK up.
  const auto rst = PinMask(kFt232rPins.rst);
  Bytes bytes{rst};
  for (int bit = 7; bit >= 0; --bit) {
    const auto low = static_cast<std::uint8_t>(rst | ((0x53 >> bit) & 1) << kFt232rPins.mosi);
    bytes.insert(bytes.end(), {low, static_cast<std::uint8_t>(low | PinMask(kFt232rPins.sck))});
  }
  ASSERT_TRUE(adapter.ftdi.Write(bytes));
  const Bytes samples = adapter.Read(bytes.size());
  const auto pin = [&samples](std::size_t at, std::int32_t bit) {
    return (samples[at] >> bit) & 1;
  };
  // Before the first byte the buffer is off: SENSE 0 and MISO's pull-up.
  EXPECT_EQ(pin(0, kFt232rPins.sense), 0);
  EXPECT_EQ(pin(0, kFt232rPins.miso), 1);
  EXPECT_EQ(pin(1, kFt232rPins.sense), 1);
  // Each rise's sample shows MISO as the byte before it left it.
  int answer = 0;
  for (std::size_t rise = 2; rise < samples.size(); rise += 2) {
    answer = answer << 1 | pin(rise, kFt232rPins.miso);
  }
  EXPECT_EQ(answer, 0xA5);
  EXPECT_EQ(target.received, Bytes{0x53});
  // The write's transfer ended at 3000 us; then a byte every 5 us.
  EXPECT_EQ(std::vector(target.seen.begin(), target.seen.begin() + 3),
            (std::vector<std::string>{"3000 100", "3010 110", "3015 101"}));
}

}  // namespace
}  // namespace vql
