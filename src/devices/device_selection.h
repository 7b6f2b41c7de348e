// Which device is the current one, and the state of the two selectors that choose
// it - the device combo box and the Device menu - with the fuse controls that
// depend on it. The window mirrors this state; nothing here sends anything to the
// target or changes anything else.
#pragma once

#include <array>
#include <cstdint>

#include "devices/device_table.h"

namespace vql {

class DeviceSelection {
 public:
  // Start-up: the AT89S8253, as if chosen from the Device menu.
  DeviceSelection() { Select(kDefaultDeviceIndex); }

  std::int32_t DeviceIndex = -1;  // -1: no device (typed text that matches no item)
  std::int32_t ComboIndex = -1;   // the combo box's item index
  std::array<bool, kDevices.size()> MenuChecked{};
  bool FuseControlsEnabled = false;  // chk_x2Clock
  // btnFuse_Write. One flag, written by a selection and by the command enabling of
  // the operating mode; the last write wins (a fuse-capable device chosen in run
  // mode enables it).
  bool FuseWriteEnabled = false;

  const DeviceInfo* Device() const { return DeviceAt(DeviceIndex); }

  // cmbDeviceChange: the operator chose item index (or typed text: -1).
  void SelectOrNone(std::int32_t itemIndex);

  // AT89S511Click .. AT89S40511Click: the Device menu item for index i.
  void Select(std::int32_t index);
};

}  // namespace vql
