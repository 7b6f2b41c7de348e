// What the window remembers from one run to the next: the Fast Programming tick, the
// SCK half period, the device last chosen and the folder that the Open dialog of Load
// last opened a file from. They live in an INI file, vql-isp.conf in the folder
// vql-isp under $XDG_CONFIG_HOME (~/.config when it is unset), beside a CONFIG.VQL
// the operator may keep there. The terminal front end reads none of them.
//
// Each value is written the moment the operator changes it, so that a crash loses
// nothing. A value read back that is out of range, names no device or no folder is
// left out, and the program's own start-up value stands.
#pragma once

#include <QSettings>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

#include "devices/device_table.h"

namespace vql::ui {

// The usable values that the file holds; nothing where it holds none.
struct RememberedSettings {
  std::optional<bool> fastProgramming;
  std::optional<std::int32_t> sckHalfPeriodUs;
  std::optional<std::int32_t> deviceIndex;  // in the device table
  std::optional<QString> openFolder;        // an existing folder
};

class WindowSettings {
 public:
  WindowSettings();

  // The keys, under the file's [General] group.
  static constexpr char kFastProgramming[] = "FastProgramming";  // true or false
  static constexpr char kSckHalfPeriodUs[] = "SckHalfPeriodUs";  // microseconds
  static constexpr char kDevice[] = "Device";                    // the device's name
  static constexpr char kOpenFolder[] = "OpenFolder";            // an absolute path

  RememberedSettings Read() const;

  void RememberFastProgramming(bool on);
  void RememberSckHalfPeriod(std::int32_t us);
  void RememberDevice(const DeviceInfo& device);
  void RememberOpenFolder(const QString& folder);

  // The file's full path.
  QString FileName() const { return settings_.fileName(); }

  // Called once a run, with the file's path, when a change could not be written (a
  // folder that cannot be created, a full disk): the change then lasts for this run.
  std::function<void(const QString&)> onWriteFailed;

 private:
  void Write(const char* key, const QVariant& value);

  QSettings settings_;
  bool failureTold_ = false;
};

}  // namespace vql::ui
