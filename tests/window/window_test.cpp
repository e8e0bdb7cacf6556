// The operator window driven through its own handlers on the offscreen
// platform: a real pseudo-terminal behind the serial port, the real link
// thread pointed at a closed loopback port, and the modal moments scripted.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sys/file.h>
#include <unistd.h>

#include "app/form1.h"
#include "app/form2.h"
#include "common/cp1251.h"
#include "link/frame.h"
#include "modem/dialogue.h"
#include "tests/support/pty_pair.h"

namespace {

using Pty = testsupport::PtyPair;

class ScriptedModal : public app::ModalUi {
 public:
  std::deque<CodeResult> answers;
  QStringList notices;
  int missingSettingsShown = 0;
  QStringList errors;
  int asked = 0;

  CodeResult AskCloseCode(const QString&) override {
    ++asked;
    if (answers.empty()) return Cancelled;
    const CodeResult answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void ShowNotice(const QString& text) override { notices << text; }
  void ShowMissingSettings() override { ++missingSettingsShown; }
  void ShowError(const QString& text) override { errors << text; }
};

// [Ports] for COM1 ... COM33 where only the given names lead to a device, so
// a scan never touches the machine's own serial ports.
std::string IsolatedPorts(const std::string& absent, const std::map<int, std::string>& devices) {
  std::string ports;
  for (int n = 1; n <= 33; ++n) {
    const auto it = devices.find(n);
    ports += "COM" + std::to_string(n) + "=" + (it != devices.end() ? it->second : absent) + "\r\n";
  }
  return ports;
}

QStringList ComboItems(TForm1& form) {
  QStringList items;
  for (int i = 0; i < form.AdvOfficeComboBox1->count(); ++i) items << form.AdvOfficeComboBox1->itemText(i);
  return items;
}

QStringList MemoLines(TForm1& form) { return form.Memo1->toPlainText().split('\n', Qt::SkipEmptyParts); }

// The running flag of each status frame waiting in the link's queue.
std::vector<int> QueuedStatusFlags(TForm1& form) {
  std::vector<int> flags;
  for (const auto& payload : form.Link()->Queue().PayloadsOfType(serverlink::ftModemStatus)) {
    flags.push_back(payload.size() == 8 ? payload[7] : -1);
  }
  return flags;
}

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir_;
  QString oldCwd_;
  std::vector<int> exitRequests_;

  std::string Dir() const { return dir_->path().toStdString() + "/"; }

  void WriteSettings(const std::string& main, const std::string& ports = "") {
    std::ofstream out(Dir() + "mcalld.ini", std::ios::binary);
    out << "[Main]\r\n" << main << "[ServerHost]\r\nAddress=127.0.0.1\r\nPort=1\r\n";
    if (!ports.empty()) out << "[Ports]\r\n" << ports;
  }

  app::FormOptions Options() {
    app::FormOptions options;
    options.ProgramDir = Dir();
    options.RequestExit = [this](int status) { exitRequests_.push_back(status); };
    return options;
  }
  std::unique_ptr<TForm1> MakeForm(ScriptedModal& modal) { return std::make_unique<TForm1>(modal, Options()); }

 private slots:
  void init() {
    exitRequests_.clear();
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    oldCwd_ = QDir::currentPath();
    QDir::setCurrent(dir_->path());
  }
  void cleanup() {
    QDir::setCurrent(oldCwd_);
    dir_.reset();
  }

  void startupWithSettingsRunsTheModem() {
    Pty pty;
    WriteSettings("Com=COM3\r\nSpeed=115200\r\n", "COM3=" + pty.SlavePath() + "\r\n");
    ScriptedModal modal;
    auto form = MakeForm(modal);
    QCOMPARE(form->windowTitle(), QStringLiteral("КПО Зорвик 2008 - Zuzuriz Avizuvure vavid"));
    QVERIFY(form->Session().SerialPort1().IsOpen());
    QCOMPARE(form->Session().SerialPort1().BaudRateValue(), 115200u);
    QVERIFY(form->Session().Dialogue().ModemActive);
    QCOMPARE(form->Session().Dialogue().CommandQueue.size(), size_t{11});
    QCOMPARE(form->AdvGlowButton2->text(), QStringLiteral("Остановить"));
    QVERIFY(!form->AdvOfficeComboBox1->isEnabled());
    QVERIFY(!form->AdvGlowButton1->isEnabled());
    QCOMPARE(form->AdvOfficeComboBox1->count(), 1);
    QCOMPARE(form->AdvOfficeComboBox1->currentText(), QStringLiteral("COM3"));
    const int code = form->Label15->text().toInt();
    QCOMPARE(form->Label15->text().size(), 5);
    QVERIFY(code >= 10000 && code <= 99998);
    QVERIFY(!form->Label6->text().isEmpty());
    QCOMPARE(form->Notebook1->currentIndex(), 0);
    QVERIFY(form->AdvGlowButton28->isChecked());
    QVERIFY(!form->AdvGlowButton47->isChecked());
    QCOMPARE(form->Memo1->toPlainText(), QString());
    QVERIFY(form->Memo1->isReadOnly());
    QVERIFY(!modal.missingSettingsShown);
  }

