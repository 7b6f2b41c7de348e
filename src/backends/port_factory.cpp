#include "backends/port_factory.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string_view>
#include <utility>
#include <vector>

#include "portio/direct_port.h"
#include "portio/ftdi_libftdi.h"
#include "portio/ftdi_trace.h"
#include "portio/ftdi_selector.h"
#include "portio/help_text.h"
#include "portio/parport_lookup.h"
#include "portio/port_lock.h"
#include "portio/ppdev_port.h"
#include "portio/trace_port.h"
#include "sim/sim_ftdi.h"
#include "sim/sim_options.h"
#include "sim/sim_port.h"

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

// What a back end's factory is given; each takes what it needs.
struct BackEndContext {
  const GetEnv& getenv;
  MicrosecondClock& clock;
  const std::string& sysRoot;
};

// One port back end: the name VQLISP_PORT gives it, how to build it, what the help
// says of it, and whether the machine makes it the choice when VQLISP_PORT is unset.
struct BackEnd {
  std::string_view name;
  PortSelection (*make)(const BackEndContext& context);
  std::string_view help;
  // Unset VQLISP_PORT takes the first back end whose probe says yes, with its
  // notice; nullptr: only ever taken when asked for.
  bool (*probe)(const std::string& sysRoot);
  std::string_view notice;
  // Whether the front end should run on a virtual clock; nullptr: never.
  bool (*wantsVirtualClock)(const GetEnv& getenv);
};

const char* Unset(const char* value) { return value != nullptr ? value : ""; }

// The printer-port side of a USB cable's back end: there is none, and every attempt
// to use one says which cable is in use instead.
class AdapterOnlyPort final : public PortIo {
 public:
  AdapterOnlyPort(const FtdiIo& adapter, std::string chosenBy)
      : adapter_(adapter), chosenBy_(std::move(chosenBy)) {}
  void AttachPort(std::string_view name, std::uint16_t) override {
    throw PortError(std::string(name) + " is not in use: the program drives the USB adapter " +
                    adapter_.Name() + " (" + chosenBy_ + "). Choose it in the Port menu, or " +
                    "set VQLISP_PORT for a printer-port cable.");
  }
  std::uint16_t Inport(std::uint16_t) override { return 0xFF; }
  void Outport(std::uint16_t, std::uint16_t) override {}
  std::string Description() const override { return "USB adapter " + adapter_.Name(); }
  std::optional<std::string> SimulatedTarget() const override { return adapter_.SimulatedTarget(); }
  bool TargetsEnded() const override { return adapter_.TargetsEnded(); }

 private:
  const FtdiIo& adapter_;
  std::string chosenBy_;
};

PortSelection PortOnly(std::unique_ptr<PortIo> port) { return {std::move(port), nullptr, {}}; }

PortSelection AdapterOnly(std::unique_ptr<FtdiIo> adapter, std::string chosenBy) {
  auto port = std::make_unique<AdapterOnlyPort>(*adapter, std::move(chosenBy));
  return {std::move(port), std::move(adapter), {}};
}

bool KernelListsAParport(const std::string& sysRoot) {
  return !ListKernelParports(sysRoot).empty();
}

// Someone with a real cable must never end up on the simulator without a word: the
// simulator is the machine's choice only where the kernel knows no parallel port.
constexpr std::array kBackEnds{
    BackEnd{"sim",
            [](const BackEndContext& c) {
              SimOptions options = SimOptionsOf(c.getenv);
              if (options.adapter) {
                return AdapterOnly(std::make_unique<SimulatedFtdi>(c.clock, std::move(options)),
                                   "adapter= in VQLISP_SIM");
              }
              return PortOnly(std::make_unique<SimulatedPort>(c.clock, std::move(options)));
            },
            "the simulated programmer",
            [](const std::string& sysRoot) { return !KernelListsAParport(sysRoot); }, kSimNotice,
            [](const GetEnv& getenv) { return SimOptionsOf(getenv).virtualClock; }},
    BackEnd{"ppdev",
            [](const BackEndContext& c) {
              return PortOnly(MakePpdevPort(
                  c.sysRoot, nullptr, {PortLockFolders(c.sysRoot, c.getenv("XDG_RUNTIME_DIR"))}));
            },
            "Linux /dev/parportN; needs access to the device, usually the lp group",
            KernelListsAParport, kPpdevNotice, nullptr},
    BackEnd{"direct",
            [](const BackEndContext& c) {
              return PortOnly(MakeDirectPort(c.sysRoot, c.getenv("VQLISP_DIRECT_ANY_ADDRESS"),
                                             PortLockFolders(c.sysRoot, c.getenv("XDG_RUNTIME_DIR"))));
            },
            "port I/O on x86; needs root", nullptr, {}, nullptr},
    BackEnd{"ftdi",
            [](const BackEndContext& c) {
              std::string notice;
              auto adapter = OpenFtdiAdapter(ParseFtdiSelector(Unset(c.getenv("VQLISP_FTDI"))), notice);
              PortSelection selection = AdapterOnly(std::move(adapter), "VQLISP_PORT=ftdi");
              selection.notice = std::move(notice);
              return selection;
            },
            "a USB cable on an FTDI FT232H, FT2232H or FT232R, through libftdi1; VQLISP_FTDI "
            "picks one",
            nullptr, {}, nullptr},
};

