// The ppdev back end against a stand-in kernel that records every request.
#include "portio/ppdev_port.h"

#include <gtest/gtest.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "commands/programmer.h"
#include "devices/device_table.h"
#include "support/temp_dir.h"
#include "support/virtual_window.h"

namespace vql {
namespace {

// Every call recorded ("open parport0; parport0 PPWDATA 88; "); refused: the request
// refused with error at its nth call (0: every call). With blockingClaim, a claim it
// does not refuse sleeps, as the kernel's does while another client holds the port,
// until a signal ends it with EINTR.
struct FakeKernel final : PpdevSystem {
  int Open(const std::string& path) override {
    devices.push_back(path.substr(path.rfind('/') + 1));
    calls += "open " + devices.back() + "; ";
    return openError != 0 ? -openError : static_cast<int>(devices.size()) - 1;
  }
  int Ioctl(int fd, unsigned long request, void* argument) override {
    const std::map<unsigned long, std::string> names{
        {PPEXCL, "PPEXCL"},       {PPCLAIM, "PPCLAIM"}, {PPRELEASE, "PPRELEASE"},
        {PPDATADIR, "PPDATADIR"}, {PPWDATA, "PPWDATA"}, {PPRSTATUS, "PPRSTATUS"}};
    const std::string name = names.at(request);
    char value[8] = "";
    if (request == PPWDATA) {
      std::snprintf(value, sizeof value, " %02X", *static_cast<unsigned char*>(argument));
    } else if (request == PPDATADIR) {
      std::snprintf(value, sizeof value, " %d", *static_cast<int*>(argument));
    }
    calls += devices[static_cast<std::size_t>(fd)] + " " + name + value + "; ";
    if (name == refused && (nth == 0 || nth == ++counts[name])) return error;
    if (request == PPCLAIM && blockingClaim) {
      int wakeUp[2];
      if (::pipe(wakeUp) != 0) return EIO;
      char byte = 0;
      const int result = ::read(wakeUp[0], &byte, 1) < 0 ? errno : 0;
      ::close(wakeUp[0]);
      ::close(wakeUp[1]);
      return result;
    }
    if (request == PPRSTATUS) *static_cast<unsigned char*>(argument) = 0x5A;  // SENSE high
    return 0;
  }
  void Close(int fd) override { calls += devices[static_cast<std::size_t>(fd)] + " close; "; }

  std::string calls;
  std::vector<std::string> devices;
  std::map<std::string, int> counts;
  std::string refused;
  int nth = 0;
  int error = 0;
  int openError = 0;
  bool blockingClaim = false;
};

// The kernel lists parport0 at 0378 and parport1 at 0278; LPT1 is 0378, LPT2 0278.
// Lock files go to <root>/run/lock.
struct PpdevBench {
  PpdevBench() {
    root.Write("proc/sys/dev/parport/parport0/base-addr", "888\t1912\n");
    root.Write("proc/sys/dev/parport/parport1/base-addr", "632\t1656\n");
    root.Write("run/lock/.keep", "");
    auto fake = std::make_unique<FakeKernel>();
    kernel = fake.get();
    port = MakePpdevPort(root.Path().string(), std::move(fake),
                         {{}, std::chrono::milliseconds(50)});
    app = std::make_unique<Programmer>(*port, window, window);
    app->Link.Lpt1Base = 0x378;
    app->Link.Lpt2Base = 0x278;
    app->Selection.Select(DeviceIndexOf("AT89S8253"));
  }
  // Start-up's selection of LPT1 and program mode; the record starts afresh after it.
  void StartOnLpt1() {
    app->Link.SelectStartupPort();
    app->Cmd.SetOperatingMode(true);
    kernel->calls.clear();
  }

