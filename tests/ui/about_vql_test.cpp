#include "ui/about_vql.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QFontMetrics>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

#include <string>

#include "devices/device_table.h"

// Rectangles and points in failure messages as numbers.
void PrintTo(const QRect& r, std::ostream* os) {
  *os << r.x() << "," << r.y() << " " << r.width() << "x" << r.height();
}

namespace vql::ui {
namespace {

class AboutVqlTest : public ::testing::Test {
 protected:
  QWidget main;
  TfrmAboutVql box{&main, QStringLiteral("/home/op/.config/vql-isp/CONFIG.VQL")};
};

TEST_F(AboutVqlTest, ShowsItsTexts) {
  EXPECT_EQ(box.windowTitle(), "About VQL");
  EXPECT_EQ(box.Label2->text(), "AT89S SERIES");
  EXPECT_EQ(box.Label3->text(), "Version 2.3");
  EXPECT_EQ(box.Label4->text(), "In-System Programming");
  EXPECT_EQ(box.btnOk->text(), "OK");
  EXPECT_FALSE(box.Image1->pixmap().isNull());

  const QStringList lines = box.Memo1->toPlainText().split(QLatin1Char('\n'));
  QStringList expected = {"",
                          "VQL-ISP AT89S-SERIES ",
                          "PC Based Software (In System Programming)",
                          "",
                          "Software Version Information",
                          "VQL-ISP AT89S-SERIES now ",
                          "supports the following devices:",
                          ""};
  // The devices in table order, the last one after an empty line.
  for (const DeviceInfo& device : kDevices) {
    if (&device == &kDevices.back()) expected.append("");
    expected.append(QString::fromStdString(std::string(device.name)));
  }
  expected += QStringList{"", "", "It also supports the use of LPT1 and LPT2.", "", "Legalities"};
  // The legal text, then the configuration file in use, after a blank line.
  ASSERT_EQ(lines.size(), expected.size() + 8 + 2);
  EXPECT_EQ(lines.mid(0, expected.size()), expected);
  for (const QString& line : lines.mid(expected.size(), 8)) {
    EXPECT_FALSE(line.trimmed().isEmpty());
  }
  EXPECT_EQ(lines.mid(expected.size() + 8),
            QStringList({"", "Configuration file: /home/op/.config/vql-isp/CONFIG.VQL"}));
  EXPECT_TRUE(box.Memo1->isReadOnly());
  EXPECT_EQ(box.Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
}

TEST(AboutVql, TheMemoEndsWithTheConfigurationFileInUse) {
  struct Case {
    QString configFile;
    QString lastLine;
  };
  const Case cases[] = {
      {"/usr/share/vql-isp/CONFIG.VQL", "Configuration file: /usr/share/vql-isp/CONFIG.VQL"},
      {"/tmp/a b/CONFIG.VQL", "Configuration file: /tmp/a b/CONFIG.VQL"},
      {"", "Configuration file: none was read"},
  };
  QWidget main;
  for (const Case& c : cases) {
    const TfrmAboutVql box(&main, c.configFile);
    EXPECT_EQ(box.Memo1->toPlainText().split(QLatin1Char('\n')).last(), c.lastLine)
        << c.configFile.toStdString();
    EXPECT_EQ(box.Memo1->geometry(), QRect(152, 24, 241, 129));  // the layout stays
  }
}

TEST_F(AboutVqlTest, KeepsItsLayout) {
  EXPECT_EQ(box.minimumSize(), QSize(400, 186));
  EXPECT_EQ(box.maximumSize(), QSize(400, 186));
  EXPECT_FALSE(box.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
  EXPECT_EQ(box.Image1->geometry(), QRect(8, 24, 129, 81));
  EXPECT_EQ(box.Memo1->geometry(), QRect(152, 24, 241, 129));
  EXPECT_EQ(box.btnOk->geometry(), QRect(312, 156, 75, 25));
  EXPECT_EQ(box.Label2->pos(), QPoint(8, 112));
  EXPECT_EQ(box.Label4->pos(), QPoint(3, 160));
  EXPECT_EQ(box.Label3->pos(), QPoint(153, 160));
  // Nothing overlaps: the big label ends before the memo, the bottom ones before
  // each other and before OK.
  EXPECT_LT(box.Label2->geometry().right(), box.Memo1->x());
  EXPECT_LT(box.Label4->geometry().right(), box.Label3->x());
  EXPECT_LT(box.Label3->geometry().right(), box.btnOk->x());
  // The memo's lines break where the text does: each but the configuration file's
  // path, which may be long, takes one line of the shown memo.
  box.show();
  QApplication::processEvents();
  const QTextDocument* text = box.Memo1->document();
  const QFontMetrics metrics(box.Memo1->font());
  const int room = box.Memo1->viewport()->width() - 2 * static_cast<int>(text->documentMargin());
  for (QTextBlock line = text->firstBlock(); line != text->lastBlock(); line = line.next()) {
    EXPECT_LE(metrics.horizontalAdvance(line.text()), room) << line.text().toStdString();
  }
}

TEST_F(AboutVqlTest, OkEndsTheModalShowing) {
  QTimer::singleShot(0, box.btnOk, &QPushButton::click);
  EXPECT_EQ(box.exec(), QDialog::Accepted);
  EXPECT_FALSE(box.isVisible());
}

// Each showing centres the box's outer rectangle on the main window's: left = main
// left + main width div 2 - box width div 2, top likewise. The offscreen platform
// draws a 2-pixel frame, so the box is 404 x 190 outside.
TEST_F(AboutVqlTest, CentresOnTheMainWindowEachTimeItShows) {
  struct Case {
    const char* name;
    QRect mainClient;
    QPoint boxFrame;
  };
  const Case cases[] = {
      {"at the design position", {394, 271, 656, 344}, {520, 348}},
      {"moved", {100, 50, 656, 344}, {226, 127}},
      {"narrowed to 294 outside", {100, 50, 290, 344}, {43, 127}},
      {"odd outer sizes 659 x 347", {2, 2, 655, 343}, {127, 78}},
  };
  main.show();
  for (const Case& c : cases) {
    main.setGeometry(c.mainClient);
    QApplication::processEvents();
    ASSERT_EQ(main.frameGeometry(), c.mainClient.adjusted(-2, -2, 2, 2)) << c.name;
    box.show();
    EXPECT_EQ(box.frameGeometry(), QRect(c.boxFrame, QSize(404, 190))) << c.name;
    box.hide();
  }
}

}  // namespace
}  // namespace vql::ui
