// The main window over the simulated programmer on the virtual clock, started in a
// scratch folder with a CONFIG.VQL and with nothing remembered from an earlier run;
// message boxes and the file dialog are answered by the test. And the operator's
// mouse and keys.
#pragma once

#include <QApplication>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "commands/programmer_setup.h"
#include "backends/port_factory.h"
#include "sim/sim_chip.h"
#include "sim/sim_ftdi.h"
#include "sim/sim_port.h"
#include "support/temp_dir.h"
#include "ui/code_grid.h"
#include "ui/isp_s8252.h"

namespace vql::testing {

inline void Mouse(QWidget* widget, QEvent::Type type, Qt::MouseButtons held) {
  const QPointF at = QRectF(widget->rect()).center();
  QMouseEvent event(type, at, widget->mapToGlobal(at), Qt::LeftButton, held, Qt::NoModifier);
  QApplication::sendEvent(widget, &event);
}

inline void Click(QWidget* widget) {
  Mouse(widget, QEvent::MouseButtonPress, Qt::LeftButton);
  Mouse(widget, QEvent::MouseButtonRelease, Qt::NoButton);
}

inline void Key(QWidget* widget, int key) {
  for (const QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
    QKeyEvent event(type, key, Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
  }
}

class MainWindowWorld {
 public:
  static constexpr std::uint16_t kLpt2 = 0x278;
  // RST, MODE7 and MODE3 of the data register.
  static constexpr std::uint8_t kProgramLines = 0x10;
  static constexpr std::uint8_t kRunLines = 0x88;

  // configured: a CONFIG.VQL in the scratch folder. lookup: the configuration as the
  // program's lookup found it; without one, start-up reads the current directory's.
  explicit MainWindowWorld(const std::string& chip = "AT89S8253", bool configured = true,
                           const std::string& more = "",
                           std::optional<ConfigLookup> lookup = std::nullopt)
      : sim_("target=" + chip + ",clock=virtual" + more), lookup_(std::move(lookup)) {
    if (configured) dir.Write("CONFIG.VQL", "[03E8][0000][0000][0378][0278]\n");
    window = std::make_unique<ui::QtWindow>(SimWantsVirtualClock(getenv_));
    window->SetMessageBoxHook([this](const std::string& text) { boxes.push_back(text); });
    window->SetFileDialogHook([this] { return dialogAnswer; });
    QFile::remove(SettingsFile());
    Open();
  }

  // The window closed and the program started again: a new programmer and window in
  // the same folders, which take up what the last one remembered.
  void Reopen() {
    frm.reset();
    setup = {};
    Open();
  }

  // The file of remembered settings, where the window ought to keep it: under the
  // scratch configuration home that the test program sets, or the test stops before
  // the developer's own is touched. Worked out here, not by a QSettings of its own,
  // which would write out what the window's has not.
  static QString SettingsFile() {
    const QString home = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!home.startsWith(QString::fromStdString(std::filesystem::temp_directory_path()))) {
      throw std::logic_error("XDG_CONFIG_HOME is no scratch folder: " + home.toStdString());
    }
    return home + QStringLiteral("/vql-isp/vql-isp.conf");
  }
  // The settings file as it stands on disk.
  static std::string SettingsText() {
    QFile file(SettingsFile());
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "";
  }

  SimChip& Chip() {
    if (setup.adapter != nullptr) return *dynamic_cast<SimulatedFtdi&>(*setup.adapter).TargetAs<SimChip>();
    return *dynamic_cast<SimulatedPort&>(*setup.port).TargetAs<SimChip>();
  }
  std::uint8_t Lines(std::uint16_t base = 0x378) {
    return static_cast<std::uint8_t>(setup.port->Inport(base) & 0x98);
  }
  std::string Status() const { return frm->edtStatus->text().toStdString(); }
  std::string Cell(int column, int row) const {
    return frm->StringGrid1->CellText(column, row).toStdString();
  }

  // LOAD FILE, the dialog answered with path; the texts are recorded from here on.
  void Load(const std::string& path) {
    dialogAnswer = path;
    Click(frm->btnLoadFile);
    statuses.clear();
  }

  // A HEX file of count bytes from address 0, byte n being (n * 7 + 1) mod 255.
  std::string HexFile(int count) const {
    std::string text;
    char digits[16];
    for (int at = 0; at < count; at += 16) {
      const int length = std::min(16, count - at);
      int sum = length + (at >> 8) + at;
      std::snprintf(digits, sizeof digits, ":%02X%04X00", length, at);
      text += digits;
      for (int n = at; n < at + length; ++n) {
        sum += (n * 7 + 1) % 255;
        std::snprintf(digits, sizeof digits, "%02X", (n * 7 + 1) % 255);
        text += digits;
      }
      std::snprintf(digits, sizeof digits, "%02X\n", -sum & 0xFF);  // the checksum
      text += digits;
    }
    return dir.Write("big.hex", text + ":00000001FF\n");
  }

  // Runs step inside the pumps of whatever runs next, each time the window handles
  // its events, until step returns true.
  void During(std::function<bool()> step) {
    auto* timer = new QTimer(frm.get());
    QObject::connect(timer, &QTimer::timeout, timer, [timer, step = std::move(step)] {
      if (step()) timer->stop();
    });
    timer->start(0);
  }

  TempDir dir;
  ScopedCurrentDir cwd{dir.Path()};
  std::vector<std::string> boxes;           // every message box, in order
  std::vector<std::string> statuses;        // every text the status box took, in order
  std::optional<std::string> dialogAnswer;  // nothing: Cancel
  std::unique_ptr<ui::QtWindow> window;
  ProgrammerSetup setup;
  std::unique_ptr<ui::TfrmMain> frm;

 private:
  void Open() {
    setup = SetUpProgrammer(getenv_, *window, *window);
    frm = std::make_unique<ui::TfrmMain>(*setup.programmer, *window, lookup_);
    QObject::connect(frm->edtStatus, &QLineEdit::textChanged,
                     [this](const QString& text) { statuses.push_back(text.toStdString()); });
    frm->show();
  }

  std::string sim_;
  std::optional<ConfigLookup> lookup_;
  const GetEnv getenv_ = [this](const char* name) -> const char* {
    if (std::string_view(name) == "VQLISP_PORT") return "sim";
    return std::string_view(name) == "VQLISP_SIM" ? sim_.c_str() : nullptr;
  };
};

}  // namespace vql::testing