// The back end that VQLISP_PORT asks for, or that the machine chooses when it is
// unset (then automatic is true); nullptr for a name that is none.
const BackEnd* FindBackEnd(const char* asked, const std::string& sysRoot, bool& automatic) {
  automatic = asked == nullptr || *asked == '\0';
  for (const BackEnd& backEnd : kBackEnds) {
    if (automatic ? backEnd.probe != nullptr && backEnd.probe(sysRoot) : backEnd.name == asked) {
      return &backEnd;
    }
  }
  // The probes leave no machine without a back end; this is for the unforeseen.
  return automatic ? &kBackEnds.front() : nullptr;
}

PortSelection ChooseBackEnd(const GetEnv& getenv, MicrosecondClock& clock,
                            const std::string& sysRoot) {
  const char* asked = getenv("VQLISP_PORT");
  bool automatic = false;
  const BackEnd* backEnd = FindBackEnd(asked, sysRoot, automatic);
  if (backEnd == nullptr) {
    std::string valid;
    for (const BackEnd& known : kBackEnds) {
      if (!valid.empty()) valid += ", ";
      valid += known.name;
    }
    throw PortError("VQLISP_PORT=" + std::string(asked) +
                    " is no port back end. Valid values: " + valid + ".");
  }
  PortSelection selection = backEnd->make({getenv, clock, sysRoot});
  if (automatic) selection.notice = backEnd->notice;
  return selection;
}

// "sim (the simulated programmer), ppdev (...) or direct (...)".
std::string BackEndList() {
  std::string list;
  for (std::size_t i = 0; i < kBackEnds.size(); ++i) {
    if (i > 0) list += i + 1 < kBackEnds.size() ? ", " : " or ";
    list += std::string(kBackEnds[i].name) + " (" + std::string(kBackEnds[i].help) + ")";
  }
  return list;
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
    // A USB cable's transfers, or the printer port's register accesses.
    if (selection.adapter != nullptr) {
      selection.adapter =
          std::make_unique<TracingFtdi>(std::move(selection.adapter), std::move(file), clock);
    } else {
      selection.port = std::make_unique<TracingPort>(std::move(selection.port), std::move(file),
                                                     clock, tracePath);
    }
  }
  return selection;
}

bool SimTargetNamed(const GetEnv& getenv) {
  return SimOptionsOf(getenv).items.contains("target");
}

bool SimWantsVirtualClock(const GetEnv& getenv, const std::string& sysRoot) {
  bool automatic = false;
  const BackEnd* backEnd = FindBackEnd(getenv("VQLISP_PORT"), sysRoot, automatic);
  return backEnd != nullptr && backEnd->wantsVirtualClock != nullptr &&
         backEnd->wantsVirtualClock(getenv);
}

std::string PortEnvironmentHelp() {
  // The width keeps the manual's line breaks as they have always been.
  constexpr std::size_t kIndent = 6;
  return "ENVIRONMENT\n"
         "  VQLISP_PORT\n" +
         std::string(kIndent, ' ') +
         IndentHelp(WrapHelp("The printer port back end: " + BackEndList() +
                                 ". Unset: ppdev when the kernel knows a parallel port. "
                                 "Without one the window uses the simulated programmer and "
                                 "says so, and vql-isp-cli stops with exit status 2.",
                             kIndent, kIndent, 80),
                    kIndent) +
         "  VQLISP_DIRECT_ANY_ADDRESS\n"
         "      1: let the direct back end use any base address. Without it, direct\n"
         "      writes only inside an I/O range of a PCI parallel port (class 0701xx\n"
         "      in /sys/bus/pci), to a legacy base (0378, 0278, 03BC) that nothing in\n"
         "      /proc/ioports has, or to a port in /proc/sys/dev/parport, and never\n"
         "      where /proc/ioports gives the port's registers to another device.\n" +
         FtdiEnvironmentHelp() +
         "  VQLISP_SIM\n" +
         SimOptionsHelp() +
         "      Ignored unless the simulated programmer is in use.\n"
         "  VQLISP_TRACE\n"
         "      A file to which every port access is appended as one line:\n"
         "      <microseconds> <R|W> <address> <value>, for example 1532 W 0378 70.\n"
         "      With a USB cable, every transfer: 1532 USB-W 81 31 00 00 AC 87.\n"
         "\n"
         "EXAMPLES\n"
         "  VQLISP_PORT=sim VQLISP_SIM=target=loopback vql-isp-cli test-io\n"
         "  VQLISP_PORT=sim VQLISP_SIM=sense=0 vql-isp-cli test-io\n"
         "  VQLISP_PORT=ppdev VQLISP_TRACE=/tmp/port.trace vql-isp-cli test-io\n";
}

}  // namespace vql
