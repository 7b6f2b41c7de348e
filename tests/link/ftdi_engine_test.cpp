// The USB cables' engines against a recording adapter: the bytes they write, how
// they read the answers, and what they make of SENSE and of an adapter that fails.
#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "link/ft232r_engine.h"
#include "link/mpsse_engine.h"
#include "link/programmer_link.h"
#include "support/manual_clock.h"
#include "support/programmer_world.h"

namespace vql {
namespace {

// Records every write; reads hand out what the test queued, or fail.
class RecordingFtdi final : public FtdiIo {
 public:
  explicit RecordingFtdi(FtdiChip chip) : chip_(chip) {}
  FtdiChip Chip() const override { return chip_; }
  std::string Name() const override { return "FT232H (recording)"; }
  bool SetBitmode(std::uint8_t mask, std::uint8_t mode) override {
    return Control("bitmode " + std::to_string(mode) + " mask " + Hex(mask));
  }
  bool SetLatencyTimer(std::uint8_t ms) override { return Control("latency " + std::to_string(ms)); }
  bool SetBaudRate(int baud) override { return Control("baud " + std::to_string(baud)); }
  bool Purge() override { return Control("purge"); }
  bool Write(std::span<const std::uint8_t> bytes) override {
    if (failAfterWrites-- == 0) return false;
    written.insert(written.end(), bytes.begin(), bytes.end());
    std::string what = "write";
    for (const std::uint8_t byte : bytes) what += " " + Hex(byte);
    events.push_back(what);
    return true;
  }
  bool Read(std::span<std::uint8_t> bytes) override {
    for (std::uint8_t& byte : bytes) {
      if (answers.empty()) return false;
      byte = answers.front();
      answers.pop_front();
    }
    return true;
  }
  void Close() override { controls.push_back("close"); }
  std::string Error() const override { return "the USB adapter FT232H (recording) was unplugged"; }

  std::vector<std::uint8_t> written;
  std::deque<std::uint8_t> answers;
  std::vector<std::string> controls;
  std::vector<std::string> events;  // the controls and the writes, in order
  int failAfterWrites = -1;

