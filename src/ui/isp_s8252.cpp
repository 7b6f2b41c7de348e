#include "ui/isp_s8252.h"

#include <QAbstractButton>
#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QColor>
#include <QComboBox>
#include <QCompleter>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFont>
#include <QFontMetrics>
#include <QGroupBox>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPalette>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QUrl>
#include <algorithm>
#include <initializer_list>
#include <string>
#include <utility>

#include "ui/about_vql.h"
#include "ui/code_grid.h"
#include "ui/job_panel.h"
#include "ui/text_fit.h"

namespace vql::ui {

namespace {

// The design's single border adds three pixels on either side of the client area:
// the widths of the compact view (294 and 663) count them.
constexpr int kDesignEdges = 6;
constexpr int kCompactBelow = 660;
constexpr int kWideWidth = 663;
constexpr int kNarrowWidth = 294;
// The file box's place, and the room that the job's label takes from its right end
// while a job is open.
const QRect kFileNamePlace(88, 8, 561, 21);
constexpr int kJobLabelWidth = 200;
constexpr int kJobLabelGap = 4;
// How much of the checksum the label shows; the tooltip has all of it.
constexpr int kShownHashDigits = 8;

const QColor kAqua(0, 255, 255);
const QColor kNavy(0, 0, 128);
// The status box after a command that failed although its last text reads well.
const QColor kWarning(255, 176, 0);
// After a Done that nothing the chip answered could check: neither aqua nor amber.
const QColor kUnchecked(216, 200, 255);

// The first picture of these that the resources hold (the pictures may come as
// SVG or PNG, and SVG needs an image plugin that not every system has).
QPixmap Picture(std::initializer_list<const char*> names) {
  for (const char* name : names) {
    QPixmap picture(QString::fromLatin1(name));
    if (!picture.isNull()) return picture;
  }
  return {};
}

QString FromStd(const std::string& text) { return QString::fromStdString(text); }

// "the chip does not match the image" as a sentence of its own.
QString Sentence(const std::string& text) {
  QString sentence = FromStd(text);
  if (!sentence.isEmpty()) sentence[0] = sentence[0].toUpper();
  return sentence + QLatin1Char('.');
}

// The local .hex file that a drag carries, or an empty string.
QString HexFileOf(const QMimeData* mime) {
  if (mime == nullptr || !mime->hasUrls() || mime->urls().isEmpty()) return {};
  const QUrl url = mime->urls().front();
  if (!url.isLocalFile()) return {};
  const QString path = url.toLocalFile();
  if (QFileInfo(path).suffix().compare(QLatin1String("hex"), Qt::CaseInsensitive) != 0) return {};
  return path;
}

// Shows a file dialog modally and returns how it ended. The name box's completion
// list is a window of its own: Enter on a typed name ends the dialog but would leave
// the list over the main window.
int ExecFileDialog(QFileDialog& dialog) {
  const int answer = dialog.exec();
  for (const QCompleter* completer : dialog.findChildren<QCompleter*>()) {
    if (completer->popup() != nullptr) completer->popup()->hide();
  }
  return answer;
}

QString Latin1(std::string_view text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// A bold command button; name: the control's name, by which the command table knows it.
QPushButton* CommandButton(const char* name, const char* caption, QWidget* parent, int x, int y,
                           int width, int height) {
  auto* button = new QPushButton(QString::fromLatin1(caption), parent);
  button->setObjectName(QString::fromLatin1(name));
  // Bold and nothing else: the family and size follow the window's.
  QFont bold;
  bold.setBold(true);
  button->setFont(bold);
  button->setGeometry(x, y, width, height);
  return button;
}

QCheckBox* CheckBox(const char* caption, QWidget* parent, int x, int y, int width) {
  auto* box = new QCheckBox(QString::fromLatin1(caption), parent);
  box->setGeometry(x, y, width, 17);
  return box;
}

}  // namespace

TfrmMain::TfrmMain(Programmer& programmer, QtWindow& window,
                   std::optional<ConfigLookup> config)
    : programmer_(programmer), window_(window), config_(std::move(config)) {
  setWindowTitle(QStringLiteral("VQL-ISP  V2.3 , Beta-A"));
  BuildControls();
  FitFont();
  BuildMenu();
  Wire();
  frmJob = new JobPanel(this);
  frmJob->hide();
  connect(frmJob, &JobPanel::StartClicked, this, [this] { JobStartClick(); });
  connect(frmJob, &JobPanel::StopClicked, this, [this] { JobStopClick(); });
  SetClientWidth(kClientWidth);
  move(394, 271);
  setAcceptDrops(true);
  window_.AttachView(this);
  FormCreate();
  // Created hidden at start-up, after the main window; About shows it modally, with
  // the configuration file that start-up read.
  frmAboutVql =
      new TfrmAboutVql(this, configured_ ? FromStd(programmer_.Link.ConfigPath) : QString());
  frmAboutVql->hide();
  // Esc and the picture's double-click are seen before any control takes them.
  qApp->installEventFilter(this);
}

TfrmMain::~TfrmMain() {
  qApp->removeEventFilter(this);
  window_.AttachView(nullptr);
  // However the window goes, the target is not left held in reset.
  if (!released_) FormClose();
}

void TfrmMain::BuildControls() {
  auto* client = new QWidget(this);
  setCentralWidget(client);

  Label1 = new QLabel(QStringLiteral("File Name"), client);
  Label1->move(16, 8);
  edtFileName = new QLineEdit(client);
  edtFileName->setGeometry(kFileNamePlace);
  edtFileName->setAcceptDrops(false);  // a dropped file is loaded, not typed in
  lblJob = new QLabel(client);
  lblJob->setGeometry(kFileNamePlace.right() + 1 - kJobLabelWidth, kFileNamePlace.y(),
                      kJobLabelWidth, kFileNamePlace.height());
  lblJob->hide();

  GroupBox1 = new QGroupBox(QStringLiteral("Command Button"), client);
  GroupBox1->setGeometry(8, 36, 138, 302);
  btnLoadFile = CommandButton("btnLoadFile", "LOAD FILE", GroupBox1, 8, 24, 121, 25);
  btnReadChip = CommandButton("btnReadChip", "READ CHIP", GroupBox1, 8, 56, 121, 25);
  btnErase = CommandButton("btnErase", "ERASE", GroupBox1, 8, 88, 121, 25);
  btnBlank = CommandButton("btnBlank", "BLANK", GroupBox1, 8, 120, 121, 25);
  btnProgram = CommandButton("btnProgram", "PROGRAM", GroupBox1, 8, 152, 121, 25);
  btnVerify = CommandButton("btnVerify", "VERIFY CODE", GroupBox1, 8, 184, 121, 25);
  btnAuto = CommandButton("btnAuto", "AUTO-PROGRAM", GroupBox1, 8, 216, 121, 81);

  cmbDevice = new QComboBox(client);
  cmbDevice->setEditable(false);  // only the table's devices can be chosen
  for (const DeviceInfo& device : kDevices) {
    cmbDevice->addItem(
        QString::fromLatin1(device.name.data(), static_cast<qsizetype>(device.name.size())));
  }
  cmbDevice->setGeometry(152, 40, 137, 21);

  GroupBox2 = new QGroupBox(QStringLiteral("Security Lock"), client);
  GroupBox2->setGeometry(152, 64, 130, 74);
  chkLock1 = CheckBox("Lock Bit 1", GroupBox2, 8, 18, 80);
  chkLock2 = CheckBox("Lock Bit 2", GroupBox2, 8, 36, 80);
  chkLock3 = CheckBox("Lock Bit 3", GroupBox2, 8, 54, 80);
  SpeedButton1 = new QToolButton(GroupBox2);
  SpeedButton1->setObjectName(QStringLiteral("SpeedButton1"));
  SpeedButton1->setAutoRaise(true);  // flat
  SpeedButton1->setGeometry(90, 18, 33, 49);
  SpeedButton1->setIcon(QIcon(Picture({":/key.svg", ":/key.png"})));
  SpeedButton1->setIconSize(QSize(24, 24));
  SpeedButton1->setToolTip(QStringLiteral("Write the lock bits"));

  GroupBox3 = new QGroupBox(QStringLiteral("Fuse"), client);
  GroupBox3->setGeometry(152, 142, 130, 44);
  chk_x2Clock = CheckBox("x2 Clock", GroupBox3, 8, 19, 76);
  btnFuse_Write = CommandButton("btnFuse_Write", "WR", GroupBox3, 90, 14, 33, 25);

  Image1 = new QLabel(client);
  Image1->setGeometry(152, 192, 129, 65);
  Image1->setScaledContents(true);  // stretched
  Image1->setPixmap(Picture({":/logo_wide.svg", ":/logo_wide.png", ":/logo.svg", ":/logo.png"}));

  btnMode = new QPushButton(QStringLiteral("OPERATION MODE"), client);
  btnMode->setGeometry(152, 264, 129, 25);

  edtStatus = new QLineEdit(Latin1(status::kProgramMode.text), client);
  edtStatus->setGeometry(152, 296, 129, 21);
  edtStatus->setAcceptDrops(false);
  Tint(kAqua);

  ProgressBar1 = new QProgressBar(client);
  ProgressBar1->setGeometry(152, 320, 129, 17);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);

  StringGrid1 = new CodeGrid(client);
  StringGrid1->setGeometry(288, 32, 361, 305);

  // Below the 344-pixel client area: out of sight and out of the mouse's reach, but
  // last in the keyboard's focus order.
  Button1 = new QPushButton(QStringLiteral("Test IO"), client);
  Button1->setObjectName(QStringLiteral("Button1"));
  Button1->setGeometry(32, 352, 81, 25);

  QWidget* const order[] = {edtFileName, btnLoadFile, btnReadChip,  btnErase,    btnBlank,
                            btnProgram,  btnVerify,   btnAuto,      cmbDevice,   chkLock1,
                            chkLock2,    chkLock3,    SpeedButton1, chk_x2Clock, btnFuse_Write,
                            btnMode,     edtStatus,   StringGrid1,  Button1};
  for (std::size_t i = 1; i < std::size(order); ++i) QWidget::setTabOrder(order[i - 1], order[i]);

  const std::pair<QWidget*, const char*> names[] = {
      {Label1, "Label1"},         {edtFileName, "edtFileName"},     {lblJob, "lblJob"},
      {GroupBox1, "GroupBox1"},
      {btnLoadFile, "btnLoadFile"}, {btnReadChip, "btnReadChip"},   {btnErase, "btnErase"},
      {btnBlank, "btnBlank"},     {btnProgram, "btnProgram"},       {btnVerify, "btnVerify"},
      {btnAuto, "btnAuto"},       {cmbDevice, "cmbDevice"},         {GroupBox2, "GroupBox2"},
      {chkLock1, "chkLock1"},     {chkLock2, "chkLock2"},           {chkLock3, "chkLock3"},
      {SpeedButton1, "SpeedButton1"}, {GroupBox3, "GroupBox3"},     {chk_x2Clock, "chk_x2Clock"},
      {btnFuse_Write, "btnFuse_Write"}, {Image1, "Image1"},         {btnMode, "btnMode"},
      {edtStatus, "edtStatus"},   {ProgressBar1, "ProgressBar1"},   {StringGrid1, "StringGrid1"},
      {Button1, "Button1"}};
  for (const auto& [widget, name] : names) widget->setObjectName(QString::fromLatin1(name));

  OpenDialog1 = new QFileDialog(this);
  OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
  OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
  OpenDialog1->setFileMode(QFileDialog::AnyFile);  // a typed name need not exist
  OpenDialog1->setNameFilter(QStringLiteral("Hex File Format (*.hex);;All Files (*)"));

  JobDialog1 = new QFileDialog(this);
  JobDialog1->setObjectName(QStringLiteral("JobDialog1"));
  JobDialog1->setAcceptMode(QFileDialog::AcceptOpen);
  JobDialog1->setFileMode(QFileDialog::ExistingFile);
  JobDialog1->setNameFilter(QStringLiteral("Production jobs (*.vqljob)"));

  SckHalfPeriodDialog = new QInputDialog(this);
  SckHalfPeriodDialog->setObjectName(QStringLiteral("SckHalfPeriodDialog"));
  SckHalfPeriodDialog->setWindowTitle(QStringLiteral("SCK Half Period"));
  SckHalfPeriodDialog->setInputMode(QInputDialog::IntInput);
  SckHalfPeriodDialog->setIntRange(ProgrammerLink::kMinSckHalfPeriodUs,
                                   ProgrammerLink::kMaxSckHalfPeriodUs);
  SckHalfPeriodDialog->setLabelText(QString::fromStdString(
      "The shortest time between two edges of the serial clock, in microseconds.\n"
      "A half period must last 8 crystal periods on the four-byte devices and 20 on\n"
      "the three-byte ones; twice that is safe: " +
      std::to_string(ProgrammerLink::kDefaultSckHalfPeriodUs) +
      " suits every device\n"
      "with a crystal of 12 MHz or more, 14 every device at 3 MHz, the lowest crystal\n"
      "the data sheets allow for serial programming.\n"
      "The window remembers it; the command-line program starts with " +
      std::to_string(ProgrammerLink::kDefaultSckHalfPeriodUs) + " every time."));
}

void TfrmMain::FitFont() {
  // The desktop's family at the layout's pixel size, or smaller where that family
  // runs too wide for a caption. Whole-window scaling scales it with the layout.
  QFont windowFont = font();
  QList<QWidget*> controls = findChildren<QWidget*>();
  controls.removeIf([this](const QWidget* control) { return control->window() != this; });
  for (int pixels = kLayoutFontPixels; pixels >= kSmallestFontPixels; --pixels) {
    windowFont.setPixelSize(pixels);
    setFont(windowFont);
    // The label ends where the file box begins.
    Label1->resize(edtFileName->x() - Label1->x() - 2, Label1->sizeHint().height());
    if (std::all_of(controls.begin(), controls.end(),
                    [](const QWidget* control) { return CaptionFits(*control); })) {
      break;
    }
  }
  // The buttons beside the boxes were placed for a title drawn on the frame line;
  // where the style draws it above, they move below it, inside the frame.
  for (QWidget* button : std::initializer_list<QWidget*>{btnFuse_Write, SpeedButton1}) {
    const QRect inside = button->parentWidget()->contentsRect();
    QRect place = button->geometry();
    if (place.top() >= inside.top()) continue;
    place.moveTop(inside.top());
    place.setBottom(std::min(place.bottom(), inside.bottom()));
    button->setGeometry(place);
  }
  ViewStatus(edtStatus->text());
}

void TfrmMain::BuildMenu() {
  QMenuBar* bar = menuBar();
  Files1 = bar->addMenu(QStringLiteral("Files"));
  Load1 = Files1->addAction(QStringLiteral("&Load Code"));
  Load1->setObjectName(QStringLiteral("Load1"));
  OpenJob1 = Files1->addAction(QStringLiteral("Open &Job..."));
  OpenJob1->setObjectName(QStringLiteral("OpenJob1"));
  JobPanel1 = Files1->addAction(QStringLiteral("Job &Panel"));
  JobPanel1->setObjectName(QStringLiteral("JobPanel1"));
  Files1->addSeparator();
  ReadChip1 = Files1->addAction(QStringLiteral("&Read Chip"));
  ReadChip1->setObjectName(QStringLiteral("ReadChip1"));
  // With Read Chip: both read the chip and change nothing on it.
  ReadSignature1 = Files1->addAction(QStringLiteral("Read &Signature"));
  ReadSignature1->setObjectName(QStringLiteral("ReadSignature1"));
  Files1->addSeparator();
  Exit2 = Files1->addAction(QStringLiteral("E&xit"));

  // One device at a time: radio marks. The core decides which is ticked.
  Device1 = bar->addMenu(QStringLiteral("Device"));
  auto* devices = new QActionGroup(Device1);
  devices->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
  for (std::size_t i = 0; i < kDevices.size(); ++i) {
    const std::string_view name = kDevices[i].name;
    DeviceItems[i] =
        Device1->addAction(QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())));
    DeviceItems[i]->setCheckable(true);
    devices->addAction(DeviceItems[i]);
  }

  Port1 = bar->addMenu(QStringLiteral("Port"));
  LPT11 = Port1->addAction(QStringLiteral("LPT1"));
  LPT21 = Port1->addAction(QStringLiteral("LPT2"));
  // The USB cable, when the program drives one: named as the adapter calls itself.
  USB1 = Port1->addAction(QStringLiteral("USB"));
  USB1->setVisible(false);
  LPT11->setCheckable(true);
  LPT21->setCheckable(true);
  USB1->setCheckable(true);

  Option1 = bar->addMenu(QStringLiteral("Option"));
  ProgramMode1 = Option1->addAction(QStringLiteral("Program Mode"));
  RUNMode1 = Option1->addAction(QStringLiteral("RUN Mode"));
  Option1->addSeparator();
  AutoRUNafterprogram1 = Option1->addAction(QStringLiteral("Auto RUN after auto program"));
  AutoReloadFile1 = Option1->addAction(QStringLiteral("Auto Reload File"));
  FastProgramming1 = Option1->addAction(QStringLiteral("Fast Programming"));
  FastProgramming1->setObjectName(QStringLiteral("FastProgramming1"));
  for (QAction* item :
       {ProgramMode1, RUNMode1, AutoRUNafterprogram1, AutoReloadFile1, FastProgramming1}) {
    item->setCheckable(true);
  }
  Option1->addSeparator();
  SckHalfPeriod1 = Option1->addAction(QStringLiteral("SCK Half Period..."));
  // The cable's loop test, whose button lies out of sight below the layout.
  TestIO1 = Option1->addAction(QStringLiteral("Test IO"));
  TestIO1->setObjectName(QStringLiteral("TestIO1"));

  // A command of the table that has a menu item but no control above gets its item
  // here, before Exit, under its name.
  for (const OperatorCommand& row : kOperatorCommands) {
    if (row.menuItem.empty() || CommandControl(row.menuItem) != nullptr) continue;
    auto* item = new QAction(Latin1(row.name), Files1);
    item->setObjectName(Latin1(row.menuItem));
    Files1->insertAction(Exit2, item);
  }

  // A menu-bar entry without items that acts when chosen.
  About1 = bar->addAction(QStringLiteral("About"));
}

void TfrmMain::Wire() {
  // The command buttons and menu items, as the command table names them, looked up
  // once: ReadControls enables them by their gates.
  for (const OperatorCommand& row : kOperatorCommands) {
    const CommandId id = row.id;
    const std::pair<std::string_view, CommandGate> gated[] = {{row.button, row.buttonGate},
                                                              {row.menuItem, row.menuGate}};
    for (const auto& [name, gate] : gated) {
      QObject* control = CommandControl(name);
      if (control != nullptr) commandControls_.push_back({control, gate});
      if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        connect(button, &QAbstractButton::clicked, this, [this, id] { CommandClick(id); });
      } else if (auto* item = qobject_cast<QAction*>(control)) {
        connect(item, &QAction::triggered, this, [this, id] { CommandClick(id); });
      }
    }
  }
  connect(Exit2, &QAction::triggered, this, [this] { Exit2Click(); });
  connect(OpenJob1, &QAction::triggered, this, [this] { OpenJob1Click(); });
  connect(JobPanel1, &QAction::triggered, this, [this] { JobPanel1Click(); });
  // clicked, not toggled: the rules run for the operator's clicks here, and for the
  // program's changes (a lock read) in the core, which then reports them.
  connect(chkLock1, &QCheckBox::clicked, this, [this](bool on) { chkLockClick(1, on); });
  connect(chkLock2, &QCheckBox::clicked, this, [this](bool on) { chkLockClick(2, on); });
  connect(chkLock3, &QCheckBox::clicked, this, [this](bool on) { chkLockClick(3, on); });
  connect(chk_x2Clock, &QCheckBox::clicked, this, [this](bool on) { chk_x2ClockClick(on); });
  connect(btnMode, &QPushButton::clicked, this, [this] { btnModeClick(); });
  connect(ProgramMode1, &QAction::triggered, this, [this] { ProgramMode1Click(); });
  connect(RUNMode1, &QAction::triggered, this, [this] { RUNMode1Click(); });
  // activated: the operator's choices only; the program sets the index silently.
  connect(cmbDevice, &QComboBox::activated, this, [this](int index) { cmbDeviceChange(index); });
  for (std::size_t i = 0; i < DeviceItems.size(); ++i) {
    connect(DeviceItems[i], &QAction::triggered, this,
            [this, i] { DeviceItemClick(static_cast<std::int32_t>(i)); });
  }
  connect(LPT11, &QAction::triggered, this, [this] { LPT11Click(); });
  connect(LPT21, &QAction::triggered, this, [this] { LPT21Click(); });
  connect(USB1, &QAction::triggered, this, [this] { USB1Click(); });
  connect(AutoRUNafterprogram1, &QAction::triggered, this, [this] { AutoRUNafterprogram1Click(); });
  connect(AutoReloadFile1, &QAction::triggered, this, [this] { AutoReloadFile1Click(); });
  connect(FastProgramming1, &QAction::triggered, this, [this] { FastProgramming1Click(); });
  connect(SckHalfPeriod1, &QAction::triggered, this, [this] { SckHalfPeriod1Click(); });
  connect(About1, &QAction::triggered, this, [this] { About1Click(); });
}

void TfrmMain::FormCreate() {
  // The configuration, LPT1 and the program-mode lines, the empty image and grid,
  // the calibration, the AT89S8253 with its fuse controls disabled.
  configured_ = config_ ? programmer_.Startup(*config_) : programmer_.Startup();
  // On the simulator every answer is made up: the operator sees so from the start,
  // and in the Port menu.
  const ProgrammerLink& link = programmer_.Link;
  const auto target = link.SimulatedTarget();
  const std::string simulated = target && !link.HasAdapter() ? " (simulated)" : "";
  if (configured_) {
    LPT11->setText(FromStd(link.PortCaption(1) + simulated));
    LPT21->setText(FromStd(link.PortCaption(2) + simulated));
  }
  if (link.HasAdapter()) {
    USB1->setText(FromStd(link.PortCaption(ProgrammerLink::kUsbPort)));
    USB1->setVisible(true);
  }
  if (target) {
    window_.ShowStatus(edtStatus->text().toStdString() + " Simulator: " +
                       (target->empty() ? "no chip" : *target));
  }
  RestoreSettings();
  ReadControls();
}

void TfrmMain::RestoreSettings() {
  settings_.onWriteFailed = [this](const QString& path) {
    window_.ShowNotice("The window could not save its settings to " + path.toStdString() +
                       ": what you change lasts for this run only.");
  };
  const RememberedSettings remembered = settings_.Read();
  Commands& cmd = programmer_.Cmd;
  if (remembered.fastProgramming) cmd.SetFastProgramming(*remembered.fastProgramming);
  if (remembered.sckHalfPeriodUs) cmd.SetSckHalfPeriod(*remembered.sckHalfPeriodUs);
  // As if chosen from the Device menu: a device with the fuse enables its controls.
  if (remembered.deviceIndex) cmd.SelectDevice(*remembered.deviceIndex);
  if (remembered.openFolder) OpenDialog1->setDirectory(*remembered.openFolder);
}

// --- Start and end of a command.

void TfrmMain::RunCommand(const OperatorCommand& row) {
  Commands& cmd = programmer_.Cmd;
  if (Working()) return;
  Tint(kAqua);
  const std::uint64_t boxesBefore = window_.MessageBoxesShown();
  // Disabled while the command runs, the focused button hands the focus on (to a
  // lock box, where a Space meant to repeat the command would tick it); it gets the
  // focus back at the end.
  QWidget* const focused = focusWidget();
  ProgressBar1->setValue(0);  // not the last command's 100 %
  const CommandResult result = (cmd.*row.run)();
  // A file chosen in the dialog (read or not) has emptied the image and what the
  // job compared: the job's file is gone. A cancelled dialog leaves both.
  if (job_ && row.id == CommandId::Load && programmer_.Image.CompareOnly.empty()) CloseJob();
  AfterCommand(row, result, boxesBefore);
  ReadControls();
  if (focused != nullptr && focused->isEnabled()) focused->setFocus();
  FinishPendingClose();
}

void TfrmMain::AfterCommand(const OperatorCommand& row, const CommandResult& result,
                            std::uint64_t boxesBefore) {
  Commands& cmd = programmer_.Cmd;
  if (result.outcome == Outcome::Stopped) {
    // The walk ended at an address; the target stays held, unless the window is
    // closing, which releases it next.
    if (!closeAfterCommand_ && cmd.InProgramMode) cmd.SetOperatingMode(true);
    window_.ShowStatus(status::kStopped.text);
    return;
  }
  if (result.Ok() && !result.Vouched()) {
    // The text of success stands, with a note; its box explained it the first time,
    // and the tooltip does every time.
    window_.ShowStatus(edtStatus->text().toStdString() + " (no chip answer to check)");
    edtStatus->setToolTip(edtStatus->text() + QLatin1Char('\n') + FromStd(result.caveat));
    Tint(kUnchecked);
    return;
  }
  if (result.Ok() || result.outcome == Outcome::Busy) return;
  // A text that says the failure itself ("Verify not match") stands. Any other, a
  // progress text, or "Program completed." after a byte that did not program, could
  // be taken for success: the last line says what failed, on amber.
  if (cmd.StatusShowsFailure()) return;
  window_.ShowStatus(std::string(row.name) + " failed: " +
                     std::string(OutcomeShortText(result.outcome)));
  Tint(kWarning);
  if (window_.MessageBoxesShown() == boxesBefore) {
    window_.ShowMessageBox(Sentence(OutcomeText(result.outcome)).toStdString());
  }
}

void TfrmMain::FinishPendingClose() {
  if (!closeAfterCommand_ || Working()) return;
  closeAfterCommand_ = false;
  if (std::exchange(exitAfterCommand_, false)) {
    Exit2Click();
  } else {
    close();
  }
}

void TfrmMain::Tint(const QColor& colour) {
  QPalette palette = edtStatus->palette();
  palette.setColor(QPalette::Base, colour);
  palette.setColor(QPalette::Text, kNavy);
  edtStatus->setPalette(palette);
}

// --- Commands.

QObject* TfrmMain::CommandControl(std::string_view name) const {
  return name.empty() ? nullptr : findChild<QObject*>(Latin1(name));
}

void TfrmMain::CommandClick(CommandId id) {
  if (Working()) return;
  if (id == CommandId::TestIo) {
    Button1Click();
  } else {
    RunCommand(CommandRow(id));
  }
}

void TfrmMain::Button1Click() {
  if (Working()) return;
  // The loop test reports in its own box, pass or fail.
  programmer_.Cmd.TestIo();
  ReadControls();
  FinishPendingClose();
}

void TfrmMain::OpenFile(const QString& path) {
  if (Working()) return;
  window_.AnswerNextFileDialog(QFile::encodeName(QFileInfo(path).absoluteFilePath()).toStdString());
  CommandClick(CommandId::Load);
}

// --- The production job.

bool TfrmMain::Working() const { return programmer_.Cmd.Busy() || jobRunning_; }

void TfrmMain::StopWork() {
  if (jobRunning_ && runner_) {
    runner_->RequestStop();
  } else {
    programmer_.Cmd.RequestStop();
  }
}

void TfrmMain::OpenJob1Click() {
  if (Working()) return;
  const std::optional<std::string> path = window_.ChooseJobFile();
  if (!path) return;
  std::optional<Job> job;
  try {
    job = ReadJobFile(*path);
  } catch (const JobError& error) {
    window_.ShowMessageBox(error.what());
    return;
  }
  // A job that does not fit leaves the job open before, if any, as it was.
  if (!OpenRunner(*job)) return;
  job_ = std::move(job);
  ShowJobLabel();
  frmJob->ShowJob(*job_, runner_->LogPath());
  JobPanel1Click();
  ReadControls();
}

void TfrmMain::JobPanel1Click() {
  if (!job_) return;
  frmJob->show();
  frmJob->raise();
  frmJob->activateWindow();
}

bool TfrmMain::OpenRunner(const Job& job) {
  // A job that cannot be opened leaves the image, its file and the device as they were.
  runner_.reset();
  runner_.emplace(programmer_, job);
  try {
    runner_->Open();
    return true;
  } catch (const JobError& error) {
    runner_.reset();
    window_.ShowMessageBox(error.what());
    ReadControls();
    return false;
  }
}

void TfrmMain::JobStartClick() {
  if (!job_ || Working()) return;
  // Each run starts from the job itself: the file checked again, and the job's device,
  // lock level and options back on the controls, whatever changed since.
  if (!OpenRunner(*job_)) return;
  Tint(kAqua);
  ProgressBar1->setValue(0);
  jobRunning_ = true;
  frmJob->SetRunning(true);
  frmJob->ShowVerdict(JobPanel::Verdict::Waiting);
  ReadControls();
  const LoopEnd end = runner_->RunLoop(
      std::nullopt, [this](const ChipReport& report) { frmJob->ShowChip(report); });
  jobRunning_ = false;
  frmJob->SetRunning(false);
  AfterJob(end);
  ReadControls();
  FinishPendingClose();
}

void TfrmMain::JobStopClick() {
  if (jobRunning_) StopWork();
}

void TfrmMain::AfterJob(LoopEnd end) {
  switch (end) {
    case LoopEnd::Fault:
      window_.ShowStatus("Job stopped: " + runner_->FaultText());
      Tint(kWarning);
      window_.ShowMessageBox(runner_->FaultText());
      break;
    case LoopEnd::Stopped:
      window_.ShowStatus(status::kStopped.text);
      break;
    case LoopEnd::Count:
    case LoopEnd::NoBoard:
      window_.ShowStatus("Job ended: " + std::to_string(frmJob->Passed()) + " passed, " +
                         std::to_string(frmJob->Failed()) + " failed");
      if (frmJob->Failed() > 0) Tint(kWarning);
      break;
  }
}

void TfrmMain::CloseJob() {
  job_.reset();
  runner_.reset();
  // Verify compares the whole image again (the loader has done so already).
  programmer_.Image.CompareOnly.clear();
  frmJob->hide();
  ShowJobLabel();
}

void TfrmMain::ShowJobLabel() {
  if (!job_) {
    lblJob->hide();
    edtFileName->setGeometry(kFileNamePlace);
    return;
  }
  QRect box = kFileNamePlace;
  box.setWidth(kFileNamePlace.width() - kJobLabelWidth - kJobLabelGap);
  edtFileName->setGeometry(box);
  edtFileName->setCursorPosition(0);
  // The checksum's first digits always show; a long name gives way in its middle.
  const QString hash = FromStd(job_->sha256);
  const QString tail = QStringLiteral(" \u00B7 SHA-256 ") + hash.left(kShownHashDigits) +
                       QStringLiteral("\u2026");
  const QFontMetrics metrics = lblJob->fontMetrics();
  const int room = lblJob->width() - metrics.horizontalAdvance(QStringLiteral("Job ") + tail);
  lblJob->setText(QStringLiteral("Job ") +
                  metrics.elidedText(FromStd(job_->Name()), Qt::ElideMiddle, room) + tail);
  lblJob->setToolTip(QStringLiteral("Job %1\nDevice %2\nFile %3\nSHA-256 %4")
                         .arg(FromStd(job_->path), FromStd(job_->device),
                              FromStd(job_->FilePath()), hash));
  lblJob->show();
}

// --- Operator controls.

void TfrmMain::chkLockClick(std::int32_t box, bool ticked) {
  programmer_.Cmd.SetLockBox(box, ticked);
  ReadControls();  // the rule may have changed the other boxes, or a command refused it
}

void TfrmMain::chk_x2ClockClick(bool ticked) {
  programmer_.Cmd.SetX2Clock(ticked);
  ReadControls();
}

void TfrmMain::btnModeClick() {
  programmer_.Cmd.ToggleOperatingMode();
  ReadControls();
}

void TfrmMain::ProgramMode1Click() {
  programmer_.Cmd.ChooseProgramMode();
  ReadControls();  // the item ticked itself; the core says whether it stands
}

void TfrmMain::RUNMode1Click() {
  programmer_.Cmd.ChooseRunMode();
  ReadControls();
}

void TfrmMain::cmbDeviceChange(int itemIndex) {
  if (programmer_.Cmd.SelectDeviceOrNone(itemIndex)) RememberDevice();
  ReadControls();
}

void TfrmMain::DeviceItemClick(std::int32_t index) {
  if (programmer_.Cmd.SelectDevice(index)) RememberDevice();
  ReadControls();
}

void TfrmMain::RememberDevice() {
  if (const DeviceInfo* device = programmer_.Selection.Device()) settings_.RememberDevice(*device);
}

void TfrmMain::LPT11Click() {
  programmer_.Cmd.SelectPort(1);
  ReadControls();
}

void TfrmMain::LPT21Click() {
  programmer_.Cmd.SelectPort(2);
  ReadControls();
}

void TfrmMain::USB1Click() {
  programmer_.Cmd.SelectPort(ProgrammerLink::kUsbPort);
  ReadControls();
}

void TfrmMain::AutoRUNafterprogram1Click() {
  programmer_.Cmd.SetAutoRunAfterProgram(!programmer_.Cmd.AutoRunAfterProgram);
  ReadControls();
}

void TfrmMain::AutoReloadFile1Click() {
  programmer_.Cmd.SetAutoReloadFile(!programmer_.Controls.AutoReloadFile);
  ReadControls();
}

void TfrmMain::FastProgramming1Click() {
  const OperatorControls& controls = programmer_.Controls;
  if (programmer_.Cmd.SetFastProgramming(!controls.FastProgramming)) {
    settings_.RememberFastProgramming(controls.FastProgramming);
  }
  ReadControls();  // the item ticked itself; the core says whether it stands
}

void TfrmMain::SckHalfPeriod1Click() {
  if (Working()) return;
  SckHalfPeriodDialog->setIntValue(programmer_.Link.SckHalfPeriodUs);
  if (SckHalfPeriodDialog->exec() != QDialog::Accepted) return;
  if (programmer_.Cmd.SetSckHalfPeriod(SckHalfPeriodDialog->intValue())) {
    settings_.RememberSckHalfPeriod(programmer_.Link.SckHalfPeriodUs);
  }
  ReadControls();
}

int TfrmMain::DesignWidth() const { return width() + kDesignEdges; }

void TfrmMain::Image1DblClick() {
  SetClientWidth((DesignWidth() < kCompactBelow ? kWideWidth : kNarrowWidth) - kDesignEdges);
  window_.PumpMessages();
}

void TfrmMain::SetClientWidth(int width) {
  int menuHeight = menuBar()->heightForWidth(width);
  if (menuHeight <= 0) menuHeight = menuBar()->sizeHint().height();
  setFixedSize(width, menuHeight + kClientHeight);
}

void TfrmMain::About1Click() { frmAboutVql->exec(); }

// --- Start and end of the window.

void TfrmMain::Exit2Click() {
  if (Working()) {
    // Not in the middle of a walk: the command stops at its next address, and Exit
    // follows when it has ended.
    closeAfterCommand_ = exitAfterCommand_ = true;
    StopWork();
    return;
  }
  if (programmer_.Link.PortUsable()) programmer_.Link.ReleaseTargetToRun();
  close();
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  if (Working()) {
    closeAfterCommand_ = true;
    StopWork();
    event->ignore();
    return;
  }
  FormClose();
  event->accept();
}

void TfrmMain::FormClose() {
  // Run mode, from either mode: the run-mode lines and "RUN MODE.".
  programmer_.Shutdown();
  released_ = true;
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && Working()) {
    const auto* key = static_cast<const QKeyEvent*>(event);
    const auto* widget = qobject_cast<const QWidget*>(watched);
    if (key->key() == Qt::Key_Escape && widget != nullptr &&
        (widget->window() == this || widget->window() == frmJob)) {
      StopWork();
      return true;
    }
  }
  if (watched == Image1 && event->type() == QEvent::MouseButtonDblClick) {
    Image1DblClick();
    return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

void TfrmMain::dragEnterEvent(QDragEnterEvent* event) {
  if (!Working() && !HexFileOf(event->mimeData()).isEmpty()) {
    event->acceptProposedAction();
  }
}

void TfrmMain::dropEvent(QDropEvent* event) {
  const QString path = HexFileOf(event->mimeData());
  if (path.isEmpty()) return;
  event->acceptProposedAction();
  OpenFile(path);
}

// --- What the window services hand over.

void TfrmMain::ViewStatus(const QString& text) {
  // The whole text shows: in a smaller or narrower font where it is long, and in
  // full in the tooltip.
  edtStatus->setFont(FontFitting(font(), text, TextRoom(*edtStatus)));
  edtStatus->setToolTip(text);
  edtStatus->setText(text);
  edtStatus->setCursorPosition(0);  // the beginning of a long text shows
}

void TfrmMain::ViewProgress(int percent) { ProgressBar1->setValue(percent); }

void TfrmMain::ViewFileName(const QString& path) {
  edtFileName->setText(path);
  edtFileName->setCursorPosition(0);
}

void TfrmMain::ViewImage(const CodeImage& image) { StringGrid1->ShowImage(image); }

void TfrmMain::ViewControlsChanged() { ReadControls(); }

std::optional<QString> TfrmMain::ViewChooseHexFile() {
  const int answer = ExecFileDialog(*OpenDialog1);
  if (answer != QDialog::Accepted) return std::nullopt;
  const QStringList chosen = OpenDialog1->selectedFiles();
  if (chosen.isEmpty()) return std::nullopt;
  const QFileInfo file(chosen.front());
  // The next run's dialog opens where this one found the file.
  settings_.RememberOpenFolder(file.absolutePath());
  return file.absoluteFilePath();
}

std::optional<QString> TfrmMain::ViewChooseJobFile() {
  if (ExecFileDialog(*JobDialog1) != QDialog::Accepted) return std::nullopt;
  const QStringList chosen = JobDialog1->selectedFiles();
  if (chosen.isEmpty()) return std::nullopt;
  return QFileInfo(chosen.front()).absoluteFilePath();
}

void TfrmMain::ReadControls() {
  const Commands& cmd = programmer_.Cmd;
  const DeviceSelection& selection = programmer_.Selection;
  const OperatorControls& controls = programmer_.Controls;
  // While a command or the job's chips run nothing may start another one or move
  // the cable.
  const bool idle = !Working();
  // Between the job's chips no command runs, but the options that the chips take
  // must stay as the job set them.
  for (QAction* option : {AutoRUNafterprogram1, AutoReloadFile1, FastProgramming1}) {
    option->setEnabled(!jobRunning_);
  }
  OpenJob1->setEnabled(idle);
  JobPanel1->setEnabled(job_.has_value());
  if (jobRunning_ && cmd.Busy()) frmJob->ShowVerdict(JobPanel::Verdict::Programming);

  for (const auto& [control, gate] : commandControls_) {
    const bool enabled = idle && cmd.Enabled(gate);
    if (auto* widget = qobject_cast<QWidget*>(control)) widget->setEnabled(enabled);
    if (auto* item = qobject_cast<QAction*>(control)) item->setEnabled(enabled);
  }

  // A command takes the lock level and the fuse as they are when it starts: the
  // boxes stay as they are until it ends.
  chk_x2Clock->setEnabled(idle && selection.FuseControlsEnabled);
  chk_x2Clock->setChecked(controls.X2Clock);
  for (QCheckBox* box : {chkLock1, chkLock2, chkLock3}) box->setEnabled(idle);
  chkLock1->setChecked(controls.Lock.Ticked(1));
  chkLock2->setChecked(controls.Lock.Ticked(2));
  chkLock3->setChecked(controls.Lock.Ticked(3));

  cmbDevice->setEnabled(idle);
  cmbDevice->setCurrentIndex(selection.ComboIndex);
  for (std::size_t i = 0; i < DeviceItems.size(); ++i) {
    DeviceItems[i]->setEnabled(idle);
    // The tick follows the selection from the start: a tick on another device than
    // the one selected would tell the operator something untrue.
    DeviceItems[i]->setChecked(selection.MenuChecked[i]);
  }

  LPT11->setEnabled(idle);
  LPT21->setEnabled(idle);
  USB1->setEnabled(idle);
  LPT11->setChecked(programmer_.Link.SelectedLpt() == 1);
  LPT21->setChecked(programmer_.Link.SelectedLpt() == 2);
  USB1->setChecked(programmer_.Link.SelectedLpt() == ProgrammerLink::kUsbPort);

  ProgramMode1->setEnabled(idle);
  RUNMode1->setEnabled(idle);
  ProgramMode1->setChecked(cmd.ProgramModeTicked);
  RUNMode1->setChecked(cmd.RunModeTicked);
  AutoRUNafterprogram1->setChecked(cmd.AutoRunAfterProgram);
  AutoReloadFile1->setChecked(controls.AutoReloadFile);
  FastProgramming1->setChecked(controls.FastProgramming);
  SckHalfPeriod1->setEnabled(idle);
  SckHalfPeriod1->setText(QStringLiteral("SCK Half Period (%1 us)...")
                              .arg(programmer_.Link.SckHalfPeriodUs));

  btnMode->setEnabled(idle);
  About1->setEnabled(idle);
}

}  // namespace vql::ui
