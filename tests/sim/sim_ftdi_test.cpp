// The simulated USB adapter: what the target behind it sees, and when, for the bytes
// an engine writes, and what the engine reads back.
#include "sim/sim_ftdi.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "sim/sim_chip.h"
#include "sim/sim_chip_serial.h"
#include "support/manual_clock.h"

namespace vql {
namespace {

using Bytes = std::vector<std::uint8_t>;

// ADBUS with the buffer enabled and RST high, SCK and MOSI low, and the directions;
// the same with SCK resting high, as SPI mode 1 chips need it for 34.
constexpr std::uint8_t kReset = PinMask(kMpssePins.rst) | PinMask(3);
constexpr std::uint8_t kResetSckHigh = kReset | PinMask(kMpssePins.sck);
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
    std::uint8_t levels;    // what 80 leaves SCK at
    std::uint8_t received;  // of 53 sent
    std::uint8_t read;      // of A5 answered
  };
  const Case cases[] = {
      {SimSpiMode::kMode0, 0x31, kReset, 0x53, 0xA5},
      {SimSpiMode::kMode1, 0x34, kResetSckHigh, 0x53, 0xA5},
      // The mode 1 chip moves MISO just after the rise that 31 reads on: one bit late.
      {SimSpiMode::kMode1, 0x31, kReset, 0x53, 0xD2},
      // From low, 34 moves MOSI at the rise before the mode 1 chip samples at the fall:
      // every bit one early, and the last one twice.
      {SimSpiMode::kMode1, 0x34, kReset, 0xA7, 0xA5},
  };
  for (const Case& c : cases) {
    Adapter adapter;
    RecordingTarget& target = adapter.Plug(c.mode);
    ASSERT_TRUE(adapter.ftdi.SetBitmode(0, ftdi_mode::kMpsse));
    // RST rises with SCK low, as the chips start a session; then SCK rests where the
    // case says.
    ASSERT_TRUE(adapter.Write(kFourMicroseconds, {0x80, kReset, kDirections, 0x80, c.levels,
                                                  kDirections, c.op, 0, 0, 0x53}));
    EXPECT_EQ(adapter.Read(1), Bytes{c.read}) << int{c.op};
    EXPECT_EQ(target.received, Bytes{c.received}) << int{c.op};
  }
}

