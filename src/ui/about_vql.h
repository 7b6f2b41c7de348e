// The About box, frmAboutVql: a fixed dialog, captioned "About VQL", created hidden
// at start-up and shown modally by About; each time it becomes active it centres
// itself on the main window. The last line of its memo names the configuration file
// in use.
#pragma once

#include <QDialog>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace vql::ui {

class TfrmAboutVql : public QDialog {
  Q_OBJECT

 public:
  // mainWindow: the window to centre on; it must outlive the box. configFile: the
  // configuration file that start-up read; empty when none was read.
  TfrmAboutVql(QWidget* mainWindow, const QString& configFile);

  QLabel* Image1 = nullptr;  // the logo, stretched
  QLabel* Label2 = nullptr;  // "AT89S SERIES"
  QLabel* Label3 = nullptr;  // "Version 2.3"
  QLabel* Label4 = nullptr;  // "In-System Programming"
  QPlainTextEdit* Memo1 = nullptr;
  QPushButton* btnOk = nullptr;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void FormActivate();  // centring on the main window
  void FitMemoFont();
  QWidget* mainWindow_;
};

}  // namespace vql::ui