  void startupWithoutSettingsAsksToEnd() {
    ScriptedModal modal;
    auto form = MakeForm(modal);
    QCOMPARE(modal.missingSettingsShown, 1);
    QVERIFY(form->QuitRequested());
    QCOMPARE(exitRequests_, std::vector<int>{1});
    QVERIFY(!form->Session().SerialPort1().IsOpen());
    QVERIFY(!form->Session().Dialogue().ModemActive);
    QVERIFY(form->Link() != nullptr);  // the link still starts, as at every startup
  }

  void failedStartKeepsTheRunningLookUntilAStop() {
    WriteSettings("Com=COM5\r\n", "COM5=" + Dir() + "no-such-device\r\n");
    ScriptedModal modal;
    auto form = MakeForm(modal);
    QVERIFY(!form->Session().SerialPort1().IsOpen());
    QVERIFY(!form->Session().Dialogue().ModemActive);
    QCOMPARE(form->Memo1->toPlainText(), QString());  // a refused open is not reported
    QCOMPARE(form->AdvGlowButton2->text(), QStringLiteral("Остановить"));
    QVERIFY(!form->AdvOfficeComboBox1->isEnabled());

    modal.answers = {app::ModalUi::Accepted};
    form->AdvGlowButton2Click();
    QCOMPARE(form->AdvGlowButton2->text(), QStringLiteral("Запустить"));
    QVERIFY(form->AdvOfficeComboBox1->isEnabled());
    QVERIFY(form->AdvGlowButton1->isEnabled());
    QVERIFY(!MemoLines(*form).contains(QStringLiteral("Отключились.")));
    QCOMPARE(QueuedStatusFlags(*form), std::vector<int>{0});

    // Start again: the port still cannot be opened, the layout stays, a frame goes out.
    form->AdvGlowButton2Click();
    QCOMPARE(form->AdvGlowButton2->text(), QStringLiteral("Запустить"));
    QCOMPARE(QueuedStatusFlags(*form), (std::vector<int>{0, 0}));
  }

