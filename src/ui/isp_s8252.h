// ISP_S8252: the main window, frmMain. It carries the command buttons, the device
// box, the Security Lock and Fuse groups, the mode button, the status box, the
// progress bar, the logo, the code grid, the main menu and the file-open dialog,
// and wires each of them to the programmer's commands.
//
// The window holds no state of its own that the programmer also holds: whenever
// the core reports a change (ControlsChanged), it reads the ticks, the enabling and
// the selections back from the programmer. One command runs at a time; while it
// runs, everything that would start another or move the cable is disabled, Esc asks
// it to stop, and closing the window waits for it to stop before the target is
// released.
//
// Files > Open Job opens a production job: the job's file and settings go onto the
// programmer, the job's name and checksum show beside the file name, and the job
// panel runs chip after chip. While the chips run, the controls are off as during a
// command, and Esc, Stop or a close stop the run in the same way. Loading another
// HEX file closes the job.
#pragma once

#include <QMainWindow>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>
#include <utility>

#include "commands/command_table.h"
#include "commands/programmer.h"
#include "job/job_runner.h"
#include "ui/qt_window.h"
#include "ui/window_settings.h"

class QAction;
class QColor;
class QInputDialog;
class QCheckBox;
class QComboBox;
class QFileDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QToolButton;

namespace vql::ui {

class CodeGrid;
class JobPanel;
class TfrmAboutVql;

class TfrmMain final : public QMainWindow, private WindowView {
  Q_OBJECT

 public:
  // Builds the window from its design and runs FormCreate (the programmer's
  // start-up) before anything is shown, with the configuration file that the
  // lookup found; without a lookup, CONFIG.VQL in the current directory. The
  // settings that the last run remembered (window_settings.h) follow start-up. The
  // programmer and the window services must outlive the window.
  TfrmMain(Programmer& programmer, QtWindow& window,
           std::optional<ConfigLookup> config = std::nullopt);
  ~TfrmMain() override;

  // The client area below the menu bar, as designed.
  static constexpr int kClientWidth = 656;
  static constexpr int kClientHeight = 344;
  // The window's width in the design's terms: the client area and the two 3-pixel
  // edges of its single border. The compact view switches it between 294 and 663.
  int DesignWidth() const;

  // Loads path as Load does, the file dialog answered with it: a file named on the
  // command line or dropped on the window. Ignored while a command runs.
  void OpenFile(const QString& path);

  // Whether FormCreate read the configuration.
  bool Configured() const { return configured_; }

  // --- Controls, named as in the design.
  QLabel* Label1 = nullptr;
  QLineEdit* edtFileName = nullptr;
  // With a job open, beside the file name: "Job blink · SHA-256 243d3b7b…".
  QLabel* lblJob = nullptr;
  QGroupBox* GroupBox1 = nullptr;
  QPushButton* btnLoadFile = nullptr;
  QPushButton* btnReadChip = nullptr;
  QPushButton* btnErase = nullptr;
  QPushButton* btnBlank = nullptr;
  QPushButton* btnProgram = nullptr;
  QPushButton* btnVerify = nullptr;
  QPushButton* btnAuto = nullptr;
  QComboBox* cmbDevice = nullptr;
  QGroupBox* GroupBox2 = nullptr;
  QCheckBox* chkLock1 = nullptr;
  QCheckBox* chkLock2 = nullptr;
  QCheckBox* chkLock3 = nullptr;
  QToolButton* SpeedButton1 = nullptr;
  QGroupBox* GroupBox3 = nullptr;
  QCheckBox* chk_x2Clock = nullptr;
  QPushButton* btnFuse_Write = nullptr;
  QLabel* Image1 = nullptr;
  QPushButton* btnMode = nullptr;
  QLineEdit* edtStatus = nullptr;
  QProgressBar* ProgressBar1 = nullptr;
  CodeGrid* StringGrid1 = nullptr;
  QPushButton* Button1 = nullptr;  // "Test IO", below the client area
  QFileDialog* OpenDialog1 = nullptr;
  QFileDialog* JobDialog1 = nullptr;  // Files > Open Job: production jobs (*.vqljob)
  // Option > SCK Half Period: the shortest time between two serial clock edges.
  QInputDialog* SckHalfPeriodDialog = nullptr;
  // Timer1 is the window services' timer: its ticks arrive from inside the pump.

