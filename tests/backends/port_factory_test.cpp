#include "backends/port_factory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "portio/trace_port.h"
#include "sim/sim_chip_table.h"
#include "sim/sim_options.h"
#include "sim/sim_port.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace vql {
namespace {

constexpr std::string_view kSimNotice =
    "No parallel port found: using the simulated programmer. Set VQLISP_PORT=ppdev or "
    "VQLISP_PORT=direct for a real cable.";

// An environment and a /proc, /sys, /dev tree of the test's making.
struct World {
  GetEnv Env() const {
    return [this](const char* name) -> const char* {
      const auto found = env.find(name);
      return found == env.end() ? nullptr : found->second.c_str();
    };
  }
  PortSelection Open() { return OpenPortIo(Env(), clock, root.Path().string()); }
  // The kernel knows parport0 at 0378.
  void AddKernelParport() {
    const auto dir = root.Path() / "proc/sys/dev/parport/parport0";
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "base-addr") << "888\t1912\n";
  }
  std::string ErrorOf() {
    try {
      Open();
    } catch (const PortError& e) {
      return e.what();
    }
    return "(no error)";
  }

  std::map<std::string, std::string> env;
  testing::ManualClock clock;
  testing::TempDir root;
};

TEST(OpenPortIo, WithoutAParallelPortFallsBackToTheSimulatorAndSaysSo) {
  World world;
  const auto selection = world.Open();
  EXPECT_NE(dynamic_cast<SimulatedPort*>(selection.port.get()), nullptr);
  EXPECT_EQ(selection.notice, kSimNotice);
}

TEST(OpenPortIo, AKernelParallelPortIsNeverServedByTheSimulator) {
  World world;
  world.AddKernelParport();
  const auto selection = world.Open();
  ASSERT_NE(selection.port, nullptr);
  EXPECT_EQ(dynamic_cast<SimulatedPort*>(selection.port.get()), nullptr);
  EXPECT_NE(selection.notice.find("ppdev"), std::string::npos) << selection.notice;
}

TEST(OpenPortIo, TakesTheBackEndAskedForWithoutANotice) {
  struct Case {
    std::string port;
    bool simulated;
  };
  for (const auto& c : {Case{"sim", true}, Case{"ppdev", false}, Case{"direct", false}}) {
    World world;
    world.AddKernelParport();
    world.env["VQLISP_PORT"] = c.port;
    world.env["VQLISP_SIM"] = c.simulated ? "target=loopback" : "only the simulator reads this";
    const auto selection = world.Open();
    ASSERT_NE(selection.port, nullptr) << c.port;
    auto* sim = dynamic_cast<SimulatedPort*>(selection.port.get());
    EXPECT_EQ(sim != nullptr, c.simulated) << c.port;
    if (sim != nullptr) {
      EXPECT_NE(dynamic_cast<LoopbackTarget*>(&sim->Target()), nullptr);
    }
    EXPECT_EQ(selection.notice, "") << c.port;
  }
}

TEST(OpenPortIo, RejectsWhatItDoesNotKnowNamingIt) {
  struct Case {
    std::string port;
    std::string sim;
    std::vector<std::string> mentioned;
  };
  const Case cases[] = {
      {"lpt", "", {"VQLISP_PORT=lpt", "sim", "ppdev", "direct"}},
      {"SIM", "", {"VQLISP_PORT=SIM"}},
      // The simulator's own refusals (sim_chip_options_test.cpp) come through.
      {"sim", "cable=lpt3", {"cable=lpt3", "lpt1"}},
  };
  for (const auto& c : cases) {
    World world;
    world.env["VQLISP_PORT"] = c.port;
    if (!c.sim.empty()) world.env["VQLISP_SIM"] = c.sim;
    const std::string message = world.ErrorOf();
    for (const auto& word : c.mentioned) {
      EXPECT_NE(message.find(word), std::string::npos) << message;
    }
  }
}

TEST(OpenPortIo, TracesToTheNamedFileAppendingAndFlushingAtTheEnd) {
  World world;
  const std::string path = world.root.Write("port.trace", "earlier run\n");
  world.env["VQLISP_PORT"] = "sim";
  world.env["VQLISP_TRACE"] = path;
  world.clock.Set(1532);
  {
    auto selection = world.Open();
    auto* traced = dynamic_cast<TracingPort*>(selection.port.get());
    ASSERT_NE(traced, nullptr);
    EXPECT_NE(dynamic_cast<SimulatedPort*>(&traced->Inner()), nullptr);
    EXPECT_EQ(selection.port->Description(), "simulated programmer, traced to " + path);
    selection.port->AttachPort("LPT1", 0x378);
    selection.port->Outport(0x378, 0x10);
    selection.port->Inport(0x379);
  }
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  EXPECT_EQ(text.str(), "earlier run\n1532 W 0378 10\n1532 R 0379 F5\n");
}

TEST(OpenPortIo, ATraceFileThatCannotBeOpenedIsAnError) {
  World world;
  world.env["VQLISP_PORT"] = "sim";
  const std::string path = (world.root.Path() / "missing/port.trace").string();
  world.env["VQLISP_TRACE"] = path;
  EXPECT_EQ(world.ErrorOf(), "Cannot open trace file \"" + path + "\": No such file or directory");
}

TEST(PortFactory, HelpNamesEveryVariableSimulatorKeyAndChip) {
  const std::string help = PortEnvironmentHelp();
  for (const char* variable :
       {"VQLISP_PORT", "VQLISP_SIM", "VQLISP_TRACE", "VQLISP_DIRECT_ANY_ADDRESS"}) {
    EXPECT_NE(help.find(variable), std::string::npos) << variable;
  }
  for (const auto& chip : kSimChips) {
    EXPECT_NE(help.find(chip.name), std::string::npos) << chip.name;
  }
  // A key added to the options but not to the help would be a secret.
  std::stringstream keys(SimOptionKeys());
  for (std::string item; std::getline(keys, item, ',');) {
    const auto start = item.find_first_not_of(' ');
    const std::string key = item.substr(start, item.find('=') + 1 - start);  // "cable="
    EXPECT_NE(help.find(key), std::string::npos) << key;
  }
}

}  // namespace
}  // namespace vql
