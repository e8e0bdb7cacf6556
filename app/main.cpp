#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>

#include "app/advsm.h"
#include "app/form1.h"
#include "app/form2.h"
#include "app/look.h"
#include "app/program_icon.h"
#include "app/program_modal_ui.h"
#include "app/signal_watcher.h"
#include "common/cp1251.h"

namespace {

// Every text the program stores, logs or sends is converted to Windows-1251;
// without the converter it would go out as UTF-8, unnoticed. Better not to
// run at all, and say why where an administrator looks.
int RefuseWithoutConverter(int argc, char** argv) {
  std::fputs(
      "mcalld: the Windows-1251 converter is missing (iconv cannot open CP1251: the C library's gconv modules "
      "are not installed); not starting, since texts would reach the modem, the logs and the server as UTF-8\n",
      stderr);
  if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr) return 1;
  QApplication application(argc, argv);
  const QString platform = QGuiApplication::platformName();
  if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")) return 1;
  QMessageBox::critical(nullptr, QStringLiteral("mcalld"),
                        QStringLiteral("Нет преобразования текста в кодировку Windows-1251 (iconv, модули gconv "
                                       "библиотеки C).\nБез него тексты уходили бы на модем, в журналы и на "
                                       "сервер в неверной кодировке.\nПриложение будет закрыто."));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (!common::Cp1251Available()) return RefuseWithoutConverter(argc, argv);
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
