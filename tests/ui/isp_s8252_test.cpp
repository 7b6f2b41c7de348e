// The main window driven as the operator drives it - clicks, keys, menu items, a
// dropped file - with the simulated programmer behind the cable: what the window
// shows, and what the chip and the port's data register end up with.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QUrl>
#include <array>

#include "main_window_world.h"
#include "ui/about_vql.h"
#include "ui/text_fit.h"
#include "ui/window_settings.h"

namespace vql {
namespace {

using testing::Click;
using testing::Key;
using World = testing::MainWindowWorld;
using Frm = ui::TfrmMain;
using Strings = std::vector<std::string>;

constexpr const char* kBlink = VQLISP_SOURCE_DIR "/examples/blink.hex";
constexpr std::array<std::uint8_t, 19> kBlinkBytes{0x75, 0x90, 0xFF, 0xB2, 0x90, 0x7D, 0x04,
                                                   0x7E, 0xFA, 0x7F, 0xF9, 0xDF, 0xFE, 0xDE,
                                                   0xFA, 0xDD, 0xF6, 0x80, 0xF0};
const QColor kAqua(0, 255, 255);

void PutBlink(World& w) {
  for (std::uint16_t a = 0; a < kBlinkBytes.size(); ++a) w.Chip().SetCode(a, kBlinkBytes[a]);
}
bool HoldsBlink(World& w) {
  for (std::uint16_t a = 0; a < kBlinkBytes.size(); ++a) {
    if (w.Chip().Code(a) != kBlinkBytes[a]) return false;
  }
  return w.Chip().Code(kBlinkBytes.size()) == 0xFF;
}

// "1" for each item that passes the test, "0" for the others.
template <typename Items, typename Test>
std::string Flags(const Items& items, Test test) {
  std::string flags;
  for (const auto* item : items) flags += test(item) ? '1' : '0';
  return flags;
}
const auto kTicked = [](const auto* item) { return item->isChecked(); };
const auto kEnabled = [](const auto* item) { return item->isEnabled(); };
std::string LockTicks(Frm& f) {
  return Flags(std::array{f.chkLock1, f.chkLock2, f.chkLock3}, kTicked);
}
// What can be used: the command buttons and WR, the device box, OPERATION MODE,
// Test IO, a lock box | Load Code, Read Chip, Read Signature, a Device item, the Port
// items, the mode items, About, Exit.
std::string Usable(Frm& f) {
  const std::array<QWidget*, 13> controls{f.btnLoadFile, f.btnReadChip,  f.btnErase, f.btnBlank,
                                          f.btnProgram,  f.btnVerify,    f.btnAuto,  f.SpeedButton1,
                                          f.btnFuse_Write, f.cmbDevice, f.btnMode,  f.Button1,
                                          f.chkLock1};
  return Flags(controls, kEnabled) + "|" +
         Flags(std::array{f.Load1, f.ReadChip1, f.ReadSignature1, f.DeviceItems[0], f.LPT11,
                          f.LPT21, f.ProgramMode1, f.RUNMode1, f.About1, f.Exit2},
               kEnabled);
}
constexpr const char* kRunMode = "0000000001111|1001111111";
// The Device menu's ticks with the item at index alone ticked.
std::string TickedAt(std::int32_t index) {
  std::string ticks(kDevices.size(), '0');
  ticks[static_cast<std::size_t>(index)] = '1';
  return ticks;
}
std::string Joined(const Strings& texts) {
  std::string joined;
  for (const std::string& text : texts) joined += (joined.empty() ? "" : "|") + text;
  return joined;
}
// The items the operator sees.
std::string Captions(const QMenu* menu) {
  Strings captions;
  for (const QAction* a : menu->actions()) {
    if (!a->isVisible()) continue;
    captions.push_back(a->isSeparator() ? "-" : a->text().toStdString());
  }
  return Joined(captions);
}
QColor StatusColour(Frm& f) { return f.edtStatus->palette().color(QPalette::Base); }
template <typename T>
std::function<QWidget*(Frm&)> Control(T* Frm::*member) {
  return [member](Frm& f) -> QWidget* { return f.*member; };
}

// The layout is in pixels: whatever the desktop's font, every caption fits its
// control, and every text the status box can show fits it whole, a number or a
// failure's words included.
TEST(MainWindow, EveryCaptionAndStatusTextFitsWhateverTheDesktopFont) {
  Strings texts{"Code over MCU memory [12287]", "Lock bit level 3"};
  for (const StatusText& status : status::kAll) {
    texts.emplace_back(status.text);
    texts.push_back(std::string(status.text) + " (no chip answer to check)");
  }
  for (const OperatorCommand& row : kOperatorCommands) {
    for (int outcome = 1; outcome <= static_cast<int>(Outcome::Busy); ++outcome) {
      texts.push_back(std::string(row.name) + " failed: " +
                      std::string(OutcomeShortText(static_cast<Outcome>(outcome))));
    }
  }
  const QFont desktop = QApplication::font();
  // The desktop's family and size, and the pixel size the window takes: the
  // layout's, or less for a family that runs too wide for it.
  const struct {
    const char* family;
    int points;
    int pixels;
  } desktops[] = {{"DejaVu Sans", 9, 11}, {"DejaVu Sans", 11, 11}, {"DejaVu Serif", 14, 10}};
  for (const auto& [family, points, pixels] : desktops) {
    QApplication::setFont(QFont(QString::fromLatin1(family), points));
    World w;
    Frm& f = *w.frm;
    EXPECT_EQ(f.btnAuto->fontInfo().pixelSize(), pixels) << family << points;
    EXPECT_EQ(f.chkLock3->fontInfo().pixelSize(), pixels) << family << points;
    for (const QWidget* control : f.findChildren<QWidget*>()) {
      if (control->window() != &f) continue;  // a dialog lays itself out
      EXPECT_TRUE(ui::CaptionFits(*control)) << family << points << " "
                                             << control->objectName().toStdString();
    }
    for (const std::string& text : texts) {
      w.window->ShowStatus(text);
      const QFontInfo shown(f.edtStatus->font());
      EXPECT_LE(QFontMetrics(f.edtStatus->font()).horizontalAdvance(QString::fromStdString(text)),
                ui::TextRoom(*f.edtStatus))
          << family << points << " " << text;
      EXPECT_GE(shown.pixelSize(), ui::kSmallestFontPixels) << text;
      EXPECT_EQ(f.edtStatus->toolTip().toStdString(), text);
    }
  }
  QApplication::setFont(desktop);
}

TEST(MainWindow, OpensInItsStartUpStateWithEveryControlInItsPlace) {
  World w;
  Frm& f = *w.frm;
  EXPECT_EQ(f.windowTitle(), "VQL-ISP  V2.3 , Beta-A");
  EXPECT_EQ(f.pos(), QPoint(394, 271));
  EXPECT_EQ(f.centralWidget()->size(), QSize(656, 344));
  const std::pair<QWidget*, QRect> layout[] = {
      {f.Label1, {16, 8, f.Label1->width(), f.Label1->height()}},
      {f.edtFileName, {88, 8, 561, 21}},    {f.GroupBox1, {8, 36, 138, 302}},
      {f.btnLoadFile, {16, 60, 121, 25}},   {f.btnVerify, {16, 220, 121, 25}},
      {f.btnAuto, {16, 252, 121, 81}},      {f.cmbDevice, {152, 40, 137, 21}},
      {f.GroupBox2, {152, 64, 130, 74}},    {f.GroupBox3, {152, 142, 130, 44}},
      {f.Image1, {152, 192, 129, 65}},      {f.btnMode, {152, 264, 129, 25}},
      {f.edtStatus, {152, 296, 129, 21}},   {f.ProgressBar1, {152, 320, 129, 17}},
      {f.StringGrid1, {288, 32, 361, 305}}, {f.Button1, {32, 352, 81, 25}}};
  for (const auto& [widget, place] : layout) {
    EXPECT_EQ(QRect(widget->mapTo(f.centralWidget(), QPoint(0, 0)), widget->size()), place)
        << widget->objectName().toStdString();
  }
  // The buttons beside the boxes: in their column, and inside the frame, below the
  // title, wherever the style draws it.
  for (QWidget* button : std::initializer_list<QWidget*>{f.SpeedButton1, f.btnFuse_Write}) {
    EXPECT_EQ(button->x() + button->width(), 123) << button->objectName().toStdString();
    EXPECT_TRUE(button->parentWidget()->contentsRect().contains(button->geometry()))
        << button->objectName().toStdString();
  }
  EXPECT_EQ(Flags(std::array{f.btnLoadFile, f.btnReadChip, f.btnErase, f.btnBlank, f.btnProgram,
                             f.btnVerify, f.btnAuto, f.btnFuse_Write, f.btnMode},
                  [](const QWidget* b) { return b->font().bold(); }),
            "111111110");
  QWidget* lastTabStop = nullptr;  // Test IO: out of sight, but reached by Tab, last
  for (QWidget* c = f.edtFileName->nextInFocusChain(); c != f.edtFileName;
       c = c->nextInFocusChain()) {
    if ((c->focusPolicy() & Qt::TabFocus) && f.centralWidget()->isAncestorOf(c)) lastTabStop = c;
  }
  EXPECT_EQ(lastTabStop, f.Button1);
  EXPECT_EQ(Captions(f.Files1),
            "&Load Code|Open &Job...|Job &Panel|-|&Read Chip|Read &Signature|-|E&xit");
  EXPECT_EQ(Captions(f.Device1), DeviceNames([](const DeviceInfo&) { return true; }, "|", "|"));
  EXPECT_EQ(Captions(f.Port1), "LPT1 : 378 (simulated)|LPT2 : 278 (simulated)");
  EXPECT_EQ(Captions(f.Option1),
            "Program Mode|RUN Mode|-|Auto RUN after auto program|Auto Reload File|"
            "Fast Programming|-|"
            "SCK Half Period (4 us)...|Test IO");
  EXPECT_EQ(f.menuBar()->actions().back(), f.About1);
  EXPECT_EQ(f.About1->menu(), nullptr);  // acts when chosen

  EXPECT_EQ(f.cmbDevice->currentText(), "AT89S8253");
  EXPECT_EQ(f.cmbDevice->lineEdit(), nullptr);  // only the table's entries can be chosen
  EXPECT_EQ(Flags(f.DeviceItems, kTicked), TickedAt(kDefaultDeviceIndex));  // on the device selected
  EXPECT_EQ(Usable(f), "1111111101111|1111111111");  // all but WR
  EXPECT_FALSE(f.chk_x2Clock->isEnabled() || f.chk_x2Clock->isChecked());
  EXPECT_EQ(Flags(std::array{f.LPT11, f.LPT21, f.ProgramMode1, f.RUNMode1, f.AutoRUNafterprogram1,
                             f.AutoReloadFile1, f.FastProgramming1},
                  kTicked),
            "1010110");
  EXPECT_EQ(w.Lines(), World::kProgramLines);
  EXPECT_EQ(w.Status() + LockTicks(f) + w.Cell(1, 1) + w.Cell(16, 4096), "PROGRAM MODE. Simulator: AT89S8253000FFFF");
  EXPECT_EQ(StatusColour(f), kAqua);
  EXPECT_TRUE(f.edtFileName->text().isEmpty());
  EXPECT_EQ(f.ProgressBar1->value(), 0);
  EXPECT_TRUE(w.boxes.empty());

  bool aboutShownModally = false;  // About: the About box, modally
  QTimer::singleShot(0, [&] {
    aboutShownModally = QApplication::activeModalWidget() == f.frmAboutVql;
    Click(f.frmAboutVql->btnOk);
  });
  EXPECT_FALSE(f.frmAboutVql->isVisible());
  f.About1->trigger();
  EXPECT_TRUE(aboutShownModally);

  // Option > SCK Half Period: the dialog sets the link's floor, Cancel keeps it.
  for (const bool accept : {true, false}) {
    QTimer::singleShot(0, [&] {
      if (QApplication::activeModalWidget() != f.SckHalfPeriodDialog) return;
      f.SckHalfPeriodDialog->setIntValue(accept ? 40 : 7);
      accept ? f.SckHalfPeriodDialog->accept() : f.SckHalfPeriodDialog->reject();
    });
    f.SckHalfPeriod1->trigger();
    EXPECT_EQ(w.setup.programmer->Link.SckHalfPeriodUs, 40);
    EXPECT_EQ(f.SckHalfPeriod1->text(), "SCK Half Period (40 us)...");
  }
  // Option > Test IO: the loop test, which a chip in place of the plug fails.
  f.TestIO1->trigger();
  EXPECT_EQ(w.boxes.back().rfind("Error test loop : ", 0), 0u) << w.boxes.back();
}

TEST(MainWindow, EachCommandShowsItsTextsAndLeavesTheChipAsItSays) {
  struct Case {
    std::function<void(World&)> prepare;
    std::function<QWidget*(Frm&)> control;
    // Every text the status box takes, in order; "...|" first: the last texts only
    // (the command layer's own tests hold the whole sequence).
    const char* statuses;
    std::function<void(World&)> check;
  };
  const auto nothing = [](World&) {};
  const auto loadBlink = [](World& w) { w.Load(kBlink); };
  const Case cases[] = {
      // The default chip gives no echo, but its signature shows that it hears.
      {PutBlink, Control(&Frm::btnErase), "Erase Chip...|PROGRAM MODE.|Erase finished.",
       [](World& w) { EXPECT_EQ(w.Chip().Code(0), 0xFF); }},
      {PutBlink, Control(&Frm::btnBlank), "Blank Check...|PROGRAM MODE.|Not blank chip!!!",
       nothing},
      {loadBlink, Control(&Frm::btnProgram), "Programming...|Program completed.",
       [](World& w) { EXPECT_TRUE(HoldsBlink(w)); }},
      {loadBlink, Control(&Frm::btnVerify), "Verify Code...|PROGRAM MODE.|Verify not match",
       [](World& w) {
         EXPECT_EQ(w.boxes, Strings{"Error address : 0 (0000): the image holds 75, the chip read FF"});
       }},
      {loadBlink, Control(&Frm::btnAuto), "...|Auto Programming finished.|RUN MODE.",
       [](World& w) {
         EXPECT_TRUE(HoldsBlink(w));
         EXPECT_EQ(w.Lines(), World::kRunLines);
         EXPECT_EQ(Usable(*w.frm), kRunMode);
         EXPECT_TRUE(w.frm->ProgramMode1->isChecked());
       }},
      // The default chip, which gives no echo, locked at level 3 at the end.
      {[](World& w) {
         w.Load(kBlink);
         Click(w.frm->chkLock3);
       },
       Control(&Frm::btnAuto), "...|Lock bit level 3|Auto Programming finished.|RUN MODE.",
       [](World& w) {
         EXPECT_TRUE(HoldsBlink(w));
         EXPECT_EQ(w.Chip().LockBits(), (SimLockBits{true, true, true}));
         EXPECT_TRUE(w.boxes.empty());
       }},
      {nothing, Control(&Frm::btnAuto), "PROGRAM MODE.|File name does't indentify!!!.",
       [](World& w) { EXPECT_EQ(w.Chip().Counters().erases, 0u); }},
      {PutBlink, Control(&Frm::btnReadChip),
       "Read Chip...|PROGRAM MODE.|Read Chip finished|Read Chip finished (no chip answer to check)",
       [](World& w) { EXPECT_EQ(w.Cell(1, 1) + w.Cell(3, 2) + w.Cell(4, 2), "75F0FF"); }},
      {[](World& w) {
         w.frm->DeviceItems[4]->trigger();  // the AT89S8253 chosen: its fuse controls come on
         Click(w.frm->chk_x2Clock);
       },
       Control(&Frm::btnFuse_Write), "", [](World& w) { EXPECT_TRUE(w.Chip().X2Clock()); }},
      {[](World& w) { w.dialogAnswer = kBlink; }, Control(&Frm::btnLoadFile), "Load file complete.",
       [](World& w) {
         EXPECT_EQ(w.frm->edtFileName->text() + w.Cell(1, 1).c_str(), kBlink + QString("75"));
       }},
      {[](World& w) {  // the dialog cancelled after a load: nothing changes
         w.Load(kBlink);
         w.frm->edtStatus->setText(QStringLiteral("before"));
         w.dialogAnswer.reset();
       },
       Control(&Frm::btnLoadFile), "",
       [](World& w) {
         EXPECT_EQ(w.frm->edtFileName->text() + w.Cell(1, 1).c_str(), kBlink + QString("75"));
         EXPECT_EQ(w.Status(), "before");
       }},
      {[](World& w) {
         w.frm->DeviceItems[5]->trigger();  // AT89S2051: 2 KiB
         w.dialogAnswer = w.HexFile(2049);
       },
       Control(&Frm::btnLoadFile), "Load file complete.|Code over MCU memory [2047]", nothing},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.statuses);
    World w;
    c.prepare(w);
    w.statuses.clear();
    Click(c.control(*w.frm));
    const std::string_view expected = c.statuses;
    if (expected.starts_with("...|")) {
      EXPECT_TRUE(Joined(w.statuses).ends_with(expected.substr(3))) << Joined(w.statuses);
    } else {
      EXPECT_EQ(Joined(w.statuses), expected);
    }
    c.check(w);
  }
}

// No lock bit by accident: Space after a command repeats it, and a lock box clicked
// while AUTO-PROGRAM runs changes neither the box nor the level the command writes.
TEST(MainWindow, NoLockBitIsSetByAccident) {
  World w;
  Frm& f = *w.frm;
  PutBlink(w);
  f.btnErase->setFocus();
  Key(f.btnErase, Qt::Key_Space);
  ASSERT_EQ(f.focusWidget(), f.btnErase);
  w.statuses.clear();
  Key(f.focusWidget(), Qt::Key_Space);
  // The AT89S8253 gave its signature, so the erase is vouched for.
  EXPECT_EQ(Joined(w.statuses), "Erase Chip...|PROGRAM MODE.|Erase finished.");
  EXPECT_FALSE(f.chkLock1->isChecked());

  w.Load(kBlink);
  bool clicked = false;
  w.During([&] {
    if (w.Status() != "Programming...") return false;
    Click(f.chkLock1);
    clicked = true;
    return true;
  });
  Click(f.btnAuto);
  EXPECT_TRUE(clicked);
  EXPECT_EQ(w.Status(), "RUN MODE.");
  EXPECT_EQ(w.Chip().LockBits(), (SimLockBits{}));
  EXPECT_FALSE(f.chkLock1->isChecked());
}

// An unlocked AT89S8253 read as its data sheet reads lock bits (a set bit reads 1)
// answers 000, which this program's reading takes for level 3: Read Chip says so in its
// box, and the boxes stay as the operator left them, so AUTO-PROGRAM writes no lock bit.
TEST(MainWindow, ADisputedLockReadingNeverBecomesTheNextLockWrite) {
  World w("AT89S8253", true, ",lock-read=set1");
  Frm& f = *w.frm;
  Click(f.btnReadChip);
  EXPECT_EQ(LockTicks(f), "000");
  ASSERT_FALSE(w.boxes.empty());
  EXPECT_NE(w.boxes.back().find("LB3..LB1 = 000: level 3 if a set lock bit reads 0"), std::string::npos)
      << w.boxes.back();
  EXPECT_NE(w.boxes.back().find("level 0 if it reads 1"), std::string::npos) << w.boxes.back();
  w.Load(kBlink);
  Click(f.btnAuto);
  EXPECT_EQ(w.Chip().LockBits(), (SimLockBits{}));
  EXPECT_EQ(w.Chip().Code(0), 0x75);
}

TEST(MainWindow, LockBoxesFollowTheirRulesAndALockRead) {
  // The levels rise from case to case, as the chip keeps the lock bits it was given.
  const std::pair<std::vector<QCheckBox* Frm::*>, const char*> cases[] = {
      {{&Frm::chkLock2, &Frm::chkLock2}, "100"},
      {{&Frm::chkLock1, &Frm::chkLock2, &Frm::chkLock3, &Frm::chkLock2}, "100"},
      {{&Frm::chkLock3, &Frm::chkLock3}, "110"},
      {{&Frm::chkLock3}, "111"},
      {{&Frm::chkLock3, &Frm::chkLock1}, "000"},
  };
  World w;
  Frm& f = *w.frm;
  for (const auto& [clicks, ticks] : cases) {
    if (f.chkLock1->isChecked()) Click(f.chkLock1);  // clears all three
    for (QCheckBox* Frm::*box : clicks) Click(f.*box);
    EXPECT_EQ(LockTicks(f), ticks);
    Click(f.SpeedButton1);  // writes the level that the boxes give
    const auto level = std::count(ticks, ticks + 3, '1');
    EXPECT_TRUE(w.Status().starts_with(
        level == 0 ? "Non Lock bit function" : "Lock bit level " + std::to_string(level)))
        << w.Status();
    // On the chip: what the level gives, and level 3's bits still after level 0.
    const SimLockBits onChip[] = {{true, true, true}, {true, false, false}, {true, true, false},
                                  {true, true, true}};
    EXPECT_EQ(w.Chip().LockBits(), onChip[level]);
  }
  // Read Chip of an erased chip locked at level 2 leaves the boxes as they were: the
  // reading of its lock bits is disputed. It answers 00 everywhere, which no chip at
  // all gives as well: one box says so, and the status box is tinted. With its code readable, the core cannot vouch for what was read
  // either (whether the bits read so is not settled for this device), and says so.
  World locked;
  locked.Chip().SetLockBits({true, true, false});
  Click(locked.frm->btnReadChip);
  EXPECT_EQ(LockTicks(*locked.frm) + locked.Status(), "000Read Chip failed: unreliable read");
  ASSERT_EQ(locked.boxes.size(), 1u);
  EXPECT_NE(locked.boxes[0].find("answered 00 at every address"), std::string::npos)
      << locked.boxes[0];
  EXPECT_NE(StatusColour(*locked.frm), kAqua);
  World held;
  held.Chip().SetCode(0, 0x75);
  Click(held.frm->btnReadChip);
  ASSERT_EQ(held.boxes.size(), 1u);
  EXPECT_NE(held.boxes[0].find("LB3..LB1 = 111"), std::string::npos) << held.boxes[0];
  EXPECT_EQ(held.Status(), "Read Chip finished (no chip answer to check)");
  EXPECT_NE(StatusColour(*held.frm), kAqua);
  EXPECT_NE(StatusColour(*held.frm), StatusColour(*locked.frm));
}

TEST(MainWindow, DeviceAndPortChoicesShowInTheBoxTheMenuAndTheFuseControls) {
  const auto keys = [](int downs) {
    return [downs](Frm& f) {
      Key(f.cmbDevice, Qt::Key_Home);
      for (int i = 0; i < downs; ++i) Key(f.cmbDevice, Qt::Key_Down);
    };
  };
  const auto menu = [](std::size_t index) {
    return [index](Frm& f) { f.DeviceItems[index]->trigger(); };
  };
  // Every device, from the last and back from the first, by the menu and the keys in
  // turn: the device box, the Device menu's ticks, whether WR and x2 Clock are enabled.
  World w;
  Frm& f = *w.frm;
  const auto count = static_cast<std::int32_t>(kDevices.size());
  for (std::int32_t step = 0; step < 2 * count; ++step) {
    const std::int32_t index = step < count ? count - 1 - step : step - count;
    const DeviceInfo& device = *DeviceAt(index);
    const std::function<void(Frm&)> choose =
        step % 2 == 0 ? std::function<void(Frm&)>(menu(static_cast<std::size_t>(index)))
                      : std::function<void(Frm&)>(keys(index));
    const std::string shown = std::string(device.name) + " " + TickedAt(index) + " " +
                              (device.hasFuse ? "11" : "00");
    choose(f);
    EXPECT_EQ(f.cmbDevice->currentText().toStdString() + " " + Flags(f.DeviceItems, kTicked) +
                  " " + Flags(std::array<QWidget*, 2>{f.btnFuse_Write, f.chk_x2Clock}, kEnabled),
              shown);
  }
  Click(f.btnMode);  // run mode: a fuse-capable device does not enable WR there
  f.DeviceItems[4]->trigger();
  EXPECT_EQ(Usable(f), "0000000001111|1001111111");
  Click(f.btnMode);
  EXPECT_EQ(w.Lines(), World::kProgramLines);
  // LPT1's target is released; LPT2's lines wait for the next mode change.
  f.LPT21->trigger();
  EXPECT_EQ(Flags(std::array{f.LPT11, f.LPT21}, kTicked), "01");
  EXPECT_EQ(w.Lines(), World::kRunLines);
  EXPECT_EQ(w.Lines(World::kLpt2), 0);
  Click(f.btnMode);
  EXPECT_EQ(w.Lines(World::kLpt2), World::kRunLines);
}

TEST(MainWindow, DoubleClickOnTheLogoNarrowsAndWidensTheWindow) {
  World w;
  Frm& f = *w.frm;
  for (const int width : {294, 663}) {
    testing::Mouse(f.Image1, QEvent::MouseButtonDblClick, Qt::LeftButton);
    EXPECT_EQ(f.DesignWidth(), width);
    EXPECT_EQ(f.StringGrid1->x() < f.centralWidget()->width(), width == 663);  // grid shown
  }
}

TEST(MainWindow, WithoutAConfigurationTheWindowOpensAndRefusesTheCable) {
  World w("AT89S8253", false);
  Frm& f = *w.frm;
  ASSERT_EQ(w.boxes.size(), 1u);
  EXPECT_EQ(w.boxes[0].rfind("Cannot open", 0), 0u) << w.boxes[0];
  EXPECT_TRUE(f.isVisible());
  EXPECT_EQ(Captions(f.Port1), "LPT1|LPT2");
  // A button and a menu item of the command table alike.
  Click(f.btnErase);
  f.ReadSignature1->trigger();
  ASSERT_EQ(w.boxes.size(), 3u);
  for (const std::size_t box : {1u, 2u}) {
    EXPECT_NE(w.boxes[box].find("CONFIG.VQL"), std::string::npos) << w.boxes[box];
  }
  EXPECT_EQ(w.Chip().Counters().enables, 0u);
  f.Exit2->trigger();  // nothing to release, nothing more to say
  EXPECT_FALSE(f.isVisible());
  EXPECT_EQ(w.boxes.size(), 3u);
}

// On the simulator with nothing plugged in, the window says so from the start, and a
// command that finds no chip says why instead of sending the operator to the cable.
TEST(MainWindow, OnTheSimulatorWithoutAChipTheWindowSaysSo) {
  World w("none");
  Frm& f = *w.frm;
  EXPECT_EQ(w.Status(), "PROGRAM MODE. Simulator: no chip");
  f.DeviceItems[1]->trigger();  // AT89S52: it must echo
  Click(f.btnErase);
  ASSERT_EQ(w.boxes.size(), 1u);
  EXPECT_EQ(w.boxes[0], "The chip does not answer on LPT1 (0378): no simulated chip is attached "
                        "(set VQLISP_SIM=target=...).");
  EXPECT_EQ(w.Status(), "Erase failed: no answer");
  const QColor failed = StatusColour(f);
  EXPECT_NE(failed, kAqua);
  // The AT89S53 goes on without an echo: an empty socket reads blank, and the window
  // says that nothing answered, in the box once and on the status each time.
  f.DeviceItems[2]->trigger();
  for (int blank = 1; blank <= 2; ++blank) {
    Click(f.btnBlank);
    EXPECT_EQ(w.Status(), "Blank chip [OK] (no chip answer to check)");
    EXPECT_NE(StatusColour(f), kAqua);
    EXPECT_NE(StatusColour(f), failed);
    EXPECT_EQ(w.boxes.size(), 2u);
  }
}

// Start-up reads what the lookup found, and the About box names it; without a file
// the box lists every place looked at, and the About box says none was read.
TEST(MainWindow, TheAboutBoxNamesTheConfigurationFileThatStartUpRead) {
  testing::TempDir elsewhere;
  const std::string installed =
      elsewhere.Write("share/vql-isp/CONFIG.VQL", "[03E8][0000][0000][0378][0278]\n");
  const Strings places{"/w/CONFIG.VQL", "/etc/vql-isp/CONFIG.VQL", installed};
  struct Case {
    const char* name;
    bool inCurrentDir;
    std::optional<ConfigLookup> lookup;
    std::string firstBox;  // empty: none
    std::string memoEnd;   // after "Configuration file: "; "." for the current directory's
  };
  const Case cases[] = {
      {"the current directory's", true, std::nullopt, "", "."},
      {"found by the lookup", true, ConfigLookup{installed, places}, "", installed},
      {"found nowhere", true, ConfigLookup{"", places}, NoConfigFileText(places),
       "none was read"},
      {"missing from the current directory", false, std::nullopt, "Cannot open",
       "none was read"},
  };
  for (const Case& c : cases) {
    World w("AT89S8253", c.inCurrentDir, "", c.lookup);
    const std::string expected =
        c.memoEnd == "." ? (std::filesystem::current_path() / "CONFIG.VQL").string() : c.memoEnd;
    EXPECT_EQ(w.frm->Configured(), c.firstBox.empty()) << c.name;
    if (c.firstBox.empty()) {
      EXPECT_EQ(w.boxes, Strings{}) << c.name;
    } else {
      ASSERT_FALSE(w.boxes.empty()) << c.name;
      EXPECT_EQ(w.boxes[0].rfind(c.firstBox, 0), 0u) << c.name << ": " << w.boxes[0];
    }
    const QStringList memo = w.frm->frmAboutVql->Memo1->toPlainText().split(QLatin1Char('\n'));
    EXPECT_EQ(memo.last().toStdString(), "Configuration file: " + expected) << c.name;
  }
}

TEST(MainWindow, WhileACommandRunsNothingElseCanStartAndAfterwardsTheModeDecides) {
  World w;
  Frm& f = *w.frm;
  w.Load(kBlink);
  std::string during;
  w.During([&] {
    if (w.Status() != "Programming...") return false;
    during = Usable(f);
    Click(f.btnErase);  // does nothing: the button is off
    f.FastProgramming1->trigger();  // refused: the write goes on as it started
    during += f.FastProgramming1->isChecked() ? " fast" : " byte";
    return true;
  });
  Click(f.btnAuto);
  EXPECT_EQ(during, "0000000000000|0000000001 byte");  // Exit only
  EXPECT_FALSE(w.setup.programmer->Controls.FastProgramming);
  EXPECT_EQ(w.Chip().Counters().erases, 1u);
  EXPECT_EQ(Usable(f), kRunMode);
}

// Option > Fast Programming: AUTO-PROGRAM writes pages, and the chip holds the file;
// Files > Read Signature names the chip.
TEST(MainWindow, FastProgrammingWritesPagesAndTheSignatureNamesTheChip) {
  World w;
  Frm& f = *w.frm;
  w.Load(kBlink);
  f.FastProgramming1->trigger();
  Click(f.btnAuto);
  EXPECT_EQ(w.boxes, Strings{});
  EXPECT_GT(w.Chip().Counters().pageWrites, 0u);
  EXPECT_EQ(w.Chip().Counters().writes, 0u) << "no byte writes";
  const CodeImage& image = w.setup.programmer->Image.Image;
  for (std::int32_t a = 0; a < 0x100; ++a) {
    const auto i = static_cast<std::size_t>(a);
    EXPECT_EQ(w.Chip().Code(static_cast<std::uint16_t>(a)),
              HexPairValue(image.HighDigits[i], image.LowDigits[i])) << a;
  }
  Click(f.btnMode);  // back to program mode
  f.ReadSignature1->trigger();
  EXPECT_EQ(w.Status(), "Chip AT89S8253 (1E 73)");
}

TEST(MainWindow, AUsbCableIsNamedInThePortMenuAndProgramsVerifiesAndReadsTheChip) {
  World w("AT89S8253", true, ",adapter=ft232h");
  Frm& f = *w.frm;
  EXPECT_EQ(Captions(f.Port1), "LPT1 : 378|LPT2 : 278|USB : FT232H (simulated)");
  EXPECT_TRUE(f.USB1->isChecked());
  EXPECT_FALSE(f.LPT11->isChecked());
  w.Load(kBlink);
  Click(f.btnAuto);
  EXPECT_EQ(w.boxes, Strings{});
  const CodeImage image = w.setup.programmer->Image.Image;
  const auto holdsImage = [&] {
    for (std::int32_t a = 0; a < 0x100; ++a) {
      const auto i = static_cast<std::size_t>(a);
      if (w.Chip().Code(static_cast<std::uint16_t>(a)) !=
          HexPairValue(image.HighDigits[i], image.LowDigits[i])) {
        return false;
      }
    }
    return true;
  };
  EXPECT_TRUE(holdsImage());
  Click(f.btnMode);  // back to program mode
  Click(f.btnVerify);
  EXPECT_EQ(w.boxes, Strings{});
  w.Chip().SetCode(0x0000, 0x5A);
  ClearCodeImage(w.setup.programmer->Image.Image);
  Click(f.btnReadChip);  // with the box on the lock bits that a chip without an echo gets
  ASSERT_EQ(w.boxes.size(), 1u);
  EXPECT_EQ(w.Cell(1, 1), "5A");
  // LPT1 is not there to choose: the box says which cable is in use.
  f.LPT11->trigger();
  ASSERT_EQ(w.boxes.size(), 2u);
  EXPECT_NE(w.boxes[1].find("USB adapter FT232H (simulated)"), std::string::npos) << w.boxes[1];
}

TEST(MainWindow, EscOrACloseStopsTheWalkAndOnlyThenIsTheTargetReleased) {
  const struct {
    std::function<void(Frm&)> act;
    bool open;  // the window, once the command has ended
    std::uint8_t lines;
    const char* lastStatuses;
  } cases[] = {
      {[](Frm& f) { Key(f.edtStatus, Qt::Key_Escape); }, true, World::kProgramLines,
       "PROGRAM MODE.|Stopped."},
      {[](Frm& f) { f.close(); }, false, World::kRunLines, "Stopped.|RUN MODE."},
      {[](Frm& f) { f.Exit2->trigger(); }, false, World::kRunLines, "Stopped.|RUN MODE."},
  };
  for (const auto& c : cases) {
    World w;
    Frm& f = *w.frm;
    w.Load(w.HexFile(2048));
    std::uint32_t writesAtStop = 0;
    std::string linesWhileBusy;
    w.During([&] {
      if (writesAtStop == 0) {
        if (f.ProgressBar1->value() < 10 || w.Status() != "Programming...") return false;
        writesAtStop = w.Chip().Counters().writes;
        c.act(f);
      }
      if (w.setup.programmer->Cmd.Busy()) linesWhileBusy += w.Lines() == 0x10 ? '.' : 'x';
      return false;
    });
    Click(f.btnAuto);
    SCOPED_TRACE(c.lastStatuses);
    EXPECT_EQ(f.isVisible(), c.open);
    EXPECT_EQ(linesWhileBusy.find('x'), std::string::npos);
    EXPECT_LE(w.Chip().Counters().writes, writesAtStop + 1);
    EXPECT_EQ(w.Lines(), c.lines);
    EXPECT_EQ(Joined(Strings(w.statuses.end() - 2, w.statuses.end())), c.lastStatuses);
    EXPECT_TRUE(w.boxes.empty());
  }
}

TEST(MainWindow, AFailureBehindAGoodLookingTextIsTintedAndExplained) {
  // A cell that never programs: the core's box says which.
  World dead("AT89S8253", true, ",dead=0005");
  dead.Load(kBlink);
  Click(dead.frm->btnAuto);
  EXPECT_EQ(dead.Status(), "Auto-program failed: byte not programmed");
  EXPECT_EQ(dead.boxes.size(), 1u);
  EXPECT_NE(StatusColour(*dead.frm), kAqua);
  EXPECT_EQ(dead.Lines(), World::kProgramLines);  // held, Auto RUN notwithstanding
  // AT89S8252: a byte goes bad before the verify reads it.
  World spoilt("AT89S8252");
  spoilt.frm->DeviceItems[3]->trigger();
  spoilt.Load(spoilt.HexFile(256));
  spoilt.During([&] {
    if (spoilt.Status() != "Verify code ...") return false;
    spoilt.Chip().SetCode(255, 0x00);
    return true;
  });
  Click(spoilt.frm->btnAuto);
  EXPECT_EQ(spoilt.Status(), "Auto-program failed: verify mismatch");
  ASSERT_EQ(spoilt.boxes.size(), 1u);
  EXPECT_TRUE(spoilt.boxes[0].starts_with("Error address : 255 (00FF): the image holds "))
      << spoilt.boxes[0];
  EXPECT_NE(StatusColour(*spoilt.frm), kAqua);
  Click(spoilt.frm->btnBlank);  // the next command starts untinted
  EXPECT_EQ(StatusColour(*spoilt.frm), kAqua);
  // A command that fails before its walk: its bar starts at 0, not at the last 100 %,
  // and the progress text gives way to what failed.
  World none;
  none.frm->ProgressBar1->setValue(100);
  Click(none.frm->btnProgram);
  EXPECT_EQ(none.frm->ProgressBar1->value(), 0);
  EXPECT_EQ(none.Status(), "Program failed: no HEX data");
  EXPECT_NE(StatusColour(*none.frm), kAqua);
}

TEST(MainWindow, AHexFileDroppedOrNamedOnTheCommandLineIsLoaded) {
  World w;
  Frm& f = *w.frm;
  const auto drop = [&](const std::string& path) {  // true when the window takes it
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
    QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QDropEvent dropped(QPointF(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&f, &enter);
    if (enter.isAccepted()) QApplication::sendEvent(&f, &dropped);
    return enter.isAccepted();
  };
  EXPECT_FALSE(drop(w.dir.Write("notes.txt", ":0100000012ED\n")));
  EXPECT_TRUE(drop(kBlink));
  EXPECT_EQ(f.edtFileName->text(), kBlink);
  EXPECT_EQ(w.Status() + w.Cell(1, 1), "Load file complete.75");
  w.HexFile(16);
  f.OpenFile("big.hex");  // as the command line names it: in the current folder
  EXPECT_EQ(f.edtFileName->text().toStdString(), (w.dir.Path() / "big.hex").string());
  EXPECT_EQ(w.Cell(1, 1), "01");
}

// What the window keeps for its next run, each changed as the operator changes it:
// its key, what the window shows of it, its value in the file after the change, and
// a value that start-up has to pass over.
struct RememberedSetting {
  const char* key;
  std::function<void(World&)> change;
  std::function<std::string(World&)> shown;
  std::string stored;
  std::string unusable;
};
std::vector<RememberedSetting> RememberedSettings() {
  using Settings = ui::WindowSettings;
  const std::string examples = VQLISP_SOURCE_DIR "/examples";
  return {
      // "maybe": QVariant would read any text but "false" and "0" as true.
      {Settings::kFastProgramming, [](World& w) { w.frm->FastProgramming1->trigger(); },
       [](World& w) {
         return Flags(std::array{w.frm->FastProgramming1}, kTicked) +
                std::to_string(w.setup.programmer->Controls.FastProgramming);
       },
       "true", "maybe"},
      {Settings::kSckHalfPeriodUs,
       [](World& w) {
         QTimer::singleShot(0, [&w] {
           w.frm->SckHalfPeriodDialog->setIntValue(40);
           w.frm->SckHalfPeriodDialog->accept();
         });
         w.frm->SckHalfPeriod1->trigger();
       },
       [](World& w) {
         return w.frm->SckHalfPeriod1->text().toStdString() + " " +
                std::to_string(w.setup.programmer->Link.SckHalfPeriodUs);
       },
       "40", "0"},
      {Settings::kDevice, [](World& w) { w.frm->DeviceItems[3]->trigger(); },
       [](World& w) {
         return w.frm->cmbDevice->currentText().toStdString() + " " +
                Flags(w.frm->DeviceItems, kTicked);
       },
       "AT89S8252", "AT89C51"},
      // Load through the dialog itself, not the test's answer.
      {Settings::kOpenFolder,
       [](World& w) {
         w.window->SetFileDialogHook(nullptr);
         QTimer::singleShot(0, [&w] {
           w.frm->OpenDialog1->selectFile(QString::fromLatin1(kBlink));
           static_cast<QDialog*>(w.frm->OpenDialog1)->accept();  // as its Open button
         });
         Click(w.frm->btnLoadFile);
       },
       [](World& w) { return w.frm->OpenDialog1->directory().absolutePath().toStdString(); },
       examples, examples + "/blink.hex"},  // a file, not a folder
  };
}

// Each is in the file the moment it changes, so that a crash loses none of them, and
// the next run starts with them instead of its own start-up values.
TEST(MainWindow, TheSettingsTheOperatorChangedComeBackInTheNextRun) {
  World w;
  EXPECT_EQ(ui::WindowSettings().FileName().toStdString(), World::SettingsFile().toStdString());
  const std::vector<RememberedSetting> settings = RememberedSettings();
  Strings changed;
  for (const RememberedSetting& setting : settings) {
    const std::string atStartUp = setting.shown(w);
    setting.change(w);
    const std::string text = World::SettingsText();
    EXPECT_NE(text.find(setting.key + ("=" + setting.stored + "\n")), std::string::npos) << text;
    changed.push_back(setting.shown(w));
    EXPECT_NE(changed.back(), atStartUp) << setting.key;
  }
  // The dialog cancelled after browsing elsewhere: the folder of the file last opened
  // stays (Qt's dialogs would remember the other one, but only for this run).
  QTimer::singleShot(0, [&w] {
    w.frm->OpenDialog1->setDirectory(QString::fromStdString(w.dir.Path().string()));
    w.frm->OpenDialog1->reject();
  });
  Click(w.frm->btnLoadFile);
  w.Reopen();
  for (std::size_t i = 0; i < settings.size(); ++i) {
    EXPECT_EQ(settings[i].shown(w), changed[i]) << settings[i].key;
  }
}

TEST(MainWindow, ASettingThatStartUpCannotUseLeavesTheStartUpValue) {
  World w;
  std::string text = "[General]\n";
  Strings atStartUp;
  for (const RememberedSetting& setting : RememberedSettings()) {
    text += setting.key + ("=" + setting.unusable + "\n");
    atStartUp.push_back(setting.shown(w));
  }
  w.dir.Write(World::SettingsFile().toStdString(), text);  // an absolute name, as it stands
  w.Reopen();
  Strings shown;
  for (const RememberedSetting& setting : RememberedSettings()) shown.push_back(setting.shown(w));
  EXPECT_EQ(shown, atStartUp);
  EXPECT_TRUE(w.boxes.empty());
}

}  // namespace
}  // namespace vql
