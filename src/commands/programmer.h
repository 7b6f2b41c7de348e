// The whole programmer as one object: the image, the link, the device selection,
// the operator's controls, the device operations and the commands, wired together.
// A front end creates one, with the port back end and its window services, and a
// test builds a fresh one in a line.
#pragma once

#include <string>

#include "commands/commands.h"
#include "devices/device_ops.h"
#include "devices/device_selection.h"
#include "devices/operator_controls.h"
#include "image/image_state.h"
#include "link/config_lookup.h"
#include "link/programmer_link.h"
#include "portio/port_io.h"
#include "services/window_services.h"

namespace vql {

class Programmer {
 public:
  // The clock times the serial clock's edges (the one the port back end uses).
  Programmer(PortIo& port, WindowServices& window, MicrosecondClock& clock);
  Programmer(const Programmer&) = delete;
  Programmer& operator=(const Programmer&) = delete;

  // Start-up, minus the window: reads the configuration file that the lookup found,
  // selects LPT1, drives the program-mode lines, empties the image and shows it,
  // calibrates the delays, and leaves the AT89S8253 selected with the fuse
  // controls disabled. When there is no file, or it cannot be read, the error is
  // shown and nothing else happens: no line is driven, and the cable commands are
  // refused with a message that says where the file was looked for. Returns
  // whether the configuration was read.
  // drivePort false: the configuration only, for what needs no chip; the port is not
  // attached and nothing is driven or calibrated.
  bool Startup(const ConfigLookup& config, bool drivePort = true);
  // The same with the one file named, relative to the current directory.
  bool Startup(const std::string& configName = std::string(kConfigFileName),
               bool drivePort = true);
  // What needs neither the configuration nor the port (loading a file): the empty
  // image and the start-up device.
  void StartupWithoutPort();

  // Shut-down: the switch to run mode, so the target is always released: the
  // run-mode lines and "RUN MODE.", from either mode.
  void Shutdown();

  ImageState Image;
  ProgrammerLink Link;
  DeviceSelection Selection;
  OperatorControls Controls;
  DeviceOps Ops;
  Commands Cmd;

  // The window services the programmer was made with.
  WindowServices& Window() { return window_; }

 private:
  // The empty image and grid, the calibration when asked, the start-up device.
  void ResetImageAndDevice(bool calibrate);

  WindowServices& window_;
};

}  // namespace vql
