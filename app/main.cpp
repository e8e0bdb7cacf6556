#include <QApplication>
#include <QLabel>

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QLabel window("mcalld");
  window.show();
  return QApplication::exec();
}
