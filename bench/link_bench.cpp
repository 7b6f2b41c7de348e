// The cost of one clocked bit: what the program itself adds on top of the port
// accesses, which on a real printer port take about a microsecond each.
//
//   ClockedBit/sim        the link over the simulated cable (loop-back plug)
//   ClockedBit/null-port  the link over a port that does nothing: the link's own work
//   PortAccess/sim        one simulated Inport + Outport pair, for comparison
//
// The arguments are LoopCalibration and the SCK floor in microseconds. The window's
// pump costs what the Qt window's does when nothing is pending (a counter, and the
// steady clock every 32nd call) and its tick stands still, so every wait after a
// clock edge is one pump; the floor is timed on the steady clock in nanoseconds.
// "ns_per_bit" is a bit's time (at a floor: two half periods and what they cannot
// hide), on the thread's CPU time, which leaves out what other programs take from a
// busy machine; "median_ns_per_bit" the typical bit on the steady clock, from the
// median byte; "accesses_per_bit" counts Inport and Outport calls;
// "over_floor_ns_per_bit" is the time a bit takes beyond its two half periods at the
// floor (with a floor of 0: the whole software cost of a bit): the port accesses and
// clock readings between an edge's floor and the next edge's stamp, and the spin's
// last reading.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "commands/programmer.h"
#include "link/programmer_link.h"
#include "sim/sim_options.h"
#include "sim/sim_port.h"
#include "sim/sim_target.h"
#include "services/window_services.h"
#include "support/virtual_window.h"

namespace {

std::uint64_t SteadyNs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

// The thread's CPU time: the floor spins, so it counts the floor too, but not the
// time that other programs on a busy machine take from the benchmark.
double ThreadCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

class IdleWindow final : public vql::WindowServices, public vql::MicrosecondClock {
 public:
  std::uint32_t GetTickCount() override { return 0; }
  void PumpMessages() override {
    if (++pumps_ % 32 == 0) benchmark::DoNotOptimize(SteadyNs());
  }
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
  std::uint64_t NowMicroseconds() override { return SteadyNs() / 1000; }
  std::uint64_t NowNanoseconds() override { return SteadyNs(); }
  void WaitUntil(std::uint64_t us) override { WaitUntilNanoseconds(us * 1000); }
  void WaitUntilNanoseconds(std::uint64_t ns) override {
    while (SteadyNs() < ns) {
    }
  }

