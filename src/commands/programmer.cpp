#include "commands/programmer.h"

#include "image/char_stream.h"
#include "link/config_file.h"

namespace vql {

Programmer::Programmer(PortIo& port, WindowServices& window, MicrosecondClock& clock)
    : Link(port, window, clock),
      Ops(Link, Image, window, Selection, Controls),
      Cmd(Link, Image, Selection, Controls, Ops, window),
      window_(window) {}

bool Programmer::Startup(const std::string& configName, bool drivePort) {
  try {
    return Startup(NamedConfigFile(configName), drivePort);
  } catch (const FileError& error) {
    window_.ShowMessageBox(error.what());
    return false;
  }
}

bool Programmer::Startup(const ConfigLookup& config, bool drivePort) {
  Link.ConfigPath = config.path;
  Link.ConfigPlaces = config.places;
  if (config.path.empty()) {
    window_.ShowMessageBox(NoConfigFileText(config.places));
    return false;
  }
  std::vector<std::string> warnings;
  try {
    std::int32_t unused = 0;
    std::array<std::string, 5> texts;
    ReadConfigFile(Link.DelayScale, Link.BitDelay, unused, Link.Lpt1Base, Link.Lpt2Base,
                   config.path, &warnings, &texts);
    Link.Lpt1BaseText = texts[3];
    Link.Lpt2BaseText = texts[4];
  } catch (const FileError& error) {
    window_.ShowMessageBox(error.what());
    return false;
  }
  // Wrongly written values stay as read, but the operator hears about all of them
  // at once, in one box, before a wrong address or delay is put to use.
  if (!warnings.empty()) {
    std::string text = "In \"" + Link.ConfigPath + "\" these values are used as read:";
    for (const std::string& warning : warnings) text += "\n" + warning;
    window_.ShowMessageBox(text);
  }
  if (drivePort) {
    Link.SelectStartupPort();
    if (Link.PortUsable()) {
      Link.HoldTargetInProgramMode();
      Cmd.InProgramMode = true;
    }
  }
  ResetImageAndDevice(drivePort);
  return true;
}

void Programmer::StartupWithoutPort() { ResetImageAndDevice(false); }

void Programmer::ResetImageAndDevice(bool calibrate) {
  ResetAddressCounter(Image.Counter);
  ClearCodeImage(Image.Image);
  RefreshGrid(Image, window_);
  if (calibrate) Link.CalibrateDelayLoop();
  Selection.Select(kDefaultDeviceIndex);
  Selection.FuseControlsEnabled = Selection.FuseWriteEnabled = false;
}

void Programmer::Shutdown() {
  if (!Link.PortUsable()) return;
  // From either mode: the run-mode lines and "RUN MODE.", as the window's close does.
  Cmd.SetOperatingMode(false);
}

}  // namespace vql
