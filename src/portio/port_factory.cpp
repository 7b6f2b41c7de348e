#include "portio/port_factory.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string_view>
#include <utility>
#include <vector>

#include "portio/direct_port.h"
#include "portio/parport_lookup.h"
#include "portio/ppdev_port.h"
#include "sim/sim_options.h"
#include "sim/sim_port.h"
#include "sim/sim_target.h"
#include "portio/trace_port.h"

namespace vql {

namespace {

constexpr std::string_view kSimNotice =
    "No parallel port found: using the simulated programmer. Set VQLISP_PORT=ppdev or "
    "VQLISP_PORT=direct for a real cable.";
constexpr std::string_view kPpdevNotice =
    "Using the parallel port through ppdev. Set VQLISP_PORT=sim for the simulated "
    "programmer.";

// The trace file, appended to through a buffer large enough that tens of millions of
// lines cost few system calls.
class TraceFile final : public std::ofstream {
 public:
  explicit TraceFile(const std::string& path) : buffer_(std::size_t{1} << 20) {
    // The buffer must be in place before the file opens.
    rdbuf()->pubsetbuf(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    open(path, std::ios::out | std::ios::app | std::ios::binary);
  }
  // The base class would flush into the buffer after it is gone.
  ~TraceFile() override { close(); }
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;

 private:
  std::vector<char> buffer_;
};

SimOptions SimOptionsOf(const GetEnv& getenv) {
  const char* text = getenv("VQLISP_SIM");
  return ParseSimOptions(text != nullptr ? text : "");
}

// Whether VQLISP_PORT leaves the choice to the machine.
bool PortUnset(const char* asked) { return asked == nullptr || *asked == '\0'; }

std::unique_ptr<PortIo> MakeSimulatedPort(const GetEnv& getenv, MicrosecondClock& clock) {
  return std::make_unique<SimulatedPort>(clock, SimOptionsOf(getenv));
}

PortSelection ChooseBackEnd(const GetEnv& getenv, MicrosecondClock& clock,
                            const std::string& sysRoot) {
  const char* asked = getenv("VQLISP_PORT");
  if (PortUnset(asked)) {
    // Someone with a real cable must never end up on the simulator without a word.
    if (!ListKernelParports(sysRoot).empty()) {
      return {MakePpdevPort(sysRoot), std::string(kPpdevNotice)};
    }
    return {MakeSimulatedPort(getenv, clock), std::string(kSimNotice)};
  }
  const std::string_view name = asked;
  if (name == "sim") return {MakeSimulatedPort(getenv, clock), {}};
  if (name == "ppdev") return {MakePpdevPort(sysRoot), {}};
  if (name == "direct") return {MakeDirectPort(sysRoot, getenv("VQLISP_DIRECT_ANY_ADDRESS")), {}};
  throw PortError("VQLISP_PORT=" + std::string(name) +
                  " is no port back end. Valid values: sim, ppdev, direct.");
}

}  // namespace

PortSelection OpenPortIo(const GetEnv& getenv, MicrosecondClock& clock,
                         const std::string& sysRoot) {
  PortSelection selection = ChooseBackEnd(getenv, clock, sysRoot);
  const char* tracePath = getenv("VQLISP_TRACE");
  if (tracePath != nullptr && *tracePath != '\0') {
    auto file = std::make_unique<TraceFile>(tracePath);
    if (!file->is_open()) {
      throw PortError(std::string("Cannot open trace file \"") + tracePath +
                      "\": " + std::strerror(errno));
    }
    selection.port =
        std::make_unique<TracingPort>(std::move(selection.port), std::move(file), clock, tracePath);
  }
  return selection;
}

bool SimWantsVirtualClock(const GetEnv& getenv, const std::string& sysRoot) {
  const char* asked = getenv("VQLISP_PORT");
  const bool simulated =
      PortUnset(asked) ? ListKernelParports(sysRoot).empty() : std::string_view(asked) == "sim";
  return simulated && SimOptionsOf(getenv).virtualClock;
}

std::string PortEnvironmentHelp() {
  return "ENVIRONMENT\n"
         "  VQLISP_PORT\n"
         "      The printer port back end: sim (the simulated programmer), ppdev (Linux\n"
         "      /dev/parportN; needs access to the device, usually the lp group) or direct\n"
         "      (port I/O on x86; needs root). Unset: ppdev when the kernel knows a\n"
         "      parallel port, otherwise the simulated programmer, with a notice.\n"
         "  VQLISP_DIRECT_ANY_ADDRESS\n"
         "      1: let the direct back end use any base address. Without it, direct\n"
         "      writes only to the parallel ports in /proc/sys/dev/parport or, when the\n"
         "      kernel lists none, to 4-aligned addresses from 0100 up that are no serial\n"
         "      port's (03F8, 02F8, 03E8, 02E8).\n"
         "  VQLISP_SIM\n"
         "      Options of the simulated programmer, comma-separated key=value:\n"
         "        target=none|loopback|CHIP  what sits behind the cable: nothing\n"
         "                              (default), a plug that wires SCK back to MISO,\n"
         "                              or a chip, named in any case: AT89S51, AT89S52,\n"
         "                              AT89S53, AT89S8252, AT89S8253, AT89S2051, AT89S4051\n"
         "        cable=lpt1|lpt2       the port the cable hangs on (default lpt1)\n"
         "        sense=0               the cable has no power: SENSE reads 0\n"
         "        miso=0|1              MISO is stuck at that level\n"
         "      For a chip:\n"
         "        erase=MS              chip erase time in milliseconds (default 500 for\n"
         "                              the AT89S51/52, 20 for the AT89S8253/2051/4051,\n"
         "                              16 for the AT89S53/8252)\n"
         "        write=US              byte write time in microseconds (default 500;\n"
         "                              2000 for the AT89S53/8252)\n"
         "        echo-from=N           the chip hears programming enables only from the\n"
         "                              Nth one on, counted from the start (default 1)\n"
         "        dead=ADDR             the code cell at hex ADDR never programs: stays FF\n"
         "        flaky=RATE            that share (0 to 1) of read answers come back with\n"
         "                              one bit flipped\n"
         "        seed=N                makes the flaky answers repeatable (default 1)\n"
         "        state=FILE            keeps code, lock bits and fuse in FILE between\n"
         "                              runs; a missing file is a fresh erased chip\n"
         "      For scripted runs:\n"
         "        clock=virtual         waits take no real time\n"
         "      Ignored unless the simulated programmer is in use.\n"
         "  VQLISP_TRACE\n"
         "      A file to which every port access is appended as one line:\n"
         "      <microseconds> <R|W> <address> <value>, for example 1532 W 0378 70.\n"
         "\n"
         "EXAMPLES\n"
         "  VQLISP_PORT=sim VQLISP_SIM=target=loopback vql-isp-cli test-io\n"
         "  VQLISP_PORT=sim VQLISP_SIM=sense=0 vql-isp-cli test-io\n"
         "  VQLISP_PORT=ppdev VQLISP_TRACE=/tmp/port.trace vql-isp-cli test-io\n";
}

}  // namespace vql
