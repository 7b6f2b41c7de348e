// A production job run from the window: opened through Files > Open Job, started on
// the job panel against a simulated line of boards, some with a cell that never
// programs. What counts is what each board's chip ends up holding and what the log says.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <fstream>
#include <set>

#include "image/char_stream.h"
#include "image/hex_digits.h"
#include "image/hex_reader.h"
#include "image/sha256.h"
#include "main_window_world.h"
#include "sim/sim_chip_state.h"
#include "ui/job_panel.h"

namespace vql {
namespace {

using testing::Click;
using World = testing::MainWindowWorld;

constexpr std::int32_t kSerialAt = 0x07F0;
constexpr std::uint64_t kFirstSerial = 500;  // the field gives it in decimal

// The log line's value of key ("serial", "result").
std::string Field(const std::string& line, const std::string& key) {
  const std::size_t at = line.find(" " + key + "=");
  if (at == std::string::npos) return {};
  const std::size_t from = at + key.size() + 2;
  return line.substr(from, line.find(' ', from) - from);
}

TEST(JobPanel, ALineOfBoardsGetsTheFileAndEachPassedChipItsOwnSerialNumber) {
  const testing::TempDir boards;
  World w("AT89S2051", true,
          ",boards=6,board-fault-rate=0.5,seed=3,state=" + boards.Path().string());
  ui::TfrmMain& f = *w.frm;
  // No byte of the file is FF, so that a dead cell anywhere in it fails the chip.
  constexpr std::int32_t kFileBytes = 64;
  const std::string hex = w.HexFile(kFileBytes);
  CodeImage file;
  FileCharStream in(hex);
  ReadHexRecords(in, file);
  const std::string sha = ImageSha256(file, 0x07FF).value();
  const std::string job =
      "device=AT89S2051\nfile=big.hex\nserial=07F0:2:be:500:1\nlog=line.log\nsha256=";

  // A file that is not the one the job was made with: the box gives both checksums.
  w.dialogAnswer = w.dir.Write("line.vqljob", job + std::string(64, '0') + "\n");
  f.OpenJob1->trigger();
  ASSERT_EQ(w.boxes.size(), 1u);
  EXPECT_NE(w.boxes[0].find(std::string(64, '0')), std::string::npos) << w.boxes[0];
  EXPECT_NE(w.boxes[0].find(sha), std::string::npos) << w.boxes[0];
  EXPECT_FALSE(f.OpenJob() || f.frmJob->isVisible());
  EXPECT_TRUE(f.edtFileName->text().isEmpty()) << "the image before stays";

  w.dir.Write("line.vqljob", job + sha + "\n");
  f.OpenJob1->trigger();
  ASSERT_TRUE(f.OpenJob());
  EXPECT_EQ(f.lblJob->text().toStdString(),
            "Job line \u00B7 SHA-256 " + sha.substr(0, 8) + "\u2026");
  EXPECT_TRUE(f.frmJob->isVisible());

  // While the chips run nothing else can start; Esc after the second chip stops the
  // run, and Start goes on with the next board.
  bool lockedOut = false;
  w.During([&] {
    if (f.frmJob->Passed() + f.frmJob->Failed() < 2 || w.Status() != "Waiting for a board...") {
      return false;
    }
    lockedOut = !f.btnAuto->isEnabled() && !f.OpenJob1->isEnabled() &&
                !f.frmJob->btnStart->isEnabled() && f.frmJob->btnStop->isEnabled();
    testing::Key(f.frmJob->lblVerdict, Qt::Key_Escape);
    return true;
  });
  Click(f.frmJob->btnStart);
  EXPECT_TRUE(lockedOut);
  EXPECT_EQ(w.Status() + std::to_string(f.frmJob->Passed() + f.frmJob->Failed()), "Stopped.2");
  Click(f.frmJob->btnStart);
  EXPECT_EQ(f.frmJob->Passed() + f.frmJob->Failed(), 6);
  EXPECT_GT(f.frmJob->Passed() * f.frmJob->Failed(), 0) << "the line has both kinds";
  EXPECT_EQ(w.Status(), "Job ended: " + std::to_string(f.frmJob->Passed()) + " passed, " +
                            std::to_string(f.frmJob->Failed()) + " failed");

  // Line n of the log is board n.
  std::ifstream log(w.dir.Path() / "line.log");
  std::vector<std::string> lines;
  for (std::string line; std::getline(log, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 6u);
  const SimChipModel& model = *FindSimChip("AT89S2051");
  std::set<std::string> serials;
  for (std::size_t n = 0; n < lines.size(); ++n) {
    SCOPED_TRACE(lines[n]);
    const std::string serial = Field(lines[n], "serial");
    if (Field(lines[n], "result") != "ok") {
      EXPECT_EQ(serial, "-");
      continue;
    }
    EXPECT_TRUE(serials.insert(serial).second) << "handed out twice";
    const std::string state = "board-" + std::to_string(n + 1) + ".state";
    const auto chip = LoadSimChipState((boards.Path() / state).string(), model);
    ASSERT_TRUE(chip);
    for (std::int32_t a = 0; a < kFileBytes; ++a) {
      const auto i = static_cast<std::size_t>(a);
      EXPECT_EQ(chip->code[i], HexPairValue(file.HighDigits[i], file.LowDigits[i])) << a;
    }
    const std::uint64_t number = std::stoull(serial);
    EXPECT_GE(number, kFirstSerial);
    EXPECT_EQ(chip->code[kSerialAt] * 256 + chip->code[kSerialAt + 1], number);
  }
  EXPECT_EQ(f.frmJob->ShownVerdict(), Field(lines.back(), "result") == "ok"
                                          ? ui::JobPanel::Verdict::Pass
                                          : ui::JobPanel::Verdict::Fail);

  // Another file loaded: the job is closed, and Verify compares the whole image again.
  w.Load(hex);
  EXPECT_FALSE(f.OpenJob() || f.lblJob->isVisible() || f.frmJob->isVisible());
  EXPECT_TRUE(w.setup.programmer->Image.CompareOnly.empty());
}

}  // namespace
}  // namespace vql
