#include "portio/trace_port.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sim/sim_port.h"
#include "support/manual_clock.h"
#include "support/scripted_target.h"
#include "support/trace_decoder.h"

namespace vql {
namespace {

using testing::ScriptedTarget;

// A back end that answers fixed values and remembers what it was asked to do.
class FakePort final : public PortIo {
 public:
  void AttachPort(std::string_view name, std::uint16_t base) override {
    attached.push_back(std::string(name) + "@" + std::to_string(base));
  }
  std::uint16_t Inport(std::uint16_t address) override { return answers[address]; }
  void Outport(std::uint16_t address, std::uint16_t value) override {
    writes.emplace_back(address, value);
  }
  std::string Description() const override { return "fake port"; }

  std::map<std::uint16_t, std::uint16_t> answers;
  std::vector<std::string> attached;
  std::vector<std::pair<std::uint16_t, std::uint16_t>> writes;
};

struct Traced {
  explicit Traced(std::string displayName = "") {
    auto fake = std::make_unique<FakePort>();
    inner = fake.get();
    auto sink = std::make_unique<std::ostringstream>();
    text = sink.get();
    port = std::make_unique<TracingPort>(std::move(fake), std::move(sink), clock,
                                         std::move(displayName));
  }
  testing::ManualClock clock;
  FakePort* inner = nullptr;
  std::ostringstream* text = nullptr;
  std::unique_ptr<TracingPort> port;
};

TEST(TracingPort, WritesOneLinePerAccessInTheFixedFormat) {
  struct Case {
    std::uint64_t us;
    bool write;
    std::uint16_t address;
    std::uint16_t value;
    std::string line;
  };
  const Case cases[] = {
      {1532, true, 0x0378, 0x70, "1532 W 0378 70\n"},
      {0, false, 0x0379, 0x05, "0 R 0379 05\n"},
      {7, true, 0xD010, 0xAB, "7 W D010 AB\n"},
      {10, true, 0x0001, 0x1FE, "10 W 0001 FE\n"},  // only the low byte reaches the port
      {12, false, 0x027A, 0xC3FF, "12 R 027A FF\n"},
      {18446744073709551615u, false, 0xFFFF, 0x00, "18446744073709551615 R FFFF 00\n"},
  };
  for (const auto& c : cases) {
    Traced t;
    t.clock.Set(c.us);
    if (c.write) {
      t.port->Outport(c.address, c.value);
    } else {
      t.inner->answers[c.address] = c.value;
      EXPECT_EQ(t.port->Inport(c.address), c.value) << "the caller gets what the port gave";
    }
    EXPECT_EQ(t.text->str(), c.line);
  }
}

TEST(TracingPort, PassesEverythingThroughAndTracesOnlyRegisterAccesses) {
  Traced t("/tmp/port.trace");
  t.clock.SetStep(3);
  t.port->AttachPort("LPT1", 0x378);
  t.port->Outport(0x378, 0x188);
  t.inner->answers[0x379] = 0x7F;
  t.port->Inport(0x379);
  EXPECT_EQ(t.inner->attached, std::vector<std::string>{"LPT1@888"});
  EXPECT_EQ(t.inner->writes,
            (std::vector<std::pair<std::uint16_t, std::uint16_t>>{{0x378, 0x188}}));
  EXPECT_EQ(t.text->str(), "0 W 0378 88\n3 R 0379 7F\n");
  EXPECT_EQ(&t.port->Inner(), t.inner);
  EXPECT_EQ(t.port->Description(), "fake port, traced to /tmp/port.trace");
  EXPECT_EQ(Traced().port->Description(), "fake port");
}

TEST(TracingPort, TraceOfTheSimulatorDecodesToTheBytesExchanged) {
  testing::ManualClock clock(100, 1);
  auto sim = std::make_unique<SimulatedPort>(clock, SimOptions{});
  auto& target =
      sim->PlugTarget(std::make_unique<ScriptedTarget>(std::vector<std::uint8_t>{0x69, 0x3C}));
  auto sink = std::make_unique<std::ostringstream>();
  const auto* text = sink.get();
  TracingPort port(std::move(sim), std::move(sink), clock);
  port.AttachPort("LPT1", 0x378);

  auto setLine = [&](std::uint8_t mask, bool level) {
    const auto data = port.Inport(0x378);
    port.Outport(0x378, static_cast<std::uint16_t>(level ? (data | mask) : (data & ~mask)));
  };
  port.Outport(0x378, cable::kMode7 | cable::kMode3);
  setLine(cable::kRst, true);
  setLine(cable::kMode7, false);
  setLine(cable::kMode3, false);
  for (std::uint8_t out : {0xAC, 0x53}) {
    for (int bit = 7; bit >= 0; --bit) {
      setLine(cable::kMosi, ((out >> bit) & 1) != 0);
      setLine(cable::kSck, true);
      port.Inport(0x379);
      setLine(cable::kSck, false);
    }
  }

  const auto decoded = testing::DecodeTrace(testing::ParseTrace(text->str()), 0x378);
  EXPECT_EQ(decoded.MosiBytes(), (std::vector<std::uint8_t>{0xAC, 0x53}));
  EXPECT_EQ(decoded.MisoBytes(), (std::vector<std::uint8_t>{0x69, 0x3C}));
  EXPECT_EQ(target.Received(), decoded.MosiBytes());
  for (const auto& byte : decoded.bytes) {
    EXPECT_TRUE(byte.mosiStableWhileHigh);
    EXPECT_TRUE(byte.misoSampledEveryBit);
  }
  EXPECT_EQ(decoded.leftoverBits, 0);
  EXPECT_EQ(decoded.LevelsOf("RST"), "1");
  EXPECT_EQ(decoded.LevelsOf("MODE7"), "10");  // set by the first write, then released
  EXPECT_EQ(decoded.statusReads, 16);
}

}  // namespace
}  // namespace vql
