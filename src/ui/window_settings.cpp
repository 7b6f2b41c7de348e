#include "ui/window_settings.h"

#include <QFileInfo>
#include <QStandardPaths>
#include <QVariant>
#include <cstddef>
#include <string_view>

#include "link/programmer_link.h"

namespace vql::ui {

namespace {

// The file as the operator would look for it, named after the program, not after the
// window's title. Named outright: QSettings would give an INI file the suffix .ini.
QString SettingsPath() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         QLatin1String("/vql-isp/vql-isp.conf");
}

// What the file holds under key, as text: the INI file gives text, and a value this
// run wrote converts to the text it was written as.
QString Text(const QSettings& settings, const char* key) {
  return settings.value(QLatin1String(key)).toString().trimmed();
}

}  // namespace

WindowSettings::WindowSettings()
    : settings_(SettingsPath(), QSettings::IniFormat) {}

RememberedSettings WindowSettings::Read() const {
  RememberedSettings read;
  // QVariant::toBool takes any text but "0" and "false" for true: only the two words
  // that the file is written with count.
  const QString fast = Text(settings_, kFastProgramming);
  if (fast == QLatin1String("true") || fast == QLatin1String("false")) {
    read.fastProgramming = fast == QLatin1String("true");
  }

  bool isNumber = false;
  const int us = Text(settings_, kSckHalfPeriodUs).toInt(&isNumber);
  if (isNumber && us >= ProgrammerLink::kMinSckHalfPeriodUs &&
      us <= ProgrammerLink::kMaxSckHalfPeriodUs) {
    read.sckHalfPeriodUs = us;
  }

  const QString device = Text(settings_, kDevice);
  for (std::size_t i = 0; i < kDevices.size(); ++i) {
    const std::string_view name = kDevices[i].name;
    if (device == QLatin1String(name.data(), static_cast<qsizetype>(name.size()))) {
      read.deviceIndex = static_cast<std::int32_t>(i);
    }
  }

  const QString folder = settings_.value(QLatin1String(kOpenFolder)).toString();
  const QFileInfo folderInfo(folder);
  if (!folder.isEmpty() && folderInfo.isAbsolute() && folderInfo.isDir()) {
    read.openFolder = folder;
  }
  return read;
}

void WindowSettings::RememberFastProgramming(bool on) { Write(kFastProgramming, on); }

void WindowSettings::RememberSckHalfPeriod(std::int32_t us) { Write(kSckHalfPeriodUs, us); }

void WindowSettings::RememberDevice(const DeviceInfo& device) {
  Write(kDevice, QString::fromLatin1(device.name.data(),
                                     static_cast<qsizetype>(device.name.size())));
}

void WindowSettings::RememberOpenFolder(const QString& folder) { Write(kOpenFolder, folder); }

void WindowSettings::Write(const char* key, const QVariant& value) {
  settings_.setValue(QLatin1String(key), value);
  // Now, not at the end of the run: a crash or a killed program keeps the change.
  settings_.sync();
  if (settings_.status() != QSettings::NoError && !failureTold_ && onWriteFailed) {
    failureTold_ = true;
    onWriteFailed(settings_.fileName());
  }
}

}  // namespace vql::ui
