// The job panel: a tool window of the main window for a production job at the bench.
// It names the job, starts and stops its run of chips, counts the chips that passed
// and failed, gives the last chip's line (its serial number and why it failed), and
// shows the verdict in letters large enough to read from the far end of the bench:
// PASS on green, FAIL on red, PROGRAMMING while a chip is on, WAITING before the first.
// The main window runs the chips; the panel only shows and asks.
#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>
#include <string>

class QLabel;
class QPushButton;

namespace vql {
struct ChipReport;
struct Job;
}  // namespace vql

namespace vql::ui {

class JobPanel final : public QWidget {
  Q_OBJECT

 public:
  enum class Verdict { Waiting, Programming, Pass, Fail };

  // owner: the main window, whose window the panel stays above and which deletes it.
  explicit JobPanel(QWidget* owner);

  // A job just opened: its name, device, file and log; the counts start at 0.
  void ShowJob(const Job& job, const std::string& logPath);
  // A chip has ended: it is counted and becomes the last chip.
  void ShowChip(const ChipReport& report);
  void ShowVerdict(Verdict verdict);
  // While the chips run, Start is off and Stop is on; afterwards the other way round.
  void SetRunning(bool running);

  std::int64_t Passed() const { return passed_; }
  std::int64_t Failed() const { return failed_; }
  Verdict ShownVerdict() const { return verdict_; }

  QLabel* lblJob = nullptr;       // the job's name, device, file and log
  QLabel* lblVerdict = nullptr;   // PASS / FAIL / PROGRAMMING / WAITING
  QLabel* lblPassed = nullptr;    // "Passed: N"
  QLabel* lblFailed = nullptr;    // "Failed: N"
  QLabel* lblLastChip = nullptr;  // "Chip 3: passed, serial 1282, 1.4 s"
  QPushButton* btnStart = nullptr;
  QPushButton* btnStop = nullptr;

 signals:
  void StartClicked();
  void StopClicked();

 protected:
  // While the chips run a close asks them to stop, and the panel stays; otherwise it
  // only hides (Files > Job Panel shows it again).
  void closeEvent(QCloseEvent* event) override;

 private:
  void ShowCounts();

  std::int64_t passed_ = 0;
  std::int64_t failed_ = 0;
  bool running_ = false;
  Verdict verdict_ = Verdict::Waiting;
};

}  // namespace vql::ui
