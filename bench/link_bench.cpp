// The cost of one clocked bit: what the program itself adds on top of the port
// accesses, which on a real printer port take about a microsecond each.
//
//   ClockedBit/sim        the link over the simulated cable (loop-back plug)
//   ClockedBit/null-port  the link over a port that does nothing: the link's own work
//   PortAccess/sim        one simulated Inport + Outport pair, for comparison
//
// The window's pump does nothing and its tick stands still, so every wait after a
// clock edge is one pump. "accesses_per_bit" counts Inport and Outport calls.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "link/programmer_link.h"
#include "sim/sim_options.h"
#include "sim/sim_port.h"
#include "sim/sim_target.h"
#include "services/window_services.h"
#include "support/virtual_window.h"

namespace {

class IdleWindow final : public vql::WindowServices, public vql::MicrosecondClock {
 public:
  std::uint32_t GetTickCount() override { return 0; }
  void PumpMessages() override {}
  void WaitForEvents(std::uint32_t) override {}
  void StartTimer(std::uint32_t, std::function<void()>) override {}
  void StopTimer() override {}
  void ShowStatus(std::string_view) override {}
  void Beep() override {}
  void ShowProgress(std::int32_t, std::int32_t) override {}
  void ShowMessageBox(std::string_view) override {}
  std::optional<std::string> ChooseHexFile() override { return {}; }
  void ShowFileName(std::string_view) override {}
  void ShowImage(const vql::CodeImage&) override {}
  std::uint64_t NowMicroseconds() override {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
  }
};

// Counts accesses and otherwise behaves as a cable whose SENSE is always 1.
class CountingPort final : public vql::PortIo {
 public:
  explicit CountingPort(vql::PortIo* inner) : inner_(inner) {}
  void AttachPort(std::string_view name, std::uint16_t base) override {
    if (inner_ != nullptr) inner_->AttachPort(name, base);
  }
  std::uint16_t Inport(std::uint16_t address) override {
    ++accesses;
    return inner_ != nullptr ? inner_->Inport(address) : std::uint16_t{0x10};
  }
  void Outport(std::uint16_t address, std::uint16_t value) override {
    ++accesses;
    if (inner_ != nullptr) inner_->Outport(address, value);
  }
  std::string Description() const override { return "counting"; }
  std::uint64_t accesses = 0;

 private:
  vql::PortIo* inner_;
};

void ClockBits(benchmark::State& state, vql::PortIo* inner, std::int32_t loopCalibration) {
  IdleWindow window;
  CountingPort port(inner);
  vql::ProgrammerLink link(port, window, window);
  link.Lpt1Base = 0x378;
  link.SelectStartupPort();
  link.HoldTargetInProgramMode();
  link.LoopCalibration = loopCalibration;
  port.accesses = 0;
  for (auto _ : state) {
    link.SendByteBits(1, 0, 1, 0, 0, 1, 0, 1);
    benchmark::DoNotOptimize(link.ReceivedBits);
  }
  const auto bits = static_cast<double>(state.iterations()) * 8;
  state.counters["accesses_per_bit"] = static_cast<double>(port.accesses) / bits;
  state.counters["ns_per_bit"] = benchmark::Counter(
      bits, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_ClockedBitSim(benchmark::State& state) {
  IdleWindow clock;
  vql::SimulatedPort sim(clock, vql::ParseSimOptions("target=loopback"));
  ClockBits(state, &sim, static_cast<std::int32_t>(state.range(0)));
}

void BM_ClockedBitNullPort(benchmark::State& state) {
  ClockBits(state, nullptr, static_cast<std::int32_t>(state.range(0)));
}

void BM_PortAccessSim(benchmark::State& state) {
  IdleWindow clock;
  vql::SimulatedPort sim(clock, vql::ParseSimOptions("target=loopback"));
  sim.AttachPort("LPT1", 0x378);
  std::uint16_t value = 0;
  for (auto _ : state) {
    value = sim.Inport(0x378);
    sim.Outport(0x378, static_cast<std::uint16_t>(value ^ 0x40));
  }
  benchmark::DoNotOptimize(value);
}

// The argument is LoopCalibration: 0 on a slow machine, about 10 to 20 on a fast one.
BENCHMARK(BM_ClockedBitSim)->Name("ClockedBit/sim")->Arg(0)->Arg(10);
BENCHMARK(BM_ClockedBitNullPort)->Name("ClockedBit/null-port")->Arg(0)->Arg(10);
BENCHMARK(BM_PortAccessSim)->Name("PortAccess/sim");

}  // namespace

// A 12 KiB chip's worth of byte writes on the virtual clock: per address a four-byte
// write instruction, the 5 ms wait and a four-byte read back, as the write of the
// four-byte instruction set does. Shows that tests of whole chips stay fast.

namespace {

void BM_VirtualChipOfWrites(benchmark::State& state) {
  for (auto _ : state) {
    vql::testing::VirtualWindow window(vql::testing::VirtualWindow::Settings{10'000, 0});
    vql::SimulatedPort sim(window, vql::ParseSimOptions("target=loopback"));
    vql::ProgrammerLink link(sim, window, window);
    link.Lpt1Base = 0x378;
    link.SelectStartupPort();
    link.HoldTargetInProgramMode();
    for (int address = 0; address < 12 * 1024; ++address) {
      for (int i = 0; i < 4; ++i) link.SendByteDigits('4', '0');
      link.WaitMilliseconds(5);
      for (int i = 0; i < 4; ++i) link.SendByteDigits('2', '0');
    }
    state.counters["virtual_seconds"] =
        static_cast<double>(window.NowNanoseconds()) / 1e9;
  }
}
BENCHMARK(BM_VirtualChipOfWrites)->Name("VirtualChip/12KiB-writes")->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