TEST(SimFtdi, SimulatedChipsTakeTheProgrammingEnableInTheirMode) {
  for (const auto& [chip, op, levels] :
       {std::tuple{"AT89S52", 0x31, kReset}, std::tuple{"AT89S8253", 0x34, kResetSckHigh}}) {
    Adapter adapter(std::string("target=") + chip);
    ASSERT_TRUE(adapter.ftdi.SetBitmode(0, ftdi_mode::kMpsse));
    const auto o = static_cast<std::uint8_t>(op);
    ASSERT_TRUE(adapter.Write(kFourMicroseconds, {0x80, kReset, kDirections, 0x80, levels,
                                                  kDirections, o, 3, 0, 0xAC, 0x53, 0x55, 0x00}));
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

TEST(SimFtdi, OnlyAnUnknownCommandWithBit7SetIsAnsweredFA) {
  // Bit 7 set and not in AN_108: FA and the command, the rest of the write dropped.
  for (const std::uint8_t op : Bytes{0xAB, 0xAA, 0x98, 0xFF}) {
    Adapter adapter;
    RecordingTarget& target = adapter.Plug(SimSpiMode::kMode0);
    ASSERT_TRUE(adapter.ftdi.SetBitmode(0, ftdi_mode::kMpsse));
    ASSERT_TRUE(adapter.Write({op, 0x80, kReset, kDirections}));
    EXPECT_EQ(adapter.Read(2), (Bytes{0xFA, op}));
    EXPECT_TRUE(target.seen.empty()) << int{op};
  }
}

TEST(SimFtdi, ACommandWithoutAGivenAnswerEndsTheAdapter) {
  struct Case {
    std::uint8_t op;
    std::string_view why;
  };
  constexpr std::string_view kNoEffect = "whose effect FTDI's AN_108 does not give";
  constexpr std::string_view kNotModelled = "which the simulated adapter does not carry out";
  const Case cases[] = {
      {0x4B, kNoEffect},  // TMS shift
      {0x6B, kNoEffect},  // TMS shift with read
      {0x00, kNoEffect},
      {0x0F, kNoEffect},
      {0x30, kNoEffect},  // writes and reads on the same edge
      {0x35, kNoEffect},
      {0x14, kNoEffect},  // a write naming a read edge
      {0x21, kNoEffect},  // a read naming a write edge
      {0x88, kNotModelled},  // wait on I/O
      {0x8C, kNotModelled},  // three-phase clocking
      {0x9E, kNotModelled},  // drive-zero
  };
  for (const Case& c : cases) {
    Adapter adapter;
    RecordingTarget& target = adapter.Plug(SimSpiMode::kMode0);
    ASSERT_TRUE(adapter.ftdi.SetBitmode(0, ftdi_mode::kMpsse));
    EXPECT_FALSE(adapter.Write({c.op, 0x80, kReset, kDirections, 0x81})) << int{c.op};
    const std::string error = adapter.ftdi.Error();
    EXPECT_NE(error.find("the USB adapter FT232H (simulated) was sent MPSSE command " +
                         std::string(1, "0123456789ABCDEF"[c.op >> 4]) +
                         "0123456789ABCDEF"[c.op & 15]),
              std::string::npos)
        << error;
    EXPECT_NE(error.find(c.why), std::string::npos) << error;
    Bytes one(1);
    EXPECT_FALSE(adapter.ftdi.Read(one)) << int{c.op};
    EXPECT_TRUE(target.seen.empty()) << int{c.op};
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
  // Before the first byte the buffer is already on: the new outputs came up low, the
  // enable among them.
  EXPECT_EQ(pin(0, kFt232rPins.sense), 1);
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

// The sample of a probe byte written after the steps shows the pins as they left them.
TEST(SimFtdi, Ft232rOutputsComeUpLowUnlessALatchedByteSaysOtherwise) {
  constexpr std::uint8_t kAll = kFt232rPins.outputs;
  constexpr std::uint8_t kNoEnable = kAll & ~PinMask(kFt232rPins.enable);
  constexpr std::uint8_t kEnableHigh = PinMask(kFt232rPins.enable);
  struct Step {
    std::uint8_t mode;
    std::uint8_t mask;
    std::optional<std::uint8_t> byte;  // written after the mode is set
  };
  struct Case {
    std::string_view name;
    std::vector<Step> steps;
    int sense;  // 1 while the buffer is enabled
  };
  const Case cases[] = {
      {"fresh outputs drive low", {{ftdi_mode::kSyncBitBang, kAll, {}}}, 1},
      {"an input enable is pulled up", {{ftdi_mode::kSyncBitBang, kNoEnable, {}}}, 0},
      {"the latch outlives a new mask",
       {{ftdi_mode::kSyncBitBang, kAll, kEnableHigh}, {ftdi_mode::kSyncBitBang, kAll, {}}}, 0},
      {"reset mode forgets the latch",
       {{ftdi_mode::kSyncBitBang, kAll, kEnableHigh},
        {ftdi_mode::kReset, 0, {}},
        {ftdi_mode::kSyncBitBang, kAll, {}}},
       1},
      {"a byte sets an input's latch",
       {{ftdi_mode::kSyncBitBang, kNoEnable, kEnableHigh}, {ftdi_mode::kSyncBitBang, kAll, {}}},
       0},
      {"and its low level too",
       {{ftdi_mode::kSyncBitBang, kAll, kEnableHigh},
        {ftdi_mode::kSyncBitBang, kNoEnable, 0x00},
        {ftdi_mode::kSyncBitBang, kAll, {}}},
       1},
  };
  for (const Case& c : cases) {
    Adapter adapter("adapter=FT232R,target=AT89S51");
    for (const Step& step : c.steps) {
      ASSERT_TRUE(adapter.ftdi.SetBitmode(step.mask, step.mode)) << c.name;
      if (step.byte) {
        ASSERT_TRUE(adapter.Write({*step.byte}));
        adapter.Read(1);
      }
    }
    ASSERT_TRUE(adapter.Write({kEnableHigh}));
    EXPECT_EQ((adapter.Read(1)[0] >> kFt232rPins.sense) & 1, c.sense) << c.name;
  }
}

// 200 exchanges of one byte each at the slowest clock (87 ms a byte): 800 bytes.
Bytes SlowExchanges(std::uint8_t first) {
  Bytes bytes;
  for (int i = 0; i < 200; ++i) {
    bytes.insert(bytes.end(), {0x31, 0, 0, static_cast<std::uint8_t>(first + i)});
  }
  return bytes;
}
const Bytes kSlowestClock{0x8B, 0x86, 0xFF, 0xFF, 0x80, kReset, kDirections};

TEST(SimFtdi, AWriteThatFindsNoRoomWithinTheTimeoutFails) {
  Adapter adapter;
  ASSERT_TRUE(adapter.ftdi.SetBitmode(0, ftdi_mode::kMpsse));
  ASSERT_TRUE(adapter.Write(kSlowestClock, SlowExchanges(0)));  // ends at 2000 us
  // 796 bytes still wait in the 1 KiB buffer; 800 more need 143 exchanges to start.
  EXPECT_FALSE(adapter.Write(SlowExchanges(200)));
  EXPECT_EQ(adapter.clock.NowMicroseconds(), 2000u + 1'000'000u);
  const std::string error = adapter.ftdi.Error();
  EXPECT_NE(error.find("usb bulk write failed"), std::string::npos) << error;
  EXPECT_NE(error.find("FT232H (simulated)"), std::string::npos) << error;
  EXPECT_NE(error.find("1000 ms"), std::string::npos) << error;
}

TEST(SimFtdi, TheSameBytesInBatchesThatFitPass) {
  Adapter adapter;
  RecordingTarget& target = adapter.Plug(SimSpiMode::kMode0);
  ASSERT_TRUE(adapter.ftdi.SetBitmode(0, ftdi_mode::kMpsse));
  ASSERT_TRUE(adapter.Write(kSlowestClock, SlowExchanges(0)));
  EXPECT_EQ(adapter.Read(200), Bytes(200, 0xA5));
  ASSERT_TRUE(adapter.Write(SlowExchanges(200)));
  EXPECT_EQ(adapter.Read(200), Bytes(200, 0xA5));
  ASSERT_EQ(target.received.size(), 400u);
  for (std::size_t i = 0; i < 400; ++i) EXPECT_EQ(target.received[i], i % 256) << i;
}

TEST(SimFtdi, AnAdapterStoppedByAFullReadBufferRunsOnAfterARead) {
  // Through the MOSI-to-MISO plug every byte comes back as it went: 300 exchanges of
  // four bytes are 1200 answers for the FT232H's 1 KiB.
  Adapter adapter("target=loopback");
  ASSERT_TRUE(adapter.ftdi.SetBitmode(0, ftdi_mode::kMpsse));
  Bytes written{0x80, kReset, kDirections};
  Bytes sent;
  for (int i = 0; i < 300; ++i) {
    written.insert(written.end(), {0x31, 3, 0});
    for (int b = 0; b < 4; ++b) {
      sent.push_back(static_cast<std::uint8_t>(i * 7 + b * 61));
      written.push_back(sent.back());
    }
  }
  ASSERT_TRUE(adapter.ftdi.Write(written)) << adapter.ftdi.Error();
  // Asking for one more than will ever come still fails, after all 1200 came in order.
  Bytes read(1201);
  EXPECT_FALSE(adapter.ftdi.Read(read));
  EXPECT_EQ(adapter.ftdi.Error(),
            "the USB adapter FT232H (simulated) delivered only 1200 of 1201 bytes");
  read.pop_back();
  EXPECT_EQ(read, sent);
  // The write, the read of the first 1024, then of the rest, besides SetBitmode.
  EXPECT_EQ(adapter.ftdi.Transfers(), 4u);
}

TEST(SimFtdi, Ft232rStopsWhenItsSamplesFillTheBufferAndRunsOnAfterARead) {
  Adapter adapter("adapter=FT232R,target=loopback");
  ASSERT_TRUE(adapter.ftdi.SetBitmode(kFt232rPins.outputs, ftdi_mode::kSyncBitBang));
  Bytes bytes;
  for (int i = 0; i < 300; ++i) {
    const bool mosi = (i * 37 % 11) < 5;
    bytes.push_back(mosi ? PinMask(kFt232rPins.mosi) : 0);
  }
  ASSERT_TRUE(adapter.ftdi.Write(bytes)) << adapter.ftdi.Error();  // 256 in, 128 run
  const Bytes samples = adapter.Read(bytes.size());
  ASSERT_EQ(samples.size(), bytes.size());
  // Each sample shows on MISO the MOSI that the byte before it drove.
  for (std::size_t i = 1; i < samples.size(); ++i) {
    EXPECT_EQ((samples[i] >> kFt232rPins.miso) & 1, (bytes[i - 1] >> kFt232rPins.mosi) & 1) << i;
  }
}

TEST(SimFtdi, JitterLengthensBitBangPeriodsRepeatablyFromTheSeed) {
  const auto edges = [](std::string_view options) {
    Adapter adapter("adapter=FT232R," + std::string(options));
    RecordingTarget& target = adapter.Plug(SimSpiMode::kMode0);
    EXPECT_TRUE(adapter.ftdi.SetBitmode(kFt232rPins.outputs, ftdi_mode::kSyncBitBang));
    EXPECT_TRUE(adapter.ftdi.SetBaudRate(3125));  // 5 us a byte
    Bytes bytes;
    for (int i = 0; i < 100; ++i) {
      bytes.push_back(static_cast<std::uint8_t>(i % 2 == 0 ? PinMask(kFt232rPins.sck) : 0));
    }
    EXPECT_TRUE(adapter.ftdi.Write(bytes));
    std::vector<std::uint64_t> us;
    for (const std::string& seen : target.seen) us.push_back(std::stoull(seen));
    return us;
  };
  const auto steady = edges("");
  ASSERT_EQ(steady.size(), 100u);
  EXPECT_EQ(steady.back() - steady.front(), 99u * 5u);
  const auto jittered = edges("usb-jitter=2.5,seed=3");
  ASSERT_EQ(jittered.size(), 100u);
  const std::uint64_t span = jittered.back() - jittered.front();
  EXPECT_GT(span, 99u * 5u + 99u);  // about 1.25 us more a period on average
  EXPECT_LE(span, 99u * 7u + 99u / 2u + 1u);
  EXPECT_EQ(edges("usb-jitter=2.5,seed=3"), jittered);
  EXPECT_NE(edges("usb-jitter=2.5,seed=4"), jittered);
}

TEST(SimFtdi, TheLoopbackPlugOnAnAdapterWiresMosiToMisoAndMayLag) {
  struct Case {
    std::string_view options;
    std::string_view plug;
    std::uint8_t read;  // of 53 sent
  };
  const Case cases[] = {
      {"target=loopback", "loop-back plug (MOSI to MISO)", 0x53},
      // Each bit as MOSI was at the fall before: the first is the 0 it rested at.
      {"target=loopback,miso-lag=1", "loop-back plug (MOSI to MISO, one bit late)", 0x29},
  };
  for (const Case& c : cases) {
    Adapter adapter(c.options);
    EXPECT_EQ(adapter.ftdi.SimulatedTarget(), std::string(c.plug));
    ASSERT_TRUE(adapter.ftdi.SetBitmode(0, ftdi_mode::kMpsse));
    ASSERT_TRUE(adapter.Write(kFourMicroseconds, {0x80, kReset, kDirections, 0x31, 0, 0, 0x53}));
    EXPECT_EQ(adapter.Read(1), Bytes{c.read}) << c.options;
  }
}

}  // namespace
}  // namespace vql
