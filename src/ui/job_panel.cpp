#include "ui/job_panel.h"

#include <QCloseEvent>
#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <array>

#include "job/job_runner.h"

namespace vql::ui {

namespace {

// Large enough to read from a few metres away.
constexpr int kVerdictPoints = 48;
constexpr int kCountPoints = 16;

struct VerdictLook {
  JobPanel::Verdict verdict;
  const char* text;
  QColor background;
  QColor foreground;
};
const std::array<VerdictLook, 4> kLooks{{
    {JobPanel::Verdict::Waiting, "WAITING", QColor(224, 224, 224), QColor(64, 64, 64)},
    {JobPanel::Verdict::Programming, "PROGRAMMING", QColor(255, 176, 0), QColor(0, 0, 0)},
    {JobPanel::Verdict::Pass, "PASS", QColor(0, 150, 0), QColor(255, 255, 255)},
    {JobPanel::Verdict::Fail, "FAIL", QColor(200, 0, 0), QColor(255, 255, 255)},
}};

QLabel* BoldLabel(QWidget* parent, int points) {
  auto* label = new QLabel(parent);
  QFont font = label->font();
  font.setPointSize(points);
  font.setBold(true);
  label->setFont(font);
  return label;
}

QString FromStd(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

JobPanel::JobPanel(QWidget* owner) : QWidget(owner, Qt::Tool) {
  setObjectName(QStringLiteral("frmJob"));
  setWindowTitle(QStringLiteral("Production job"));
  auto* column = new QVBoxLayout(this);

  lblJob = new QLabel(this);
  lblJob->setWordWrap(true);
  lblJob->setTextInteractionFlags(Qt::TextSelectableByMouse);
  column->addWidget(lblJob);

  lblVerdict = BoldLabel(this, kVerdictPoints);
  lblVerdict->setAlignment(Qt::AlignCenter);
  lblVerdict->setAutoFillBackground(true);
  // Room for the widest verdict, so that the panel does not jump from one to the next.
  const QFontMetrics metrics = lblVerdict->fontMetrics();
  int widest = 0;
  for (const VerdictLook& look : kLooks) {
    widest = std::max(widest, metrics.horizontalAdvance(QString::fromLatin1(look.text)));
  }
  const int margin = metrics.height() / 2;
  lblVerdict->setMinimumSize(widest + 2 * margin, metrics.height() + 2 * margin);
  column->addWidget(lblVerdict, 1);

  auto* counts = new QHBoxLayout;
  lblPassed = BoldLabel(this, kCountPoints);
  lblFailed = BoldLabel(this, kCountPoints);
  counts->addWidget(lblPassed);
  counts->addStretch();
  counts->addWidget(lblFailed);
  column->addLayout(counts);

  lblLastChip = new QLabel(this);
  lblLastChip->setTextInteractionFlags(Qt::TextSelectableByMouse);
  column->addWidget(lblLastChip);

  auto* buttons = new QHBoxLayout;
  btnStart = new QPushButton(QStringLiteral("Start"), this);
  btnStop = new QPushButton(QStringLiteral("Stop"), this);
  btnStart->setToolTip(
      QStringLiteral("Program board after board until Stop, or until no board comes"));
  btnStop->setToolTip(QStringLiteral("Stop after the chip being programmed (Esc)"));
  buttons->addWidget(btnStart);
  buttons->addWidget(btnStop);
  column->addLayout(buttons);

  const std::pair<QWidget*, const char*> names[] = {
      {lblJob, "lblJob"},           {lblVerdict, "lblVerdict"}, {lblPassed, "lblPassed"},
      {lblFailed, "lblFailed"},     {lblLastChip, "lblLastChip"}, {btnStart, "btnStart"},
      {btnStop, "btnStop"}};
  for (const auto& [widget, name] : names) widget->setObjectName(QString::fromLatin1(name));

  connect(btnStart, &QPushButton::clicked, this, &JobPanel::StartClicked);
  connect(btnStop, &QPushButton::clicked, this, &JobPanel::StopClicked);
  SetRunning(false);
  ShowVerdict(Verdict::Waiting);
  ShowCounts();
}

void JobPanel::ShowJob(const Job& job, const std::string& logPath) {
  setWindowTitle(QStringLiteral("Job %1").arg(FromStd(job.Name())));
  lblJob->setText(QStringLiteral("Job %1: %2, %3\nLog: %4")
                      .arg(FromStd(job.Name()), FromStd(job.device), FromStd(job.FilePath()),
                           logPath.empty() ? QStringLiteral("none") : FromStd(logPath)));
  passed_ = failed_ = 0;
  ShowCounts();
  lblLastChip->setText(QStringLiteral("No chip yet"));
  ShowVerdict(Verdict::Waiting);
}

void JobPanel::ShowChip(const ChipReport& report) {
  (report.Passed() ? passed_ : failed_)++;
  ShowCounts();
  lblLastChip->setText(FromStd(ChipText(report)));
  ShowVerdict(report.Passed() ? Verdict::Pass : Verdict::Fail);
}

void JobPanel::ShowVerdict(Verdict verdict) {
  verdict_ = verdict;
  const VerdictLook& look = *std::ranges::find(kLooks, verdict, &VerdictLook::verdict);
  QPalette palette = lblVerdict->palette();
  palette.setColor(QPalette::Window, look.background);
  palette.setColor(QPalette::WindowText, look.foreground);
  lblVerdict->setPalette(palette);
  lblVerdict->setText(QString::fromLatin1(look.text));
}

void JobPanel::SetRunning(bool running) {
  running_ = running;
  btnStart->setEnabled(!running);
  btnStop->setEnabled(running);
}

void JobPanel::ShowCounts() {
  lblPassed->setText(QStringLiteral("Passed: %1").arg(passed_));
  lblFailed->setText(QStringLiteral("Failed: %1").arg(failed_));
}

void JobPanel::closeEvent(QCloseEvent* event) {
  if (running_) {
    emit StopClicked();
    event->ignore();
    return;
  }
  QWidget::closeEvent(event);
}

}  // namespace vql::ui
