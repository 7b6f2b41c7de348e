// Whole-chip operations on the simulated chips, in virtual time.
//
// For an AT89S8253 and an AT89S52 holding a full image, each operation reports:
//   accesses      port accesses it made
//   waits_ms      the virtual time its waits took; every message pump counts 0.1
//                 microsecond, so the two pumps of each clocked bit add a little
//   cable_ms      waits_ms plus 1 microsecond per port access: what a real printer
//                 port would take
//   floor_ms      what the algorithm itself imposes: its fixed waits plus 7 accesses
//                 per clocked bit (and one SENSE read per byte) at 1 microsecond each
// and the real CPU time per operation as the benchmark's own time.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>

#include "commands/programmer.h"
#include "devices/device_table.h"
#include "sim/sim_chip.h"
#include "sim/sim_options.h"
#include "sim/sim_port.h"
#include "support/virtual_window.h"

namespace {

// Counts the accesses of the port it wraps.
class CountingPort final : public vql::PortIo {
 public:
  explicit CountingPort(vql::PortIo& inner) : inner_(inner) {}
  void AttachPort(std::string_view name, std::uint16_t base) override { inner_.AttachPort(name, base); }
  std::uint16_t Inport(std::uint16_t address) override {
    ++accesses;
    return inner_.Inport(address);
  }
  void Outport(std::uint16_t address, std::uint16_t value) override {
    ++accesses;
    inner_.Outport(address, value);
  }
  std::string Description() const override { return inner_.Description(); }
  std::uint64_t accesses = 0;

 private:
  vql::PortIo& inner_;
};

enum class Op { Read, Verify, Blank, Write };

void RunOp(benchmark::State& state, const char* device, Op op) {
  const vql::DeviceInfo& info = *vql::DeviceAt(vql::DeviceIndexOf(device));
  const bool blankChip = op == Op::Blank || op == Op::Write;
  double accesses = 0, waitsMs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    vql::testing::VirtualWindow window(vql::testing::VirtualWindow::Settings{100, 0});
    vql::SimulatedPort sim(window, vql::ParseSimOptions(std::string("target=") + device));
    CountingPort port(sim);
    auto app = std::make_unique<vql::Programmer>(port, window, window);
    app->Link.Lpt1Base = 0x378;
    app->Link.SelectStartupPort();
    app->Link.HoldTargetInProgramMode();
    app->Selection.Select(vql::DeviceIndexOf(device));
    app->Controls.AutoReloadFile = false;
    auto* chip = sim.TargetAs<vql::SimChip>();
    std::mt19937 random(1);
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (std::int32_t a = 0; a <= info.lastAddress; ++a) {
      auto byte = static_cast<std::uint8_t>(random() % 255);  // never FF: every byte costs
      const auto i = static_cast<std::size_t>(a);
      app->Image.Image.HighDigits[i] = kDigits[byte >> 4];
      app->Image.Image.LowDigits[i] = kDigits[byte & 0xF];
      if (!blankChip) chip->SetCode(static_cast<std::uint16_t>(a), byte);
    }
    port.accesses = 0;
    const std::uint64_t startNs = window.NowNanoseconds();
    state.ResumeTiming();

    vql::Outcome outcome = vql::Outcome::Done;
    const std::int32_t last = info.lastAddress;
    switch (op) {
      case Op::Read: outcome = app->Ops.ReadCode4(last); break;
      case Op::Verify: outcome = app->Ops.VerifyCode4(last); break;
      case Op::Blank: outcome = app->Ops.BlankCheck4(last); break;
      case Op::Write: outcome = app->Ops.WriteCode4(last); break;
    }

    state.PauseTiming();
    if (outcome != vql::Outcome::Done) state.SkipWithError("the operation failed");
    accesses = static_cast<double>(port.accesses);
    waitsMs = static_cast<double>(window.NowNanoseconds() - startNs) / 1e6;
    state.ResumeTiming();
  }
  const double addresses = info.codeSize;
  const double instructionUs = 4 * (8 * 7 + 1);  // four bytes of 8 bits, SENSE once a byte
  const double enableMs = 100;
  const double floorMs = enableMs + addresses * instructionUs / 1000 +
                         (op == Op::Write ? addresses * (5 + instructionUs / 1000) : 0);
  state.counters["accesses"] = accesses;
  state.counters["waits_ms"] = waitsMs;
  state.counters["cable_ms"] = waitsMs + accesses / 1000;
  state.counters["floor_ms"] = floorMs;
}

void BM_Read(benchmark::State& s, const char* d) { RunOp(s, d, Op::Read); }
void BM_Verify(benchmark::State& s, const char* d) { RunOp(s, d, Op::Verify); }
void BM_Blank(benchmark::State& s, const char* d) { RunOp(s, d, Op::Blank); }
void BM_Write(benchmark::State& s, const char* d) { RunOp(s, d, Op::Write); }

BENCHMARK_CAPTURE(BM_Read, AT89S8253, "AT89S8253")->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_CAPTURE(BM_Verify, AT89S8253, "AT89S8253")->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_CAPTURE(BM_Blank, AT89S8253, "AT89S8253")->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_CAPTURE(BM_Write, AT89S8253, "AT89S8253")->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_CAPTURE(BM_Read, AT89S52, "AT89S52")->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_CAPTURE(BM_Verify, AT89S52, "AT89S52")->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_CAPTURE(BM_Blank, AT89S52, "AT89S52")->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_CAPTURE(BM_Write, AT89S52, "AT89S52")->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