 private:
  static std::string Hex(std::uint8_t byte) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", byte);
    return text;
  }
  bool Control(std::string what) {
    controls.push_back(what);
    events.push_back(std::move(what));
    return true;
  }
  FtdiChip chip_;
};

constexpr std::uint8_t kSenseOn = PinMask(kMpssePins.sense);

TEST(MpsseEngine, StartsInStepAndClocksEachByteAfterAReadOfThePins) {
  RecordingFtdi adapter(FtdiChip::FT232H);
  testing::ManualClock clock;
  MpsseEngine engine(adapter, clock);
  engine.SetSckHalfPeriodUs(4);
  adapter.answers = {0xFA, 0xAA};
  ASSERT_TRUE(engine.Start());
  EXPECT_EQ(adapter.controls,
            (std::vector<std::string>{"bitmode 0 mask 00", "bitmode 2 mask 00", "latency 1", "purge"}));
  // The bogus command, the set-up with the buffer off and RST low, and SCK at 4 us:
  // 60 MHz / 240.
  EXPECT_EQ(adapter.written, (std::vector<std::uint8_t>{0xAA, 0x87, 0x8D, 0x97, 0x85, 0x80, 0x28,
                                                        0x3B, 0x82, 0x00, 0x00, 0x8A, 0x86, 0xEF, 0x00}));
  adapter.written.clear();

  // The programming enable, mode 0: MOSI out on the falling edge, MISO in on the rising.
  const std::uint8_t enable[] = {0xAC, 0x53, 0x55, 0x55};
  std::uint8_t answer[4] = {};
  std::size_t clocked = 0;
  adapter.answers = {kSenseOn, 0xFF, kSenseOn, 0xFF, kSenseOn, 0xAC, kSenseOn, 0x69};
  EXPECT_EQ(engine.Exchange(enable, answer, clocked), Exchanged::Done);
  EXPECT_EQ(adapter.written,
            (std::vector<std::uint8_t>{0x81, 0x31, 0x00, 0x00, 0xAC, 0x81, 0x31, 0x00, 0x00, 0x53,
                                       0x81, 0x31, 0x00, 0x00, 0x55, 0x81, 0x31, 0x00, 0x00, 0x55,
                                       0x87}));
  EXPECT_EQ(clocked, 4u);
  EXPECT_EQ(answer[3], 0x69);

  // Mode 1 (the AT89S8253): SCK goes high once, then out on the rising edge and in on
  // the falling one from there (MPSSE's mode 2), and SCK stays high.
  adapter.written.clear();
  engine.SetSpiMode(SpiMode::Mode1);
  adapter.answers = {kSenseOn, 0x12, kSenseOn, 0x34};
  EXPECT_EQ(engine.Exchange(std::span(enable, 1), answer, clocked), Exchanged::Done);
  EXPECT_EQ(engine.Exchange(std::span(enable, 1), answer, clocked), Exchanged::Done);
  // (MOSI holds the last 1 of the enable.)
  EXPECT_EQ(adapter.written, (std::vector<std::uint8_t>{0x80, 0x2B, 0x3B, 0x81, 0x34, 0x00, 0x00, 0xAC,
                                                        0x87, 0x81, 0x34, 0x00, 0x00, 0xAC, 0x87}));
  // Before RST rises again, SCK comes down in a write of its own.
  adapter.written.clear();
  ASSERT_TRUE(engine.SetLine(Line::Rst, true));
  EXPECT_EQ(adapter.written, (std::vector<std::uint8_t>{0x80, 0x28, 0x3B, 0x80, 0x38, 0x3B}));
}

TEST(MpsseEngine, ARefusalInTheFirstChunkLeavesTheNextExchangeInStep) {
  // The second chunk was written behind the first before the refusal was seen: its
  // answers are drained, so that the next exchange reads its own.
  RecordingFtdi adapter(FtdiChip::FT232H);
  testing::ManualClock clock;
  MpsseEngine engine(adapter, clock);
  engine.SetSckHalfPeriodUs(4);
  const std::size_t perChunk = MpsseEngine::BytesPerChunk(FtdiChip::FT232H, 4);
  std::vector<std::uint8_t> out(perChunk + 3, 0x20);
  std::vector<std::uint8_t> in(out.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    adapter.answers.push_back(i == 2 ? 0x00 : kSenseOn);
    adapter.answers.push_back(static_cast<std::uint8_t>(i));
  }
  std::size_t clocked = 0;
  EXPECT_EQ(engine.Exchange(out, in, clocked), Exchanged::Refused);
  EXPECT_EQ(clocked, 2u);
  adapter.answers.insert(adapter.answers.end(), {kSenseOn, 0x5A});
  const std::uint8_t next[1] = {0x20};
  EXPECT_EQ(engine.Exchange(next, in, clocked), Exchanged::Done);
  EXPECT_EQ(in[0], 0x5A);
  EXPECT_TRUE(adapter.answers.empty());
}

TEST(MpsseEngine, ChunksFitTheBuffersAndClockWithinTheTimeoutAtEverySpeed) {
  // Two chunks are in the adapter at once; each clocks 16 half periods a byte.
  for (const FtdiChip chip : {FtdiChip::FT232H, FtdiChip::FT2232H}) {
    for (const std::int32_t halfUs : {1, 4, 350, ProgrammerLink::kMaxSckHalfPeriodUs}) {
      const std::size_t n = MpsseEngine::BytesPerChunk(chip, halfUs);
      EXPECT_GE(n, 1u);
      EXPECT_LE(2 * (5 * n + 8), BuffersOf(chip).fromHost) << halfUs;
      EXPECT_LE(2 * 2 * n, BuffersOf(chip).toHost) << halfUs;
      EXPECT_LE(n * 16 * static_cast<std::size_t>(halfUs), std::size_t{kFtdiUsbTimeoutMs} * 1000 / 2) << halfUs;
    }
  }
}

TEST(MpsseEngine, ARefusedByteOrAFailedAdapterEndsTheExchangeThere) {
  RecordingFtdi adapter(FtdiChip::FT2232H);
  testing::ManualClock clock;
  MpsseEngine engine(adapter, clock);
  const std::uint8_t out[3] = {0x20, 0x00, 0x00};
  std::uint8_t in[3] = {};
  std::size_t clocked = 9;
  adapter.answers = {kSenseOn, 0x11, 0x00, 0x22, kSenseOn, 0x33};  // SENSE 0 before byte 2
  EXPECT_EQ(engine.Exchange(out, in, clocked), Exchanged::Refused);
  EXPECT_EQ(clocked, 1u);
  EXPECT_EQ(in[0], 0x11);
  EXPECT_EQ(engine.Failure(), "");

  adapter.failAfterWrites = 0;
  EXPECT_EQ(engine.Exchange(out, in, clocked), Exchanged::Failed);
  EXPECT_EQ(engine.Failure(), "the USB adapter FT232H (recording) was unplugged");
  EXPECT_FALSE(engine.SetLine(Line::Rst, true));  // and nothing more is written
}

TEST(MpsseEngine, TheDivisorGivesAtLeastTheHalfPeriod) {
  struct Case {
    std::int32_t halfUs;
    bool slowBase;
    std::uint16_t divisor;
  };
  for (const Case& c : {Case{1, false, 59}, Case{4, false, 239}, Case{1092, false, 65519},
                        Case{1093, true, 13115}, Case{10000, true, 65535}}) {
    const auto clock = MpsseEngine::ClockFor(c.halfUs);
    EXPECT_EQ(clock.slowBase, c.slowBase) << c.halfUs;
    EXPECT_EQ(clock.divisor, c.divisor) << c.halfUs;
  }
}

TEST(Ft232rEngine, HoldsMosiThroughBothEdgesAndSamplesLateInTheHighPhase) {
  RecordingFtdi adapter(FtdiChip::FT232R);
  testing::ManualClock clock;
  Ft232rEngine engine(adapter, clock);
  engine.SetSckHalfPeriodUs(4);
  adapter.answers.assign(2, 0);  // the samples of the idle bytes that Start writes
  ASSERT_TRUE(engine.Start());
  // The enable (D4) becomes an output only once the idle byte (the enable high, RST
  // low) has gone out behind the switched-off buffer. 2 us a tick: two ticks a half
  // period.
  EXPECT_EQ(adapter.events,
            (std::vector<std::string>{"bitmode 0 mask 00", "bitmode 4 mask 0B", "latency 1", "purge",
                                      "baud 7812", "write 10", "bitmode 4 mask 1B", "write 10"}));
  adapter.written.clear();
  const std::uint8_t out[1] = {0xA5};
  std::uint8_t in[1] = {};
  std::size_t clocked = 0;
  // The samples: SENSE on throughout, MISO high as each high phase of the bits of 3C
  // ends (the sample that comes back with the tick after it).
  adapter.answers.assign(33, PinMask(kFt232rPins.sense));
  for (std::size_t bit = 0; bit < 8; ++bit) {
    if (((0x3Cu >> (7 - bit)) & 1u) != 0) adapter.answers[4 * bit + 4] |= PinMask(kFt232rPins.miso);
  }
  EXPECT_EQ(engine.Exchange(out, in, clocked), Exchanged::Done);
  ASSERT_EQ(adapter.written.size(), 33u);
  const auto sck = [&](std::size_t i) { return (adapter.written[i] & PinMask(kFt232rPins.sck)) != 0; };
  const auto mosi = [&](std::size_t i) { return (adapter.written[i] & PinMask(kFt232rPins.mosi)) != 0; };
  for (std::size_t bit = 0; bit < 8; ++bit) {
    const std::size_t low = 4 * bit;
    const bool want = ((0xA5u >> (7 - bit)) & 1u) != 0;
    EXPECT_FALSE(sck(low));
    EXPECT_FALSE(sck(low + 1));
    EXPECT_TRUE(sck(low + 2));
    EXPECT_TRUE(sck(low + 3));
    // MOSI is set a tick after SCK falls and held until the next fall has passed.
    EXPECT_EQ(mosi(low + 1), want);
    EXPECT_EQ(mosi(low + 2), want);
    EXPECT_EQ(mosi(low + 3), want);
    if (bit < 7) {
      EXPECT_EQ(mosi(low + 4), want);
    }
  }
  EXPECT_FALSE(sck(32));
  EXPECT_EQ(in[0], 0x3C);
}

// The USB cable's loop-back self-test, with MOSI jumpered to MISO: over each adapter,
// in each SPI mode, a good jumper passes and one whose MISO comes back a bit late,
// or nothing in the socket, or a buffer without power, is named.
TEST(UsbLoopTest, ClocksAPatternThroughTheJumperAndNamesWhatCameBackWrong) {
  struct Case {
    const char* sim;
    bool passes;
    const char* says;
  };
  const Case cases[] = {
      {"target=loopback", true, ""},
      {"target=loopback,miso-lag=1", false,
       "Error test loop: MISO lags MOSI by one bit: the adapter's clock edges do not match the "
       "device's SPI mode. Sent FF, read 7F."},
      {"target=none", false, "Error test loop: MISO stays at 1 whatever MOSI does"},
      {"target=loopback,sense=0", false, "Error test loop: SENSE reads 0 with the buffer enabled"},
  };
  for (const char* adapter : {"ft232h", "ft2232h", "ft232r"}) {
    for (const char* device : {"AT89S52", "AT89S8253"}) {
      for (const Case& c : cases) {
        const std::string sim = std::string(c.sim) + ",adapter=" + adapter;
        SCOPED_TRACE(sim + " " + device);
        testing::ProgrammerWorld world(device, sim);
        EXPECT_EQ(world.app->Cmd.TestIo().outcome, c.passes ? Outcome::Done : Outcome::LoopTestFailed);
        if (c.passes) {
          EXPECT_EQ(world.window.messageBoxes, std::vector<std::string>{"Ok..."});
          continue;
        }
        ASSERT_EQ(world.window.messageBoxes.size(), 1u);
        EXPECT_TRUE(world.window.messageBoxes[0].starts_with(c.says)) << world.window.messageBoxes[0];
        const std::string mode = std::string(", SPI mode ") + (device == std::string("AT89S8253") ? "1" : "0");
        EXPECT_NE(world.window.messageBoxes[0].find(mode), std::string::npos) << world.window.messageBoxes[0];
      }
    }
  }
}

}  // namespace
}  // namespace vql
