#include "devices/device_selection.h"

namespace vql {

namespace {

bool HasFuse(std::int32_t index) {
  const DeviceInfo* device = DeviceAt(index);
  return device != nullptr && device->hasFuse;
}

}  // namespace

void DeviceSelection::SelectOrNone(std::int32_t itemIndex) {
  FuseControlsEnabled = FuseWriteEnabled = false;
  MenuChecked.fill(false);
  ComboIndex = itemIndex;
  DeviceIndex = itemIndex;
  if (DeviceAt(itemIndex) == nullptr) return;
  MenuChecked[static_cast<std::size_t>(itemIndex)] = true;
  FuseControlsEnabled = FuseWriteEnabled = HasFuse(itemIndex);
}

void DeviceSelection::Select(std::int32_t index) {
  if (DeviceAt(index) == nullptr) return;
  MenuChecked.fill(false);
  MenuChecked[static_cast<std::size_t>(index)] = true;
  DeviceIndex = index;
  ComboIndex = index;  // set from the program: cmbDeviceChange does not run
  FuseControlsEnabled = FuseWriteEnabled = HasFuse(index);
}

}  // namespace vql
