// The program entry of the window: the application, the window services and clock,
// the programmer on the port back end that the environment chooses, the main window
// (whose creation starts the programmer up), and the event loop.
//
//   vql-isp [FILE.hex]   FILE.hex is loaded once start-up is done, as Load would.
//   vql-isp --help | --version
//
// Ctrl-C, a hang-up or a termination signal closes the window as its close button
// does, so that the target is released to run mode on the way out.
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QIcon>
#include <QPixmap>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "manual/help.h"
#include "commands/programmer_setup.h"
#include "link/config_lookup.h"
#include "backends/port_factory.h"
#include "ui/isp_s8252.h"
#include "ui/qt_window.h"

namespace {

// A signal only writes a byte here; the event loop reads it and closes the window.
int signalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char byte = 1;
  if (::write(signalPipe[1], &byte, 1) < 0) {
    // The pipe is full: a close is on its way already.
  }
}

// Signals that arrive before the window exists wait in the pipe.
void CatchSignals() {
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // a file that blocks (a FIFO) ends its wait with EINTR
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

void CloseOnSignals(QWidget& window) {
  if (signalPipe[0] < 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &window);
  QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
    char bytes[16];
    while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
    }
    // While a command runs, the close asks it to stop and follows when it has.
    window.close();
  });
}

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

QIcon WindowIcon() {
  for (const char* name : {":/icon.svg", ":/icon.png"}) {
    QPixmap picture{QString::fromLatin1(name)};
    if (!picture.isNull()) return QIcon(picture);
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  // Answered before Qt starts, so that they work without a display.
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(vql::WindowHelpText().c_str(), stdout);
    return EXIT_SUCCESS;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::fputs(vql::VersionText("vql-isp").c_str(), stdout);
    return EXIT_SUCCESS;
  }
  // Without a display Qt would abort with its plugin message; a platform named
  // outright (QT_QPA_PLATFORM=offscreen) is the user's choice.
  if (!HasDisplay()) {
    std::fputs("vql-isp: no display found (DISPLAY and WAYLAND_DISPLAY are unset); "
               "vql-isp-cli works without one.\n",
               stderr);
    return 2;
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(vql::ui::kApplicationTitle));
  QApplication::setWindowIcon(WindowIcon());
  // The installed vql-isp.desktop: a desktop shows its icon and name for the window.
  QApplication::setDesktopFileName(QStringLiteral("vql-isp"));
  const QStringList arguments = QApplication::arguments();

  // The back end and the clock come from the environment; a mistake there is shown
  // before anything else, and the program ends, since there is no port to work on.
  bool virtualClock = false;
  try {
    virtualClock = vql::SimWantsVirtualClock(std::getenv);
  } catch (const std::exception& error) {
    vql::ui::QtWindow(false).ShowMessageBox(error.what());
    return EXIT_FAILURE;
  }
  vql::ui::QtWindow window(virtualClock);
  vql::ProgrammerSetup setup;
  try {
    setup = vql::SetUpProgrammer(std::getenv, window, window);
  } catch (const std::exception& error) {
    window.ShowMessageBox(error.what());
    return EXIT_FAILURE;
  }
  if (!setup.notice.empty()) window.ShowMessageBox(setup.notice);

  CatchSignals();
  vql::ui::TfrmMain frmMain(*setup.programmer, window,
                           vql::FindConfigFile(vql::SystemConfigEnvironment(std::getenv)));
  CloseOnSignals(frmMain);
  frmMain.show();
  if (arguments.size() > 1) {
    const QString file = arguments.at(1);
    QTimer::singleShot(0, &frmMain, [&frmMain, file] { frmMain.OpenFile(file); });
  }
  QApplication::exec();
  return EXIT_SUCCESS;
}
