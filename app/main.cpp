#include <QApplication>

#include "app/advsm.h"
#include "app/form1.h"
#include "app/form2.h"
#include "app/look.h"
#include "app/program_icon.h"
#include "app/program_modal_ui.h"
#include "app/signal_watcher.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  application.setApplicationName(QStringLiteral("mcalld"));
  application.setDesktopFileName(QStringLiteral("mcalld"));
  application.setQuitOnLastWindowClosed(false);
  application.setWindowIcon(app::ProgramIcon());
  app::ApplyLook(application);

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
