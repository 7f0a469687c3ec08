// The yardstick of the start-up benchmark: a Qt Widgets program with one button and nothing else.
#include <QApplication>
#include <QPushButton>
#include <QWidget>

#include "ReadyReport.h"

int main(int argc, char** argv) {
  const int fd = bench::ReadyReport::FdFromArguments(argc, argv);
  int qtArgc = 1;
  QApplication application(qtArgc, argv);
  QWidget window;
  QPushButton button("OK", &window);
  bench::ReadyReport report(window, fd);
  window.show();
  return application.exec();
}
