#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

// The notice popup: one line of text and an "ОК" button under it.
class Tadvsm : public QDialog {
  Q_OBJECT
 public:
  explicit Tadvsm(QWidget* parent = nullptr);
  // Fits the popup to text (plain text, never markup) and shows it modally.
  void ShowText(const QString& text);
  // The fitting alone, for tests and ShowText.
  void FitToText(const QString& text);

  QLabel* label1 = nullptr;
  QPushButton* BitBtn1 = nullptr;

 private:
  // How much larger than at the standard density and font everything is.
  double Scale() const;
  int FrameWidth();
};