  void stopAndStartWithTheCode_data() {
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("stopped");
    QTest::newRow("right code") << int(app::ModalUi::Accepted) << true;
    QTest::newRow("wrong code") << int(app::ModalUi::Wrong) << false;
    QTest::newRow("cancelled") << int(app::ModalUi::Cancelled) << false;
  }
  void stopAndStartWithTheCode() {
    QFETCH(int, answer);
    QFETCH(bool, stopped);
    Pty pty;
    WriteSettings("Com=COM3\r\n", "COM3=" + pty.SlavePath() + "\r\n");
    ScriptedModal modal;
    auto form = MakeForm(modal);
    QVERIFY(form->Session().Dialogue().ModemActive);

    modal.answers = {static_cast<app::ModalUi::CodeResult>(answer)};
    form->AdvGlowButton2Click();
    QCOMPARE(!form->Session().Dialogue().ModemActive, stopped);
    QCOMPARE(!form->Session().SerialPort1().IsOpen(), stopped);
    QCOMPARE(form->AdvGlowButton2->text(), stopped ? QStringLiteral("Запустить") : QStringLiteral("Остановить"));
    QCOMPARE(MemoLines(*form).contains(QStringLiteral("Отключились.")), stopped);
    QCOMPARE(modal.notices.isEmpty(), stopped);
    if (!stopped) QCOMPARE(modal.notices.first(), QStringLiteral("Неправильный пароль. В доступе отказано"));
    QCOMPARE(QueuedStatusFlags(*form), std::vector<int>{stopped ? 0 : 1});
    if (!stopped) return;

    // Start from the stopped layout with the list's port: Com is written back.
    form->AdvGlowButton2Click();
    QVERIFY(form->Session().Dialogue().ModemActive);
    QCOMPARE(form->AdvGlowButton2->text(), QStringLiteral("Остановить"));
    QCOMPARE(QueuedStatusFlags(*form), (std::vector<int>{0, 1}));
    std::ifstream in(Dir() + "mcalld.ini", std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    QVERIFY(text.find("Com=COM3") != std::string::npos);
  }

  void closeNeedsTheCode() {
    WriteSettings("Com=\r\n");
    ScriptedModal modal;
    auto form = MakeForm(modal);
    form->show();

    modal.answers = {app::ModalUi::Wrong};
    QVERIFY(!form->close());
    QCOMPARE(modal.notices, QStringList{QStringLiteral("Не правильный пароль.")});
    QVERIFY(!form->Link()->StopRequested.load());

    modal.answers = {app::ModalUi::Cancelled};
    QVERIFY(!form->close());
    QCOMPARE(modal.notices.size(), 1);

    modal.answers = {app::ModalUi::Accepted};
    QVERIFY(form->close());
    QCOMPARE(exitRequests_, std::vector<int>{0});
    QVERIFY(form->Link()->StopRequested.load());
    QVERIFY(!form->Link()->ReconnectAllowed.load());
    QVERIFY(form->Session().Dialogue().CommandQueue.empty());
    form->FinishLink();
    QVERIFY(form->Link()->Finished.load());
  }

  void pageButtonsKeepExactlyOnePressed() {
    WriteSettings("Com=\r\n");
    ScriptedModal modal;
    auto form = MakeForm(modal);
    form->AdvGlowButton47->click();
    QCOMPARE(form->Notebook1->currentWidget()->objectName(), QStringLiteral("setup"));
    QVERIFY(form->AdvGlowButton47->isChecked());
    QVERIFY(!form->AdvGlowButton28->isChecked());
    form->AdvGlowButton47->click();
    QVERIFY(form->AdvGlowButton47->isChecked());
    form->AdvGlowButton28->click();
    QCOMPARE(form->Notebook1->currentWidget()->objectName(), QStringLiteral("Default"));
    QVERIFY(form->AdvGlowButton28->isChecked());
    QVERIFY(!form->AdvGlowButton47->isChecked());
  }

  void minimiseAndRestore_data() {
    QTest::addColumn<bool>("notificationArea");
    QTest::newRow("with a notification area: hidden") << true;
    QTest::newRow("without one: stays on the taskbar") << false;
  }
  void minimiseAndRestore() {
    QFETCH(bool, notificationArea);
    WriteSettings("Com=\r\n");
    ScriptedModal modal;
    app::FormOptions options = Options();
    options.NotificationArea = notificationArea;
    TForm1 form(modal, options);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    form.showMinimized();
    QTRY_COMPARE(form.isVisible(), !notificationArea);
    form.N4Click();
    QVERIFY(form.isVisible());
    QVERIFY(!form.isMinimized());
    QCOMPARE(form.RxTrayIcon1->toolTip(), QStringLiteral("Zuzuriz Avizuvure vavid"));
  }

  void emptyComOpensNothing() {
    WriteSettings("Com=\r\nSpeed=115200\r\n");
    ScriptedModal modal;
    auto form = MakeForm(modal);
    QVERIFY(!form->Session().SerialPort1().IsOpen());
    QVERIFY(!form->Session().Dialogue().ModemActive);
    QVERIFY(form->Session().Dialogue().CommandQueue.empty());
    QVERIFY(!form->Timer1->isActive());
    QCOMPARE(form->Memo1->toPlainText(), QString());
    QCOMPARE(ComboItems(*form), QStringList{QString()});
    QCOMPARE(form->AdvOfficeComboBox1->currentIndex(), 0);
    QCOMPARE(form->AdvGlowButton2->text(), QStringLiteral("Остановить"));
  }

  void scanListsTheFreeMappedPorts_data() {
    QTest::addColumn<bool>("mapped");
    QTest::addColumn<bool>("holdCom7");
    QTest::addColumn<QStringList>("listed");
    QTest::newRow("COM3 and COM7 free") << true << false << QStringList{"COM3", "COM7"};
    QTest::newRow("COM7 held by another descriptor") << true << true << QStringList{"COM3"};
    QTest::newRow("no device at all") << false << false << QStringList{};
  }
  void scanListsTheFreeMappedPorts() {
    QFETCH(bool, mapped);
    QFETCH(bool, holdCom7);
    QFETCH(QStringList, listed);
    Pty com3;
    Pty com7;
    Pty com33;  // free, but beyond the names the scan knows
    std::map<int, std::string> devices{{33, com33.SlavePath()}};
    if (mapped) {
      devices[3] = com3.SlavePath();
      devices[7] = com7.SlavePath();
    }
    WriteSettings("Com=\r\n", IsolatedPorts(Dir() + "absent", devices));
    int holder = -1;
    if (holdCom7) {
      holder = ::open(com7.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      QVERIFY(holder >= 0);
      QCOMPARE(::flock(holder, LOCK_EX | LOCK_NB), 0);
    }
    ScriptedModal modal;
    auto form = MakeForm(modal);
    form->AdvGlowButton1Click();
    if (holder >= 0) ::close(holder);
    QCOMPARE(ComboItems(*form), listed);
    QCOMPARE(form->AdvOfficeComboBox1->currentIndex(), listed.isEmpty() ? -1 : 0);
  }

  void stopReleasesThePortForTheNextScan() {
    Pty com3;
    WriteSettings("Com=COM3\r\n", IsolatedPorts(Dir() + "absent", {{3, com3.SlavePath()}}));
    ScriptedModal modal;
    auto form = MakeForm(modal);
    QVERIFY(form->Session().SerialPort1().IsOpen());
    QVERIFY(form->Timer1->isActive());

    modal.answers = {app::ModalUi::Accepted};
    form->AdvGlowButton2Click();
    QCOMPARE(MemoLines(*form), QStringList{QStringLiteral("Отключились.")});
    QVERIFY(!form->Session().SerialPort1().IsOpen());
    QVERIFY(!form->Timer1->isActive());
    form->AdvGlowButton1Click();
    QCOMPARE(ComboItems(*form), QStringList{"COM3"});
  }

  // Lines count as the view shows them: a text with line breaks is several.
  void timer1KeepsTheLast35Lines() {
    WriteSettings("Com=\r\n");
    ScriptedModal modal;
    auto form = MakeForm(modal);
    for (int i = 0; i < 50; ++i) form->Memo1->appendPlainText(QString::number(i));
    form->Timer1Timer();
    QStringList expected;
    for (int i = 15; i < 50; ++i) expected << QString::number(i);
    QCOMPARE(MemoLines(*form), expected);

    form->Memo1->appendPlainText("a\nb\nc");
    form->Timer1Timer();
    expected = expected.mid(3) << "a" << "b" << "c";
    QCOMPARE(MemoLines(*form), expected);
  }

  // The health line under the indicators, its warning look, and the tray
  // hint that carries it.
  void healthLineAndTrayHint() {
    Pty pty;
    WriteSettings("Com=COM3\r\n", "COM3=" + pty.SlavePath() + "\r\n");
    ScriptedModal modal;
    auto form = MakeForm(modal);
    auto feed = [&](const std::string& block) {
      form->Session().Dialogue().ReplyState = modem::rsNetwork;
      form->Session().SerialPort1ReceivePacket(reinterpret_cast<const uint8_t*>(block.data()),
                                               static_cast<uint32_t>(block.size()));
    };
    const QColor normal = form->LabelHealth->palette().color(QPalette::WindowText);
    feed("\r\n+CREG: 0,1\r\n\r\nOK\r\n");
    QVERIFY(form->LabelHealth->isVisibleTo(form.get()));
    QVERIFY(form->LabelHealth->text().contains(QStringLiteral("сеть: домашняя")));
    QCOMPARE(form->LabelHealth->palette().color(QPalette::WindowText), normal);
    feed("\r\n+CREG: 0,0\r\n\r\nOK\r\n");
    QVERIFY(form->LabelHealth->text().contains(QStringLiteral("сеть: нет регистрации")));
    QVERIFY(form->LabelHealth->palette().color(QPalette::WindowText) != normal);
    QVERIFY(form->RxTrayIcon1->toolTip().startsWith(QStringLiteral("Zuzuriz Avizuvure vavid\n")));
    QVERIFY(form->RxTrayIcon1->toolTip().endsWith(form->LabelHealth->text()));
    QVERIFY(MemoLines(*form).last().endsWith(QStringLiteral("Станция не может принимать звонки: модем не зарегистрирован в сети")));
  }

  void closeCodeDialog() {
    TForm2 dialog;
    dialog.SetCloseCode("12345");
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Закрытый доступ"));
    QCOMPARE(dialog.BitBtn1->text(), QStringLiteral("ОК"));
    QCOMPARE(dialog.BitBtn2->text(), QStringLiteral("Отмена"));
    QTest::keyClicks(dialog.MaskEdit1, "12a34567");
    QCOMPARE(dialog.MaskEdit1->text(), QStringLiteral("12345"));  // digits only, at most five
    QCOMPARE(dialog.MaskEdit1->displayText(), QStringLiteral("*****"));

    struct Case {
      const char* entry;
      int result;
    } cases[] = {{"12345", TForm2::Accepted}, {"1234", TForm2::Wrong}, {"54321", TForm2::Wrong}};
    for (const auto& c : cases) {
      dialog.MaskEdit1->setText(c.entry);
      dialog.BitBtn1Click();
      QCOMPARE(dialog.result(), c.result);
    }
    dialog.BitBtn2->click();
    QCOMPARE(dialog.result(), int(TForm2::Cancelled));

    // The entry is kept and selected each time the dialog becomes active.
    dialog.MaskEdit1->setText("123");
    dialog.FormActivate();
    QCOMPARE(dialog.MaskEdit1->selectedText(), QStringLiteral("123"));
  }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