  testing::TempDir root;
  testing::VirtualWindow window;
  FakeKernel* kernel = nullptr;  // owned by port
  std::unique_ptr<PortIo> port;
  std::unique_ptr<Programmer> app;
};

constexpr const char* kClaim = "open parport0; parport0 PPEXCL; parport0 PPCLAIM; ";
// Forward, and the run-mode lines.
constexpr const char* kSetUp = "parport0 PPDATADIR 0; parport0 PPWDATA 88; ";

TEST(PpdevPort, ClaimsExclusivelyOrSharedBesideLpThenDrivesForwardAndReleasesTheTarget) {
  const std::string shared = kClaim + std::string("parport0 close; ");
  struct Case {
    std::string refused;
    int nth, error;
    std::string calls;
    const char* said;  // in the description, or in the port's problem
    const char* active = "none\n";  // the port's holder, as the kernel shows it
    bool blockingClaim = false;
  };
  const Case cases[] = {
      {"", 0, 0, std::string(kClaim) + kSetUp, "/dev/parport0 (ppdev) for LPT1 at 0378"},
      {"PPCLAIM", 1, ENXIO, shared + "open parport0; parport0 PPCLAIM; " + kSetUp,
       "/dev/parport0 (ppdev, shared with the lp driver) for LPT1 at 0378"},
      // Another program has the port to itself: the shared claim is refused too.
      {"PPCLAIM", 0, ENXIO, shared + "open parport0; parport0 PPCLAIM; parport0 close; ",
       "held exclusively by another program"},
      // Held now: no shared claim, which would sleep until the holder lets go.
      {"PPCLAIM", 1, ENXIO, shared, "the lp printer driver holds it for a print job", "lp\n"},
      {"PPCLAIM", 1, ENXIO, shared, "another program holds it through ppdev (the kernel calls "
       "it ppdev1)", "ppdev1\n"},
      // Taken between the look and the claim: the timer ends the wait.
      {"PPCLAIM", 1, ENXIO, shared + "open parport0; parport0 PPCLAIM; parport0 close; ",
       "is busy: its holder did not let go of it within 0.05 s", "none\n", true},
      {"PPDATADIR", 0, EINVAL,
       kClaim + std::string("parport0 PPDATADIR 0; parport0 PPRELEASE; parport0 close; "),
       "refused PPDATADIR (Invalid argument)"},
      {"open", 0, EACCES, "open parport0; ", "No permission"},
  };
  for (const auto& c : cases) {
    PpdevBench bench;
    bench.root.Write("proc/sys/dev/parport/parport0/devices/active", c.active);
    bench.kernel->refused = c.refused;
    bench.kernel->nth = c.nth;
    bench.kernel->error = c.error;
    bench.kernel->blockingClaim = c.blockingClaim;
    if (c.refused == "open") bench.kernel->openError = c.error;
    bench.app->Link.SelectStartupPort();
    EXPECT_EQ(bench.kernel->calls, c.calls);
    const std::string text = bench.app->Link.PortUsable() ? bench.port->Description()
                                                          : bench.app->Link.PortProblem();
    EXPECT_NE(text.find(c.said), std::string::npos) << text;
    EXPECT_EQ(text.find("rmmod"), c.active == std::string("lp\n") ? text.find("rmmod")
                                                                   : std::string::npos)
        << text;
  }
}

// Two programs on one port: the second is refused before it opens the device, and the
// message names the first; once that has gone, the port is free again.
TEST(PpdevPort, ASecondProgramIsKeptOffThePortByItsLockFile) {
  PpdevBench bench;
  int ready[2];
  int finish[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(finish), 0);
  const pid_t first = ::fork();
  ASSERT_GE(first, 0);
  if (first == 0) {
    auto port = MakePpdevPort(bench.root.Path().string(), std::make_unique<FakeKernel>());
    port->AttachPort("LPT1", 0x378);
    char byte = 1;
    if (::write(ready[1], &byte, 1) != 1 || ::read(finish[0], &byte, 1) != 1) ::_exit(1);
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  bench.app->Link.SelectStartupPort();
  EXPECT_EQ(bench.kernel->calls, "");
  EXPECT_NE(bench.app->Link.PortProblem().find(
                "LPT1 at 0378 is in use by another program: process " + std::to_string(first) +
                " holds its lock file " + bench.root.Path().string() +
                "/run/lock/vql-isp-port-0378.lock"),
            std::string::npos)
      << bench.app->Link.PortProblem();
  ASSERT_EQ(::write(finish[1], &byte, 1), 1);
  int status = 1;
  ASSERT_EQ(::waitpid(first, &status, 0), first);
  EXPECT_EQ(status, 0);
  for (const int fd : {ready[0], ready[1], finish[0], finish[1]}) ::close(fd);
  bench.StartOnLpt1();
  EXPECT_TRUE(bench.app->Link.PortUsable()) << bench.app->Link.PortProblem();
}

TEST(PpdevPort, ARefusedRequestEndsTheCommandWithThePortsProblemAndNothingMoreIsSent) {
  const std::tuple<const char*, int, int, const char*> cases[] = {
      {"PPRSTATUS", 1, EIO, "PPRSTATUS (Input/output error)"},  // the SENSE read
      {"PPRSTATUS", 3, EIO, "PPRSTATUS"},                       // in the byte
      {"PPWDATA", 2, ENODEV, "PPWDATA (No such device)"},
  };
  for (const auto& [request, nth, error, said] : cases) {
    PpdevBench bench;
    bench.StartOnLpt1();
    bench.kernel->refused = request;
    bench.kernel->nth = nth;
    bench.kernel->error = error;
    // The port was there when the command began: the chip was left mid-operation.
    EXPECT_EQ(bench.app->Cmd.ReadChip().outcome, Outcome::PortLost) << said;
    EXPECT_EQ(bench.kernel->counts[request], nth) << said;
    const std::string sent = bench.kernel->calls;  // ends with the refused request
    EXPECT_EQ(sent.find(';', sent.rfind(request)), sent.size() - 2) << sent;
    ASSERT_EQ(bench.window.messageBoxes.size(), 1u) << said;
    const std::string box = bench.window.messageBoxes[0];
    EXPECT_NE(box.find("/dev/parport0 for LPT1 at 0378 failed: the kernel refused " +
                       std::string(said)),
              std::string::npos)
        << box;
    EXPECT_EQ(bench.app->Cmd.TestIo().outcome, Outcome::NoPort) << said;
    EXPECT_EQ(bench.kernel->calls, sent) << said;
    EXPECT_EQ(bench.window.messageBoxes.back(), box) << said;
  }
}

// The port left behind is given back to the kernel after its target has been let go;
// the Port menu drives no line of the new port. A line change is one PPWDATA: the data
// register is never read from the port.
TEST(PpdevPort, TheSelectionMovingToLpt2ReleasesLpt1) {
  const std::string moved =
      "parport0 PPRELEASE; parport0 close; open parport1; parport1 PPEXCL; parport1 PPCLAIM; "
      "parport1 PPDATADIR 0; parport1 PPWDATA 88; ";
  for (const bool menu : {false, true}) {
    PpdevBench bench;
    bench.StartOnLpt1();
    EXPECT_TRUE(menu ? bench.app->Cmd.SelectPort(2) : bench.app->Cmd.MoveCableTo(2));
    EXPECT_EQ(bench.kernel->calls,
              "parport0 PPWDATA 00; parport0 PPWDATA 80; parport0 PPWDATA 88; " + moved +
                  (menu ? "" : "parport1 PPWDATA 98; parport1 PPWDATA 18; parport1 PPWDATA 10; "));
    EXPECT_TRUE(bench.window.messageBoxes.empty()) << menu;
  }
}

}  // namespace
}  // namespace vql
