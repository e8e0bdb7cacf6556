#include "app/program_modal_ui.h"

#include <QMessageBox>

#include "app/advsm.h"
#include "app/form2.h"

namespace app {

const char* const kApplicationTitle = "Zuzuriz Avizuvure vavid";

ModalUi::CodeResult ProgramModalUi::AskCloseCode(const QString& closeCode) {
  if (!Form2) return Cancelled;
  Form2->SetCloseCode(closeCode);
  switch (Form2->exec()) {
    case TForm2::Accepted:
      return Accepted;
    case TForm2::Wrong:
      return Wrong;
    default:
      return Cancelled;
  }
}

void ProgramModalUi::ShowNotice(const QString& text) {
  if (Advsm) Advsm->ShowText(text);
}

void ProgramModalUi::ShowMissingSettings() {
  // The message keeps its carriage return between the sentences; a label
  // on this platform breaks lines at a line feed, so one is shown there.
  const QString text = QStringLiteral("Не найден файл с настройками.\rПриложение будит закрыто!");
  QMessageBox box(QMessageBox::Warning, QString::fromLatin1(kApplicationTitle), QString(text).replace('\r', '\n'),
                  QMessageBox::Ok);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

void ProgramModalUi::ShowError(const QString& text) {
  QMessageBox box(QMessageBox::Critical, QString::fromLatin1(kApplicationTitle), text, QMessageBox::Ok);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

}  // namespace app
