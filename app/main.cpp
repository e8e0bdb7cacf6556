#include <QApplication>
#include <QPalette>
#include <QStyleFactory>

#include "app/advsm.h"
#include "app/form1.h"
#include "app/form2.h"
#include "app/program_icon.h"
#include "app/program_modal_ui.h"
#include "app/signal_watcher.h"

namespace {

void ApplyLook(QApplication& application) {
  application.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  QPalette palette;
  palette.setColor(QPalette::Window, QColor(0xf3, 0xf5, 0xf8));
  palette.setColor(QPalette::WindowText, QColor(0x1d, 0x24, 0x2e));
  palette.setColor(QPalette::Base, Qt::white);
  palette.setColor(QPalette::AlternateBase, QColor(0xea, 0xef, 0xf5));
  palette.setColor(QPalette::Button, QColor(0xe6, 0xeb, 0xf2));
  palette.setColor(QPalette::ButtonText, QColor(0x1d, 0x24, 0x2e));
  palette.setColor(QPalette::Highlight, QColor(0x1f, 0x6f, 0xb5));
  palette.setColor(QPalette::HighlightedText, Qt::white);
  palette.setColor(QPalette::ToolTipBase, Qt::white);
  palette.setColor(QPalette::ToolTipText, QColor(0x1d, 0x24, 0x2e));
  application.setPalette(palette);
  QFont font = application.font();
  font.setPointSize(10);
  application.setFont(font);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  application.setApplicationName(QStringLiteral("mcalld"));
  application.setDesktopFileName(QStringLiteral("mcalld"));
  application.setQuitOnLastWindowClosed(false);
  application.setWindowIcon(app::ProgramIcon());
  ApplyLook(application);

  app::SignalWatcher signalWatcher;
  app::ProgramModalUi modal;
  TForm1 form(modal);
  TForm2 form2(&form);
  Tadvsm advsm(&form);
  modal.Form2 = &form2;
  modal.Advsm = &advsm;

  // A logout, a shutdown or a service manager: close as after the code, quietly.
  QObject::connect(&signalWatcher, &app::SignalWatcher::Received, &form, [&form] {
    form.CloseConfirmed();
    QCoreApplication::exit(0);
  });

  if (!form.QuitRequested()) form.show();
  const int status = QApplication::exec();
  form.CloseConfirmed();
  form.FinishLink();
  return status;
}
