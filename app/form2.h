#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

// The close-code dialog. Its three endings are the results below.
class TForm2 : public QDialog {
  Q_OBJECT
 public:
  enum Result { Cancelled = QDialog::Rejected, Accepted = QDialog::Accepted, Wrong = 3 };

  explicit TForm2(QWidget* parent = nullptr);

  // The code that "ОК" compares the entry with, as exact text.
  void SetCloseCode(const QString& code) { closeCode_ = code; }

  void BitBtn1Click();
  // Each time the dialog becomes active: the entry selected, so that typing
  // replaces it, and focused. Each opening empties it first.
  void FormActivate();

  QLabel* Label1 = nullptr;
  QLineEdit* MaskEdit1 = nullptr;
  QPushButton* BitBtn1 = nullptr;
  QPushButton* BitBtn2 = nullptr;

 protected:
  void showEvent(QShowEvent* event) override;
  bool event(QEvent* event) override;

 private:
  QString closeCode_;
};