  // --- The main menu.
  QMenu* Files1 = nullptr;
  QAction* Load1 = nullptr;
  QAction* OpenJob1 = nullptr;
  QAction* JobPanel1 = nullptr;  // shows the job panel again; with a job open
  QAction* ReadChip1 = nullptr;
  QAction* ReadSignature1 = nullptr;
  QAction* Exit2 = nullptr;
  QMenu* Device1 = nullptr;
  // One item a device, in table order: AT89S511 .. AT89S40511.
  std::array<QAction*, kDevices.size()> DeviceItems{};
  QMenu* Port1 = nullptr;
  QAction* LPT11 = nullptr;
  QAction* LPT21 = nullptr;
  QAction* USB1 = nullptr;
  QMenu* Option1 = nullptr;
  QAction* ProgramMode1 = nullptr;
  QAction* RUNMode1 = nullptr;
  QAction* AutoRUNafterprogram1 = nullptr;
  QAction* AutoReloadFile1 = nullptr;
  QAction* FastProgramming1 = nullptr;
  QAction* SckHalfPeriod1 = nullptr;
  QAction* TestIO1 = nullptr;  // Test IO, as the hidden button below the layout
  QAction* About1 = nullptr;

  TfrmAboutVql* frmAboutVql = nullptr;
  JobPanel* frmJob = nullptr;  // shown when a job opens

  // The job open, if any, and whether its chips are running.
  const std::optional<Job>& OpenJob() const { return job_; }
  bool JobRunning() const { return jobRunning_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void BuildControls();
  // The window's font: see text_fit.h.
  void FitFont();
  void BuildMenu();
  void Wire();
  void FormCreate();
  void FormClose();

  // --- Handlers, named after the control and the event they serve. The operator
  // commands' controls (the command table names them) share CommandClick.
  void CommandClick(CommandId id);
  void Exit2Click();
  void chkLockClick(std::int32_t box, bool ticked);
  void chk_x2ClockClick(bool ticked);
  void btnModeClick();
  void ProgramMode1Click();
  void RUNMode1Click();
  void cmbDeviceChange(int itemIndex);
  void DeviceItemClick(std::int32_t index);  // AT89S511Click .. AT89S40511Click
  // Keeps the device now selected for the next run.
  void RememberDevice();
  void LPT11Click();
  void LPT21Click();
  void USB1Click();
  void AutoRUNafterprogram1Click();
  void AutoReloadFile1Click();
  void FastProgramming1Click();
  void SckHalfPeriod1Click();
  void Image1DblClick();
  void About1Click();
  void Button1Click();

  // --- The production job.
  void OpenJob1Click();
  void JobPanel1Click();
  // Chip after chip until Stop, Esc, a close, a fault, or no board can come.
  void JobStartClick();
  void JobStopClick();
  // A runner for job on the programmer, opened: the file loaded and checked, the
  // job's device and settings on the controls. When the job does not fit, the box
  // says why and the image, its extent and the device are as they were.
  bool OpenRunner(const Job& job);
  // What the run's end leaves in the status box, and the box of a fault.
  void AfterJob(LoopEnd end);
  // Another file was loaded: the job no longer describes the image.
  void CloseJob();
  // The job's name and checksum beside the file name, or the file box alone.
  void ShowJobLabel();
  // A command or the job's chips are running.
  bool Working() const;
  // Asks whatever runs to stop: the job's run, or the command.
  void StopWork();

  // Runs one command and shows what became of it: "Stopped." after a stop, a
  // warning tint and, if nothing has said why, a box after a failure that the last
  // status text would not show. A close asked for meanwhile follows.
  void RunCommand(const OperatorCommand& row);
  // The control that the command table names ("btnErase", "ReadChip1"), by its
  // object name; nullptr for "".
  QObject* CommandControl(std::string_view name) const;
  void AfterCommand(const OperatorCommand& row, const CommandResult& result,
                    std::uint64_t boxesBefore);
  void FinishPendingClose();
  // The status box's colour: aqua, amber after a failure, or the colour of a result
  // that could not be checked.
  void Tint(const QColor& colour);

  // --- WindowView.
  void ViewStatus(const QString& text) override;
  void ViewProgress(int percent) override;
  void ViewFileName(const QString& path) override;
  void ViewImage(const CodeImage& image) override;
  void ViewControlsChanged() override;
  std::optional<QString> ViewChooseHexFile() override;
  std::optional<QString> ViewChooseJobFile() override;

  // After start-up: what the last run remembered replaces the start-up values.
  void RestoreSettings();

  // Reads the programmer's state into the controls.
  void ReadControls();
  void SetClientWidth(int width);

  Programmer& programmer_;
  QtWindow& window_;
  std::optional<ConfigLookup> config_;
  bool configured_ = false;
  WindowSettings settings_;
  bool closeAfterCommand_ = false;  // a close came while a command ran
  // The command table's controls with the gate of each (Wire).
  std::vector<std::pair<QObject*, CommandGate>> commandControls_;
  bool exitAfterCommand_ = false;   // ... through Files > Exit
  bool released_ = false;           // FormClose has run
  std::optional<Job> job_;
  std::optional<JobRunner> runner_;  // the job on the programmer; a new one each Start
  bool jobRunning_ = false;
};

}  // namespace vql::ui