 private:
  std::uint32_t pumps_ = 0;
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

void ClockBits(benchmark::State& state, vql::PortIo* inner) {
  IdleWindow window;
  CountingPort port(inner);
  vql::ProgrammerLink link(port, window, window);
  link.Lpt1Base = 0x378;
  link.SelectStartupPort();
  link.HoldTargetInProgramMode();
  link.LoopCalibration = static_cast<std::int32_t>(state.range(0));
  link.SckHalfPeriodUs = static_cast<std::int32_t>(state.range(1));
  port.accesses = 0;
  // When each byte began, on the steady clock. A byte's first edge waits the floor
  // from the previous byte's last one, so these readings fall where the floor
  // hides them.
  std::vector<std::uint64_t> byteStarts;
  byteStarts.reserve(static_cast<std::size_t>(state.max_iterations));
  const double start = ThreadCpuNs();
  for (auto _ : state) {
    byteStarts.push_back(SteadyNs());
    link.SendByteBits(1, 0, 1, 0, 0, 1, 0, 1);
    benchmark::DoNotOptimize(link.ReceivedBits);
  }
  const double spent = ThreadCpuNs() - start;
  const auto bits = static_cast<double>(state.iterations()) * 8;
  state.counters["accesses_per_bit"] = static_cast<double>(port.accesses) / bits;
  state.counters["ns_per_bit"] = benchmark::Counter(
      bits, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  // The typical byte, from one byte's start to the next's, on the steady clock: what
  // the pace is when no other program takes the processor from the benchmark.
  if (byteStarts.size() > 2) {
    std::vector<std::uint64_t> bytes;
    for (std::size_t i = 1; i < byteStarts.size(); ++i) {
      bytes.push_back(byteStarts[i] - byteStarts[i - 1]);
    }
    std::nth_element(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2),
                     bytes.end());
    state.counters["median_ns_per_bit"] = static_cast<double>(bytes[bytes.size() / 2]) / 8;
  }
  state.counters["over_floor_ns_per_bit"] =
      spent / bits - 2000.0 * static_cast<double>(state.range(1));
}

void BM_ClockedBitSim(benchmark::State& state) {
  IdleWindow clock;
  vql::SimulatedPort sim(clock, vql::ParseSimOptions("target=loopback"));
  ClockBits(state, &sim);
}

void BM_ClockedBitNullPort(benchmark::State& state) { ClockBits(state, nullptr); }

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

// LoopCalibration is 0 on a slow machine, about 10 to 20 on a fast one; the floors
// are none, 1 us, and the default.
BENCHMARK(BM_ClockedBitSim)->Name("ClockedBit/sim")->ArgsProduct({{0, 10}, {0, 1, 4}});
BENCHMARK(BM_ClockedBitNullPort)->Name("ClockedBit/null-port")->ArgsProduct({{0, 10}, {0, 1, 4}});
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
    link.SckHalfPeriodUs = 0;  // the pumps alone pace it, as before the floor
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

// A 12 KiB chip (AT89S8253) read and written whole on the virtual clock, at the
// default SCK floor (12 MHz crystal) and at 16 us, the slower-clock search's first
// step down (3 MHz crystal, the data sheets' lowest for serial programming). Each
// pump takes 1 us of virtual time, as the front ends' virtual clocks do. "floor_s" is the least time the floor allows for the bits
// clocked (bits x 2 x half period); "virtual_s" what the operation took, waits
// included (a write waits 5 ms per byte, on the millisecond tick, which the clocking
// of the byte partly fills).

namespace {

// Counts the rising SCK edges written to LPT1's data register.
class SckCountingPort final : public vql::PortIo {
 public:
  explicit SckCountingPort(vql::PortIo& inner) : inner_(inner) {}
  void AttachPort(std::string_view name, std::uint16_t base) override { inner_.AttachPort(name, base); }
  std::uint16_t Inport(std::uint16_t address) override { return inner_.Inport(address); }
  void Outport(std::uint16_t address, std::uint16_t value) override {
    const bool sck = (value & vql::cable::kSck) != 0;
    if (address == 0x378 && sck && !sck_) ++bits;
    if (address == 0x378) sck_ = sck;
    inner_.Outport(address, value);
  }
  std::string Description() const override { return inner_.Description(); }
  std::uint64_t bits = 0;

 private:
  vql::PortIo& inner_;
  bool sck_ = false;
};

void BM_VirtualChipAtFloor(benchmark::State& state) {
  const bool write = state.range(0) != 0;
  const auto halfUs = static_cast<std::int32_t>(state.range(1));
  const std::string options = halfUs <= 4 ? "target=AT89S8253" : "target=AT89S8253,xtal=3";
  for (auto _ : state) {
    vql::testing::VirtualWindow window(vql::testing::VirtualWindow::Settings{1000, 0});
    vql::SimulatedPort sim(window, vql::ParseSimOptions(options));
    SckCountingPort port(sim);
    auto app = std::make_unique<vql::Programmer>(port, window, window);
    app->Link.Lpt1Base = 0x378;
    app->Link.SelectStartupPort();
    app->Link.HoldTargetInProgramMode();
    app->Link.SckHalfPeriodUs = halfUs;
    app->Selection.Select(vql::DeviceIndexOf("AT89S8253"));
    app->Controls.AutoReloadFile = false;
    constexpr std::int32_t kLast = 12 * 1024 - 1;
    for (std::int32_t a = 0; a <= kLast; ++a) {
      const auto i = static_cast<std::size_t>(a);
      app->Image.Image.HighDigits[i] = "0123456789ABCDEF"[(a >> 4) % 15];
      app->Image.Image.LowDigits[i] = "0123456789ABCDEF"[a & 0xF];
    }
    const auto start = window.NowNanoseconds();
    const vql::Outcome outcome = write ? app->Ops.WriteCode4(kLast) : app->Ops.ReadCode4(kLast);
    const double seconds = static_cast<double>(window.NowNanoseconds() - start) / 1e9;
    const double floor = static_cast<double>(port.bits) * 2 * halfUs / 1e6;
    state.counters["done"] = outcome == vql::Outcome::Done ? 1 : 0;
    state.counters["bits"] = static_cast<double>(port.bits);
    state.counters["virtual_s"] = seconds;
    state.counters["floor_s"] = floor;
  }
}
BENCHMARK(BM_VirtualChipAtFloor)
    ->Name("VirtualChip/12KiB")
    ->ArgNames({"write", "half_us"})
    ->ArgsProduct({{0, 1}, {4, 16}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace
