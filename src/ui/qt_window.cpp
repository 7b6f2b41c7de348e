#include "ui/qt_window.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QGridLayout>
#include <QMessageBox>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <utility>

namespace vql::ui {

namespace {

// On the virtual clock Qt handles events every so many pumps: often enough that the
// window repaints and takes input during a scripted run, rarely enough that the
// calibration's half a million pumps cost milliseconds.
constexpr std::uint32_t kVirtualPumpsPerEvents = 256;
// On the real clock the pump reads the steady clock only every so many calls; a
// pump with nothing to do costs a counter increment, and the calibration timer is
// late by a fraction of a microsecond at most.
constexpr std::uint32_t kPumpsPerClockCheck = 32;
// Qt handles events when this much time has passed since the last time: the window
// still repaints and answers far faster than anyone can see, and a processEvents
// with nothing pending (about half a microsecond) is paid only now and then.
constexpr std::uint64_t kEventsIntervalNs = 300'000;
// What a window manager's title bar takes beside the title: an icon and three
// buttons, with room to spare.
constexpr int kTitleBarButtons = 120;

QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A message box that places itself in the middle of the screen once it knows its
// size, which QMessageBox works out only while it is being shown.
class CentredMessageBox final : public QMessageBox {
 public:
  using QMessageBox::QMessageBox;

 protected:
  void showEvent(QShowEvent* event) override {
    QMessageBox::showEvent(event);
    const QWidget* active = QApplication::activeWindow();
    QScreen* screen = active != nullptr ? active->screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
};

}  // namespace

QtWindow::QtWindow(bool virtualClock)
    : clock_(virtualClock, virtualClock ? kVirtualPumpsPerEvents : kPumpsPerClockCheck) {}

void QtWindow::PumpMessages() {
  const std::optional<std::uint64_t> checkedAt = clock_.Pump();
  if (!checkedAt) return;
  if (!clock_.VirtualClock()) {
    if (*checkedAt - lastEventsNs_ < kEventsIntervalNs) return;
    lastEventsNs_ = *checkedAt;
  }
  HandleEvents();
}

void QtWindow::HandleEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void QtWindow::HandleEventsAtNextPump() {
  clock_.CheckAtNextPump();
  lastEventsNs_ = 0;
}

void QtWindow::WaitForEvents(std::uint32_t maxMicroseconds) {
  clock_.WaitForEvents(maxMicroseconds, [](std::uint64_t sleepNs) {
    if (sleepNs < 1'000'000) {
      // Less than a millisecond: too short for a Qt timer, too short for anyone to
      // notice that input waits until it is over.
      PumpClock::Sleep(sleepNs);
      return;
    }
    // Qt's timers count whole milliseconds: the wait sleeps in the event loop for the
    // whole ones, waking early for input or painting, and the caller, which looks at
    // the tick again, sleeps on for what is left.
    QTimer limit;
    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer);
    limit.start(std::chrono::milliseconds(sleepNs / 1'000'000));
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) {
      dispatcher->processEvents(QEventLoop::WaitForMoreEvents);
    }
  });
}

void QtWindow::ShowStatus(std::string_view text) {
  if (view_ != nullptr) view_->ViewStatus(ToQString(text));
  // The commands pump once after a progress text so that it shows before the long
  // part starts: that pump must paint it, whatever the counts say.
  HandleEventsAtNextPump();
}

void QtWindow::ShowProgress(std::int32_t done, std::int32_t total) {
  const std::int64_t percent = total <= 0 ? 100 : std::int64_t{done} * 100 / total;
  if (view_ != nullptr)
    view_->ViewProgress(static_cast<int>(std::clamp<std::int64_t>(percent, 0, 100)));
}

void QtWindow::ShowMessageBox(std::string_view text) { ShowBox(QMessageBox::Warning, text); }

void QtWindow::ShowNotice(std::string_view text) { ShowBox(QMessageBox::Information, text); }

std::string QtWindow::SckHalfPeriodAdvice(std::int32_t halfUs) const {
  return "The program keeps it until it ends; Option > SCK Half Period shows it. Set " +
         std::to_string(halfUs) + " there after a restart to start at it.";
}

void QtWindow::ShowBox(int icon, std::string_view text) {
  ++messageBoxes_;
  if (messageBoxHook_) {
    messageBoxHook_(std::string(text));
    return;
  }
  const QString title = QString::fromLatin1(kApplicationTitle);
  CentredMessageBox box(static_cast<QMessageBox::Icon>(icon), title, ToQString(text),
                        QMessageBox::Ok);
  box.setWindowModality(Qt::ApplicationModal);
  // A short text makes a narrow box, whose title bar a window manager cuts: room for
  // the title and the bar's buttons.
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
    const int room = box.fontMetrics().horizontalAdvance(title) * 3 / 2 + kTitleBarButtons;
    grid->addItem(new QSpacerItem(room, 0, QSizePolicy::Minimum, QSizePolicy::Minimum),
                  grid->rowCount(), 0, 1, grid->columnCount());
  }
  box.exec();
}

void QtWindow::Beep() { QApplication::beep(); }

std::optional<std::string> QtWindow::ChooseHexFile() {
  return ChooseFile(&WindowView::ViewChooseHexFile);
}

std::optional<std::string> QtWindow::ChooseJobFile() {
  return ChooseFile(&WindowView::ViewChooseJobFile);
}

std::optional<std::string> QtWindow::ChooseFile(std::optional<QString> (WindowView::*ask)()) {
  if (nextAnswer_) {
    std::optional<std::string> answer = std::move(nextAnswer_);
    nextAnswer_.reset();
    return answer;
  }
  if (fileDialogHook_) return fileDialogHook_();
  if (view_ == nullptr) return std::nullopt;
  const std::optional<QString> chosen = (view_->*ask)();
  if (!chosen) return std::nullopt;
  return QFile::encodeName(*chosen).toStdString();
}

void QtWindow::ShowFileName(std::string_view path) {
  if (view_ != nullptr) view_->ViewFileName(ToQString(path));
}

void QtWindow::ControlsChanged() {
  if (view_ != nullptr) view_->ViewControlsChanged();
}

void QtWindow::ShowImage(const CodeImage& image) {
  if (view_ != nullptr) view_->ViewImage(image);
}

}  // namespace vql::ui
